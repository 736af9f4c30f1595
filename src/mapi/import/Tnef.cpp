// TNEF streams ([MS-OXTNEF] 2.1.3), read in two passes: the first splits
// the stream into attributes, each length checked against the bytes left;
// the second reads them once the code page that 8-bit text needs is known,
// since a writer may put attOemCodepage after text that uses it.
#include "mapi/import/Tnef.h"

#include <cstdio>
#include <cstring>

#include "mapi/format/Coding.h"
#include "mapi/format/PropTags.h"
#include "mapi/format/Text.h"
#include "mapi/import/Charsets.h"
#include "mapi/import/Dates.h"
#include "mapi/pst/Property.h"

namespace mailvane::mapi::import {
namespace {

using format::DecodeFixed16;
using format::DecodeFixed32;
using format::DecodeFixed64;

constexpr uint32_t kSignature = 0x223E9F78;
constexpr uint8_t kLevelMessage = 1;
constexpr uint8_t kLevelAttachment = 2;
constexpr uint64_t kAttributeHead = 9;  // level, id, length
constexpr uint64_t kChecksumSize = 2;

// Attribute ids, the attribute's own data type in the high word.
constexpr uint32_t kAttSubject = 0x00018004;
constexpr uint32_t kAttBody = 0x0002800C;
constexpr uint32_t kAttMessageClass = 0x00078008;
constexpr uint32_t kAttAttachData = 0x0006800F;
constexpr uint32_t kAttAttachTitle = 0x00018010;
constexpr uint32_t kAttAttachCreateDate = 0x00038012;
constexpr uint32_t kAttAttachModifyDate = 0x00038013;
constexpr uint32_t kAttAttachRendData = 0x00069002;
constexpr uint32_t kAttMsgProps = 0x00069003;
constexpr uint32_t kAttRecipTable = 0x00069004;
constexpr uint32_t kAttAttachment = 0x00069005;
constexpr uint32_t kAttOemCodepage = 0x00069007;

// Properties taken out of the lists by id, as writers use either string type.
constexpr uint16_t kIdMessageClass = format::PropIdOf(PidTagMessageClass);
constexpr uint16_t kIdSubject = format::PropIdOf(PidTagSubject);
constexpr uint16_t kIdBody = format::PropIdOf(PidTagBody);
constexpr uint16_t kIdHtml = format::PropIdOf(PidTagHtml);
constexpr uint16_t kIdRtfCompressed = 0x1009;
constexpr uint16_t kIdAttachData = format::PropIdOf(PidTagAttachDataBinary);
constexpr uint16_t kIdAttachLongFilename = format::PropIdOf(PidTagAttachLongFilename);
constexpr uint16_t kIdAttachMimeTag = format::PropIdOf(PidTagAttachMimeTag);
constexpr uint16_t kIdAttachContentId = format::PropIdOf(PidTagAttachContentId);
constexpr uint16_t kIdAttachMethod = format::PropIdOf(PidTagAttachMethod);
constexpr uint16_t kIdCreationTime = format::PropIdOf(PidTagCreationTime);
constexpr uint16_t kIdLastModificationTime = format::PropIdOf(PidTagLastModificationTime);

// IID_IMessage as stored: an attachment object with it holds a TNEF stream.
constexpr std::string_view kIidMessage(
    "\x07\x03\x02\x00\x00\x00\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x46", 16);

std::string Hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", v);
    return buf;
}

uint64_t Padding(uint64_t size) {
    return (4 - size % 4) % 4;
}

// One span of the stream; offsets count from the outermost stream's start.
class Cursor {
public:
    Cursor(std::string_view bytes, uint64_t base) : bytes_(bytes), base_(base) {}
    uint64_t left() const { return bytes_.size() - pos_; }
    uint64_t offset() const { return base_ + pos_; }
    bool Take(uint64_t n, std::string_view* out) {
        if (n > left()) return false;
        *out = bytes_.substr(static_cast<size_t>(pos_), static_cast<size_t>(n));
        pos_ += n;
        return true;
    }
    bool Read32(uint32_t* v) {
        std::string_view s;
        if (!Take(4, &s)) return false;
        *v = DecodeFixed32(s.data());
        return true;
    }
    // Writers drop the padding after a list's last value.
    void SkipPadding(uint64_t size) { pos_ += std::min(Padding(size), left()); }

private:
    std::string_view bytes_;
    uint64_t pos_ = 0;
    uint64_t base_;
};

struct Attribute {
    uint8_t level = 0;
    uint32_t id = 0;
    std::string_view data;
    uint64_t offset = 0;  // of its level byte
    uint64_t dataOffset = 0;
};

std::string Where(const Attribute& a) {
    return "attribute " + Hex32(a.id) + " at offset " + std::to_string(a.offset);
}

// Checksums are not checked: many writers get them wrong, and an attribute
// whose data makes no sense is refused for that.
std::string SplitAttributes(std::string_view bytes, uint64_t base, std::vector<Attribute>* out) {
    Cursor c(bytes, base);
    std::string_view head;
    if (!c.Take(6, &head))
        return "a TNEF stream of " + std::to_string(bytes.size()) +
               " bytes is too short for its signature and key";
    if (DecodeFixed32(head.data()) != kSignature)
        return "the signature is " + Hex32(DecodeFixed32(head.data())) + ", not " +
               Hex32(kSignature);
    while (c.left() > 0) {
        Attribute a;
        a.offset = c.offset();
        a.level = static_cast<uint8_t>(bytes[static_cast<size_t>(a.offset - base)]);
        if (a.level != kLevelMessage && a.level != kLevelAttachment) {
            // Mail is seen with undecoded text after the last attribute:
            // past the first attribute, bytes that cannot start one are
            // left over rather than a broken stream.
            if (out->empty())
                return "the attribute at offset " + std::to_string(a.offset) + " has level " +
                       std::to_string(a.level) + ", neither message (1) nor attachment (2)";
            return {};
        }
        if (!c.Take(kAttributeHead, &head))
            return "the attribute at offset " + std::to_string(a.offset) + " is cut short after " +
                   std::to_string(c.left()) + " bytes";
        a.id = DecodeFixed32(head.data() + 1);
        const uint32_t length = DecodeFixed32(head.data() + 5);
        a.dataOffset = c.offset();
        const uint64_t left = c.left();
        std::string_view checksum;
        if (!c.Take(length, &a.data) || !c.Take(kChecksumSize, &checksum))
            return Where(a) + " runs past the end: " + std::to_string(length) +
                   " bytes of data and a checksum, " + std::to_string(left) + " bytes left";
        out->push_back(a);
    }
    return {};
}

// A property of a list as stored, its values still bytes of the stream.
struct RawProperty {
    uint32_t tag = 0;
    uint64_t offset = 0;
    bool named = false;
    TnefNamedProperty name;  // set, byName, lid and name when named
    std::vector<std::string_view> values;
};

// Bytes of a fixed-size value before its padding; 0 for other types.
uint64_t FixedSize(uint16_t type) {
    switch (type) {
        case pst::kPtShort:
        case pst::kPtBoolean:
            return 2;
        case pst::kPtLong:
        case pst::kPtFloat:
        case pst::kPtError:
            return 4;
        case pst::kPtDouble:
        case pst::kPtCurrency:
        case pst::kPtAppTime:
        case pst::kPtI8:
        case pst::kPtSysTime:
            return 8;
        case pst::kPtClsid:
            return 16;
        default:
            return 0;
    }
}

bool IsVariableSize(uint16_t type) {
    return type == pst::kPtString8 || type == pst::kPtUnicode || type == pst::kPtBinary ||
           type == pst::kPtObject;
}

std::string FormatGuid(std::string_view g) {
    const auto b = [&](int i) { return static_cast<unsigned>(static_cast<uint8_t>(g[i])); };
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  DecodeFixed32(g.data()), DecodeFixed16(g.data() + 4), DecodeFixed16(g.data() + 6),
                  b(8), b(9), b(10), b(11), b(12), b(13), b(14), b(15));
    return buf;
}

