#include "convert/RunReport.h"

#include "support/Paths.h"

namespace mailvane {

void RunReport::AddFailure(const std::filesystem::path& mailbox, std::int64_t message,
                           std::string cause) {
    ++failureCount;
    if (failures.size() < kMaxKeptFailures)
        failures.push_back({mailbox, message, std::move(cause)});
}

std::string FailureLine(const RunFailure& failure) {
    std::string line = DisplayPath(failure.mailbox);
    if (failure.message > 0) line += ", message " + std::to_string(failure.message);
    return line + ": " + failure.cause;
}

std::string AsteriskLine() {
    return std::string(75, '*');
}

std::string CompletionText(const RunReport& report) {
    const std::string stars = AsteriskLine();
    std::string text;
    if (report.Clean()) {
        if (report.format == OutputFormat::Pst) {
            text = stars +
                   "\nYour messages from MBOX files has been successfully exported to Outlook "
                   "(.pst) file.\n" +
                   stars +
                   "\nStart Outlook and open converted pst file by clicking File -> Open -> "
                   "Outlook Data File. And it all done !";
        } else {
            text = stars + "\nYour messages from MBOX files has been successfully exported.\n" +
                   stars + "\n";
        }
        text += "\n" + std::to_string(report.messagesWritten) + " messages from " +
                std::to_string(report.mailboxes) + " mailboxes.";
    } else {
        text = report.stopped ? "The conversion was stopped before its end.\n" : "";
        text += std::to_string(report.messagesWritten) + " messages were exported from " +
                std::to_string(report.mailboxes) + " mailboxes";
        if (report.messagesFailed > 0) {
            text += "; " + std::to_string(report.messagesFailed) + " messages could not be";
        }
        text += ".";
        if (report.mailboxesFailed > 0) {
            text += "\n" + std::to_string(report.mailboxesFailed) + " of " +
                    std::to_string(report.mailboxes) +
                    " mailboxes could not be converted, or only in part.";
        }
        constexpr std::size_t kShown = 5;
        if (report.failureCount > 0) text += "\n\nWhat failed:";
        for (std::size_t i = 0; i < report.failures.size() && i < kShown; ++i) {
            text += "\n" + FailureLine(report.failures[i]);
        }
        if (report.failureCount > kShown) {
            text += "\n... and " + std::to_string(report.failureCount - kShown) + " more.";
        }
    }
    constexpr std::size_t kNotesShown = 5;
    for (std::size_t i = 0; i < report.notes.size() && i < kNotesShown; ++i) {
        text += "\n" + report.notes[i];
    }
    if (report.notes.size() > kNotesShown) {
        text += "\n... and " + std::to_string(report.notes.size() - kNotesShown) + " more notes.";
    }
    return text;
}

}  // namespace mailvane
