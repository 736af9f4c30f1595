#include "app/WindowRunHost.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QRadioButton>
#include <QTableWidget>

#include "app/Dialogs.h"
#include "app/NativePath.h"
#include "app/SourceGrid.h"
#include "app/frmStep1.h"
#include "support/Paths.h"

namespace mailvane {

WindowRunHost::WindowRunHost(frmStep1& window, Dialogs& dialogs)
    : window_(window), dialogs_(dialogs), pacer_([] { QCoreApplication::processEvents(); }) {}

OutputOptions WindowRunHost::Options() {
    OutputOptions options;
    if (window_.OptEML->isChecked()) options.format = OutputFormat::Eml;
    if (window_.OptEMLX->isChecked()) options.format = OutputFormat::Emlx;
    if (window_.OptPST->isChecked()) options.format = OutputFormat::Pst;
    if (window_.OptMSG->isChecked()) options.format = OutputFormat::Msg;
    options.onePstForAll = window_.ChkAllinOnePST->isChecked();
    // The box's own rule, not the widget's state: a run locks the widget too.
    options.onePstForAllEnabled = window_.onePstAllowed_;
    return options;
}

std::optional<std::filesystem::path> WindowRunHost::ChooseDestination(const std::string& title) {
    const QString folder = dialogs_.chooseFolder(&window_, QString::fromStdString(title));
    if (folder.isEmpty()) return std::nullopt;
    return PathFromQString(QDir::toNativeSeparators(folder));
}

std::size_t WindowRunHost::SourceRowCount() {
    return std::size_t(window_.grdFiles1->rowCount());
}

std::filesystem::path WindowRunHost::SourceRow(std::size_t row) {
    std::filesystem::path path = SourcePath(window_.grdFiles1, int(row));
    if (!TrimBlanks(DisplayPath(path)).empty()) mailboxRows_.push_back(int(row));
    return path;
}

void WindowRunHost::ShowMailboxCaption(const std::string& text) {
    window_.LblProgessCurrent->setText(QString::fromStdString(text));
    if (mailboxesShown_ < mailboxRows_.size()) {
        window_.grdFiles1->setCurrentCell(mailboxRows_[mailboxesShown_], 0);
    }
    ++mailboxesShown_;
}

void WindowRunHost::ShowFileCaption(const std::string& text) {
    window_.LblIMMFile->setText(QString::fromStdString(text));
}

void WindowRunHost::ShowSavedCaption(const std::string& text) {
    window_.LblProgress->setText(QString::fromStdString(text));
}

// The window shows progress as counts of mailboxes and messages only.
void WindowRunHost::ShowProgressBytes(std::uint64_t, std::uint64_t) {}

void WindowRunHost::ShowMessage(MessageKind kind, const std::string& title,
                                const std::string& text) {
    // A run ended by closing the window ends quietly, as closing always does.
    if (window_.closeAfterRun_) return;
    dialogs_.inform(
        &window_,
        kind == MessageKind::Warning ? Dialogs::Kind::Warning : Dialogs::Kind::Information,
        QString::fromStdString(title), QString::fromStdString(text));
}

void WindowRunHost::RunStarted() {
    window_.running_ = true;
    window_.UpdateEnabling();
}

void WindowRunHost::RunFinished(const RunReport&) {
    window_.running_ = false;
    // The next run needs a fresh choice of format.
    window_.ClearOutputOptions();
    window_.UpdateEnabling();
}

void WindowRunHost::Yield() {
    pacer_.Tick();
}

bool WindowRunHost::StopRequested() {
    return window_.stopRequested_;
}

}  // namespace mailvane
