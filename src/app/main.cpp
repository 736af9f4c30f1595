// Mailvane's window program: one window, open until the user closes it.
#include <QApplication>
#include <QScreen>

#include "app/AppArt.h"
#include "app/QtDialogs.h"
#include "app/frmStep1.h"
#include "convert/ConversionRun.h"
#include "support/Version.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(mailvane::kAppTitle));
    QApplication::setApplicationVersion(QString::fromLatin1(mailvane::kVersion));
    QApplication::setWindowIcon(mailvane::AppIcon());
    // The window belongs to mailvane.desktop, whose icon it shows.
    QGuiApplication::setDesktopFileName(QStringLiteral("mailvane"));

    mailvane::QtDialogs dialogs;
    mailvane::frmStep1 window(dialogs);
    if (const QScreen* screen = window.screen()) {
        const QRect area = screen->availableGeometry();
        window.move(area.center() - window.rect().center());
    }
    window.show();
    return app.exec();
}
