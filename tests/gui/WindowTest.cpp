// The main window: its controls and start state, the enabling rules, filling,
// clearing and scrolling the source list, Help and Exit; and how it shows a
// run: the message at the end made to fit the screen, the bytes read.
#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionGroupBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <functional>

#include "ScriptedDialogs.h"
#include "WindowProbe.h"
#include "app/NativePath.h"
#include "app/QtDialogs.h"
#include "app/frmStep1.h"
#include "support/Version.h"

using namespace mailvane;

namespace {

const QString kAppTitle = QStringLiteral("Mailvane");

QString Caption(QWidget* control) {
    if (auto* button = qobject_cast<QAbstractButton*>(control)) return button->text();
    if (auto* label = qobject_cast<QLabel*>(control)) return label->text();
    if (auto* frame = qobject_cast<QGroupBox*>(control)) return frame->title();
    return QString();
}

// The controls the user reads or works, and the labels a run writes into.
const char kUsedControls[] =
    "cmdAdd CmdAddFolder cmdClear1 lblCount1 grdFiles1 OptEML OptEMLX OptPST OptMSG ChkAllinOnePST "
    "ChkKeepFolders Label4 PrgMailbox LblProgessCurrent Label1 LblIMMFile Image3 LblProgress "
    "CmdConvert CmdHelp "
    "cmdEnd";
const QStringList kRunLabels = {"lblCount1", "LblProgessCurrent", "LblIMMFile", "LblProgress"};

QString Native(const QTemporaryDir& dir, const QString& relative) {
    return QDir::toNativeSeparators(dir.filePath(relative));
}

// Scripted answers, but messages shown in real message boxes, which
// `whileShown` looks at before it closes them.
struct RealMessageBoxes : ScriptedDialogs {
    QtDialogs real;
    std::function<void(QMessageBox&)> whileShown;

    void inform(QWidget* owner, Kind kind, const QString& title, const QString& text,
                const QString& details) override {
        ScriptedDialogs::inform(owner, kind, title, text, details);
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || !box->isVisible()) return;
            poll.stop();
            if (whileShown) whileShown(*box);
            box->accept();
        });
        poll.start(10);
        real.inform(owner, kind, title, text, details);
    }
};

