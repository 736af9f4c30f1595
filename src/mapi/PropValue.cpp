#include "mapi/PropValue.h"

#include <cstring>
#include <utility>

#include "mapi/format/Coding.h"
#include "mapi/format/Text.h"

namespace mailvane::mapi {

using namespace pst;
using namespace format;

namespace {

// Variable-size multi-values: count, offsets, then the values ([MS-PST] 2.3.3.4.2).
std::string PackMulti(const std::vector<std::string>& items) {
    std::string out;
    PutFixed32(&out, static_cast<uint32_t>(items.size()));
    uint32_t at = static_cast<uint32_t>(4 + 4 * items.size());
    for (const auto& s : items) {
        PutFixed32(&out, at);
        at += static_cast<uint32_t>(s.size());
    }
    for (const auto& s : items) out += s;
    return out;
}

bool UnpackMulti(const std::string& in, std::vector<std::string>* items) {
    if (in.size() < 4) return in.empty();
    uint32_t n = DecodeFixed32(in.data());
    if (4 + size_t{n} * 4 > in.size()) return false;
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t from = DecodeFixed32(in.data() + 4 + 4 * i);
        uint32_t to =
            i + 1 < n ? DecodeFixed32(in.data() + 8 + 4 * i) : static_cast<uint32_t>(in.size());
        if (from > to || to > in.size()) return false;
        items->push_back(in.substr(from, to - from));
    }
    return true;
}

}  // namespace

bool ToStored(uint32_t tag, const PropValue& v, Property* out) {
    out->tag = tag;
    out->value.clear();
    uint16_t type = PropTypeOf(tag);
    switch (type) {
        case kPtLong:
            if (auto* i = std::get_if<int32_t>(&v))
                return PutFixed32(&out->value, static_cast<uint32_t>(*i)), true;
            if (auto* b = std::get_if<bool>(&v)) return PutFixed32(&out->value, *b ? 1 : 0), true;
            return false;
        case kPtShort:
            if (auto* i = std::get_if<int32_t>(&v))
                return PutFixed16(&out->value, static_cast<uint16_t>(*i)), true;
            return false;
        case kPtBoolean:
            if (auto* b = std::get_if<bool>(&v))
                return out->value.assign(1, *b ? '\1' : '\0'), true;
            if (auto* i = std::get_if<int32_t>(&v))
                return out->value.assign(1, *i ? '\1' : '\0'), true;
            return false;
        case kPtI8:
        case kPtCurrency:
            if (auto* i = std::get_if<int64_t>(&v))
                return PutFixed64(&out->value, static_cast<uint64_t>(*i)), true;
            if (auto* i = std::get_if<int32_t>(&v))
                return PutFixed64(&out->value, static_cast<uint64_t>(int64_t{*i})), true;
            return false;
        case kPtDouble:
        case kPtAppTime:
            if (auto* d = std::get_if<double>(&v)) {
                uint64_t bits;
                std::memcpy(&bits, d, 8);
                PutFixed64(&out->value, bits);
                return true;
            }
            return false;
        case kPtSysTime:
            if (auto* t = std::get_if<FileTime>(&v)) return PutFixed64(&out->value, t->ticks), true;
            return false;
        case kPtUnicode:
            if (auto* s = std::get_if<std::string>(&v)) return out->value = Utf16FromUtf8(*s), true;
            return false;
        case kPtString8:
            if (auto* s = std::get_if<std::string>(&v)) return out->value = *s, true;
            return false;
        case kPtBinary:
        case kPtClsid:
            if (auto* b = std::get_if<Binary>(&v)) return out->value = b->bytes, true;
            return false;
        case kPtMultiple | kPtLong:
            if (auto* m = std::get_if<std::vector<int32_t>>(&v)) {
                for (int32_t i : *m) PutFixed32(&out->value, static_cast<uint32_t>(i));
                return true;
            }
            return false;
        case kPtMultiple | kPtUnicode:
            if (auto* m = std::get_if<std::vector<std::string>>(&v)) {
                std::vector<std::string> items;
                for (const auto& s : *m) items.push_back(Utf16FromUtf8(s));
                out->value = PackMulti(items);
                return true;
            }
            return false;
        case kPtMultiple | kPtBinary:
            if (auto* m = std::get_if<std::vector<Binary>>(&v)) {
                std::vector<std::string> items;
                for (const auto& b : *m) items.push_back(b.bytes);
                out->value = PackMulti(items);
                return true;
            }
            return false;
        default:
            return false;
    }
}

bool ToStored(uint32_t tag, PropValue&& v, Property* out) {
    const uint16_t type = PropTypeOf(tag);
    std::string* bytes = nullptr;
    if (type == kPtBinary || type == kPtClsid) {
        if (auto* b = std::get_if<Binary>(&v)) bytes = &b->bytes;
    } else if (type == kPtString8) {
        bytes = std::get_if<std::string>(&v);
    }
    if (!bytes) return ToStored(tag, std::as_const(v), out);
    out->tag = tag;
    out->value = std::move(*bytes);
    return true;
}

bool FromStored(const Property& p, PropValue* out) {
    const std::string& b = p.value;
    switch (PropTypeOf(p.tag)) {
        case kPtLong:
            if (b.size() < 4) return false;
            return *out = static_cast<int32_t>(DecodeFixed32(b.data())), true;
        case kPtShort:
            if (b.size() < 2) return false;
            return *out = static_cast<int32_t>(static_cast<int16_t>(DecodeFixed16(b.data()))), true;
        case kPtBoolean:
            return *out = (!b.empty() && b[0] != 0), true;
        case kPtI8:
        case kPtCurrency:
            if (b.size() < 8) return false;
            return *out = static_cast<int64_t>(DecodeFixed64(b.data())), true;
        case kPtDouble:
        case kPtAppTime: {
            if (b.size() < 8) return false;
            double d;
            uint64_t bits = DecodeFixed64(b.data());
            std::memcpy(&d, &bits, 8);
            return *out = d, true;
        }
        case kPtSysTime:
            if (b.size() < 8) return false;
            return *out = FileTime{DecodeFixed64(b.data())}, true;
        case kPtUnicode:
            return *out = Utf8FromUtf16(b), true;
        case kPtString8:
            return *out = b, true;
        case kPtBinary:
        case kPtClsid:
            return *out = Binary{b}, true;
        case kPtMultiple | kPtLong: {
            std::vector<int32_t> m;
            for (size_t i = 0; i + 4 <= b.size(); i += 4)
                m.push_back(static_cast<int32_t>(DecodeFixed32(b.data() + i)));
            return *out = m, true;
        }
        case kPtMultiple | kPtUnicode: {
            std::vector<std::string> items, m;
            if (!UnpackMulti(b, &items)) return false;
            for (const auto& s : items) m.push_back(Utf8FromUtf16(s));
            return *out = m, true;
        }
        case kPtMultiple | kPtBinary: {
            std::vector<std::string> items;
            std::vector<Binary> m;
            if (!UnpackMulti(b, &items)) return false;
            for (auto& s : items) m.push_back(Binary{std::move(s)});
            return *out = m, true;
        }
        default:
            return false;
    }
}

}  // namespace mailvane::mapi
