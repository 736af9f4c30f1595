#pragma once
// A message as the import builds it and either writer takes it: its
// properties, recipients and attachments, embedded messages to any depth.
//
// Values are in the form both formats keep them: numbers little-endian,
// strings UTF-16LE without a terminator (PtypString8 ones as UTF-8),
// binaries as they are, fixed-size multi-values one after another, and
// variable-size multi-values as a count, that many 32-bit offsets from the
// start of the value, then the values.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace mailvane::format {

struct Property {
    uint32_t tag = 0;  // id << 16 | type
    std::string value;
};

using PropertyList = std::vector<Property>;

// A property known by its name; the store or the file that takes the
// message gives it an id of its own.
struct NamedProperty {
    std::string set;  // the property set's GUID, 16 bytes as stored
    bool byName = false;
    uint32_t lid = 0;  // the number, when !byName
    std::string name;  // UTF-8, when byName
    uint16_t type = 0;
    std::string value;
};

struct MessageContent;

// Embedded messages nest no deeper than this, in a store and in a message
// file alike; a message nested deeper is refused whole.
constexpr int kMaxEmbeddingDepth = 64;

struct AttachmentContent {
    // PidTagAttachMethod 1 (by value, bytes in PidTagAttachDataBinary) or 5
    // (embedded message) is taken from the properties; `embedded` is used
    // when set.
    PropertyList props;
    std::shared_ptr<MessageContent> embedded;
};

struct MessageContent {
    PropertyList props;
    std::vector<NamedProperty> named;
    std::vector<PropertyList> recipients;
    std::vector<AttachmentContent> attachments;
    // More recipients, after `recipients`, handed over one at a time:
    // take(i) gives recipient i of `count`, asked for once each, in order,
    // and `tags` are all the tags they have. A message of 300,000
    // recipients is so held in full one recipient at a time.
    struct LaterRecipients {
        size_t count = 0;
        std::vector<uint32_t> tags;
        std::function<PropertyList(size_t)> take;
    };
    LaterRecipients moreRecipients;
};

// The property of this tag, the last one given; null when there is none.
const Property* FindProperty(const PropertyList& props, uint32_t tag);
// Replaces any property of the same id, else adds `p`.
void SetProperty(PropertyList* props, Property p);
// Adds `p` unless a property of its id is there.
void SetPropertyIfAbsent(PropertyList* props, Property p);
// A 32-bit value of the tag, or `fallback`.
uint32_t LongOf(const PropertyList& props, uint32_t tag, uint32_t fallback);
// A PtypInteger32 or PtypBoolean property.
Property LongProperty(uint32_t tag, uint32_t value);
// The bytes of all values, as a message's and an attachment's size count them.
uint64_t ValueBytes(const PropertyList& props);

}  // namespace mailvane::format
