#pragma once
// Writes a Windows icon file from square images: 32-bit bitmaps (with an AND
// mask, as every Windows version reads them) below 256 pixels, PNG at 256.
#include <QByteArray>
#include <QImage>
#include <QList>

namespace mailvane {

QByteArray IcoFileBytes(const QList<QImage>& images);

}  // namespace mailvane
