#pragma once
// Paths cross between Qt and the engine without loss: file names are bytes on
// POSIX and UTF-16 on Windows, and the engine gets exactly the name it was
// given (a listed name that is not valid UTF-8 still opens the same file).
#include <QString>
#include <QVariant>
#include <filesystem>

namespace mailvane {

std::filesystem::path PathFromQString(const QString& text);
QString PathToQString(const std::filesystem::path& path);

// A path as a value to keep beside its displayed text (the list's cells).
QVariant PathToVariant(const std::filesystem::path& path);
std::filesystem::path PathFromVariant(const QVariant& value);

}  // namespace mailvane
