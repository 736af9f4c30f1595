#pragma once
// Every dialog, message box and shell call the window makes goes through this
// interface, so tests can answer them in advance and see what was shown.
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>

class QWidget;

namespace mailvane {

class Dialogs {
public:
    enum class Kind { Plain, Information, Warning };

    // One entry of a file dialog's filter list: shown as `name`, matching
    // `patterns` (in any letter case where the platform allows).
    struct FileFilter {
        QString name;
        QStringList patterns;
    };

    virtual ~Dialogs() = default;

    // A folder, or the empty string when the user cancelled. The dialog
    // opens in `startFolder` when one is given.
    virtual QString chooseFolder(QWidget* owner, const QString& title,
                                 const QString& startFolder = QString()) = 0;
    // Files chosen in a multiple-selection open dialog offering `filters`,
    // the first one selected; empty when cancelled. The dialog opens in
    // `startFolder` when one is given.
    virtual QStringList chooseFiles(QWidget* owner, const QList<FileFilter>& filters,
                                    const QString& startFolder = QString()) = 0;
    // A Yes/No question with Yes as default; true on Yes.
    virtual bool ask(QWidget* owner, const QString& title, const QString& text) = 0;
    // A message with an OK button, shown as plain text; `details`, when
    // given, is offered under "Show Details..." (the whole of a long list
    // whose first items the text shows).
    virtual void inform(QWidget* owner, Kind kind, const QString& title, const QString& text,
                        const QString& details = QString()) = 0;
    // Opens a document or address in the program the desktop chooses.
    // `failed` is called, now or once the desktop has answered, when no
    // program took it (no browser set up, no opener installed).
    virtual void openDocument(const QUrl& url, std::function<void()> failed) = 0;
};

}  // namespace mailvane
