#pragma once
// Typed MAPI property values and their stored form in a store file.
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "mapi/format/FileTime.h"
#include "mapi/pst/Property.h"

namespace mailvane::mapi {

// 100-nanosecond intervals since 1601-01-01 UTC (a FILETIME).
struct FileTime {
    uint64_t ticks = 0;
    static FileTime FromUnix(int64_t seconds) { return {format::FileTimeFromUnix(seconds)}; }
    bool operator==(const FileTime&) const = default;
};

struct Binary {
    std::string bytes;
    bool operator==(const Binary&) const = default;
};

// Strings are UTF-8 here and UTF-16 in the store.
using PropValue = std::variant<int32_t, bool, int64_t, double, FileTime, std::string, Binary,
                               std::vector<int32_t>, std::vector<std::string>, std::vector<Binary>>;

// Converts `value` to the stored bytes of a property of type `type`; false
// when the value does not fit the type (a string for a PT_LONG tag, ...).
bool ToStored(uint32_t tag, const PropValue& value, pst::Property* out);
// The same, taking the bytes of a binary or 8-bit string value rather than
// copying them: attachments and HTML bodies are most of a message.
bool ToStored(uint32_t tag, PropValue&& value, pst::Property* out);
// The reverse; false for types this layer does not model.
bool FromStored(const pst::Property& stored, PropValue* out);

}  // namespace mailvane::mapi
