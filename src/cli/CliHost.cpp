#include "cli/CliHost.h"

#include <cstdio>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#else
#include <unistd.h>
#endif

#include "support/Paths.h"

namespace mailvane {

std::string ByteText(std::uint64_t bytes) {
    char text[32];
    if (bytes < 1024 * 1024) {
        std::snprintf(text, sizeof text, "%.1f KB", bytes / 1024.0);
    } else {
        std::snprintf(text, sizeof text, "%.1f MB", bytes / (1024.0 * 1024.0));
    }
    return text;
}

CliHost::CliHost(OutputFormat format, std::filesystem::path destination,
                 std::vector<std::filesystem::path> sources, std::atomic<bool>& stop)
    : format_(format),
      destination_(std::move(destination)),
      sources_(std::move(sources)),
      stop_(stop),
      terminal_(isatty(2) != 0) {}

OutputOptions CliHost::Options() {
    return {format_, false, false};
}

std::optional<std::filesystem::path> CliHost::ChooseDestination(const std::string&) {
    return destination_;
}

std::size_t CliHost::SourceRowCount() {
    return sources_.size();
}

std::filesystem::path CliHost::SourceRow(std::size_t row) {
    return sources_.at(row);
}

void CliHost::ShowMailboxCaption(const std::string& text) {
    EndMailboxLine();
    mailboxCaption_ = TrimBlanks(text);
    saved_ = 0;
}

void CliHost::ShowFileCaption(const std::string& text) {
    fileCaption_ = text;
    mailboxOpen_ = true;
    if (!terminal_) std::fprintf(stderr, "%s: %s\n", mailboxCaption_.c_str(), text.c_str());
    DrawProgress(true);
}

void CliHost::ShowSavedCaption(const std::string&) {
    ++saved_;
    DrawProgress(false);
}

void CliHost::ShowProgressBytes(std::uint64_t done, std::uint64_t total) {
    done_ = done;
    total_ = total;
    DrawProgress(false);
}

void CliHost::DrawProgress(bool force) {
    if (!terminal_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    std::fprintf(stderr, "\r%s %s: %lld messages saved, %s of %s read\x1b[K",
                 mailboxCaption_.c_str(), fileCaption_.c_str(), static_cast<long long>(saved_),
                 ByteText(done_).c_str(), ByteText(total_).c_str());
    std::fflush(stderr);
}

void CliHost::EndMailboxLine() {
    if (!mailboxOpen_) return;
    mailboxOpen_ = false;
    if (terminal_) {
        DrawProgress(true);
        std::fputc('\n', stderr);
    } else {
        std::fprintf(stderr, "  %lld messages saved\n", static_cast<long long>(saved_));
    }
}

void CliHost::ShowMessage(MessageKind kind, const std::string&, const std::string& text) {
    EndMailboxLine();
    std::FILE* out = kind == MessageKind::Information ? stdout : stderr;
    std::fprintf(out, "%s\n", text.c_str());
    std::fflush(out);
}

void CliHost::RunStarted() {
    std::fprintf(stderr, "Converting %zu mailbox%s into %s\n", sources_.size(),
                 sources_.size() == 1 ? "" : "es", DisplayPath(destination_).c_str());
}

void CliHost::RunFinished(const RunReport& report) {
    EndMailboxLine();
    // The completion message shows the first few failures; the rest go here.
    constexpr std::size_t kShownInMessage = 5;
    if (report.failures.size() > kShownInMessage) {
        std::fprintf(stderr, "All failures:\n");
        for (const auto& failure : report.failures) {
            std::fprintf(stderr, "  %s\n", FailureLine(failure).c_str());
        }
        if (report.failureCount > report.failures.size()) {
            std::fprintf(stderr, "  ... and %zu more\n",
                         report.failureCount - report.failures.size());
        }
    }
    std::fprintf(stdout, "Output: %s\n", DisplayPath(destination_).c_str());
}

bool CliHost::StopRequested() {
    return stop_.load();
}

}  // namespace mailvane
