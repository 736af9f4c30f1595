#include "ScriptedDialogs.h"

namespace mailvane {

QString ScriptedDialogs::chooseFolder(QWidget*, const QString& title, const QString& startFolder) {
    folderTitles.append(title);
    startFolders.append(startFolder);
    if (folders.isEmpty()) {
        ++unexpected;
        return QString();
    }
    return folders.takeFirst();
}

QStringList ScriptedDialogs::chooseFiles(QWidget*, const QList<FileFilter>& offered,
                                         const QString& startFolder) {
    filters.append(offered);
    startFolders.append(startFolder);
    if (fileLists.isEmpty()) {
        ++unexpected;
        return {};
    }
    return fileLists.takeFirst();
}

bool ScriptedDialogs::ask(QWidget*, const QString& title, const QString& text) {
    questions.append({title, text});
    if (answers.isEmpty()) {
        ++unexpected;
        return false;
    }
    return answers.takeFirst();
}

void ScriptedDialogs::inform(QWidget*, Kind kind, const QString& title, const QString& text,
                             const QString& details) {
    messages.append({kind, title, text, details});
    if (whileShowing) whileShowing(messages.last());
}

void ScriptedDialogs::openDocument(const QUrl& url, std::function<void()> failed) {
    opened.append(url);
    if (!documentsOpen) failed();
}

}  // namespace mailvane
