#include "app/QtDialogs.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QStandardPaths>
#include <algorithm>

#include "app/MessageFit.h"

namespace mailvane {

QString QtDialogs::chooseFolder(QWidget* owner, const QString& title, const QString& startFolder) {
    return QFileDialog::getExistingDirectory(owner, title, startFolder);
}

QStringList QtDialogs::chooseFiles(QWidget* owner, const QList<FileFilter>& filters,
                                   const QString& startFolder) {
    QStringList entries;
    for (const FileFilter& filter : filters) {
        // File dialogs on case-sensitive file systems match patterns exactly,
        // and mailboxes named INBOX.MBOX are common.
        QStringList matching = filter.patterns;
        for (const QString& pattern : filter.patterns) {
            if (pattern.toUpper() != pattern) matching.append(pattern.toUpper());
        }
        // Qt takes the patterns from the last parentheses of a filter,
        // separated by blanks; the name keeps its own parentheses and the
        // details stay hidden.
        entries.append(filter.name + QStringLiteral(" (") + matching.join(QLatin1Char(' ')) +
                       QLatin1Char(')'));
    }
    return QFileDialog::getOpenFileNames(owner, QString(), startFolder,
                                         entries.join(QStringLiteral(";;")), nullptr,
                                         QFileDialog::HideNameFilterDetails);
}

bool QtDialogs::ask(QWidget* owner, const QString& title, const QString& text) {
    return QMessageBox::question(owner, title, text, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::Yes) == QMessageBox::Yes;
}

void QtDialogs::inform(QWidget* owner, Kind kind, const QString& title, const QString& text,
                       const QString& details) {
    const QMessageBox::Icon icon = kind == Kind::Warning       ? QMessageBox::Warning
                                   : kind == Kind::Information ? QMessageBox::Information
                                                               : QMessageBox::NoIcon;
    QMessageBox box(icon, title, text, QMessageBox::Ok, owner);
    // A file name such as "<b>.mbox" is text, not markup.
    box.setTextFormat(Qt::PlainText);
    // Wide enough for lines of up to MessageLineWidth: the box would
    // otherwise wrap them at half the screen.
    if (auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
        label->setMinimumWidth(std::min(TextWidth(text) + 2, MessageLineWidth(owner)));
    }
    if (!details.isEmpty()) box.setDetailedText(details);
    box.exec();
}

void QtDialogs::openDocument(const QUrl& url, std::function<void()> failed) {
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    // QDesktopServices hands the document to xdg-open and reports only that
    // xdg-open started; with no browser set up it then fails unseen. Its
    // exit code says whether a program took the document.
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (!opener.isEmpty()) {
        // Not owned by the window: closing the window must not end the
        // opener, nor the browser it is starting.
        auto* process = new QProcess;
        // The browser inherits nothing it could keep open.
        process->setStandardInputFile(QProcess::nullDevice());
        process->setStandardOutputFile(QProcess::nullDevice());
        process->setStandardErrorFile(QProcess::nullDevice());
        QObject::connect(process, &QProcess::finished, process,
                         [process, failed](int code, QProcess::ExitStatus status) {
                             if (status != QProcess::NormalExit || code != 0) failed();
                             process->deleteLater();
                         });
        QObject::connect(process, &QProcess::errorOccurred, process,
                         [process, failed](QProcess::ProcessError error) {
                             if (error != QProcess::FailedToStart) return;
                             failed();
                             process->deleteLater();
                         });
        process->start(opener, {url.toString(QUrl::FullyEncoded)});
        return;
    }
#endif
    if (!QDesktopServices::openUrl(url)) failed();
}

}  // namespace mailvane
