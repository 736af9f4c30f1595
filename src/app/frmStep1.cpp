#include "app/frmStep1.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <exception>

#include "app/AppArt.h"
#include "app/AppFont.h"
#include "app/BackgroundRun.h"
#include "app/Dialogs.h"
#include "app/MessageFit.h"
#include "app/NativePath.h"
#include "app/SourceGrid.h"
#include "app/WindowRunHost.h"
#include "convert/ConversionRun.h"
#include "sources/SourceList.h"
#include "support/Version.h"

namespace mailvane {

namespace {

const QString kTitle = QString::fromLatin1(kAppTitle);

// The wait cursor for as long as a folder scan runs, however it ends.
class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

QString SkippedFoldersLine(const FolderScan& scan) {
    const int skipped = scan.unreadableFolders + scan.repeatedFolders;
    if (skipped == 0) return QString();
    return QStringLiteral("\nFolders skipped (unreadable, or reached again through a link): %1")
        .arg(skipped);
}

// A folder the scan could not list, told as the run tells its failures.
RunFailure UnlistedFailure(const UnlistedFolder& unlisted) {
    return {unlisted.folder, 0, "cannot list this folder (" + unlisted.cause.message() + ")"};
}

// The folders that could not be listed, by name: the first few in the
// message, made to fit `width`, and every one of them in its details.
QString UnlistedFoldersLines(const FolderScan& scan, int width) {
    if (scan.unlisted.empty()) return QString();
    const ReportStyle fitted = MessageStyle(width);
    QString text = QStringLiteral("\nCould not be listed:");
    for (std::size_t i = 0; i < scan.unlisted.size() && i < kFailuresShown; ++i) {
        text += QLatin1Char('\n') +
                QString::fromStdString(fitted.failure(UnlistedFailure(scan.unlisted[i])));
    }
    if (scan.unlisted.size() > kFailuresShown) {
        text += QStringLiteral("\n... and %1 more.").arg(scan.unlisted.size() - kFailuresShown);
    }
    return text;
}

QString UnlistedFoldersDetails(const FolderScan& scan) {
    const ReportStyle whole = WholeStyle();
    QStringList lines;
    for (const auto& unlisted : scan.unlisted) {
        lines.append(QString::fromStdString(FailureLine(UnlistedFailure(unlisted), whole)));
    }
    return lines.join(QLatin1Char('\n'));
}

}  // namespace

frmStep1::frmStep1(Dialogs& dialogs, QWidget* parent) : QWidget(parent), dialogs_(dialogs) {
    setObjectName(QStringLiteral("frmStep1"));
    setWindowTitle(WindowTitle());
    setWindowIcon(AppIcon());
    setFont(WindowFont());
    setFixedSize(599, 569);
    BuildControls();
    SetTabOrder();
    ConnectCommands();
    UpdateEnabling();
    cmdAdd->setFocus();
}

frmStep1::~frmStep1() = default;

void frmStep1::ConnectCommands() {
    connect(cmdAdd, &QPushButton::clicked, this, &frmStep1::cmdAdd_Click);
    connect(CmdAddFolder, &QPushButton::clicked, this, &frmStep1::CmdAddFolder_Click);
    connect(cmdClear1, &QPushButton::clicked, this, &frmStep1::cmdClear1_Click);
    connect(CmdConvert, &QPushButton::clicked, this, &frmStep1::CmdConvert_Click);
    connect(CmdHelp, &QPushButton::clicked, this, &frmStep1::CmdHelp_Click);
    connect(cmdEnd, &QPushButton::clicked, this, &frmStep1::cmdEnd_Click);
    for (QRadioButton* option : {OptEML, OptEMLX, OptPST, OptMSG}) {
        connect(option, &QRadioButton::toggled, this,
                [this, option](bool checked) { OutputOption_Toggled(option, checked); });
    }
}

QString frmStep1::WindowTitle() {
    return QStringLiteral("%1 v%2").arg(kTitle, QString::fromLatin1(kShortVersion));
}

QString frmStep1::GuidePath() {
    // Beside the program (the build tree, Windows), else where a Linux
    // install puts documentation.
    const QDir programs(QCoreApplication::applicationDirPath());
    const QString beside = programs.filePath(QStringLiteral("guide.html"));
    const QString installed =
        QDir::cleanPath(programs.filePath(QStringLiteral("../share/doc/mailvane/guide.html")));
    return QFileInfo::exists(beside) || !QFileInfo::exists(installed) ? beside : installed;
}

void frmStep1::AddFileToList(const std::filesystem::path& path, const std::filesystem::path& root) {
    grdFiles1->Append(path, root);
    lblCount1->setText(QString::fromStdString(CountText(std::size_t(grdFiles1->rowCount()))));
    UpdateEnabling();
}

void frmStep1::ClearFileList() {
    grdFiles1->Clear();
    lblCount1->setText(QString::fromStdString(CountText(0)));
    UpdateEnabling();
}

void frmStep1::cmdAdd_Click() {
    // Thunderbird and mutt keep mailboxes in files without an extension.
    const QStringList files =
        dialogs_.chooseFiles(this,
                             {{QStringLiteral("MBOX Files (*.mbox,*.mbx)"),
                               {QStringLiteral("*.mbox"), QStringLiteral("*.mbx")}},
                              {QStringLiteral("All files (*)"), {QStringLiteral("*")}}},
                             lastSourceFolder_);
    if (!files.isEmpty()) lastSourceFolder_ = QFileInfo(files.first()).absolutePath();
    for (const QString& file : files) {
        AddFileToList(PathFromQString(QDir::toNativeSeparators(file)));
    }
}

void frmStep1::CmdAddFolder_Click() {
    const QString folder =
        dialogs_.chooseFolder(this, QStringLiteral("Choose Source Folder..."), lastSourceFolder_);
    if (folder.isEmpty()) return;
    lastSourceFolder_ = folder;
    FolderScan scan;
    std::size_t named = 0;
    const std::filesystem::path root = PathFromQString(QDir::toNativeSeparators(folder));
    {
        WaitCursor wait;
        scan = FindMailboxes(root, MailboxRule::NamesOrContent);
        // The files named .mbox or .mbx come first, as the command promises;
        // the others only when the user wants them.
        for (const auto& mailbox : scan.mailboxes) {
            if (!IsMailboxName(mailbox)) continue;
            AddFileToList(mailbox, root);
            ++named;
        }
    }
    dialogs_.inform(this, Dialogs::Kind::Plain, kTitle,
                    QStringLiteral("%1 Files Added to List.").arg(named) +
                        SkippedFoldersLine(scan) +
                        UnlistedFoldersLines(scan, MessageLineWidth(this)),
                    UnlistedFoldersDetails(scan));
    OfferUnnamedMailboxes(scan, root);
}

void frmStep1::OfferUnnamedMailboxes(const FolderScan& scan, const std::filesystem::path& root) {
    if (scan.unnamedMailboxes.empty()) return;
    if (!dialogs_.ask(this, kTitle,
                      QStringLiteral("This folder also holds %1 mailboxes kept by mail programs "
                                     "without the .mbox name (Thunderbird, Apple Mail). Add them "
                                     "too?")
                          .arg(scan.unnamedMailboxes.size()))) {
        return;
    }
    WaitCursor wait;
    for (const auto& mailbox : scan.unnamedMailboxes) AddFileToList(mailbox, root);
}

void frmStep1::cmdClear1_Click() {
    // The current cell moves to the top even when nothing is cleared.
    grdFiles1->setCurrentCell(0, 0);
    if (SourceText(grdFiles1, 0).isEmpty()) return;
    if (dialogs_.ask(this, kTitle,
                     QStringLiteral("Do you want to clear all the files in the list\n Proceed?"))) {
        ClearFileList();
    }
}

void frmStep1::CmdConvert_Click() {
    // The window serves its events while the run goes; a second press must
    // not start a run inside the first one.
    if (converting_) return;
    converting_ = true;
    stopRequested_ = false;
    try {
        WindowRunHost host(*this, dialogs_);
        RunInBackground(host, *this, stopRequested_);
    } catch (const std::exception& error) {
        running_ = false;
        dialogs_.inform(
            this, Dialogs::Kind::Warning, kTitle,
            QStringLiteral("The conversion stopped: %1").arg(QString::fromUtf8(error.what())));
    }
    converting_ = false;
    UpdateEnabling();
    if (closeAfterRun_) close();
}

void frmStep1::CmdHelp_Click() {
    if (!QFileInfo::exists(GuidePath())) {
        TellWhereTheGuideIs(QStringLiteral("The user guide is missing; it belongs here:"));
        return;
    }
    // The desktop may answer after this handler has returned, even after the
    // window has gone.
    const QPointer<frmStep1> window(this);
    dialogs_.openDocument(QUrl::fromLocalFile(GuidePath()), [window] {
        if (!window) return;
        window->TellWhereTheGuideIs(
            QStringLiteral("The user guide could not be opened: no web browser seems to be "
                           "set up.\nOpen it in any browser from here:"));
    });
}

void frmStep1::TellWhereTheGuideIs(const QString& intro) {
    const QString path = QDir::toNativeSeparators(GuidePath());
    const QString shown = ElidePath(VisibleQString(path), MessageLineWidth(this));
    dialogs_.inform(this, Dialogs::Kind::Information, kTitle, intro + QLatin1Char('\n') + shown,
                    shown == path ? QString() : path);
}

void frmStep1::cmdEnd_Click() {
    if (dialogs_.ask(this, kTitle, QStringLiteral("Are you sure you want to exit now?"))) close();
}

void frmStep1::closeEvent(QCloseEvent* event) {
    if (converting_) {
        // The run goes on on its own thread, its handler further up this
        // thread's stack: ask it to stop after the current message; the
        // Convert handler closes the window when it ends.
        stopRequested_ = true;
        closeAfterRun_ = true;
        event->ignore();
        return;
    }
    event->accept();
}

void frmStep1::OutputOption_Toggled(QRadioButton* option, bool checked) {
    // Clearing all options after a run selects nothing, so the one-PST box
    // keeps its state until the user picks a format again.
    if (!checked) return;
    onePstAllowed_ = option == OptPST;
    UpdateEnabling();
}

void frmStep1::ClearOutputOptions() {
    outputGroup_->setExclusive(false);
    for (QAbstractButton* option : outputGroup_->buttons()) option->setChecked(false);
    outputGroup_->setExclusive(true);
}

bool frmStep1::ListHoldsPath() const {
    return SourceListHoldsPath(grdFiles1);
}

void frmStep1::UpdateEnabling() {
    const bool idle = !running_;
    cmdAdd->setEnabled(idle);
    CmdAddFolder->setEnabled(idle);
    cmdClear1->setEnabled(idle);
    Picture1->setEnabled(idle);
    ChkAllinOnePST->setEnabled(idle && onePstAllowed_);
    ChkKeepFolders->setEnabled(idle);
    CmdConvert->setEnabled(idle && ListHoldsPath());
}

}  // namespace mailvane
