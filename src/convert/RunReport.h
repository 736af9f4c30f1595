#pragma once
// What a conversion run did: counts, and every failure with its cause.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "convert/RunHost.h"

namespace mailvane {

struct RunFailure {
    std::filesystem::path mailbox;
    std::int64_t message = 0;  // 0 when the failure is the mailbox's own
    std::string cause;
};

struct RunReport {
    static constexpr std::size_t kMaxKeptFailures = 1000;

    bool started = false;  // false when the run ended before it began
    bool stopped = false;  // a stop request ended it early
    OutputFormat format = OutputFormat::None;
    int mailboxes = 0;        // mailboxes the run took up
    int mailboxesFailed = 0;  // could not be read, or read only in part
    std::int64_t messagesWritten = 0;
    std::int64_t messagesFailed = 0;
    std::vector<RunFailure> failures;  // the first kMaxKeptFailures
    std::size_t failureCount = 0;      // all of them
    std::vector<std::string> notes;    // things worth saying that are no failure

    bool Clean() const { return failureCount == 0 && !stopped; }
    void AddFailure(const std::filesystem::path& mailbox, std::int64_t message, std::string cause);
};

// One line for a failure: "Inbox.mbox, message 12: cannot write ...".
std::string FailureLine(const RunFailure& failure);

// The message the user gets at the end of a run.
std::string CompletionText(const RunReport& report);

// A line of 75 asterisks, as the completion messages use.
std::string AsteriskLine();

}  // namespace mailvane
