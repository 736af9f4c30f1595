#pragma once
// Message boxes that fit the screen. Left alone, a QMessageBox wraps its text
// once the box would be wider than about half the screen and, when a line
// cannot be wrapped (a long path has no blanks), grows to the screen's width
// and cuts the text off. The texts built here keep each line within
// MessageLineWidth(): paths and causes are elided in their middle, and the
// box (QtDialogs) is made wide enough for its widest line, so each line shows
// whole on one line; what the lines leave out goes to the box's details.
#include <QString>

#include "convert/RunReport.h"

class QLabel;
class QWidget;

namespace mailvane {

// The widest line, in pixels, a message box over `owner` shows unbroken: 70
// per cent of the screen (760 pixels at most, and below the widest box
// QMessageBox allows) less the icon and margins.
int MessageLineWidth(const QWidget* owner);

// `text` with "…" in place of its middle so that it is at most `width`
// pixels wide in a message box's font; unchanged when it fits.
QString ElideMiddle(const QString& text, int width);

// A path made to fit `width` pixels: its folders lose their middle first, so
// the last name stays whole whenever it fits alone.
QString ElidePath(const QString& path, int width);

// The widest line of `text` in pixels.
int TextWidth(const QString& text);

// Text from outside the program (a file name, a cause) made safe to show:
// control characters and bidirectional marks made visible, as the command
// line shows them.
QString VisibleQString(const QString& text);
QString VisiblePath(const std::filesystem::path& path);

// How a message box `width` pixels wide shows a run's report: a failure line
// fits the width, its cause whole when it can be, its path elided with the
// last name kept (the path keeps 30 per cent of the line); notes are elided
// in their middle.
ReportStyle MessageStyle(int width);

// How a message box's details show a report: whole paths and texts, made
// visible.
ReportStyle WholeStyle();

// Each line of `text` made visible (VisibleQString) and, when wider than
// `width` pixels, elided in its middle.
QString FitLines(const QString& text, int width);

// Each line of `text` made visible, whole.
QString VisibleLines(const QString& text);

}  // namespace mailvane
