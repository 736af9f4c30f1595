#pragma once
// The window's side of a conversion run: options read from the controls at
// each step, the destination from a folder picker, the rows of the source
// list, progress in the window's labels and its progress bar. Used on the
// window's thread only: the run, on its own, reaches it through
// RunInBackground.
#include <optional>
#include <string>
#include <vector>

#include <QString>

#include "convert/RunHost.h"

namespace mailvane {

class Dialogs;
class frmStep1;

class WindowRunHost : public RunHost {
public:
    WindowRunHost(frmStep1& window, Dialogs& dialogs);

    OutputOptions Options() override;
    std::optional<std::filesystem::path> ChooseDestination(const std::string& title) override;
    std::size_t SourceRowCount() override;
    std::filesystem::path SourceRow(std::size_t row) override;
    std::filesystem::path SourceRoot(std::size_t row) override;
    void ShowMailboxCaption(const std::string& text) override;
    void ShowFileCaption(const std::string& text) override;
    void ShowSavedCaption(const std::string& text) override;
    void ShowProgressBytes(std::uint64_t done, std::uint64_t total) override;
    void ShowMessage(MessageKind kind, const std::string& title, const std::string& text) override;
    void RunStarted() override;
    void RunFinished(const RunReport& report) override;
    void Yield() override;
    bool StopRequested() override;

private:
    struct Pending {
        MessageKind kind;
        std::string title, text;
    };
    void Inform(MessageKind kind, const std::string& title, const QString& text,
                const QString& details = QString());

    frmStep1& window_;
    Dialogs& dialogs_;
    // The rows the run takes up (it skips blank ones), in its order, so the
    // list can show which one is being read.
    std::vector<int> mailboxRows_;
    std::size_t mailboxesShown_ = 0;
    // The progress bar shows the bytes read of the mailbox being read: the
    // run reports bytes done of all mailboxes, so the mailbox's share is
    // what came after the bytes done when it started.
    std::filesystem::path mailbox_;
    std::uint64_t bytesDone_ = 0, mailboxBase_ = 0, mailboxSize_ = 0;
    // The run's completion message, held until the run hands over its report:
    // the box shows the report to fit the screen, with every failure under
    // its details.
    std::optional<Pending> pending_;
};

}  // namespace mailvane
