#pragma once
// Writes TNEF streams for the decoder's tests and the fuzzer's seeds: the
// attributes with their checksums, the property lists inside them, and a
// few whole messages.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mapi/PropValue.h"
#include "mapi/format/Coding.h"
#include "mapi/format/PropTags.h"
#include "mapi/format/Text.h"

namespace mailvane::mapi::import::tnef_writer {

using format::PutFixed16;
using format::PutFixed32;
using format::PutFixed64;

constexpr uint8_t kMessage = 1;
constexpr uint8_t kAttach = 2;
constexpr uint32_t kAttSubject = 0x00018004;
constexpr uint32_t kAttMessageClass = 0x00078008;
constexpr uint32_t kAttAttachData = 0x0006800F;
constexpr uint32_t kAttAttachTitle = 0x00018010;
constexpr uint32_t kAttAttachCreateDate = 0x00038012;
constexpr uint32_t kAttAttachModifyDate = 0x00038013;
constexpr uint32_t kAttAttachRendData = 0x00069002;
constexpr uint32_t kAttMsgProps = 0x00069003;
constexpr uint32_t kAttRecipTable = 0x00069004;
constexpr uint32_t kAttAttachment = 0x00069005;
constexpr uint32_t kAttTnefVersion = 0x00089006;
constexpr uint32_t kAttOemCodepage = 0x00069007;
constexpr uint32_t kPidTagRtfCompressed = 0x10090102;
// PSETID_Common and IID_IMessage as stored.
constexpr std::string_view kPsetidCommon(
    "\x08\x20\x06\x00\x00\x00\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x46", 16);
constexpr std::string_view kIidMessage(
    "\x07\x03\x02\x00\x00\x00\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x46", 16);

class TnefWriter {
public:
    explicit TnefWriter(uint32_t signature = 0x223E9F78) {
        PutFixed32(&bytes_, signature);
        PutFixed16(&bytes_, 0x0102);  // the legacy key
        ends_.push_back(bytes_.size());
    }
    // A `checksum` of -1 is the right one.
    TnefWriter& Attr(uint8_t level, uint32_t id, std::string_view data, int checksum = -1) {
        uint16_t sum = 0;
        for (char c : data) sum = static_cast<uint16_t>(sum + static_cast<uint8_t>(c));
        bytes_.push_back(static_cast<char>(level));
        PutFixed32(&bytes_, id);
        PutFixed32(&bytes_, static_cast<uint32_t>(data.size()));
        bytes_.append(data);
        PutFixed16(&bytes_, checksum < 0 ? sum : static_cast<uint16_t>(checksum));
        ends_.push_back(bytes_.size());
        return *this;
    }
    const std::string& bytes() const { return bytes_; }
    // Where the stream could end whole: after the key or any attribute.
    const std::vector<size_t>& ends() const { return ends_; }

private:
    std::string bytes_;
    std::vector<size_t> ends_;
};

inline std::string U32(uint32_t v) {
    std::string s;
    PutFixed32(&s, v);
    return s;
}

inline std::string Padded(std::string bytes) {
    bytes.append((4 - bytes.size() % 4) % 4, '\0');
    return bytes;
}

// NUL-terminated UTF-16LE.
inline std::string Utf16z(std::string_view utf8) {
    return format::Utf16FromUtf8(utf8) + std::string(2, '\0');
}

// The head of a property: its tag, and for a named one its set and number
// or name.
inline std::string Tag(uint32_t tag) {
    return U32(tag);
}
inline std::string NamedTag(uint32_t tag, std::string_view set, uint32_t lid) {
    return U32(tag) + std::string(set) + U32(0) + U32(lid);
}
inline std::string NamedTag(uint32_t tag, std::string_view set, std::string_view name) {
    const std::string utf16 = Utf16z(name);
    return U32(tag) + std::string(set) + U32(1) + U32(static_cast<uint32_t>(utf16.size())) +
           Padded(utf16);
}

// Values as a list stores them: a fixed-size one padded to four bytes;
// variable-size and multiple ones counted, each of the former with its size.
inline std::string Fixed(std::string bytes) {
    return Padded(std::move(bytes));
}
inline std::string Long(int32_t v) {
    return U32(static_cast<uint32_t>(v));
}
inline std::string Time(FileTime t) {
    std::string s;
    PutFixed64(&s, t.ticks);
    return s;
}
inline std::string Values(const std::vector<std::string>& values) {
    std::string s = U32(static_cast<uint32_t>(values.size()));
    for (const auto& v : values) s += U32(static_cast<uint32_t>(v.size())) + Padded(v);
    return s;
}
inline std::string Value(const std::string& bytes) {
    return Values({bytes});
}

class PropList {
public:
    PropList& Add(const std::string& head, const std::string& value) {
        body_ += head + value;
        ++count_;
        return *this;
    }
    std::string Encode() const { return U32(count_) + body_; }

private:
    uint32_t count_ = 0;
    std::string body_;
};

// An attribute date: year to second, then the weekday (not read).
inline std::string Date(int y, int mo, int d, int h, int mi, int s) {
    std::string out;
    for (int v : {y, mo, d, h, mi, s, 0}) PutFixed16(&out, static_cast<uint16_t>(v));
    return out;
}

// The attributes that open every stream Outlook writes.
inline TnefWriter Opening(uint32_t codePage) {
    TnefWriter w;
    w.Attr(kMessage, kAttTnefVersion, U32(0x00010000));
    w.Attr(kMessage, kAttOemCodepage, U32(codePage) + U32(0));
    return w;
}

inline std::string RendData() {
    return std::string("\x01\x00\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x00\x00\x00\x00", 14);
}

// A legacy-class note with two files, each with a title and dates.
inline TnefWriter TwoFiles() {
    TnefWriter w = Opening(1252);
    w.Attr(kMessage, kAttMessageClass, std::string("IPM.Microsoft Mail.Note", 24));
    w.Attr(kMessage, kAttSubject, std::string("Two files\0", 10));
    w.Attr(kAttach, kAttAttachRendData, RendData());
    w.Attr(kAttach, kAttAttachTitle, std::string("notes.txt\0", 10));
    w.Attr(kAttach, kAttAttachCreateDate, Date(2021, 3, 4, 5, 6, 7));
    w.Attr(kAttach, kAttAttachModifyDate, Date(2022, 12, 31, 23, 59, 58));
    w.Attr(kAttach, kAttAttachData, "first file\r\n");
    w.Attr(kAttach, kAttAttachRendData, RendData());
    w.Attr(kAttach, kAttAttachTitle, std::string("image.bin\0", 10));
    std::string binary;
    for (int i = 0; i < 300; ++i) binary += static_cast<char>(i * 7);
    w.Attr(kAttach, kAttAttachData, binary);
    return w;
}

const std::string kRtf("\x2d\x00\x00\x00LZFu rtf bytes", 18);

// Message properties of most kinds over the attributes they override, and
// a recipient row.
inline TnefWriter Properties() {
    TnefWriter w = Opening(1252);
    w.Attr(kMessage, kAttMessageClass, std::string("IPM.Microsoft Mail.Note\0", 24));
    w.Attr(kMessage, kAttSubject, std::string("legacy\0", 7));
    w.Attr(kMessage, kAttRecipTable,
           U32(1) + PropList()
                        .Add(Tag(PidTagDisplayName), Value(Utf16z("Ann")))
                        .Add(Tag(PidTagRecipientType), Long(MAPI_CC))
                        .Encode());
    const std::string multiple =
        U32(2) + U32(4) + Padded(Utf16z("a")) + U32(6) + Padded(Utf16z("bc"));
    w.Attr(kMessage, kAttMsgProps,
           PropList()
               .Add(Tag(PidTagMessageClass), Value(Utf16z("IPM.Note.Custom")))
               .Add(Tag(PidTagSubject), Value(Utf16z("Gr\xC3\xBC\xC3\x9F"
                                                     "e")))
               .Add(Tag(kPidTagRtfCompressed), Value(kRtf))
               .Add(Tag(PidTagBody & ~0x1u), Value(std::string("caf\xE9\0", 5)))
               .Add(Tag(PidTagSenderName & ~0x1u), Value(std::string("Bob\0", 4)))
               .Add(Tag(0x00170002), Fixed(std::string("\xFF\xFF", 2)))  // importance as PT_SHORT
               .Add(Tag(PidTagReadReceiptRequested), Fixed(std::string("\x01\x00", 2)))
               .Add(Tag(0x10800004), Fixed(U32(0x3F800000)))  // a float
               .Add(NamedTag(0x8000101F, kPsetidCommon, 0x8539), multiple)
               .Add(NamedTag(0x8001000B, kPsetidCommon, "Flag"), Fixed(std::string("\x01\x00", 2)))
               .Encode());
    return w;
}

// A message whose attachment is a message with a file of its own.
inline TnefWriter Embedded() {
    TnefWriter inner = Opening(1252);
    inner.Attr(kMessage, kAttMsgProps,
               PropList().Add(Tag(PidTagSubject), Value(Utf16z("Inner"))).Encode());
    inner.Attr(kAttach, kAttAttachRendData, RendData());
    inner.Attr(kAttach, kAttAttachData, "inner bytes");
    inner.Attr(kAttach, kAttAttachment,
               PropList().Add(Tag(PidTagAttachLongFilename), Value(Utf16z("inner.txt"))).Encode());
    TnefWriter w = Opening(1252);
    w.Attr(kMessage, kAttSubject, std::string("Outer\0", 6));
    w.Attr(kAttach, kAttAttachRendData, RendData());
    w.Attr(kAttach, kAttAttachment,
           PropList()
               .Add(Tag(PidTagAttachMethod), Long(ATTACH_EMBEDDED_MSG))
               .Add(Tag(PidTagDisplayName), Value(Utf16z("Forwarded")))
               .Add(Tag(PidTagAttachDataObject), Value(std::string(kIidMessage) + inner.bytes()))
               .Encode());
    return w;
}

}  // namespace mailvane::mapi::import::tnef_writer