// A mailbox of one message about `bytes` long.
std::string LargeMailbox(std::size_t bytes) {
    std::string text = "From a@example.org Sat Dec  5 10:00:00 2026\nSubject: large\n\n";
    while (text.size() < bytes) text += std::string(99, 'x') + '\n';
    return text;
}

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

    void startState() {
        ScriptedDialogs dialogs;
        frmStep1 window(dialogs);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));

        // The name and the first two parts of the project's version.
        QCOMPARE(window.windowTitle(), kAppTitle + " v" + QString::fromLatin1(kShortVersion));
        QVERIFY(QString::fromLatin1(kVersion).startsWith(QString::fromLatin1(kShortVersion) + '.'));
        QCOMPARE(window.size(), QSize(599, 569));
        QCOMPARE(window.minimumSize(), window.maximumSize());
        QVERIFY(!window.windowIcon().isNull());
        QCOMPARE(QApplication::focusWidget(), Control(window, "cmdAdd"));

        for (const char* option : {"OptEML", "OptEMLX", "OptPST", "OptMSG"}) {
            QVERIFY2(!Button(window, option)->isChecked(), option);
            QVERIFY2(Button(window, option)->isEnabled(), option);
        }
        QVERIFY(Button(window, "ChkAllinOnePST")->isChecked());
        QVERIFY(!Button(window, "ChkAllinOnePST")->isEnabled());
        QVERIFY(!Button(window, "CmdConvert")->isEnabled());
        for (const char* command : {"cmdAdd", "CmdAddFolder", "cmdClear1", "CmdHelp", "cmdEnd"}) {
            QVERIFY2(Button(window, command)->isEnabled(), command);
        }
        QCOMPARE(RowTexts(window), QStringList{QString()});
        QCOMPARE(Grid(window)->columnCount(), 1);
        QVERIFY(Grid(window)->horizontalHeader()->isHidden());
        QVERIFY(Grid(window)->verticalHeader()->isHidden());
        QCOMPARE(Label(window, "Image2")->pixmap().size(), QSize(600, 85));
        QCOMPARE(Label(window, "Image3")->pixmap().size(), QSize(16, 16));
        window.AddFileToList("   ");  // a blank path is nothing to convert
        QVERIFY(!Button(window, "CmdConvert")->isEnabled());
    }

    // Whatever the platform's fonts: every control the user reads or works
    // lies wholly inside the window and its container, no two of them share
    // a pixel (a label counted by its text, the frame by its caption), and
    // every caption fits its control.
    void controlsAreInsideApartAndReadable() {
        ScriptedDialogs dialogs;
        frmStep1 window(dialogs);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QStringList faults;
        QList<std::pair<QString, QRect>> used;  // in the window's coordinates
        const auto inWindow = [&](QWidget* control, const QRect& area) {
            return area.translated(control->mapTo(&window, QPoint(0, 0)));
        };
        for (const QString& name : QString::fromLatin1(kUsedControls).split(QLatin1Char(' '))) {
            QWidget* control = Control(window, qPrintable(name));
            const QString where = QStringLiteral("%1 at %2,%3 %4x%5")
                                      .arg(name)
                                      .arg(control->x())
                                      .arg(control->y())
                                      .arg(control->width())
                                      .arg(control->height());
            if (!control->parentWidget()->rect().contains(control->geometry()) ||
                !window.rect().contains(inWindow(control, control->rect())))
                faults.append(where + " sticks out");
            const QFontMetrics metrics(control->font());
            const QString text = Caption(control).remove(QLatin1Char('&'));
            auto* label = qobject_cast<QLabel*>(control);
            // Buttons and boxes need room for their frame or mark as well.
            const int needed =
                label ? metrics.horizontalAdvance(text) : control->sizeHint().width();
            if (!text.isEmpty() &&
                (needed > control->width() || metrics.height() > control->height()))
                faults.append(
                    QStringLiteral("%1 cannot show its caption (%2 wide)").arg(where).arg(needed));
            QRect area = control->rect();
            if (label) {
                // A label a run writes into may use its whole width.
                const bool runText = text.isEmpty() || kRunLabels.contains(name);
                area = QStyle::alignedRect(
                    Qt::LeftToRight, label->alignment(),
                    QSize(runText ? control->width() : needed, metrics.height()), control->rect());
            }
            used.append({name, inWindow(control, area)});
        }
        auto* frame = qobject_cast<QGroupBox*>(Control(window, "Frame1"));
        QStyleOptionGroupBox option;
        option.initFrom(frame);
        option.text = frame->title();
        option.subControls = QStyle::SC_GroupBoxLabel;
        used.append(
            {QStringLiteral("Frame1's caption"),
             inWindow(frame, frame->style()->subControlRect(QStyle::CC_GroupBox, &option,
                                                            QStyle::SC_GroupBoxLabel, frame))});
        for (qsizetype i = 0; i < used.size(); ++i) {
            for (qsizetype j = i + 1; j < used.size(); ++j) {
                if (used[i].second.intersects(used[j].second))
                    faults.append(used[i].first + " overlaps " + used[j].first);
            }
        }
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));
    }

    void tabOrder() {
        ScriptedDialogs dialogs;
        frmStep1 window(dialogs);
        const QStringList expected = {
            "cmdAdd",  "cmdClear1",      "CmdAddFolder",  "grdFiles1", "CmdConvert",
            "cmdEnd",  "CmdHelp",        "OptMSG",        "OptPST",    "OptEML",
            "OptEMLX", "ChkAllinOnePST", "ChkKeepFolders"};
        QStringList order;
        QWidget* start = Control(window, "cmdAdd");
        for (QWidget* w = start; order.size() < expected.size() * 2;) {
            if (expected.contains(w->objectName())) order.append(w->objectName());
            w = w->nextInFocusChain();
            if (w == start) break;
        }
        QCOMPARE(order, expected);
    }

    void onePstBoxFollowsThePstOption() {
        ScriptedDialogs dialogs;
        frmStep1 window(dialogs);
        window.show();
        auto* box = Button(window, "ChkAllinOnePST");

        Click(Button(window, "OptPST"));
        QVERIFY(box->isEnabled());
        QVERIFY(box->isChecked());
        Click(box);
        QVERIFY(!box->isChecked());

        for (const char* other : {"OptEML", "OptEMLX", "OptMSG"}) {
            Click(Button(window, other));
            QVERIFY2(!box->isEnabled(), other);
            QVERIFY2(!box->isChecked(), other);  // disabling leaves the mark alone
            Click(box);
            QVERIFY2(!box->isChecked(), other);
            Click(Button(window, "OptPST"));
            QVERIFY2(box->isEnabled(), other);
        }
        // The options are one group.
        Click(Button(window, "OptEMLX"));
        QVERIFY(Button(window, "OptEMLX")->isChecked());
        QVERIFY(!Button(window, "OptPST")->isChecked());
    }

    void addingFiles() {
        ScriptedDialogs dialogs;
        frmStep1 window(dialogs);
        window.show();
        const QString one = QDir::toNativeSeparators(QStringLiteral("/mail/one.mbox"));
        const QStringList several = {QDir::toNativeSeparators(QStringLiteral("/c.mbox")),
                                     QDir::toNativeSeparators(QStringLiteral("/mail/b.mbx")),
                                     QDir::toNativeSeparators(QStringLiteral("/mail/a.mbox"))};
        dialogs.fileLists = {{one}, several, {one}, {}};

        Click(Button(window, "cmdAdd"));
        // Mailboxes by name first; any file, for those kept without an extension.
        QCOMPARE(dialogs.filters.size(), 1);
        const QList<Dialogs::FileFilter> offered = dialogs.filters[0];
        QCOMPARE(offered.size(), 2);
        QCOMPARE(offered[0].name, QStringLiteral("MBOX Files (*.mbox,*.mbx)"));
        QCOMPARE(offered[0].patterns,
                 (QStringList{QStringLiteral("*.mbox"), QStringLiteral("*.mbx")}));
        QCOMPARE(offered[1].name, QStringLiteral("All files (*)"));
        QCOMPARE(offered[1].patterns, QStringList{QStringLiteral("*")});
        QCOMPARE(RowTexts(window), QStringList{one});
        QCOMPARE(Label(window, "lblCount1")->text(), QStringLiteral("1 files"));
        QVERIFY(Button(window, "CmdConvert")->isEnabled());

        Click(Button(window, "cmdAdd"));
        QCOMPARE(RowTexts(window), QStringList{one} + several);
        QCOMPARE(Label(window, "lblCount1")->text(), QStringLiteral("4 files"));
        QCOMPARE(Grid(window)->currentRow(), 3);

        Click(Button(window, "cmdAdd"));  // the same file again is listed again
        QCOMPARE(RowTexts(window), QStringList{one} + several + QStringList{one});

        Click(Button(window, "cmdAdd"));  // cancelled
        // Each dialog opens where the last chosen files were.
        QCOMPARE(dialogs.startFolders, (QStringList{QString(), QStringLiteral("/mail"),
                                                    QStringLiteral("/"), QStringLiteral("/mail")}));
        QCOMPARE(RowTexts(window).size(), 5);
        QCOMPARE(Label(window, "lblCount1")->text(), QStringLiteral("5 files"));
        QCOMPARE(dialogs.unexpected, 0);
        QVERIFY(dialogs.messages.isEmpty());
    }

    void addingAFolderIsBreadthFirst() {
        QTemporaryDir root;
        const auto at = [&](const char* relative) {
            return PathFromQString(Native(root, relative));
        };
        for (const char* file :
             {"a.mbox", "B.MBX", "notes.txt", "f.mbox  ", "sub1/c.mbox", "sub1/deep/d.mbox",
              "sub1/mbox.txt", "sub2/e.mbx", "Archive.mbox/mbox"}) {
            QVERIFY(WriteFile(at(file), Mailbox(QStringLiteral("x"), 1)));
        }
        ScriptedDialogs dialogs;
        frmStep1 window(dialogs);
        window.show();
        window.AddFileToList(at("earlier.mbox"));
        dialogs.folders = {root.path()};
        dialogs.answers = {false};

        Click(Button(window, "CmdAddFolder"));
        QCOMPARE(dialogs.folderTitles, QStringList{QStringLiteral("Choose Source Folder...")});
        // Own files in byte order of their names, then each subfolder's, then deeper.
        const QStringList expected = {Native(root, "earlier.mbox"),    Native(root, "B.MBX"),
                                      Native(root, "a.mbox"),          Native(root, "f.mbox  "),
                                      Native(root, "sub1/c.mbox"),     Native(root, "sub2/e.mbx"),
                                      Native(root, "sub1/deep/d.mbox")};
        QCOMPARE(RowTexts(window), expected);
        QCOMPARE(Label(window, "lblCount1")->text(), QStringLiteral("7 files"));
        QCOMPARE(dialogs.messages.size(), 1);
        QCOMPARE(dialogs.messages[0].kind, Dialogs::Kind::Plain);
        QCOMPARE(dialogs.messages[0].title, kAppTitle);
        QCOMPARE(dialogs.messages[0].text, QStringLiteral("6 Files Added to List."));
        // Then, once, the mailboxes found by their content alone; No adds none.
        QCOMPARE(dialogs.questions.size(), 1);
        QCOMPARE(dialogs.questions[0].title, kAppTitle);
        QCOMPARE(dialogs.questions[0].text,
                 QStringLiteral("This folder also holds 3 mailboxes kept by mail programs without "
                                "the .mbox name (Thunderbird, Apple Mail). Add them too?"));
        QCOMPARE(RowTexts(window), expected);
        QVERIFY(QApplication::overrideCursor() == nullptr);
        QVERIFY(Button(window, "CmdConvert")->isEnabled());

        // The same folder twice lists it twice; Yes adds the others after them.
        dialogs.folders = {QString(), root.path()};
        dialogs.answers = {true};
        Click(Button(window, "CmdAddFolder"));  // cancelled: no message, no busy cursor left
        QCOMPARE(dialogs.messages.size(), 1);
        QVERIFY(QApplication::overrideCursor() == nullptr);
        Click(Button(window, "CmdAddFolder"));
        QCOMPARE(dialogs.startFolders, (QStringList{QString(), root.path(), root.path()}));
        QCOMPARE(RowTexts(window).mid(13),
                 (QStringList{Native(root, "notes.txt"), Native(root, "Archive.mbox/mbox"),
                              Native(root, "sub1/mbox.txt")}));
        QCOMPARE(dialogs.messages.size(), 2);
        QCOMPARE(dialogs.unexpected, 0);
    }

    void folderWithoutMailboxes() {
        QTemporaryDir root;
        QVERIFY(WriteFile(PathFromQString(Native(root, "notes.txt")), "text"));
        ScriptedDialogs dialogs;
        frmStep1 window(dialogs);
        dialogs.folders = {root.path(), root.path()};

        Click(Button(window, "CmdAddFolder"));
        QCOMPARE(dialogs.messages.value(0).text, QStringLiteral("0 Files Added to List."));
        QVERIFY(!Button(window, "CmdConvert")->isEnabled());

        // A scan that finds nothing leaves Convert alone while paths are listed.
        window.AddFileToList(PathFromQString(Native(root, "listed.mbox")));
        QVERIFY(Button(window, "CmdConvert")->isEnabled());
        Click(Button(window, "CmdAddFolder"));
        QCOMPARE(dialogs.messages.value(1).text, QStringLiteral("0 Files Added to List."));
        QVERIFY(Button(window, "CmdConvert")->isEnabled());
        QCOMPARE(RowTexts(window), QStringList{Native(root, "listed.mbox")});
    }

    void clearingTheList() {
        ScriptedDialogs dialogs;
        frmStep1 window(dialogs);
        window.show();
        Click(Button(window, "cmdClear1"));  // nothing listed: no question
        QVERIFY(dialogs.questions.isEmpty());

        window.AddFileToList("/mail/a.mbox");
        window.AddFileToList("/mail/b.mbox");
        dialogs.answers = {false, true};
        Click(Button(window, "cmdClear1"));
        QCOMPARE(dialogs.questions.value(0).title, kAppTitle);
        QCOMPARE(dialogs.questions.value(0).text,
                 QStringLiteral("Do you want to clear all the files in the list\n Proceed?"));
        QCOMPARE(RowTexts(window).size(), 2);
        QCOMPARE(Label(window, "lblCount1")->text(), QStringLiteral("2 files"));
        QCOMPARE(Grid(window)->currentRow(), 0);

        Click(Button(window, "cmdClear1"));
        QCOMPARE(RowTexts(window), QStringList{QString()});
        QCOMPARE(Label(window, "lblCount1")->text(), QStringLiteral("0 files"));
        QVERIFY(!Button(window, "CmdConvert")->isEnabled());

        window.AddFileToList("/mail/c.mbox");
        QCOMPARE(RowTexts(window), QStringList{QStringLiteral("/mail/c.mbox")});
        QCOMPARE(dialogs.unexpected, 0);
    }

    // The empty list is one blank row: white, without grid lines, not
    // selectable; no horizontal scroll bar has anything to scroll.
    void theEmptyListLooksEmpty() {
        ScriptedDialogs dialogs;
        frmStep1 window(dialogs);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTableWidget* grid = Grid(window);
        const auto looksEmpty = [&] {
            const QTableWidgetItem* row = grid->item(0, 0);
            QVERIFY(row);
            QCOMPARE(row->background().style(), Qt::NoBrush);
            QVERIFY(!(row->flags() & Qt::ItemIsSelectable));
            QVERIFY(!grid->showGrid());
            QCOMPARE(grid->horizontalScrollBar()->maximum(), 0);
        };
        looksEmpty();

        // Short paths: the column spans the list, still nothing to scroll.
        window.AddFileToList("/mail/a.mbox");
        QCOMPARE(grid->item(0, 0)->background().color(), QColor(255, 255, 191));
        QVERIFY(grid->showGrid());
        QVERIFY(grid->columnWidth(0) >= grid->viewport()->width());
        QCOMPARE(grid->horizontalScrollBar()->maximum(), 0);
        // A path wider than the list can be scrolled to its end.
        const QString wide = QStringLiteral("/mail/") + QString(300, QLatin1Char('w')) + ".mbox";
        window.AddFileToList(PathFromQString(wide));
        QCoreApplication::processEvents();
        QVERIFY(grid->horizontalScrollBar()->maximum() > 0);
        QVERIFY(grid->columnWidth(0) > grid->fontMetrics().horizontalAdvance(wide));

        dialogs.answers = {true};
        Click(Button(window, "cmdClear1"));
        QCoreApplication::processEvents();
        looksEmpty();
    }

    // Scrolling stops on whole rows: the top row is never cut, and the last
    // row can be scrolled into full view.
    void scrollingShowsWholeRows() {
        ScriptedDialogs dialogs;
        frmStep1 window(dialogs);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        for (int i = 0; i < 30; ++i)
            window.AddFileToList("/mail/box" + std::to_string(i) + ".mbox");
        QTableWidget* grid = Grid(window);
        QScrollBar* bar = grid->verticalScrollBar();
        QVERIFY(bar->maximum() > 0);
        for (int value = 0; value <= bar->maximum(); value += 7) {
            bar->setValue(value);
            const int top = grid->rowAt(0);
            QVERIFY2(top >= 0 && grid->rowViewportPosition(top) == 0,
                     qPrintable(QStringLiteral("scrolled to %1: row %2 starts at %3")
                                    .arg(value)
                                    .arg(top)
                                    .arg(grid->rowViewportPosition(top))));
        }
        // Going to the last row shows it whole.
        grid->setCurrentCell(0, 0);
        QCOMPARE(bar->value(), 0);
        QTest::keyClick(grid, Qt::Key_End, Qt::ControlModifier);
        QCoreApplication::processEvents();
        const int last = grid->rowCount() - 1;
        QVERIFY(grid->rowViewportPosition(last) + grid->rowHeight(last) <=
                grid->viewport()->height());
        QCOMPARE(grid->rowViewportPosition(grid->rowAt(0)), 0);
    }

