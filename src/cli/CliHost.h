#pragma once
// The command line's side of a conversion run: fixed options, the sources
// from the command line, progress on the terminal, messages on the console.
//
// Everything printed goes through the Console, so a name can never write
// control characters to the terminal. Each failure is printed on standard
// error as it happens; the summary at the end gives the counts and the first
// few failures, and it counts what went wrong before the run (folders that
// could not be listed) as well.
#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "cli/Console.h"
#include "convert/RunHost.h"
#include "convert/RunReport.h"

namespace mailvane {

// How much the command line prints.
struct CliOutput {
    enum class Detail { Quiet, Normal, Verbose };
    Detail detail = Detail::Normal;
    // The report as JSON on standard output; every other line goes to
    // standard error.
    bool json = false;
};

class CliHost : public RunHost {
public:
    // `before` holds what failed while the sources were gathered; `roots`,
    // when given, the folder each source was found in (empty for a file).
    CliHost(OutputOptions options, std::filesystem::path destination,
            std::vector<std::filesystem::path> sources, std::atomic<bool>& stop, Console& console,
            RunReport before, std::vector<std::filesystem::path> roots = {}, CliOutput output = {});

    OutputOptions Options() override;
    std::optional<std::filesystem::path> ChooseDestination(const std::string& title) override;
    std::size_t SourceRowCount() override;
    std::filesystem::path SourceRow(std::size_t row) override;
    std::filesystem::path SourceRoot(std::size_t row) override;
    void ShowMailboxCaption(const std::string& text) override;
    void ShowFileCaption(const std::string& text) override;
    void ShowSavedCaption(const std::string& text) override;
    void ShowMessageSaved(std::int64_t number) override;
    void ShowMessagesLost(std::int64_t count) override;
    void ShowProgressBytes(std::uint64_t done, std::uint64_t total) override;
    void ShowMessage(MessageKind kind, const std::string& title, const std::string& text) override;
    void ShowFailure(const RunFailure& failure) override;
    void RunStarted() override;
    void RunFinished(const RunReport& report) override;
    void Yield() override {}
    bool StopRequested() override;

    // What the whole command did: the failures before the run and the run's
    // report. Complete once the run has finished.
    const RunReport& Report() const { return report_; }

private:
    struct Pending {
        MessageKind kind;
        std::string text;
    };

    void DrawProgress(bool force);
    void ClearProgress();
    void EndMailboxLine();
    void PrintFailure(const RunFailure& failure);
    void PrintMessage(MessageKind kind, const std::string& text);

    // Where a line of the summary goes: standard output, unless that holds
    // the JSON report.
    Console::Stream SummaryStream(MessageKind kind) const;
    bool quiet() const { return output_.detail == CliOutput::Detail::Quiet; }
    bool verbose() const { return output_.detail == CliOutput::Detail::Verbose; }

    const OutputOptions options_;
    const CliOutput output_;
    const std::filesystem::path destination_;
    const std::vector<std::filesystem::path> sources_;
    const std::vector<std::filesystem::path> roots_;
    std::atomic<bool>& stop_;
    Console& console_;
    RunReport report_;

    std::string mailboxCaption_, fileCaption_;
    std::int64_t saved_ = 0;
    std::size_t mailboxNumber_ = 0, mailboxCount_ = 0;
    std::uint64_t done_ = 0, total_ = 0;
    bool mailboxOpen_ = false;
    bool progressShown_ = false;  // a progress line stands on the terminal
    bool running_ = false;
    std::size_t failuresShown_ = 0;   // of this run, printed as they happened
    std::optional<Pending> pending_;  // a message of the run, held for its end
    std::chrono::steady_clock::time_point lastDraw_{};
};

// "512 bytes", "12.3 KB", "4.0 MB", "1.2 GB"
std::string ByteText(std::uint64_t bytes);

// How the command line shows a report's paths and causes: control characters
// made visible.
ReportStyle ConsoleStyle();

// A failure as the command line prints it on standard error.
std::string FailureText(const RunFailure& failure);

}  // namespace mailvane
