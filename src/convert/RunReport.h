#pragma once
// What a conversion run did: counts, and every failure with its cause.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "convert/RunHost.h"

namespace mailvane {

struct RunFailure {
    std::filesystem::path mailbox;  // or the folder or source the failure is about
    std::int64_t message = 0;       // 0 when the failure is the mailbox's own
    std::string cause;
};

// What became of one mailbox the run took up.
struct MailboxResult {
    std::filesystem::path path;
    std::int64_t saved = 0;   // messages written (in a store: on disk)
    std::int64_t failed = 0;  // messages that could not be
};

// A store the run wrote into, with the folders it made and their messages.
struct StoreSummary {
    struct Folder {
        std::string name;
        std::int64_t messages = 0;
    };
    std::filesystem::path path;
    std::vector<Folder> folders;
};

struct RunReport {
    static constexpr std::size_t kMaxKeptFailures = 1000;

    bool started = false;  // false when the run ended before it began
    bool stopped = false;  // a stop request ended it early
    OutputFormat format = OutputFormat::None;
    int mailboxes = 0;           // mailboxes the run took up
    int mailboxesFailed = 0;     // could not be read, or read only in part
    int foldersSkipped = 0;      // folders a scan could not list: their mailboxes were never read
    int storeFoldersFailed = 0;  // mailbox folders that could not be made in a store
    int storesFailed = 0;        // stores that could not be finished
    bool sessionError = false;   // no store could be had: the run ended there
    std::vector<StoreSummary> stores;           // in the order they were finished
    std::vector<MailboxResult> mailboxResults;  // in the order they were taken up
    std::int64_t messagesWritten = 0;
    std::int64_t messagesFailed = 0;
    std::vector<RunFailure> failures;  // the first kMaxKeptFailures
    std::size_t failureCount = 0;      // all of them
    std::vector<std::string> notes;    // things worth saying that are no failure

    bool Clean() const { return failureCount == 0 && !stopped; }
    void AddFailure(const std::filesystem::path& mailbox, std::int64_t message, std::string cause);
    // A folder that could not be listed: counted, and a failure with the cause.
    void AddSkippedFolder(const std::filesystem::path& folder, std::string cause);
    // Adds what `later` found after this report's own findings: the counts
    // summed, the failures, notes and stores of this report first.
    void Append(const RunReport& later);
};

// How a front end shows the parts of a report that come from outside the
// program: paths, and the causes and notes that may quote them. The command
// line makes control characters visible; the window also shortens long paths.
struct ReportStyle {
    std::function<std::string(const std::filesystem::path&)> path;  // empty: DisplayPath
    std::function<std::string(const std::string&)> text;            // empty: unchanged
    // A whole failure line, for a front end that shares its room between
    // path and cause; empty: FailureLine with `path` and `text`.
    std::function<std::string(const RunFailure&)> failure;
};

// One line for a failure: "Inbox.mbox, message 12: cannot write ...", its
// path and cause shown through `style.path` and `style.text`.
std::string FailureLine(const RunFailure& failure, const ReportStyle& style = {});

// The message the user gets at the end of a run. When nothing failed it is
// the fixed completion message (75 asterisks, the success sentence) followed
// by the counts; otherwise it says what was exported, what failed (the first
// kFailuresShown failures), and how many more there were. A run that ended
// in the session error shows that error instead and needs none.
std::string CompletionText(const RunReport& report, const ReportStyle& style = {});
inline constexpr std::size_t kFailuresShown = 5;

// Each store the report names, with its folders and their messages:
// "Store /out/Inbox.pst:" then "  Inbox: 2 messages"; paths and names shown
// through `style`. Empty without stores.
std::string StoresText(const RunReport& report, const ReportStyle& style = {});

// A line of 75 asterisks, as the completion messages use.
std::string AsteriskLine();

// "1 message", "2 messages": a count with the noun in the number it needs.
std::string CountOf(std::int64_t count, std::string_view one, std::string_view many);

// The text with nothing a terminal or a text box would act on: control
// characters (C0, DEL, C1), bidirectional and line-separator marks, and bytes
// that are not UTF-8 become visible escapes (\n, \t, \r, \x1b, \u202e), so a
// file name can neither move the cursor nor start a line of its own. Other
// characters, backslashes included, are kept.
std::string VisibleText(std::string_view text);

}  // namespace mailvane
