#include "cli/CliHost.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <system_error>

#include "cli/JsonReport.h"
#include "support/Paths.h"

namespace mailvane {

namespace {

constexpr auto kOut = Console::Stream::Out;
constexpr auto kErr = Console::Stream::Err;

// A name narrower than this is no help: the line is cut at its end instead.
constexpr std::size_t kNarrowestName = 12;

}  // namespace

std::string ByteText(std::uint64_t bytes) {
    if (bytes < 1024) return CountOf(std::int64_t(bytes), "byte", "bytes");
    constexpr const char* kUnits[] = {"KB", "MB", "GB", "TB"};
    double size = bytes / 1024.0;
    std::size_t unit = 0;
    // 1023.96 KB would print as "1024.0 KB": the next unit takes it.
    while (size >= 1023.95 && unit + 1 < std::size(kUnits)) {
        size /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", size, kUnits[unit]);
    return text;
}

ReportStyle ConsoleStyle() {
    ReportStyle style;
    style.path = [](const std::filesystem::path& path) { return VisibleText(DisplayPath(path)); };
    style.text = [](const std::string& text) { return VisibleText(text); };
    return style;
}

std::string FailureText(const RunFailure& failure) {
    return "failed: " + FailureLine(failure, ConsoleStyle());
}

CliHost::CliHost(OutputOptions options, std::filesystem::path destination,
                 std::vector<std::filesystem::path> sources, std::atomic<bool>& stop,
                 Console& console, RunReport before, std::vector<std::filesystem::path> roots,
                 CliOutput output)
    : options_(options),
      output_(output),
      destination_(std::move(destination)),
      sources_(std::move(sources)),
      roots_(std::move(roots)),
      stop_(stop),
      console_(console),
      report_(std::move(before)) {}

OutputOptions CliHost::Options() {
    return options_;
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

std::filesystem::path CliHost::SourceRoot(std::size_t row) {
    return row < roots_.size() ? roots_[row] : std::filesystem::path();
}

void CliHost::ShowMailboxCaption(const std::string& text) {
    EndMailboxLine();
    mailboxCaption_ = VisibleText(TrimBlanks(text));
    ++mailboxNumber_;
    saved_ = 0;
}

void CliHost::ShowFileCaption(const std::string& text) {
    fileCaption_ = VisibleText(text);
    mailboxOpen_ = true;
    if (!quiet() && (verbose() || !console_.ErrIsTerminal()))
        console_.Lines(kErr, mailboxCaption_ + ": " + fileCaption_);
    DrawProgress(true);
}

void CliHost::ShowSavedCaption(const std::string&) {
    ++saved_;
    DrawProgress(false);
}

void CliHost::ShowMessageSaved(std::int64_t number) {
    if (verbose()) console_.Lines(kErr, "  message " + std::to_string(number) + " saved");
}

void CliHost::ShowMessagesLost(std::int64_t count) {
    saved_ -= count;
    DrawProgress(true);
}

void CliHost::ShowProgressBytes(std::uint64_t done, std::uint64_t total) {
    done_ = done;
    total_ = total;
    DrawProgress(false);
}

// One line, rewritten in place, never wider than the terminal. A long
// mailbox name loses its middle; on a narrow terminal the words around it
// shrink first ("2/5 ... 3 saved, 1.0 MB/4.0 MB"), and a line still too wide
// loses its end.
void CliHost::DrawProgress(bool force) {
    if (!console_.ErrIsTerminal() || quiet() || verbose()) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    const std::string forms[][2] = {
        {mailboxCaption_ + " ", ": " + CountOf(saved_, "message saved", "messages saved") + ", " +
                                    ByteText(done_) + " of " + ByteText(total_) + " read"},
        {std::to_string(mailboxNumber_) + "/" + std::to_string(mailboxCount_) + " ",
         ": " + std::to_string(saved_) + " saved, " + ByteText(done_) + "/" + ByteText(total_)},
    };
    // The last column stays free: some terminals wrap as soon as it is written.
    const std::size_t columns = std::max<std::size_t>(console_.Columns(), 2) - 1;
    const std::size_t name = DisplayWidth(fileCaption_);
    std::string line;
    for (const auto& form : forms) {
        const std::size_t fixed = DisplayWidth(form[0]) + DisplayWidth(form[1]);
        const std::size_t room = columns > fixed ? columns - fixed : 0;
        line = form[0] + ElideMiddle(fileCaption_, std::max(room, kNarrowestName)) + form[1];
        if (room >= std::min(name, kNarrowestName)) break;
    }
    if (DisplayWidth(line) > columns) line = CutToWidth(line, columns);
    console_.Raw(kErr, "\r" + line + "\x1b[K");
    progressShown_ = true;
}

void CliHost::ClearProgress() {
    if (!progressShown_) return;
    progressShown_ = false;
    console_.Raw(kErr, "\r\x1b[K");
}

void CliHost::EndMailboxLine() {
    if (!mailboxOpen_) return;
    mailboxOpen_ = false;
    if (quiet()) return;
    if (console_.ErrIsTerminal() && !verbose()) {
        DrawProgress(true);
        console_.Raw(kErr, "\n");
        progressShown_ = false;
    } else {
        console_.Lines(kErr, "  " + CountOf(saved_, "message saved", "messages saved"));
    }
}

void CliHost::PrintFailure(const RunFailure& failure) {
    const bool redraw = progressShown_;
    ClearProgress();
    console_.Lines(kErr, FailureText(failure));
    if (redraw) DrawProgress(true);
}

Console::Stream CliHost::SummaryStream(MessageKind kind) const {
    return kind == MessageKind::Information && !output_.json ? kOut : kErr;
}

void CliHost::PrintMessage(MessageKind kind, const std::string& text) {
    EndMailboxLine();
    ClearProgress();
    if (quiet() && kind == MessageKind::Information) return;
    console_.Lines(SummaryStream(kind), text);
}

void CliHost::ShowMessage(MessageKind kind, const std::string&, const std::string& text) {
    if (running_) {
        // The last message of a run is its completion message, which the
        // summary replaces; anything before it is shown now.
        if (pending_) PrintMessage(pending_->kind, pending_->text);
        pending_ = Pending{kind, text};
        return;
    }
    PrintMessage(kind, text);
}

void CliHost::ShowFailure(const RunFailure& failure) {
    ++failuresShown_;
    PrintFailure(failure);
}

void CliHost::RunStarted() {
    running_ = true;
    failuresShown_ = 0;
    // The first progress line shows the real total, not "0.0 KB of 0.0 KB".
    done_ = total_ = 0;
    mailboxNumber_ = mailboxCount_ = 0;
    for (const auto& source : sources_) {
        // The run skips blank names, and so does the count.
        if (!TrimBlanks(DisplayPath(source)).empty()) ++mailboxCount_;
        std::error_code ignored;
        if (std::filesystem::is_regular_file(source, ignored)) {
            const auto size = std::filesystem::file_size(source, ignored);
            if (!ignored) total_ += size;
        }
    }
    if (!quiet())
        console_.Lines(kErr, "Converting " +
                                 CountOf(std::int64_t(mailboxCount_), "mailbox", "mailboxes") +
                                 " into " + VisibleText(DisplayPath(destination_)));
}

void CliHost::RunFinished(const RunReport& report) {
    EndMailboxLine();
    running_ = false;
    // Failures the run kept but did not show as they happened.
    for (std::size_t i = failuresShown_; i < report.failures.size(); ++i) {
        PrintFailure(report.failures[i]);
    }
    const std::size_t listed = std::max(failuresShown_, report.failures.size());
    if (report.failureCount > listed) {
        console_.Lines(kErr, "... and " +
                                 CountOf(std::int64_t(report.failureCount - listed), "more failure",
                                         "more failures") +
                                 " not listed");
    }
    // The run's last message is its completion message, which the summary
    // below replaces; any other (the session error) is an error here.
    if (pending_ && pending_->text != CompletionText(report)) {
        PrintMessage(report.sessionError ? MessageKind::Warning : pending_->kind, pending_->text);
    }
    pending_.reset();

    report_.Append(report);
    const MessageKind kind = report_.Clean() ? MessageKind::Information : MessageKind::Warning;
    // After the session error the run has said what ended it.
    if (!report.sessionError) PrintMessage(kind, CompletionText(report_, ConsoleStyle()));
    if (const std::string stores = StoresText(report_, ConsoleStyle()); !stores.empty()) {
        PrintMessage(kind, stores);
    }
    if (!quiet())
        console_.Lines(SummaryStream(MessageKind::Information),
                       "Output: " + VisibleText(DisplayPath(destination_)));
    if (output_.json) console_.Raw(kOut, ReportJson(report_, destination_));
}

bool CliHost::StopRequested() {
    return stop_.load();
}

}  // namespace mailvane
