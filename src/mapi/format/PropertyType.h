#pragma once
// Property types and tags as stores and message files write them: a tag is
// the property id in its high 16 bits and the type in its low 16.
#include <cstddef>
#include <cstdint>

namespace mailvane::format {

enum PropType : uint16_t {
    kPtShort = 0x0002,
    kPtLong = 0x0003,
    kPtFloat = 0x0004,
    kPtDouble = 0x0005,
    kPtCurrency = 0x0006,
    kPtAppTime = 0x0007,
    kPtError = 0x000A,
    kPtBoolean = 0x000B,
    kPtObject = 0x000D,
    kPtI8 = 0x0014,
    kPtString8 = 0x001E,
    kPtUnicode = 0x001F,
    kPtSysTime = 0x0040,
    kPtClsid = 0x0048,
    kPtBinary = 0x0102,
    kPtMultiple = 0x1000,
};

constexpr uint16_t PropTypeOf(uint32_t tag) {
    return static_cast<uint16_t>(tag & 0xFFFF);
}
constexpr uint16_t PropIdOf(uint32_t tag) {
    return static_cast<uint16_t>(tag >> 16);
}
constexpr uint32_t MakeTag(uint16_t id, uint16_t type) {
    return (uint32_t{id} << 16) | type;
}

// Bytes of a fixed-size value, 0 for variable-size types.
constexpr size_t FixedSize(uint16_t type) {
    switch (type) {
        case kPtBoolean:
            return 1;
        case kPtShort:
            return 2;
        case kPtLong:
        case kPtFloat:
        case kPtError:
            return 4;
        case kPtDouble:
        case kPtCurrency:
        case kPtAppTime:
        case kPtI8:
        case kPtSysTime:
            return 8;
        case kPtClsid:
            return 16;
        default:
            return 0;
    }
}

}  // namespace mailvane::format
