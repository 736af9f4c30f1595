#pragma once
// Mailvane's own pictures, compiled into the program from resources/.
#include <QIcon>
#include <QPixmap>

namespace mailvane {

QIcon AppIcon();          // every size, for the title bar and the task bar
QPixmap SmallIcon();      // 16 x 16
QPixmap BannerPicture();  // 600 x 85

}  // namespace mailvane
