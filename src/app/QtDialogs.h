#pragma once
// The real dialogs: Qt's file dialogs and message boxes, and the desktop's
// handler for opening documents.
#include "app/Dialogs.h"

namespace mailvane {

class QtDialogs : public Dialogs {
public:
    QString chooseFolder(QWidget* owner, const QString& title) override;
    QStringList chooseFiles(QWidget* owner, const QString& filterName,
                            const QStringList& patterns) override;
    bool ask(QWidget* owner, const QString& title, const QString& text) override;
    void inform(QWidget* owner, Kind kind, const QString& title, const QString& text) override;
    void openDocument(const QUrl& url) override;
};

}  // namespace mailvane
