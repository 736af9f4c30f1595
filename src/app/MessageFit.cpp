#include "app/MessageFit.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QScreen>
#include <QStringList>
#include <QWidget>
#include <algorithm>

#include "app/NativePath.h"

namespace mailvane {

namespace {

QFontMetrics MessageMetrics() {
    // The class name under which Qt keeps the message box text's font.
    return QFontMetrics(QApplication::font("QMessageBoxLabel"));
}

bool IsSeparator(QChar c) {
#ifdef _WIN32
    return c == QLatin1Char('\\') || c == QLatin1Char('/');
#else
    return c == QLatin1Char('/');
#endif
}

}  // namespace

int MessageLineWidth(const QWidget* owner) {
    const QScreen* screen = owner ? owner->screen() : QGuiApplication::primaryScreen();
    const int screenWidth = screen ? screen->availableGeometry().width() : 800;
    // QMessageBox is never wider than this; a line that would make it wider
    // is broken anywhere.
    const int widestBox = screenWidth <= 1024 ? screenWidth : std::min(screenWidth - 480, 1000);
    constexpr int kIconAndMargins = 80;
    return std::max(200, std::min({screenWidth * 7 / 10, 760, widestBox - 40}) - kIconAndMargins);
}

QString ElideMiddle(const QString& text, int width) {
    return MessageMetrics().elidedText(text, Qt::ElideMiddle, width);
}

QString ElidePath(const QString& path, int width) {
    const QFontMetrics metrics = MessageMetrics();
    if (metrics.horizontalAdvance(path) <= width) return path;
    // The last name starts after the last separator that has a name after it
    // (a folder's path may end with a separator).
    int end = path.size();
    while (end > 0 && IsSeparator(path[end - 1])) --end;
    int start = end;
    while (start > 0 && !IsSeparator(path[start - 1])) --start;
    const QString name = path.mid(start);
    const int nameWidth = metrics.horizontalAdvance(name);
    const int folderRoom = width - nameWidth;
    if (start == 0 || folderRoom < metrics.horizontalAdvance(QStringLiteral("/…/"))) {
        return metrics.elidedText(path, Qt::ElideMiddle, width);
    }
    return metrics.elidedText(path.left(start), Qt::ElideMiddle, folderRoom) + name;
}

int TextWidth(const QString& text) {
    const QFontMetrics metrics = MessageMetrics();
    int widest = 0;
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        widest = std::max(widest, metrics.horizontalAdvance(line));
    }
    return widest;
}

QString VisibleQString(const QString& text) {
    return QString::fromStdString(VisibleText(text.toStdString()));
}

QString VisiblePath(const std::filesystem::path& path) {
    return VisibleQString(PathToQString(path));
}

ReportStyle WholeStyle() {
    ReportStyle style;
    style.path = [](const std::filesystem::path& path) { return VisiblePath(path).toStdString(); };
    style.text = [](const std::string& text) { return VisibleText(text); };
    return style;
}

QString FitLines(const QString& text, int width) {
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString& line : lines) line = ElideMiddle(VisibleQString(line), width);
    return lines.join(QLatin1Char('\n'));
}

QString VisibleLines(const QString& text) {
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString& line : lines) line = VisibleQString(line);
    return lines.join(QLatin1Char('\n'));
}

ReportStyle MessageStyle(int width) {
    ReportStyle style;
    style.text = [width](const std::string& text) {
        return ElideMiddle(VisibleQString(QString::fromStdString(text)), width).toStdString();
    };
    style.failure = [width](const RunFailure& failure) {
        const QString path = VisiblePath(failure.mailbox);
        const QString cause = VisibleQString(QString::fromStdString(failure.cause));
        const QString number =
            failure.message > 0 ? QStringLiteral(", message %1").arg(failure.message) : QString();
        const QString colon = QStringLiteral(": ");
        // The path gets what the cause leaves, and at least 30 per cent.
        const int fixed = TextWidth(number + colon);
        const int pathRoom = std::max(width * 3 / 10, width - fixed - TextWidth(cause));
        const QString shownPath = ElidePath(path, pathRoom);
        const int causeRoom = std::max(width - fixed - TextWidth(shownPath), width / 4);
        return (shownPath + number + colon + ElideMiddle(cause, causeRoom)).toStdString();
    };
    return style;
}

}  // namespace mailvane
