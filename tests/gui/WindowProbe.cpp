#include "WindowProbe.h"

#include <QTest>

namespace mailvane {

QWidget* Control(QWidget& window, const char* name) {
    auto* control = window.findChild<QWidget*>(QString::fromLatin1(name));
    if (!control) qWarning("no control named %s", name);
    return control;
}

QAbstractButton* Button(QWidget& window, const char* name) {
    return qobject_cast<QAbstractButton*>(Control(window, name));
}

QLabel* Label(QWidget& window, const char* name) {
    return qobject_cast<QLabel*>(Control(window, name));
}

QTableWidget* Grid(QWidget& window) {
    return qobject_cast<QTableWidget*>(Control(window, "grdFiles1"));
}

QStringList RowTexts(QWidget& window) {
    QStringList rows;
    QTableWidget* grid = Grid(window);
    for (int row = 0; grid && row < grid->rowCount(); ++row) {
        const QTableWidgetItem* item = grid->item(row, 0);
        rows.append(item ? item->text() : QString());
    }
    return rows;
}

std::string Mailbox(const QString& name, int count) {
    std::string text;
    for (int n = 1; n <= count; ++n) {
        const std::string number = std::to_string(n);
        text += "From sender@example.org Sat Dec  5 10:0" + number +
                ":00 2026\nFrom: Sender <sender@example.org>\nTo: reader@example.org\nSubject: " +
                name.toStdString() + ' ' + number + "\nDate: Sat, 5 Dec 2026 10:0" + number +
                ":00 +0000\n\nBody of message " + number + ".\n\n";
    }
    return text;
}

void Click(QWidget* control) {
    // Near the left edge: on an option button or check box that is the
    // indicator, whatever the length of the caption.
    if (control) {
        const QPoint point(qMin(8, control->width() / 2), control->height() / 2);
        QTest::mouseClick(control, Qt::LeftButton, Qt::NoModifier, point);
    }
}

}  // namespace mailvane
