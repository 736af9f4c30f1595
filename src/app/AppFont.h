#pragma once
// The window's typeface: Tahoma where it is installed, otherwise the closest
// narrow sans-serif available, so the captions fit their fixed boxes.
#include <QFont>

namespace mailvane {

QFont WindowFont(double points = 8.25);

}  // namespace mailvane
