#include "IcoFile.h"

#include <QBuffer>
#include <QtEndian>

namespace mailvane {

namespace {

void Put16(QByteArray& out, quint16 value) {
    char bytes[2];
    qToLittleEndian(value, bytes);
    out.append(bytes, 2);
}

void Put32(QByteArray& out, quint32 value) {
    char bytes[4];
    qToLittleEndian(value, bytes);
    out.append(bytes, 4);
}

// A DIB as icon resources hold it: the header's height counts the colour rows
// and the mask rows together; rows run bottom-up.
QByteArray BitmapEntry(const QImage& source) {
    const QImage image = source.convertToFormat(QImage::Format_ARGB32);
    const int size = image.width();
    QByteArray out;
    Put32(out, 40);
    Put32(out, size);
    Put32(out, size * 2);
    Put16(out, 1);   // planes
    Put16(out, 32);  // bits per pixel
    Put32(out, 0);   // BI_RGB
    Put32(out, 0);
    Put32(out, 0);
    Put32(out, 0);
    Put32(out, 0);
    Put32(out, 0);
    for (int y = size - 1; y >= 0; --y) {
        for (int x = 0; x < size; ++x) Put32(out, image.pixel(x, y));  // BGRA in memory
    }
    const int maskStride = ((size + 31) / 32) * 4;
    for (int y = size - 1; y >= 0; --y) {
        QByteArray row(maskStride, '\0');
        for (int x = 0; x < size; ++x) {
            if (qAlpha(image.pixel(x, y)) == 0) row[x / 8] = char(row[x / 8] | (0x80 >> (x % 8)));
        }
        out.append(row);
    }
    return out;
}

QByteArray PngEntry(const QImage& image) {
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return out;
}

}  // namespace

QByteArray IcoFileBytes(const QList<QImage>& images) {
    QList<QByteArray> entries;
    for (const QImage& image : images) {
        entries.append(image.width() >= 256 ? PngEntry(image) : BitmapEntry(image));
    }
    QByteArray out;
    Put16(out, 0);
    Put16(out, 1);  // icon
    Put16(out, quint16(images.size()));
    quint32 offset = 6 + 16 * quint32(images.size());
    for (qsizetype i = 0; i < images.size(); ++i) {
        const int size = images[i].width();
        out.append(char(size >= 256 ? 0 : size));  // 0 stands for 256
        out.append(char(size >= 256 ? 0 : size));
        out.append(char(0));  // no palette
        out.append(char(0));
        Put16(out, 1);
        Put16(out, 32);
        Put32(out, quint32(entries[i].size()));
        Put32(out, offset);
        offset += quint32(entries[i].size());
    }
    for (const QByteArray& entry : entries) out.append(entry);
    return out;
}

}  // namespace mailvane