// UTF-16LE up to its first NUL.
std::string Utf16Text(std::string_view bytes) {
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        if (bytes[i] == 0 && bytes[i + 1] == 0) {
            bytes = bytes.substr(0, i);
            break;
        }
    return format::Utf8FromUtf16(bytes);
}

// 8-bit text up to its first NUL, in the stream's code page.
std::string Text8(std::string_view bytes, const std::string& charset) {
    bytes = bytes.substr(0, bytes.find('\0'));
    return DecodeText(bytes, charset).utf8;
}

std::string ReadProperty(Cursor& c, RawProperty* p) {
    p->offset = c.offset();
    if (!c.Read32(&p->tag))
        return "the property at offset " + std::to_string(p->offset) + " runs past the end";
    // Built only for a cause: lists hold thousands of properties.
    const auto which = [p] {
        return "property " + Hex32(p->tag) + " at offset " + std::to_string(p->offset);
    };
    const uint16_t type = format::PropTypeOf(p->tag);
    const uint16_t single = type & ~pst::kPtMultiple;
    if (format::PropIdOf(p->tag) >= 0x8000) {
        p->named = true;
        std::string_view guid;
        uint32_t kind = 0;
        if (!c.Take(16, &guid) || !c.Read32(&kind)) return which() + ": its name runs past the end";
        p->name.set = FormatGuid(guid);
        if (kind == 0) {
            if (!c.Read32(&p->name.lid)) return which() + ": its name runs past the end";
        } else if (kind == 1) {
            uint32_t length = 0;
            std::string_view name;
            if (!c.Read32(&length) || !c.Take(length, &name))
                return which() + ": its name runs past the end";
            c.SkipPadding(length);
            p->name.byName = true;
            p->name.name = Utf16Text(name);
        } else {
            return which() + ": name kind " + std::to_string(kind) +
                   " is neither number nor string";
        }
    }
    const uint64_t fixed = FixedSize(single);
    const bool variable = IsVariableSize(single);
    if (fixed == 0 && !variable) return which() + ": type " + Hex32(type) + " has no known size";
    uint32_t count = 1;
    if ((type & pst::kPtMultiple) || variable) {
        if (!c.Read32(&count)) return which() + ": its value count runs past the end";
        const uint64_t least = variable ? 4 : fixed + Padding(fixed);
        if (count > c.left() / least)
            return which() + ": " + std::to_string(count) + " values cannot fit in the " +
                   std::to_string(c.left()) + " bytes left";
    }
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t size = fixed;
        if (variable) {
            uint32_t length = 0;
            if (!c.Read32(&length))
                return which() + ": value " + std::to_string(i) + " runs past the end";
            size = length;
        }
        std::string_view value;
        if (!c.Take(size, &value))
            return which() + ": value " + std::to_string(i) + " of " + std::to_string(size) +
                   " bytes runs past the end";
        c.SkipPadding(size);
        p->values.push_back(value);
    }
    return {};
}

