// Shows the window on a real (virtual) display after converting two small
// mailboxes, grabs it from the screen into the PNG file named on the command
// line for a person to look at, and checks that the picture is the window's
// size and shows the window's colours rather than a blank area.
#include <QApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>

#include "ScriptedDialogs.h"
#include "WindowProbe.h"
#include "app/NativePath.h"
#include "app/frmStep1.h"

using namespace mailvane;

namespace {

int Fail(const char* why) {
    std::fprintf(stderr, "screenshot: %s\n", why);
    return 1;
}

int CountPixels(const QImage& image, QRgb colour) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            count += (image.pixel(x, y) & 0xFFFFFF) == (colour & 0xFFFFFF);
    }
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) return Fail("usage: gui_screenshot <output.png>");

    QTemporaryDir sources, destination;
    const auto source = [&](const char* name) {
        return PathFromQString(
            QDir::toNativeSeparators(sources.filePath(QString::fromLatin1(name))));
    };
    if (!WriteFile(source("Inbox.mbox"), Mailbox(QStringLiteral("Inbox"), 3)) ||
        !WriteFile(source("Sent.mbox"), Mailbox(QStringLiteral("Sent"), 2))) {
        return Fail("cannot write the mailboxes");
    }

    ScriptedDialogs dialogs;
    frmStep1 window(dialogs);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) return Fail("the window was never shown");
    window.AddFileToList(source("Inbox.mbox"));
    window.AddFileToList(source("Sent.mbox"));
    Click(Button(window, "OptEML"));
    dialogs.folders = {destination.path()};
    Click(Button(window, "CmdConvert"));
    if (dialogs.messages.size() != 1 || dialogs.messages[0].kind != Dialogs::Kind::Information) {
        return Fail("the run did not end with its completion message");
    }
    // Paint now and hand the pixels to the display before reading them back.
    window.repaint();
    QCoreApplication::processEvents();

    const QImage shot =
        window.screen()->grabWindow(window.winId()).toImage().convertToFormat(QImage::Format_RGB32);
    if (!shot.save(QString::fromLocal8Bit(argv[1]), "PNG")) return Fail("cannot write the PNG");
    std::printf("screenshot written to %s\n", argv[1]);

    if (shot.size() != QSize(599, 569)) return Fail("the picture is not 599 x 569");
    QSet<QRgb> colours;
    for (int y = 0; y < shot.height(); y += 3) {
        for (int x = 0; x < shot.width(); x += 3) colours.insert(shot.pixel(x, y));
    }
    if (colours.size() < 32) return Fail("the picture is (nearly) blank");
    if (CountPixels(shot, qRgb(255, 255, 191)) < 1000) return Fail("no pale-yellow list cells");
    if (CountPixels(shot, qRgb(0, 0, 192)) < 100) return Fail("no selected list row");
    if (CountPixels(shot, qRgb(0, 64, 64)) < 300) return Fail("no dark-teal line or caption");
    return 0;
}
