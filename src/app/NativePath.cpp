#include "app/NativePath.h"

#include <QByteArray>
#include <QFile>

namespace mailvane {

namespace fs = std::filesystem;

fs::path PathFromQString(const QString& text) {
#ifdef _WIN32
    return fs::path(text.toStdWString());
#else
    return fs::path(QFile::encodeName(text).toStdString());
#endif
}

QString PathToQString(const fs::path& path) {
#ifdef _WIN32
    return QString::fromStdWString(path.native());
#else
    return QFile::decodeName(QByteArray::fromStdString(path.native()));
#endif
}

QVariant PathToVariant(const fs::path& path) {
#ifdef _WIN32
    return QVariant(QString::fromStdWString(path.native()));
#else
    return QVariant(QByteArray::fromStdString(path.native()));
#endif
}

fs::path PathFromVariant(const QVariant& value) {
#ifdef _WIN32
    return fs::path(value.toString().toStdWString());
#else
    return fs::path(value.toByteArray().toStdString());
#endif
}

}  // namespace mailvane
