#include "cli/JsonReport.h"

#include <cstdint>
#include <cstdio>

#include "mapi/import/Charsets.h"
#include "support/Paths.h"

namespace mailvane {

namespace {

std::string Path(const std::filesystem::path& path) {
    return JsonString(DisplayPath(path));
}

}  // namespace

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    while (!text.empty()) {
        // The valid UTF-8 as it is (it stops at a NUL too), but for what
        // JSON escapes; each byte that is not UTF-8 as U+FFFD.
        const size_t valid = mapi::import::Utf8ValidLength(text);
        for (const char c : text.substr(0, valid)) {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += c;
            } else if (c == '\n') {
                out += "\\n";
            } else if (static_cast<unsigned char>(c) < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", c);
                out += escape;
            } else {
                out += c;
            }
        }
        if (valid == text.size()) break;
        out += text[valid] == '\0' ? "\\u0000" : "\\ufffd";
        text.remove_prefix(valid + 1);
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