#ifndef _WIN32
    // A folder the scan could not list is named, in the message and, whole,
    // in its details; one reached again through a link is only counted.
    // Root lists any folder: the scan runs as an ordinary user for the
    // length of the click.
    void folderScanNamesFoldersItCouldNotList() {
        QTemporaryDir root;
        QVERIFY(WriteFile(PathFromQString(Native(root, "a.mbox")), Mailbox("a", 1)));
        QVERIFY(WriteFile(PathFromQString(Native(root, "locked/b.mbox")), Mailbox("b", 1)));
        // A link back to the top would loop for ever if it were followed.
        std::filesystem::create_directory_symlink(PathFromQString(root.path()),
                                                  PathFromQString(Native(root, "loop")));
        // Readable for the ordinary user, who keeps root's group here.
        QVERIFY(QFile::setPermissions(
            root.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                             QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther));
        QVERIFY(QFile::setPermissions(Native(root, "locked"), QFileDevice::Permissions()));
        const auto restore = qScopeGuard([&] {
            QFile::setPermissions(Native(root, "locked"),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        });
        const bool asRoot = ::geteuid() == 0;
        if (asRoot && ::seteuid(65534) != 0) QSKIP("cannot act as an ordinary user");
        ScriptedDialogs dialogs;
        frmStep1 window(dialogs);
        dialogs.folders = {root.path()};
        Click(Button(window, "CmdAddFolder"));
        if (asRoot) QVERIFY(::seteuid(0) == 0);

        QCOMPARE(RowTexts(window), QStringList{Native(root, "a.mbox")});
        const QString locked = Native(root, "locked") + QDir::separator();
        const auto& message = dialogs.messages.value(0);
        QVERIFY2(message.text.startsWith(QStringLiteral("1 Files Added to List.\n")),
                 qPrintable(message.text));
        QVERIFY2(message.text.contains(QStringLiteral("Could not be listed:\n")) &&
                     message.text.contains(QStringLiteral("Folders skipped (unreadable, or "
                                                          "reached again through a link): 2")),
                 qPrintable(message.text));
        // The line may lose part of its cause to fit; the details hold it whole.
        QVERIFY2(message.text.contains(QStringLiteral("locked/: cannot list")),
                 qPrintable(message.text));
        QVERIFY2(message.details.startsWith(locked + ": cannot list this folder ("),
                 qPrintable(message.details));
    }
#endif

    // Help opens the guide beside the program; with no browser to open it,
    // or no guide, the user is told where it is.
    void helpOpensTheGuideBesideTheProgram() {
        const QString guide = frmStep1::GuidePath();
        ScriptedDialogs dialogs;
        frmStep1 window(dialogs);
        Click(Button(window, "CmdHelp"));
        QCOMPARE(dialogs.opened, QList<QUrl>{QUrl::fromLocalFile(
                                     QCoreApplication::applicationDirPath() + "/guide.html")});
        QVERIFY(dialogs.messages.isEmpty());
        // The build puts the guide beside the window program as well.
        QVERIFY(QFileInfo::exists(QStringLiteral(MAILVANE_APP_DIR "/guide.html")));

        dialogs.documentsOpen = false;
        Click(Button(window, "CmdHelp"));
        QCOMPARE(dialogs.opened.size(), 2);
        QCOMPARE(dialogs.messages.size(), 1);
        QCOMPARE(dialogs.messages[0].title, kAppTitle);
        QVERIFY2(dialogs.messages[0].text.contains(QDir::toNativeSeparators(guide)),
                 qPrintable(dialogs.messages[0].text));
        QVERIFY(dialogs.messages[0].text.contains(QStringLiteral("no web browser")));

        // Without the guide no browser is asked; the message says where it belongs.
        QVERIFY(QFile::rename(guide, guide + ".away"));
        const auto putBack = qScopeGuard([&] { QFile::rename(guide + ".away", guide); });
        Click(Button(window, "CmdHelp"));
        QCOMPARE(dialogs.opened.size(), 2);
        QCOMPARE(dialogs.messages.size(), 2);
        QVERIFY2(dialogs.messages[1].text.contains(QStringLiteral("missing")) &&
                     dialogs.messages[1].text.contains(QDir::toNativeSeparators(guide)),
                 qPrintable(dialogs.messages[1].text));
    }

    // A run that fails on long paths ends with a message that fits the
    // screen: every line shows whole, the paths lose their middle, and the
    // details hold them whole.
    void theRunsMessageFitsTheScreen() {
        RealMessageBoxes dialogs;
        frmStep1 window(dialogs);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QString deep = QStringLiteral("/nowhere/") + QString(150, QLatin1Char('x')) +
                             QLatin1Char('/') + QString(120, QLatin1Char('y'));
        for (int i = 0; i < 8; ++i) {
            window.AddFileToList(PathFromQString(deep + QStringLiteral("/box%1.mbox").arg(i)));
        }
        QTemporaryDir destination;
        dialogs.folders = {destination.path()};
        QSize boxSize, screenSize;
        QStringList cutLines;
        QString shownText;
        dialogs.whileShown = [&](QMessageBox& box) {
            boxSize = box.frameGeometry().size();
            screenSize = box.screen()->availableGeometry().size();
            auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
            QVERIFY(label);
            shownText = label->text();
            const QFontMetrics metrics(label->font());
            for (const QString& line : label->text().split(QLatin1Char('\n'))) {
                if (metrics.horizontalAdvance(line) > label->contentsRect().width())
                    cutLines.append(line);
            }
        };
        Click(Button(window, "OptEML"));
        Click(Button(window, "CmdConvert"));

        QCOMPARE(dialogs.messages.size(), 1);
        QCOMPARE(dialogs.messages[0].kind, Dialogs::Kind::Warning);
        QCOMPARE(dialogs.messages[0].title, kAppTitle);
        // Ready for the next run after one that failed, too.
        QVERIFY(!Button(window, "OptEML")->isChecked());
        QVERIFY(Button(window, "CmdConvert")->isEnabled());
        QVERIFY2(boxSize.width() <= screenSize.width() && boxSize.height() <= screenSize.height(),
                 qPrintable(QStringLiteral("%1x%2 on %3x%4")
                                .arg(boxSize.width())
                                .arg(boxSize.height())
                                .arg(screenSize.width())
                                .arg(screenSize.height())));
        QVERIFY2(cutLines.isEmpty(), qPrintable(cutLines.join(QLatin1Char('\n'))));
        // Each failure names its mailbox, the middle of the path left out.
        for (int i = 0; i < 5; ++i) {
            const QRegularExpression line(
                QStringLiteral("\n/nowhere?…y*/box%1\\.mbox: cannot read").arg(i));
            QVERIFY2(shownText.contains(line), qPrintable(shownText));
        }
        QVERIFY2(shownText.contains(QStringLiteral("... and 3 more.")), qPrintable(shownText));
        const QString& details = dialogs.messages[0].details;
        for (int i = 0; i < 8; ++i) {
            QVERIFY2(details.contains(deep + QStringLiteral("/box%1.mbox: cannot read").arg(i)),
                     qPrintable(details));
        }
    }

    // The progress bar shows the bytes read of the mailbox being read: it
    // climbs through a large one, and starts again with the next.
    void theProgressBarFollowsTheMailboxBeingRead() {
        QTemporaryDir sources;
        const auto large = PathFromQString(Native(sources, "large.mbox"));
        const auto small = PathFromQString(Native(sources, "small.mbox"));
        QVERIFY(WriteFile(large, LargeMailbox(1200 * 1024)));
        QVERIFY(WriteFile(small, Mailbox("small", 2)));
        ScriptedDialogs dialogs;
        frmStep1 window(dialogs);
        window.show();
        auto* bar = window.findChild<QProgressBar*>(QStringLiteral("PrgMailbox"));
        QVERIFY(bar);
        QVERIFY(!bar->isVisible());
        window.AddFileToList(large);
        window.AddFileToList(small);
        QList<int> values;
        QList<QString> readings;
        QObject::connect(bar, &QProgressBar::valueChanged, [&](int value) {
            values.append(value);
            readings.append(Label(window, "LblIMMFile")->text());
        });
        QTemporaryDir destination;
        dialogs.folders = {destination.path()};
        Click(Button(window, "OptEML"));
        Click(Button(window, "CmdConvert"));

        QVERIFY(bar->isVisible());
        const int full = bar->maximum();
        QCOMPARE(values.value(values.indexOf(0, 1) - 1), full);  // the large one, read to its end
        QCOMPARE(values.last(), full);                           // the small one too
        QList<int> climbing;  // the large mailbox's values, in order
        for (int i = 0; i < values.size(); ++i) {
            if (readings[i] == "large.mbox") climbing.append(values[i]);
        }
        QVERIFY2(climbing.size() >= 4, qPrintable(QString::number(climbing.size())));
        QVERIFY(std::is_sorted(climbing.begin(), climbing.end()));
        QVERIFY(std::any_of(climbing.begin(), climbing.end(),
                            [&](int value) { return value > 0 && value < full; }));
        QCOMPARE(readings.last(), QStringLiteral("small.mbox"));
    }

    void exitAsksFirst() {
        ScriptedDialogs dialogs;
        frmStep1 window(dialogs);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        dialogs.answers = {false, true};
        Click(Button(window, "cmdEnd"));
        QCOMPARE(dialogs.questions.value(0).title, kAppTitle);
        QCOMPARE(dialogs.questions.value(0).text,
                 QStringLiteral("Are you sure you want to exit now?"));
        QVERIFY(window.isVisible());
        Click(Button(window, "cmdEnd"));
        QVERIFY(!window.isVisible());
    }
};

QTEST_MAIN(WindowTest)
#include "WindowTest.moc"