std::string ReadPropertyList(Cursor& c, std::vector<RawProperty>* out) {
    uint32_t count = 0;
    if (!c.Read32(&count)) return "the property count runs past the end";
    // Each property takes at least its tag.
    if (count > c.left() / 4)
        return std::to_string(count) + " properties cannot fit in the " + std::to_string(c.left()) +
               " bytes left";
    for (uint32_t i = 0; i < count; ++i) {
        RawProperty p;
        if (std::string cause = ReadProperty(c, &p); !cause.empty()) return cause;
        out->push_back(std::move(p));
    }
    return {};
}

std::optional<std::string> TextOf(const RawProperty& p, const std::string& charset) {
    if (p.values.empty()) return std::nullopt;
    if (format::PropTypeOf(p.tag) == pst::kPtUnicode) return Utf16Text(p.values.front());
    if (format::PropTypeOf(p.tag) == pst::kPtString8) return Text8(p.values.front(), charset);
    return std::nullopt;
}

// The value as an item takes it and the type it suits; false for what no
// PropValue holds.
bool ToValue(const RawProperty& p, const std::string& charset, uint16_t* type, PropValue* value) {
    *type = format::PropTypeOf(p.tag);
    const auto& values = p.values;
    if (*type & pst::kPtMultiple) {
        switch (*type & ~pst::kPtMultiple) {
            case pst::kPtLong: {
                std::vector<int32_t> list;
                for (auto v : values) list.push_back(static_cast<int32_t>(DecodeFixed32(v.data())));
                *value = std::move(list);
                return true;
            }
            case pst::kPtString8:
            case pst::kPtUnicode: {
                const bool wide = (*type & ~pst::kPtMultiple) == pst::kPtUnicode;
                std::vector<std::string> list;
                for (auto v : values) list.push_back(wide ? Utf16Text(v) : Text8(v, charset));
                *type = pst::kPtMultiple | pst::kPtUnicode;
                *value = std::move(list);
                return true;
            }
            case pst::kPtBinary: {
                std::vector<Binary> list;
                for (auto v : values) list.push_back(Binary{std::string(v)});
                *value = std::move(list);
                return true;
            }
            default:
                return false;
        }
    }
    if (values.empty()) return false;
    const std::string_view v = values.front();
    switch (*type) {
        case pst::kPtShort:
            *value = static_cast<int32_t>(static_cast<int16_t>(DecodeFixed16(v.data())));
            return true;
        case pst::kPtLong:
            *value = static_cast<int32_t>(DecodeFixed32(v.data()));
            return true;
        case pst::kPtBoolean:
            *value = DecodeFixed16(v.data()) != 0;
            return true;
        case pst::kPtDouble:
        case pst::kPtAppTime: {
            const uint64_t bits = DecodeFixed64(v.data());
            double d;
            std::memcpy(&d, &bits, sizeof d);
            *value = d;
            return true;
        }
        case pst::kPtCurrency:
        case pst::kPtI8:
            *value = static_cast<int64_t>(DecodeFixed64(v.data()));
            return true;
        case pst::kPtSysTime:
            *value = FileTime{DecodeFixed64(v.data())};
            return true;
        case pst::kPtClsid:
        case pst::kPtBinary:
            *value = Binary{std::string(v)};
            return true;
        case pst::kPtString8:
        case pst::kPtUnicode:
            *value = *TextOf(p, charset);
            *type = pst::kPtUnicode;
            return true;
        default:
            return false;
    }
}

