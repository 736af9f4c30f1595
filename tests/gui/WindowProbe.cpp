#include "WindowProbe.h"

#include <QTest>
#include <fstream>

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

bool WriteFile(const std::filesystem::path& path, const QByteArray& bytes) {
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.constData(), bytes.size());
    out.close();
    return !error && out.good();
}

QByteArray Mailbox(const QString& name, int count) {
    QByteArray text;
    for (int n = 1; n <= count; ++n) {
        text += "From sender@example.org Sat Dec  5 10:0" + QByteArray::number(n) +
                ":00 2026\n"
                "From: Sender <sender@example.org>\n"
                "To: reader@example.org\n"
                "Subject: " +
                name.toUtf8() + ' ' + QByteArray::number(n) +
                "\n"
                "Date: Sat, 5 Dec 2026 10:0" +
                QByteArray::number(n) +
                ":00 +0000\n"
                "\n"
                "Body of message " +
                QByteArray::number(n) + ".\n\n";
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
