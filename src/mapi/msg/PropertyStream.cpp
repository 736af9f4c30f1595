#include "mapi/msg/PropertyStream.h"

#include "mapi/format/Coding.h"
#include "mapi/format/PropertyType.h"
#include "mapi/format/Text.h"

namespace mailvane::msg {

using namespace format;
namespace {

// An 8-bit string written as Unicode: its UTF-8 up to a NUL, which ends it.
std::string Utf16FromString8(std::string_view utf8) {
    return Utf16FromUtf8(utf8.substr(0, utf8.find('\0')));
}

// The reserved bytes before the counts of a message's header, and those
// after them that only the top message has.
constexpr size_t kReservedBeforeCounts = 8;
constexpr size_t kTopReservedAfterCounts = 8;

uint32_t WithType(uint32_t tag, uint16_t type) {
    return (tag & 0xFFFF0000u) | type;
}

// A variable-size multi-value as the item keeps it, cut into its values.
bool SplitMultiValue(std::string_view value, std::vector<std::string_view>* parts) {
    if (value.empty()) return true;
    if (value.size() < 4) return false;
    const uint32_t count = DecodeFixed32(value.data());
    if (count > (value.size() - 4) / 4) return false;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t from = DecodeFixed32(value.data() + 4 + 4 * size_t{i});
        const uint32_t to = i + 1 < count ? DecodeFixed32(value.data() + 8 + 4 * size_t{i})
                                          : static_cast<uint32_t>(value.size());
        if (from < 4 + 4 * size_t{count} || from > to || to > value.size()) return false;
        parts->push_back(value.substr(from, to - from));
    }
    return true;
}

bool PlaceMultiValue(uint32_t tag, std::string_view value, PropertyEntry* entry,
                     std::vector<ValueStream>* streams, std::string* error) {
    std::vector<std::string_view> parts;
    if (!SplitMultiValue(value, &parts)) {
        *error = "malformed multi-value " + SubstreamName(tag).substr(12);
        return false;
    }
    const uint16_t type = static_cast<uint16_t>(tag & 0xFFFF);
    const uint32_t written =
        type == (kPtMultiple | kPtString8) ? WithType(tag, kPtMultiple | kPtUnicode) : tag;
    std::string lengths;
    for (uint32_t i = 0; i < parts.size(); ++i) {
        if (type == (kPtMultiple | kPtBinary)) {
            // Each length is followed by 4 reserved bytes.
            PutFixed64(&lengths, parts[i].size());
            streams->emplace_back(SubstreamName(written, i), parts[i]);
            continue;
        }
        // Each string keeps its terminator, which its length counts.
        std::string text =
            type == (kPtMultiple | kPtString8) ? Utf16FromString8(parts[i]) : std::string(parts[i]);
        text.append(2, '\0');
        PutFixed32(&lengths, static_cast<uint32_t>(text.size()));
        streams->emplace_back(SubstreamName(written, i), std::move(text));
    }
    *entry = PropertyEntry::Sized(written, static_cast<uint32_t>(lengths.size()));
    streams->emplace_back(SubstreamName(written), std::move(lengths));
    return true;
}

// Bytes of one value of a fixed-size multi-value type, 0 for other types.
size_t MultiValueElementSize(uint16_t type) {
    if (!(type & kPtMultiple)) return 0;
    const uint16_t single = type & ~kPtMultiple;
    return FixedSize(single);
}

}  // namespace

size_t StreamHeader::EncodedLength(StreamOwner owner) {
    switch (owner) {
        case StreamOwner::kTopMessage:
            return kReservedBeforeCounts + 16 + kTopReservedAfterCounts;
        case StreamOwner::kEmbeddedMessage:
            return kReservedBeforeCounts + 16;
        default:
            return kReservedBeforeCounts;
    }
}

void StreamHeader::EncodeTo(StreamOwner owner, std::string* out) const {
    out->append(kReservedBeforeCounts, '\0');
    if (owner == StreamOwner::kRecipientOrAttachment) return;
    for (uint32_t field : {nextRecipientId, nextAttachmentId, recipientCount, attachmentCount})
        PutFixed32(out, field);
    if (owner == StreamOwner::kTopMessage) out->append(kTopReservedAfterCounts, '\0');
}

std::string StreamHeader::DecodeFrom(StreamOwner owner, std::string_view in, StreamHeader* out) {
    if (in.size() < EncodedLength(owner))
        return "property stream of " + std::to_string(in.size()) +
               " bytes, shorter than its header";
    *out = StreamHeader{};
    if (owner == StreamOwner::kRecipientOrAttachment) return {};
    out->nextRecipientId = DecodeFixed32(in.data() + kReservedBeforeCounts);
    out->nextAttachmentId = DecodeFixed32(in.data() + kReservedBeforeCounts + 4);
    out->recipientCount = DecodeFixed32(in.data() + kReservedBeforeCounts + 8);
    out->attachmentCount = DecodeFixed32(in.data() + kReservedBeforeCounts + 12);
    return {};
}

