#include "app/WindowRunHost.h"

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <QRadioButton>
#include <QStringList>
#include <QTableWidget>
#include <algorithm>
#include <system_error>

#include "app/Dialogs.h"
#include "app/MessageFit.h"
#include "app/NativePath.h"
#include "app/SourceGrid.h"
#include "app/frmStep1.h"
#include "convert/RunReport.h"
#include "support/Paths.h"

namespace mailvane {

WindowRunHost::WindowRunHost(frmStep1& window, Dialogs& dialogs)
    : window_(window), dialogs_(dialogs) {}

OutputOptions WindowRunHost::Options() {
    OutputOptions options;
    if (window_.OptEML->isChecked()) options.format = OutputFormat::Eml;
    if (window_.OptEMLX->isChecked()) options.format = OutputFormat::Emlx;
    if (window_.OptPST->isChecked()) options.format = OutputFormat::Pst;
    if (window_.OptMSG->isChecked()) options.format = OutputFormat::Msg;
    options.onePstForAll = window_.ChkAllinOnePST->isChecked();
    // The box's own rule, not the widget's state: a run locks the widget too.
    options.onePstForAllEnabled = window_.onePstAllowed_;
    if (window_.ChkKeepFolders->isChecked()) {
        options.tree = true;
        options.keepState = true;
        options.labels = LabelLayout::Folders;
    }
    return options;
}

std::optional<std::filesystem::path> WindowRunHost::ChooseDestination(const std::string& title) {
    const QString folder =
        dialogs_.chooseFolder(&window_, QString::fromStdString(title), window_.lastDestination_);
    if (folder.isEmpty()) return std::nullopt;
    window_.lastDestination_ = folder;
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

std::filesystem::path WindowRunHost::SourceRoot(std::size_t row) {
    return mailvane::SourceRoot(window_.grdFiles1, int(row));
}

void WindowRunHost::ShowMailboxCaption(const std::string& text) {
    window_.LblProgessCurrent->setText(QString::fromStdString(text));
    mailbox_.clear();
    if (mailboxesShown_ < mailboxRows_.size()) {
        const int row = mailboxRows_[mailboxesShown_];
        window_.grdFiles1->setCurrentCell(row, 0);
        mailbox_ = SourcePath(window_.grdFiles1, row);
    }
    ++mailboxesShown_;
}

void WindowRunHost::ShowFileCaption(const std::string& text) {
    // A name is shown whole when it fits, else without its middle; control
    // characters in it are shown escaped.
    QLabel* label = window_.LblIMMFile;
    label->setText(label->fontMetrics().elidedText(VisibleQString(QString::fromStdString(text)),
                                                   Qt::ElideMiddle, label->width()));
    // The mailbox starts: its bytes count from what was done before it.
    mailboxBase_ = bytesDone_;
    std::error_code unknown;
    mailboxSize_ = mailbox_.empty() ? 0 : std::filesystem::file_size(mailbox_, unknown);
    if (unknown) mailboxSize_ = 0;
    window_.PrgMailbox->setValue(0);
}

void WindowRunHost::ShowSavedCaption(const std::string& text) {
    window_.LblProgress->setText(QString::fromStdString(text));
}

void WindowRunHost::ShowProgressBytes(std::uint64_t done, std::uint64_t) {
    bytesDone_ = done;
    const std::uint64_t read = done > mailboxBase_ ? done - mailboxBase_ : 0;
    // A mailbox that grew since its size was taken is read up to the size
    // it had when opened, which may be more.
    mailboxSize_ = std::max(mailboxSize_, read);
    const int maximum = window_.PrgMailbox->maximum();
    window_.PrgMailbox->setValue(
        mailboxSize_ == 0 ? maximum : int(read * std::uint64_t(maximum) / mailboxSize_));
}

void WindowRunHost::Inform(MessageKind kind, const std::string& title, const QString& text,
                           const QString& details) {
    // Every line fits the screen; a line cut short stands whole in the
    // details, unless the details hold more already.
    const QString fitted = FitLines(text, MessageLineWidth(&window_));
    dialogs_.inform(
        &window_,
        kind == MessageKind::Warning ? Dialogs::Kind::Warning : Dialogs::Kind::Information,
        QString::fromStdString(title), fitted,
        details.isEmpty() && fitted != VisibleLines(text) ? VisibleLines(text) : details);
}

void WindowRunHost::ShowMessage(MessageKind kind, const std::string& title,
                                const std::string& text) {
    // A run ended by closing the window ends quietly, as closing always does.
    if (window_.closeAfterRun_) return;
    if (window_.running_) {
        if (pending_) {
            Inform(pending_->kind, pending_->title, QString::fromStdString(pending_->text));
        }
        pending_ = Pending{kind, title, text};
        return;
    }
    Inform(kind, title, QString::fromStdString(text));
}

void WindowRunHost::RunStarted() {
    window_.running_ = true;
    window_.PrgMailbox->setValue(0);
    window_.PrgMailbox->show();
    window_.UpdateEnabling();
}

namespace {

// Everything the completion message leaves out: every failure kept, with
// whole paths, the stores written, and every note.
QString ReportDetails(const RunReport& report) {
    const ReportStyle whole = WholeStyle();
    QStringList lines;
    if (report.failureCount > 0) {
        lines.append(QStringLiteral("What failed (%1):").arg(report.failureCount));
        for (const RunFailure& failure : report.failures) {
            lines.append(QString::fromStdString(FailureLine(failure, whole)));
        }
        if (report.failureCount > report.failures.size()) {
            lines.append(QStringLiteral("... and %1 more, not kept.")
                             .arg(report.failureCount - report.failures.size()));
        }
    }
    if (const std::string stores = StoresText(report, whole); !stores.empty()) {
        if (!lines.isEmpty()) lines.append(QString());
        lines.append(QString::fromStdString(stores));
    }
    if (!report.notes.empty()) {
        if (!lines.isEmpty()) lines.append(QString());
        lines.append(QStringLiteral("Notes:"));
        for (const std::string& note : report.notes) {
            lines.append(QString::fromStdString(VisibleText(note)));
        }
    }
    return lines.join(QLatin1Char('\n'));
}

}  // namespace

void WindowRunHost::RunFinished(const RunReport& report) {
    if (pending_ && !window_.closeAfterRun_) {
        const int width = MessageLineWidth(&window_);
        if (pending_->text == CompletionText(report)) {
            // While the message is up the run's locks still hold.
            Inform(pending_->kind, pending_->title,
                   QString::fromStdString(CompletionText(report, MessageStyle(width))),
                   ReportDetails(report));
        } else {
            Inform(pending_->kind, pending_->title, QString::fromStdString(pending_->text));
        }
    }
    pending_.reset();
    window_.running_ = false;
    // The next run needs a fresh choice of format.
    window_.ClearOutputOptions();
    window_.UpdateEnabling();
}

void WindowRunHost::Yield() {
    // The run has a thread of its own; the window serves its events meanwhile.
}

bool WindowRunHost::StopRequested() {
    return window_.stopRequested_;
}

}  // namespace mailvane
