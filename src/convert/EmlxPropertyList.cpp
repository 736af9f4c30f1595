#include "convert/EmlxPropertyList.h"

#include "convert/HeaderFields.h"
#include "mapi/import/Dates.h"
#include "mapi/import/HeaderText.h"
#include "mapi/import/MailState.h"

namespace mailvane {

namespace {

std::int64_t FlagsOf(std::string_view headers) {
    const mapi::import::MailState state =
        mapi::import::ReadMailState([&](const char* name) { return FindHeader(headers, name); });
    std::int64_t flags = 0;
    if (state.read) flags |= kEmlxRead;
    if (state.answered) flags |= kEmlxAnswered;
    if (state.flagged) flags |= kEmlxFlagged;
    if (state.deleted) flags |= kEmlxDeleted;
    if (state.draft) flags |= kEmlxDraft;
    if (state.forwarded) flags |= kEmlxForwarded;
    return flags;
}

}  // namespace

EmlxProperties PropertiesOf(const CutMessage& message) {
    EmlxProperties properties;
    const auto headers = HeaderBlock(message.afterSeparator());
    // The store import reads the same dates, so both outputs show one instant.
    if (const auto date = FindHeader(headers, "Date"))
        properties.dateSent = mapi::import::MailDateSeconds(*date);
    if (!properties.dateSent)
        properties.dateSent = mapi::import::SeparatorSeconds(message.separatorLine());
    properties.flags = FlagsOf(headers);
    // Header text is read as the store import reads it: raw 8-bit bytes in
    // the charset the message's text declares.
    const auto type = FindHeader(headers, "Content-Type");
    const std::string charset =
        type ? mapi::import::PlainParameter(*type, "charset").value_or("") : std::string();
    auto text = [&](const char* name) {
        const auto raw = FindHeader(headers, name);
        return raw ? mapi::import::DecodeHeaderText(*raw, charset) : std::string();
    };
    properties.subject = text("Subject");
    properties.sender = text("From");
    properties.to = text("To");
    return properties;
}

std::string XmlText(const std::string& utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const char c = utf8[i];
        const auto byte = static_cast<unsigned char>(c);
        // U+FFFE and U+FFFF are valid UTF-8 but no XML characters either.
        if (utf8.compare(i, 2, "\xEF\xBF") == 0 && i + 2 < utf8.size() &&
            (utf8[i + 2] == '\xBE' || utf8[i + 2] == '\xBF')) {
            out += ' ';
            i += 2;
            continue;
        }
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            default:
                if (byte < 0x20 && c != '\t' && c != '\n') {
                    out += ' ';  // XML 1.0 cannot carry other control characters
                } else {
                    out += c;
                }
        }
    }
    return out;
}

std::string EmlxPropertyList(const EmlxProperties& properties) {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n<dict>\n";
    if (properties.dateSent) {
        xml += "\t<key>date-sent</key>\n\t<integer>" + std::to_string(*properties.dateSent) +
               "</integer>\n";
    }
    xml += "\t<key>flags</key>\n\t<integer>" + std::to_string(properties.flags) + "</integer>\n";
    xml += "\t<key>sender</key>\n\t<string>" + XmlText(properties.sender) + "</string>\n";
    xml += "\t<key>subject</key>\n\t<string>" + XmlText(properties.subject) + "</string>\n";
    xml += "\t<key>to</key>\n\t<string>" + XmlText(properties.to) + "</string>\n";
    xml += "</dict>\n</plist>\n";
    return xml;
}

}  // namespace mailvane
