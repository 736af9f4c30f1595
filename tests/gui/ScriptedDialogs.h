#pragma once
// Dialogs answered in advance: each call takes the next queued answer and is
// recorded, so a test says what the user will do and then checks what the
// window showed. A call with no answer queued counts as unexpected and is
// answered as a cancel (or No).
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>

#include "app/Dialogs.h"

namespace mailvane {

class ScriptedDialogs : public Dialogs {
public:
    struct Message {
        Kind kind;
        QString title;
        QString text;
        QString details;
    };
    struct Question {
        QString title;
        QString text;
    };

    // Answers, taken from the front.
    QStringList folders;           // "" is a cancelled picker
    QList<QStringList> fileLists;  // an empty list is a cancelled dialog
    QList<bool> answers;           // Yes is true
    bool documentsOpen = true;     // false: as if no browser were installed

    // What the window did.
    QStringList folderTitles;
    QList<QList<FileFilter>> filters;  // of each file dialog
    QStringList startFolders;          // of each file or folder dialog, in order
    QList<Question> questions;
    QList<Message> messages;
    QList<QUrl> opened;
    int unexpected = 0;

    // Runs while a message is shown, as a modal box would let the user look.
    std::function<void(const Message&)> whileShowing;

    QString chooseFolder(QWidget* owner, const QString& title, const QString& startFolder) override;
    QStringList chooseFiles(QWidget* owner, const QList<FileFilter>& filters,
                            const QString& startFolder) override;
    bool ask(QWidget* owner, const QString& title, const QString& text) override;
    void inform(QWidget* owner, Kind kind, const QString& title, const QString& text,
                const QString& details) override;
    void openDocument(const QUrl& url, std::function<void()> failed) override;
};

}  // namespace mailvane
