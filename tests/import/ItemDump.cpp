#include "import/ItemDump.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "mapi/PropValue.h"
#include "mapi/format/Crc.h"

namespace mailvane::test {
namespace {

// Long values are shown by their start, length and checksum, so an account
// stays readable yet still changes when any byte does.
constexpr size_t kShownText = 600;
constexpr size_t kShownBinary = 48;

std::string Sum(std::string_view bytes) {
    char text[48];
    std::snprintf(text, sizeof text, "%zu bytes crc %08" PRIX32, bytes.size(),
                  format::Crc32(bytes, 0xFFFFFFFF));
    return text;
}

std::string Escaped(std::string_view text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size() && i < kShownText; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
    if (text.size() > kShownText) out += "... (" + Sum(text) + ")";
    return out;
}

std::string Hex(std::string_view bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size() && i < kShownBinary; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned char>(bytes[i]));
        out += hex;
    }
    if (bytes.size() > kShownBinary) out += "... (" + Sum(bytes) + ")";
    return out;
}

std::string Time(mapi::FileTime t) {
    int64_t seconds = static_cast<int64_t>(t.ticks / 10000000ULL) - 11644473600LL;
    std::time_t unix = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&unix, &tm);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return text;
}

std::string Value(const pst::Property& stored) {
    mapi::PropValue value;
    if (!mapi::FromStored(stored, &value)) return "(unreadable) " + Hex(stored.value);
    struct Visitor {
        std::string operator()(int32_t v) const { return "Long " + std::to_string(v); }
        std::string operator()(bool v) const { return v ? "Boolean true" : "Boolean false"; }
        std::string operator()(int64_t v) const { return "I8 " + std::to_string(v); }
        std::string operator()(double v) const { return "Double " + std::to_string(v); }
        std::string operator()(mapi::FileTime v) const { return "Time " + Time(v); }
        std::string operator()(const std::string& v) const { return "String " + Escaped(v); }
        std::string operator()(const mapi::Binary& v) const { return "Binary " + Hex(v.bytes); }
        std::string operator()(const std::vector<int32_t>& v) const {
            return "MultiLong x" + std::to_string(v.size());
        }
        std::string operator()(const std::vector<std::string>& v) const {
            std::string out = "MultiString";
            for (const std::string& item : v) {
                out += ' ';
                out += Escaped(item);
            }
            return out;
        }
        std::string operator()(const std::vector<mapi::Binary>& v) const {
            return "MultiBinary x" + std::to_string(v.size());
        }
    };
    return std::visit(Visitor{}, value);
}

void DumpProps(const pst::PropertyList& props, const std::string& indent, std::string& out) {
    pst::PropertyList sorted = props;
    std::sort(sorted.begin(), sorted.end(),
              [](const pst::Property& a, const pst::Property& b) { return a.tag < b.tag; });
    for (const pst::Property& p : sorted) {
        char tag[16];
        std::snprintf(tag, sizeof tag, "%08" PRIX32 " ", p.tag);
        out += indent + tag + Value(p) + "\n";
    }
}

void DumpContent(const pst::MessageContent& m, const std::string& indent, std::string& out) {
    DumpProps(m.props, indent, out);
    for (size_t i = 0; i < m.recipients.size(); ++i) {
        out += indent + "recipient " + std::to_string(i + 1) + "\n";
        DumpProps(m.recipients[i], indent + "  ", out);
    }
    for (size_t i = 0; i < m.attachments.size(); ++i) {
        out += indent + "attachment " + std::to_string(i + 1) + "\n";
        DumpProps(m.attachments[i].props, indent + "  ", out);
        if (m.attachments[i].embedded) {
            out += indent + "  embedded message\n";
            DumpContent(*m.attachments[i].embedded, indent + "    ", out);
        }
    }
}

}  // namespace

std::string DumpItem(const mapi::MailItem& item) {
    std::string out;
    DumpContent(item.Content(), "  ", out);
    // Named properties get their ids from a store; shown by name here.
    for (const format::NamedProperty& n : item.named()) {
        const pst::Property value{pst::MakeTag(0x8000, n.type), n.value};
        out += "  named " + Hex(n.set) + " " +
               (n.byName ? Escaped(n.name) : std::to_string(n.lid)) + " " + Value(value) + "\n";
    }
    return out;
}

}  // namespace mailvane::test