void Keep(const RawProperty& p, const std::string& charset, std::vector<TnefProperty>* props,
          std::vector<TnefNamedProperty>* named) {
    uint16_t type = 0;
    PropValue value;
    if (!ToValue(p, charset, &type, &value)) return;
    if (p.named) {
        if (!named) return;
        TnefNamedProperty n = p.name;
        n.type = type;
        n.value = std::move(value);
        named->push_back(std::move(n));
    } else {
        props->push_back({pst::MakeTag(format::PropIdOf(p.tag), type), std::move(value)});
    }
}

std::optional<std::string_view> BinaryOf(const RawProperty& p) {
    if (format::PropTypeOf(p.tag) != pst::kPtBinary || p.values.empty()) return std::nullopt;
    return p.values.front();
}

// An attribute date: year, month, day, hour, minute, second and weekday as
// 16-bit numbers. Nothing for a date no FILETIME holds.
std::optional<FileTime> DateOf(std::string_view d) {
    if (d.size() < 12) return std::nullopt;
    unsigned f[6];
    for (int i = 0; i < 6; ++i) f[i] = DecodeFixed16(d.data() + 2 * i);
    if (f[0] < 1601 || f[1] < 1 || f[1] > 12 || f[2] < 1 || f[2] > 31 || f[3] > 23 || f[4] > 59 ||
        f[5] > 60)
        return std::nullopt;
    const int64_t seconds =
        DaysFromCivil(f[0], f[1], f[2]) * 86400 + f[3] * 3600 + f[4] * 60 + f[5];
    return FileTime::FromUnix(seconds);
}

// Legacy Microsoft Mail classes as their MAPI names ([MS-OXTNEF] 2.3.3.4).
std::string MessageClassOf(std::string name) {
    constexpr std::string_view kPrefix = "Microsoft Mail v3.0 ";
    if (name.compare(0, kPrefix.size(), kPrefix) == 0) name.erase(0, kPrefix.size());
    static const struct {
        const char* legacy;
        const char* mapi;
    } kClasses[] = {
        {"IPM.Microsoft Mail.Note", "IPM.Note"},
        {"IPM.Microsoft Mail.Read Receipt", "Report.IPM.Note.IPNRN"},
        {"IPM.Microsoft Mail.Non-Delivery", "Report.IPM.Note.NDR"},
        {"IPM.Microsoft Schedule.MtgRespP", "IPM.Schedule.Meeting.Resp.Pos"},
        {"IPM.Microsoft Schedule.MtgRespN", "IPM.Schedule.Meeting.Resp.Neg"},
        {"IPM.Microsoft Schedule.MtgRespA", "IPM.Schedule.Meeting.Resp.Tent"},
        {"IPM.Microsoft Schedule.MtgReq", "IPM.Schedule.Meeting.Request"},
        {"IPM.Microsoft Schedule.MtgCncl", "IPM.Schedule.Meeting.Canceled"},
    };
    for (const auto& c : kClasses)
        if (name == c.legacy) return c.mapi;
    return name;
}

