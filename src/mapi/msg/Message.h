#pragma once
// What an Outlook message file is written from: a message's properties, its
// recipients and attachments, and embedded messages to any depth.
//
// Every value is viewed, not copied: the bytes belong to the caller (a mail
// item) and must stay unchanged until the write returns. Values are in the
// form the item keeps them: numbers little-endian, strings UTF-16LE without
// a terminator (PtypString8 strings as UTF-8), binaries as they are, fixed-size
// multi-values one after another, and variable-size multi-values as a count,
// that many 32-bit offsets from the start of the value, then the values.
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace mailvane::msg {

struct Property {
    uint32_t tag = 0;  // id << 16 | type
    std::string_view value;
};

// A property known by its name; the file gives it an id of its own.
struct NamedProperty {
    std::string_view propertySet;  // the set's GUID, 16 bytes as stored
    bool byName = false;
    uint32_t lid = 0;       // the number, when !byName
    std::string_view name;  // UTF-8, when byName
    uint16_t type = 0;
    std::string_view value;
};

struct PropertyObject {
    std::vector<Property> props;
    std::vector<NamedProperty> named;
};

struct Message;

struct Attachment : PropertyObject {
    // Set for an embedded message (PidTagAttachMethod 5).
    std::shared_ptr<const Message> embedded;
};

struct Message : PropertyObject {
    std::vector<PropertyObject> recipients;
    std::vector<Attachment> attachments;
};

}  // namespace mailvane::msg