PropertyEntry PropertyEntry::Fixed(uint32_t tag, uint64_t value) {
    PropertyEntry e;
    e.tag = tag;
    e.value = value;
    return e;
}

PropertyEntry PropertyEntry::Sized(uint32_t tag, uint32_t size, uint32_t reserved) {
    return Fixed(tag, uint64_t{size} | (uint64_t{reserved} << 32));
}

void PropertyEntry::EncodeTo(std::string* out) const {
    // Filled in place and appended once: a message has dozens of entries.
    char e[kEncodedLength];
    for (int i = 0; i < 4; ++i) {
        e[i] = static_cast<char>(tag >> (8 * i));
        e[4 + i] = static_cast<char>(flags >> (8 * i));
    }
    for (int i = 0; i < 8; ++i) e[8 + i] = static_cast<char>(value >> (8 * i));
    out->append(e, sizeof e);
}

PropertyEntry PropertyEntry::DecodeFrom(std::string_view in, size_t at) {
    PropertyEntry e;
    e.tag = DecodeFixed32(in.data() + at);
    e.flags = DecodeFixed32(in.data() + at + 4);
    e.value = DecodeFixed64(in.data() + at + 8);
    return e;
}

std::string DecodePropertyStream(StreamOwner owner, std::string_view in, StreamHeader* header,
                                 std::vector<PropertyEntry>* entries) {
    if (std::string cause = StreamHeader::DecodeFrom(owner, in, header); !cause.empty())
        return cause;
    const size_t start = StreamHeader::EncodedLength(owner);
    if ((in.size() - start) % PropertyEntry::kEncodedLength != 0)
        return "property stream ends inside an entry";
    for (size_t at = start; at < in.size(); at += PropertyEntry::kEncodedLength)
        entries->push_back(PropertyEntry::DecodeFrom(in, at));
    return {};
}

void AppendHex8(std::string* out, uint32_t value) {
    // A message file names dozens of streams; formatting them by hand keeps
    // printf out of the way.
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (int shift = 28; shift >= 0; shift -= 4) out->push_back(kDigits[(value >> shift) & 0xF]);
}

std::string SubstreamName(uint32_t tag) {
    std::string name = "__substg1.0_";
    AppendHex8(&name, tag);
    return name;
}

std::string SubstreamName(uint32_t tag, uint32_t index) {
    std::string name = SubstreamName(tag);
    name.push_back('-');
    AppendHex8(&name, index);
    return name;
}

// Bytes of a value that sits in its property entry, 0 for one that takes a
// stream (a GUID is fixed but takes a stream).
size_t FixedValueSize(uint16_t type) {
    return type == kPtClsid ? 0 : FixedSize(type);
}

bool PlaceProperty(uint32_t tag, std::string_view value, PropertyEntry* entry,
                   std::vector<ValueStream>* streams, std::string* error) {
    const uint16_t type = static_cast<uint16_t>(tag & 0xFFFF);
    if (size_t size = FixedValueSize(type)) {
        if (value.size() != size) {
            *error = "value of " + SubstreamName(tag).substr(12) + " has " +
                     std::to_string(value.size()) + " bytes, not " + std::to_string(size);
            return false;
        }
        uint64_t fixed = 0;
        for (size_t i = value.size(); i-- > 0;)
            fixed = (fixed << 8) | static_cast<uint8_t>(value[i]);
        *entry = PropertyEntry::Fixed(tag, fixed);
        return true;
    }
    if (type == (kPtMultiple | kPtString8) || type == (kPtMultiple | kPtUnicode) ||
        type == (kPtMultiple | kPtBinary))
        return PlaceMultiValue(tag, value, entry, streams, error);
    if (size_t element = MultiValueElementSize(type)) {
        if (value.size() % element != 0) {
            *error = "multi-value " + SubstreamName(tag).substr(12) + " is not whole values";
            return false;
        }
    }
    if (type == kPtString8) {
        const uint32_t unicode = WithType(tag, kPtUnicode);
        std::string text = Utf16FromString8(value);
        *entry = PropertyEntry::Sized(unicode, static_cast<uint32_t>(text.size() + 2));
        streams->emplace_back(SubstreamName(unicode), std::move(text));
        return true;
    }
    // The size of a string counts the terminator the stream leaves out.
    const size_t terminator = type == kPtUnicode ? 2 : 0;
    if (value.size() > UINT32_MAX - terminator) {
        *error = "value of " + SubstreamName(tag).substr(12) + " is larger than 4 GB";
        return false;
    }
    *entry = PropertyEntry::Sized(tag, static_cast<uint32_t>(value.size() + terminator));
    streams->emplace_back(SubstreamName(tag), value);
    return true;
}

}  // namespace mailvane::msg
