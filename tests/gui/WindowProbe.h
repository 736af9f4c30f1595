#pragma once
// Test helpers: controls looked up by their names, and small mailboxes and
// folder trees written on disk.
#include <QAbstractButton>
#include <QByteArray>
#include <QLabel>
#include <QString>
#include <QTableWidget>
#include <QWidget>
#include <filesystem>

namespace mailvane {

// The child named `name`; the test fails with the name when it is missing.
QWidget* Control(QWidget& window, const char* name);
QAbstractButton* Button(QWidget& window, const char* name);
QLabel* Label(QWidget& window, const char* name);
QTableWidget* Grid(QWidget& window);

// Texts of the list's rows, top to bottom.
QStringList RowTexts(QWidget& window);

// Writes `bytes` to `path`, creating its folders; false on any failure.
bool WriteFile(const std::filesystem::path& path, const QByteArray& bytes);

// A mailbox of `count` short messages with the subject "<name> <n>".
QByteArray Mailbox(const QString& name, int count);

// Clicks the control with the left mouse button, as a user would.
void Click(QWidget* control);

}  // namespace mailvane
