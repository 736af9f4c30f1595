// Draws Mailvane's own art (the application icon at every size and the
// window's banner) and writes it into the resources folder given as argument.
// The results are committed; run this again only to change the art.
#include <QDir>
#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>

#include "IcoFile.h"
#include "support/Version.h"

namespace {

const QColor kDarkTeal(0, 64, 64);
const QColor kTeal(0, 112, 112);
const QColor kVane(242, 152, 36);

// The icon on a 64-unit grid: a teal tile, a white envelope and an orange
// weather-vane arrow above it ("mail" and "vane").
void PaintIcon(QPainter& p, double size) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);

    QLinearGradient tile(0, 0, 0, 64);
    tile.setColorAt(0, kTeal);
    tile.setColorAt(1, kDarkTeal);
    p.setPen(Qt::NoPen);
    p.setBrush(tile);
    p.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);

    p.setBrush(Qt::white);
    p.drawRect(QRectF(12, 26, 40, 26));
    QPen flap(QColor(0, 88, 88), 3.5);
    flap.setJoinStyle(Qt::RoundJoin);
    p.setPen(flap);
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(QPolygonF({QPointF(13, 27), QPointF(32, 42), QPointF(51, 27)}));

    QPen shaft(kVane, 4.5);
    shaft.setCapStyle(Qt::RoundCap);
    p.setPen(shaft);
    p.drawLine(QPointF(14, 15), QPointF(46, 15));
    p.drawLine(QPointF(18, 15), QPointF(12, 8));
    p.drawLine(QPointF(18, 15), QPointF(12, 22));
    p.setPen(Qt::NoPen);
    p.setBrush(kVane);
    p.drawPolygon(QPolygonF({QPointF(42, 6), QPointF(57, 15), QPointF(42, 24)}));
    p.restore();
}

QImage Icon(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    PaintIcon(p, size);
    p.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

QImage Banner() {
    QImage image(600, 85, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    QLinearGradient sky(0, 0, 600, 0);
    sky.setColorAt(0, kDarkTeal);
    sky.setColorAt(0.55, QColor(0, 104, 104));
    sky.setColorAt(1, QColor(38, 150, 150));
    p.fillRect(image.rect(), sky);

    // Faint wind lines across the right half.
    QPen wind(QColor(255, 255, 255, 38), 3);
    wind.setCapStyle(Qt::RoundCap);
    p.setPen(wind);
    for (int i = 0; i < 4; ++i) {
        QPainterPath line;
        const double y = 18 + i * 16;
        line.moveTo(330 + i * 18, y);
        line.cubicTo(400 + i * 18, y - 10, 470 + i * 18, y + 10, 580, y);
        p.drawPath(line);
    }

    p.save();
    p.translate(16, 11);
    PaintIcon(p, 63);
    p.restore();

    QFont title(QStringLiteral("DejaVu Sans"));
    title.setPixelSize(32);
    title.setBold(true);
    p.setFont(title);
    p.setPen(Qt::white);
    p.drawText(QPointF(94, 46), QStringLiteral("Mailvane"));

    QFont line(QStringLiteral("DejaVu Sans"));
    line.setPixelSize(13);
    p.setFont(line);
    p.setPen(QColor(206, 236, 236));
    p.drawText(QPointF(96, 68), QStringLiteral("MBOX mailboxes to EML, EMLX, MSG and PST"));

    p.setPen(kVane);
    QFont version(QStringLiteral("DejaVu Sans"));
    version.setPixelSize(12);
    version.setBold(true);
    p.setFont(version);
    p.drawText(QRectF(500, 8, 88, 16), Qt::AlignRight | Qt::AlignVCenter,
               QStringLiteral("v%1").arg(QString::fromLatin1(mailvane::kShortVersion)));
    p.end();
    return image;
}

bool Save(const QImage& image, const QString& path) {
    if (image.save(path, "PNG")) return true;
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: mailvane-draw-art <resources folder>\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    out.mkpath(QStringLiteral("icons"));
    bool ok = Save(Banner(), out.filePath(QStringLiteral("banner.png")));
    for (int size : {16, 32, 48, 64, 128, 256}) {
        ok &= Save(Icon(size), out.filePath(QStringLiteral("icons/mailvane-%1.png").arg(size)));
    }
    QFile ico(out.filePath(QStringLiteral("mailvane.ico")));
    const QByteArray bytes =
        mailvane::IcoFileBytes({Icon(16), Icon(32), Icon(48), Icon(64), Icon(256)});
    if (!ico.open(QIODevice::WriteOnly) || ico.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(ico.fileName()));
        ok = false;
    }
    return ok ? 0 : 1;
}