// The charset of a Windows code page, as DecodeText takes it; empty for
// one it does not know, which DecodeText reads as UTF-8 or windows-1252.
std::string CharsetOf(uint32_t codePage) {
    if (codePage >= 1250 && codePage <= 1258) return "windows-" + std::to_string(codePage);
    if (codePage >= 28591 && codePage <= 28599)
        return "iso-8859-" + std::to_string(codePage - 28590);
    // The DOS code pages, as iconv names them.
    if (codePage >= 437 && codePage <= 869) return "cp" + std::to_string(codePage);
    static const struct {
        uint32_t codePage;
        const char* name;
    } kNames[] = {
        {65001, "utf-8"},     {20127, "us-ascii"}, {28603, "iso-8859-13"}, {28605, "iso-8859-15"},
        {874, "windows-874"}, {932, "shift_jis"},  {936, "gbk"},           {949, "cp949"},
        {950, "big5"},        {20866, "koi8-r"},   {21866, "koi8-u"},      {51932, "euc-jp"},
        {51949, "euc-kr"},    {54936, "gb18030"},  {50220, "iso-2022-jp"},
    };
    for (const auto& n : kNames)
        if (n.codePage == codePage) return n.name;
    return {};
}

std::string Decode(std::string_view bytes, uint64_t base, int depth, TnefMessage* out);

class StreamReader {
public:
    StreamReader(std::string_view bytes, uint64_t base, int depth, TnefMessage* out)
        : bytes_(bytes), base_(base), depth_(depth), out_(out) {}

    std::string Run();

private:
    std::string ReadMessage(const std::vector<const Attribute*>& attributes);
    std::string ReadAttachment(const std::vector<const Attribute*>& attributes, size_t number,
                               TnefAttachment* attachment);
    std::string ReadList(const Attribute& a, std::vector<RawProperty>* props) const;
    uint64_t OffsetOf(std::string_view part) const {
        return base_ + static_cast<uint64_t>(part.data() - bytes_.data());
    }

    std::string_view bytes_;
    uint64_t base_;
    int depth_;
    TnefMessage* out_;
    std::string charset_;
};

std::string StreamReader::Run() {
    std::vector<Attribute> attributes;
    if (std::string cause = SplitAttributes(bytes_, base_, &attributes); !cause.empty())
        return cause;
    std::vector<const Attribute*> message;
    std::vector<std::vector<const Attribute*>> attachments;
    for (const Attribute& a : attributes) {
        if (a.id == kAttOemCodepage && a.data.size() >= 4)
            out_->codePage = DecodeFixed32(a.data.data());
        if (a.level == kLevelMessage) {
            message.push_back(&a);
        } else {
            // Each attachment starts at its attAttachRendData; a writer
            // that leaves it out still gets its attributes kept.
            if (a.id == kAttAttachRendData || attachments.empty()) attachments.emplace_back();
            attachments.back().push_back(&a);
        }
    }
    charset_ = CharsetOf(out_->codePage);
    if (std::string cause = ReadMessage(message); !cause.empty()) return cause;
    out_->attachments.resize(attachments.size());
    for (size_t i = 0; i < attachments.size(); ++i)
        if (std::string cause = ReadAttachment(attachments[i], i + 1, &out_->attachments[i]);
            !cause.empty())
            return cause;
    return {};
}

std::string StreamReader::ReadList(const Attribute& a, std::vector<RawProperty>* props) const {
    Cursor c(a.data, a.dataOffset);
    std::string cause = ReadPropertyList(c, props);
    return cause.empty() ? cause : Where(a) + ": " + cause;
}

std::string StreamReader::ReadMessage(const std::vector<const Attribute*>& attributes) {
    TnefMessage& m = *out_;
    // The attributes first: properties in attMsgProps override them.
    for (const Attribute* a : attributes) {
        if (a->id == kAttMessageClass) m.messageClass = MessageClassOf(Text8(a->data, charset_));
        if (a->id == kAttSubject) m.subject = Text8(a->data, charset_);
        if (a->id == kAttBody) m.body = Text8(a->data, charset_);
    }
    for (const Attribute* a : attributes) {
        if (a->id == kAttRecipTable) {
            Cursor c(a->data, a->dataOffset);
            uint32_t rows = 0;
            if (!c.Read32(&rows) || rows > c.left() / 4)
                return Where(*a) + ": the row count does not fit the " +
                       std::to_string(a->data.size()) + " bytes";
            for (uint32_t r = 0; r < rows; ++r) {
                std::vector<RawProperty> props;
                if (std::string cause = ReadPropertyList(c, &props); !cause.empty())
                    return Where(*a) + ": row " + std::to_string(r) + ": " + cause;
                auto& row = m.recipients.emplace_back();
                for (const RawProperty& p : props) Keep(p, charset_, &row, nullptr);
            }
        }
        if (a->id != kAttMsgProps) continue;
        std::vector<RawProperty> props;
        if (std::string cause = ReadList(*a, &props); !cause.empty()) return cause;
        for (const RawProperty& p : props) {
            const uint16_t id = p.named ? 0 : format::PropIdOf(p.tag);
            std::optional<std::string> text = p.named ? std::nullopt : TextOf(p, charset_);
            std::optional<std::string_view> binary = p.named ? std::nullopt : BinaryOf(p);
            if (id == kIdMessageClass && text)
                m.messageClass = *text;
            else if (id == kIdSubject && text)
                m.subject = *text;
            else if (id == kIdBody && text)
                m.body = *text;
            else if (id == kIdHtml && (text || binary))
                m.html = text ? *text : std::string(*binary);
            else if (id == kIdRtfCompressed && binary)
                m.rtfCompressed = *binary;
            else
                Keep(p, charset_, &m.properties, &m.named);
        }
    }
    return {};
}

