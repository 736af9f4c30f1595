#include "app/AppFont.h"

#include <QFontDatabase>
#include <QStringList>

namespace mailvane {

QFont WindowFont(double points) {
    // Verdana-like faces run wider than Tahoma; their condensed cuts are closer.
    static const QStringList kPreferred = {
        QStringLiteral("Tahoma"),          QStringLiteral("DejaVu Sans Condensed"),
        QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
        QStringLiteral("Helvetica"),       QStringLiteral("DejaVu Sans"),
    };
    const QStringList installed = QFontDatabase::families();
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    for (const QString& family : kPreferred) {
        if (installed.contains(family, Qt::CaseInsensitive)) {
            font.setFamilies({family});
            break;
        }
    }
    font.setPointSizeF(points);
    font.setWeight(QFont::Normal);
    return font;
}

}  // namespace mailvane
