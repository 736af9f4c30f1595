#pragma once
// The real dialogs: Qt's file dialogs and message boxes, and the desktop's
// handler for opening documents.
#include "app/Dialogs.h"

namespace mailvane {

class QtDialogs : public Dialogs {
public:
    QString chooseFolder(QWidget* owner, const QString& title, const QString& startFolder) override;
    QStringList chooseFiles(QWidget* owner, const QList<FileFilter>& filters,
                            const QString& startFolder) override;
    bool ask(QWidget* owner, const QString& title, const QString& text) override;
    // The box is as wide as the text's widest line, up to MessageLineWidth.
    void inform(QWidget* owner, Kind kind, const QString& title, const QString& text,
                const QString& details) override;
    // On Linux and the BSDs through xdg-open, whose exit code tells whether
    // a program took the document; elsewhere through QDesktopServices.
    void openDocument(const QUrl& url, std::function<void()> failed) override;
};

}  // namespace mailvane
