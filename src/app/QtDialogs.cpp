#include "app/QtDialogs.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>

namespace mailvane {

QString QtDialogs::chooseFolder(QWidget* owner, const QString& title) {
    return QFileDialog::getExistingDirectory(owner, title);
}

QStringList QtDialogs::chooseFiles(QWidget* owner, const QString& filterName,
                                   const QStringList& patterns) {
    // File dialogs on case-sensitive file systems match patterns exactly, and
    // mailboxes named INBOX.MBOX are common.
    QStringList matching = patterns;
    for (const QString& pattern : patterns) {
        if (pattern.toUpper() != pattern) matching.append(pattern.toUpper());
    }
    // Qt takes the patterns from the last parentheses of a filter, separated by
    // blanks; the name keeps its own parentheses and the details stay hidden.
    const QString filter =
        filterName + QStringLiteral(" (") + matching.join(QLatin1Char(' ')) + QLatin1Char(')');
    return QFileDialog::getOpenFileNames(owner, QString(), QString(), filter, nullptr,
                                         QFileDialog::HideNameFilterDetails);
}

bool QtDialogs::ask(QWidget* owner, const QString& title, const QString& text) {
    return QMessageBox::question(owner, title, text, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::Yes) == QMessageBox::Yes;
}

void QtDialogs::inform(QWidget* owner, Kind kind, const QString& title, const QString& text) {
    const QMessageBox::Icon icon = kind == Kind::Warning       ? QMessageBox::Warning
                                   : kind == Kind::Information ? QMessageBox::Information
                                                               : QMessageBox::NoIcon;
    QMessageBox box(icon, title, text, QMessageBox::Ok, owner);
    box.exec();
}

void QtDialogs::openDocument(const QUrl& url) {
    // A missing browser or file association is not reported: nothing opens.
    QDesktopServices::openUrl(url);
}

}  // namespace mailvane
