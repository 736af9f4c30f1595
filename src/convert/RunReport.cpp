#include "convert/RunReport.h"

#include <cstdio>

#include "support/Paths.h"

namespace mailvane {

void RunReport::AddFailure(const std::filesystem::path& mailbox, std::int64_t message,
                           std::string cause) {
    ++failureCount;
    if (failures.size() < kMaxKeptFailures)
        failures.push_back({mailbox, message, std::move(cause)});
}

void RunReport::AddSkippedFolder(const std::filesystem::path& folder, std::string cause) {
    ++foldersSkipped;
    AddFailure(folder, 0, std::move(cause));
}

void RunReport::Append(const RunReport& later) {
    started = started || later.started;
    stopped = stopped || later.stopped;
    if (later.format != OutputFormat::None) format = later.format;
    mailboxes += later.mailboxes;
    mailboxesFailed += later.mailboxesFailed;
    foldersSkipped += later.foldersSkipped;
    storeFoldersFailed += later.storeFoldersFailed;
    storesFailed += later.storesFailed;
    sessionError = sessionError || later.sessionError;
    stores.insert(stores.end(), later.stores.begin(), later.stores.end());
    mailboxResults.insert(mailboxResults.end(), later.mailboxResults.begin(),
                          later.mailboxResults.end());
    messagesWritten += later.messagesWritten;
    messagesFailed += later.messagesFailed;
    for (const auto& failure : later.failures) {
        if (failures.size() >= kMaxKeptFailures) break;
        failures.push_back(failure);
    }
    failureCount += later.failureCount;
    notes.insert(notes.end(), later.notes.begin(), later.notes.end());
}

namespace {

std::string ShownPath(const ReportStyle& style, const std::filesystem::path& path) {
    return style.path ? style.path(path) : DisplayPath(path);
}

std::string ShownText(const ReportStyle& style, const std::string& text) {
    return style.text ? style.text(text) : text;
}

}  // namespace

std::string FailureLine(const RunFailure& failure, const ReportStyle& style) {
    std::string line = ShownPath(style, failure.mailbox);
    if (failure.message > 0) line += ", message " + std::to_string(failure.message);
    return line + ": " + ShownText(style, failure.cause);
}

std::string StoresText(const RunReport& report, const ReportStyle& style) {
    std::string text;
    for (const StoreSummary& store : report.stores) {
        if (!text.empty()) text += '\n';
        text += "Store " + ShownPath(style, store.path) + ":";
        if (store.folders.empty()) text += " no mailbox folders";
        for (const StoreSummary::Folder& folder : store.folders) {
            text += "\n  " + ShownText(style, folder.name) + ": " +
                    CountOf(folder.messages, "message", "messages");
        }
    }
    return text;
}

std::string AsteriskLine() {
    return std::string(75, '*');
}

std::string CountOf(std::int64_t count, std::string_view one, std::string_view many) {
    return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

std::string CompletionText(const RunReport& report, const ReportStyle& style) {
    const std::string stars = AsteriskLine();
    std::string text;
    if (report.Clean()) {
        // The fixed completion messages, word for word; the counts follow
        // after an empty line in both.
        if (report.format == OutputFormat::Pst) {
            text = stars +
                   "\nYour messages from MBOX files has been successfully exported to Outlook "
                   "(.pst) file.\n" +
                   stars +
                   "\nStart Outlook and open converted pst file by clicking File -> Open -> "
                   "Outlook Data File. And it all done !\n";
        } else {
            text = stars + "\nYour messages from MBOX files has been successfully exported.\n" +
                   stars + "\n";
        }
        text += "\n" + CountOf(report.messagesWritten, "message", "messages") + " from " +
                CountOf(report.mailboxes, "mailbox", "mailboxes") + ".";
    } else {
        text = report.stopped ? "The conversion was stopped before its end.\n" : "";
        text += CountOf(report.messagesWritten, "message was", "messages were") +
                " exported from " + CountOf(report.mailboxes, "mailbox", "mailboxes");
        if (report.messagesFailed > 0) {
            text += "; " + CountOf(report.messagesFailed, "message", "messages") + " could not be";
        }
        text += ".";
        if (report.mailboxesFailed > 0) {
            text += "\n" + std::to_string(report.mailboxesFailed) + " of " +
                    CountOf(report.mailboxes, "mailbox", "mailboxes") +
                    " could not be converted, or only in part.";
        }
        if (report.storeFoldersFailed > 0) {
            text += "\n" + CountOf(report.storeFoldersFailed, "mailbox folder", "mailbox folders") +
                    " could not be made in the store.";
        }
        if (report.storesFailed > 0) {
            text += "\n" + CountOf(report.storesFailed, "store", "stores") +
                    " could not be finished and may not open.";
        }
        if (report.foldersSkipped > 0) {
            text += "\n" + CountOf(report.foldersSkipped, "folder", "folders") +
                    " could not be listed; any mailboxes in " +
                    (report.foldersSkipped == 1 ? "it" : "them") + " were not converted.";
        }
        if (report.failureCount > 0) text += "\n\nWhat failed:";
        for (std::size_t i = 0; i < report.failures.size() && i < kFailuresShown; ++i) {
            const RunFailure& failure = report.failures[i];
            text += '\n';
            text += style.failure ? style.failure(failure) : FailureLine(failure, style);
        }
        if (report.failureCount > kFailuresShown) {
            text += "\n... and " + std::to_string(report.failureCount - kFailuresShown) + " more.";
        }
    }
    constexpr std::size_t kNotesShown = 5;
    for (std::size_t i = 0; i < report.notes.size() && i < kNotesShown; ++i) {
        text += '\n';
        text += ShownText(style, report.notes[i]);
    }
    if (report.notes.size() > kNotesShown) {
        text +=
            "\n... and " +
            CountOf(std::int64_t(report.notes.size() - kNotesShown), "more note", "more notes") +
            ".";
    }
    return text;
}

namespace {

// The length of the well-formed UTF-8 sequence at the start of `text` and
// the code point it encodes; 0 when it is not well formed (overlong forms,
// surrogates and values past U+10FFFF included).
std::size_t DecodeUtf8(std::string_view text, char32_t& code) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    char32_t min = 0;
    if (lead < 0x80) {
        code = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, code = lead & 0x1F, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, code = lead & 0x0F, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, code = lead & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (text.size() < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(i) & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

// Characters that move the cursor, change the terminal's state or reorder
// what is shown: C0 and C1 controls, DEL, line and paragraph separators, and
// the bidirectional marks, embeddings, overrides and isolates.
bool ActsOnDisplay(char32_t code) {
    return code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0x200E || code == 0x200F ||
           (code >= 0x2028 && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069) ||
           code == 0x061C;
}

}  // namespace

std::string VisibleText(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    char escape[16];
    while (!text.empty()) {
        char32_t code = 0;
        const std::size_t length = DecodeUtf8(text, code);
        if (length == 0) {
            std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(text[0]));
            shown += escape;
            text.remove_prefix(1);
            continue;
        }
        if (!ActsOnDisplay(code)) {
            shown.append(text.substr(0, length));
        } else if (code == '\n') {
            shown += "\\n";
        } else if (code == '\r') {
            shown += "\\r";
        } else if (code == '\t') {
            shown += "\\t";
        } else if (code < 0x80) {
            std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(code));
            shown += escape;
        } else {
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(code));
            shown += escape;
        }
        text.remove_prefix(length);
    }
    return shown;
}

}  // namespace mailvane
