#include "cli/JsonReport.h"

#include <cstdint>
#include <cstdio>

#include "support/Paths.h"

namespace mailvane {

namespace {

// The length of the UTF-8 sequence at the start of `text`, or 0 when it is
// not one (a stray byte, a cut or overlong sequence, a surrogate).
std::size_t SequenceLength(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    }
    if (length == 0 || text.size() < length || byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if ((byte(i) & 0xC0) != 0x80) return 0;
    return length;
}

std::string Path(const std::filesystem::path& path) {
    return JsonString(DisplayPath(path));
}

}  // namespace

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const std::size_t length = SequenceLength(text.substr(i));
            if (length == 0) {
                out += "\\ufffd";
                ++i;
            } else {
                out.append(text.substr(i, length));
                i += length;
            }
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    return out + "\"";
}

std::string ReportJson(const RunReport& report, const std::filesystem::path& destination) {
    const auto number = [](std::int64_t n) { return std::to_string(n); };
    const char* format = report.format == OutputFormat::Eml    ? "eml"
                         : report.format == OutputFormat::Emlx ? "emlx"
                         : report.format == OutputFormat::Msg  ? "msg"
                         : report.format == OutputFormat::Pst  ? "pst"
                                                               : "";
    std::string out = "{\n";
    out += "  \"format\": " + JsonString(format) + ",\n";
    out += "  \"destination\": " + Path(destination) + ",\n";
    out += "  \"success\": " + std::string(report.started && report.Clean() ? "true" : "false") +
           ",\n";
    out += "  \"stopped\": " + std::string(report.stopped ? "true" : "false") + ",\n";
    out += "  \"messagesWritten\": " + number(report.messagesWritten) + ",\n";
    out += "  \"messagesFailed\": " + number(report.messagesFailed) + ",\n";
    out += "  \"mailboxesFailed\": " + number(report.mailboxesFailed) + ",\n";
    out += "  \"foldersSkipped\": " + number(report.foldersSkipped) + ",\n";
    out += "  \"storesFailed\": " + number(report.storesFailed) + ",\n";
    out += "  \"mailboxes\": [";
    for (std::size_t i = 0; i < report.mailboxResults.size(); ++i) {
        const MailboxResult& mailbox = report.mailboxResults[i];
        out += std::string(i ? "," : "") + "\n    {\"path\": " + Path(mailbox.path) +
               ", \"saved\": " + number(mailbox.saved) + ", \"failed\": " + number(mailbox.failed) +
               "}";
    }
    out += report.mailboxResults.empty() ? "],\n" : "\n  ],\n";
    out += "  \"failureCount\": " + number(std::int64_t(report.failureCount)) + ",\n";
    out += "  \"failures\": [";
    for (std::size_t i = 0; i < report.failures.size(); ++i) {
        const RunFailure& failure = report.failures[i];
        out += std::string(i ? "," : "") + "\n    {\"path\": " + Path(failure.mailbox) +
               ", \"message\": " + number(failure.message) +
               ", \"cause\": " + JsonString(failure.cause) + "}";
    }
    out += report.failures.empty() ? "],\n" : "\n  ],\n";
    out += "  \"stores\": [";
    for (std::size_t i = 0; i < report.stores.size(); ++i) {
        const StoreSummary& store = report.stores[i];
        out +=
            std::string(i ? "," : "") + "\n    {\"path\": " + Path(store.path) + ", \"folders\": [";
        for (std::size_t f = 0; f < store.folders.size(); ++f)
            out += std::string(f ? ", " : "") + "{\"name\": " + JsonString(store.folders[f].name) +
                   ", \"messages\": " + number(store.folders[f].messages) + "}";
        out += "]}";
    }
    out += report.stores.empty() ? "],\n" : "\n  ],\n";
    out += "  \"notes\": [";
    for (std::size_t i = 0; i < report.notes.size(); ++i)
        out += std::string(i ? "," : "") + "\n    " + JsonString(report.notes[i]);
    out += report.notes.empty() ? "]\n" : "\n  ]\n";
    return out + "}\n";
}

}  // namespace mailvane