std::string StreamReader::ReadAttachment(const std::vector<const Attribute*>& attributes,
                                         size_t number, TnefAttachment* att) {
    std::string_view data;
    for (const Attribute* a : attributes) {
        if (a->id == kAttAttachTitle) att->longFilename = Text8(a->data, charset_);
        if (a->id == kAttAttachData) data = a->data;
        if (a->id == kAttAttachCreateDate) att->created = DateOf(a->data);
        if (a->id == kAttAttachModifyDate) att->modified = DateOf(a->data);
    }
    bool message = false;  // `data` is an IMessage object's TNEF stream
    for (const Attribute* a : attributes) {
        if (a->id != kAttAttachment) continue;
        std::vector<RawProperty> props;
        if (std::string cause = ReadList(*a, &props); !cause.empty()) return cause;
        for (const RawProperty& p : props) {
            const uint16_t id = p.named ? 0 : format::PropIdOf(p.tag);
            const uint16_t type = format::PropTypeOf(p.tag);
            std::optional<std::string> text = p.named ? std::nullopt : TextOf(p, charset_);
            if (id == kIdAttachData && type == pst::kPtBinary && !p.values.empty()) {
                data = p.values.front();
                message = false;
            } else if (id == kIdAttachData && type == pst::kPtObject && !p.values.empty() &&
                       p.values.front().size() >= kIidMessage.size()) {
                // The object's interface id, then its data.
                message = p.values.front().substr(0, kIidMessage.size()) == kIidMessage;
                data = p.values.front().substr(kIidMessage.size());
            } else if (id == kIdAttachLongFilename && text) {
                att->longFilename = *text;
            } else if (id == kIdAttachMimeTag && text) {
                att->mimeTag = *text;
            } else if (id == kIdAttachContentId && text) {
                att->contentId = *text;
            } else if (id == kIdAttachMethod && type == pst::kPtLong && !p.values.empty()) {
                att->method = static_cast<int32_t>(DecodeFixed32(p.values.front().data()));
            } else if (id == kIdCreationTime && type == pst::kPtSysTime && !p.values.empty()) {
                att->created = FileTime{DecodeFixed64(p.values.front().data())};
            } else if (id == kIdLastModificationTime && type == pst::kPtSysTime &&
                       !p.values.empty()) {
                att->modified = FileTime{DecodeFixed64(p.values.front().data())};
            } else {
                Keep(p, charset_, &att->properties, &att->named);
            }
        }
    }
    // Some writers give an embedded message as binary data of method 5.
    if (!message && att->method == ATTACH_EMBEDDED_MSG && data.size() >= 4 &&
        DecodeFixed32(data.data()) == kSignature)
        message = true;
    if (!message) {
        att->data = data;
        return {};
    }
    att->method = ATTACH_EMBEDDED_MSG;
    att->embedded = std::make_unique<TnefMessage>();
    std::string cause = Decode(data, OffsetOf(data), depth_ + 1, att->embedded.get());
    if (!cause.empty())
        return "attachment " + std::to_string(number) + "'s embedded message: " + cause;
    return {};
}

std::string Decode(std::string_view bytes, uint64_t base, int depth, TnefMessage* out) {
    *out = TnefMessage{};
    if (depth > kMaxTnefDepth)
        return "embedded messages nest deeper than " + std::to_string(kMaxTnefDepth) + " levels";
    return StreamReader(bytes, base, depth, out).Run();
}

}  // namespace

std::string DecodeTnef(std::string_view bytes, TnefMessage* out) {
    return Decode(bytes, 0, 0, out);
}

}  // namespace mailvane::mapi::import
