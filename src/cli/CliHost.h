#pragma once
// The command line's side of a conversion run: fixed options, the sources
// from the command line, progress on the terminal, messages on the console.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "convert/RunHost.h"
#include "convert/RunReport.h"

namespace mailvane {

class CliHost : public RunHost {
public:
    CliHost(OutputFormat format, std::filesystem::path destination,
            std::vector<std::filesystem::path> sources, std::atomic<bool>& stop);

    OutputOptions Options() override;
    std::optional<std::filesystem::path> ChooseDestination(const std::string& title) override;
    std::size_t SourceRowCount() override;
    std::filesystem::path SourceRow(std::size_t row) override;
    void ShowMailboxCaption(const std::string& text) override;
    void ShowFileCaption(const std::string& text) override;
    void ShowSavedCaption(const std::string& text) override;
    void ShowProgressBytes(std::uint64_t done, std::uint64_t total) override;
    void ShowMessage(MessageKind kind, const std::string& title, const std::string& text) override;
    void RunStarted() override;
    void RunFinished(const RunReport& report) override;
    void Yield() override {}
    bool StopRequested() override;

private:
    void DrawProgress(bool force);
    void EndMailboxLine();

    const OutputFormat format_;
    const std::filesystem::path destination_;
    const std::vector<std::filesystem::path> sources_;
    std::atomic<bool>& stop_;
    const bool terminal_;

    std::string mailboxCaption_, fileCaption_;
    std::int64_t saved_ = 0;
    std::uint64_t done_ = 0, total_ = 0;
    bool mailboxOpen_ = false;
    std::chrono::steady_clock::time_point lastDraw_{};
};

// "12.3 MB"
std::string ByteText(std::uint64_t bytes);

}  // namespace mailvane
