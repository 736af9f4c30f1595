#pragma once
// Property streams ([MS-OXMSG] 2.4) and the streams that hold the values a
// property stream entry cannot: one type per on-disk record, with its
// encoder and decoder side by side.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace mailvane::msg {

// Whose property stream it is; each has a header of its own length.
enum class StreamOwner {
    kTopMessage,             // 32 bytes
    kEmbeddedMessage,        // 24 bytes
    kRecipientOrAttachment,  // 8 bytes
};

// The header of a property stream. Recipient and attachment streams keep
// only the reserved bytes; the fields are then ignored.
struct StreamHeader {
    uint32_t nextRecipientId = 0;
    uint32_t nextAttachmentId = 0;
    uint32_t recipientCount = 0;
    uint32_t attachmentCount = 0;

    static size_t EncodedLength(StreamOwner owner);
    void EncodeTo(StreamOwner owner, std::string* out) const;
    // The empty string, or why not (`in` is shorter than the header).
    static std::string DecodeFrom(StreamOwner owner, std::string_view in, StreamHeader* out);
};

constexpr uint32_t kPropAttrMandatory = 0x1;
constexpr uint32_t kPropAttrReadable = 0x2;
constexpr uint32_t kPropAttrWritable = 0x4;

// One property of the stream: a fixed-size value in its 8 bytes, or the size
// of the value kept in streams beside it and a reserved word.
struct PropertyEntry {
    static constexpr size_t kEncodedLength = 16;

    uint32_t tag = 0;
    uint32_t flags = kPropAttrReadable | kPropAttrWritable;
    uint64_t value = 0;

    static PropertyEntry Fixed(uint32_t tag, uint64_t value);
    static PropertyEntry Sized(uint32_t tag, uint32_t size, uint32_t reserved = 0);
    uint32_t size() const { return static_cast<uint32_t>(value); }
    uint32_t reserved() const { return static_cast<uint32_t>(value >> 32); }

    void EncodeTo(std::string* out) const;
    // REQUIRES: at + kEncodedLength <= in.size().
    static PropertyEntry DecodeFrom(std::string_view in, size_t at);
};

// A header and its entries; the empty string, or the cause (a length that
// does not fit).
std::string DecodePropertyStream(StreamOwner owner, std::string_view in, StreamHeader* header,
                                 std::vector<PropertyEntry>* entries);

// The bytes of a value kept as a stream of its own: a view of the value the
// caller gave, or bytes made for the file (lengths, terminated strings).
class ValueStream {
public:
    ValueStream(std::string name, std::string_view viewed)
        : name_(std::move(name)), viewed_(viewed) {}
    ValueStream(std::string name, std::string owned)
        : name_(std::move(name)), owned_(std::move(owned)), own_(true) {}
    const std::string& name() const { return name_; }
    std::string_view bytes() const { return own_ ? std::string_view(owned_) : viewed_; }

private:
    std::string name_;
    std::string owned_;
    std::string_view viewed_;
    bool own_ = false;
};

// Appends `value` as eight capital hexadecimal digits, as stream names hold it.
void AppendHex8(std::string* out, uint32_t value);

// "__substg1.0_" and the tag in hexadecimal; with an index, the stream of
// one value of a variable-size multi-value.
std::string SubstreamName(uint32_t tag);
std::string SubstreamName(uint32_t tag, uint32_t index);

// Bytes of a value that fits in an entry, 0 for any other type.
size_t FixedValueSize(uint16_t type);

// How one property is written: its entry, and the streams beside it (none for
// a fixed-size value). An 8-bit string becomes a Unicode one, as a Unicode
// file holds no other. `streams` view `value`, which must outlive them.
// False, with the cause, when the value does not fit its type.
// REQUIRES: the type is not PtypObject (the writer places those itself).
bool PlaceProperty(uint32_t tag, std::string_view value, PropertyEntry* entry,
                   std::vector<ValueStream>* streams, std::string* error);

}  // namespace mailvane::msg
