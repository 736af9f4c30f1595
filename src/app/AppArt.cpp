#include "app/AppArt.h"

#include <QString>

namespace mailvane {

QIcon AppIcon() {
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128, 256}) {
        icon.addFile(QStringLiteral(":/art/icons/mailvane-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

QPixmap SmallIcon() {
    return QPixmap(QStringLiteral(":/art/icons/mailvane-16.png"));
}

QPixmap BannerPicture() {
    return QPixmap(QStringLiteral(":/art/banner.png"));
}

}  // namespace mailvane
