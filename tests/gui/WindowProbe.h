#pragma once
// Test helpers: controls looked up by their names, and small mailboxes and
// folder trees written on disk.
#include <QAbstractButton>
#include <QLabel>
#include <QString>
#include <QTableWidget>
#include <QWidget>
#include <string>

#include "common/TestFiles.h"

namespace mailvane {

// The child named `name`; the test fails with the name when it is missing.
QWidget* Control(QWidget& window, const char* name);
QAbstractButton* Button(QWidget& window, const char* name);
QLabel* Label(QWidget& window, const char* name);
QTableWidget* Grid(QWidget& window);

// Texts of the list's rows, top to bottom.
QStringList RowTexts(QWidget& window);

using test::WriteFile;

// A mailbox of `count` short messages with the subject "<name> <n>".
std::string Mailbox(const QString& name, int count);

// Clicks the control with the left mouse button, as a user would.
void Click(QWidget* control);

}  // namespace mailvane
