// The main window without conversion runs: its controls and start state, the
// enabling rules, filling and clearing the source list, Help and Exit.
#include <QApplication>
#include <QCheckBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>

#include "ScriptedDialogs.h"
#include "WindowProbe.h"
#include "app/NativePath.h"
#include "app/frmStep1.h"

using namespace mailvane;

namespace {

const QString kAppTitle = QStringLiteral("Mailvane");

QString Caption(QWidget* control) {
    if (auto* button = qobject_cast<QAbstractButton*>(control)) return button->text();
    if (auto* label = qobject_cast<QLabel*>(control)) return label->text();
    if (auto* frame = qobject_cast<QGroupBox*>(control)) return frame->title();
    return QString();
}

QString Native(const QTemporaryDir& dir, const QString& relative) {
    return QDir::toNativeSeparators(dir.filePath(relative));
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

        QCOMPARE(window.windowTitle(), QStringLiteral("Mailvane v6.2"));
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
    }

    // Every control: container, place and size (twips at 15 to the pixel), caption.
    void layout_data() {
        QTest::addColumn<QString>("container");
        QTest::addColumn<QRect>("twips");
        QTest::addColumn<QString>("caption");
        auto row = [](const char* name, const char* container, QRect twips, const char* caption) {
            QTest::newRow(name) << QString::fromLatin1(container) << twips
                                << QString::fromLatin1(caption);
        };
        row("Image2", "frmStep1", {0, 0, 9000, 1275}, "");
        row("cmdAdd", "frmStep1", {240, 1440, 2535, 375}, "Select (.mbox) file(s)...");
        row("CmdAddFolder", "frmStep1", {3000, 1440, 3375, 375},
            "Select folder having (.mbox) file(s)...");
        row("cmdClear1", "frmStep1", {7440, 1440, 1335, 375}, "Clear file(s)...");
        row("lblCount1", "frmStep1", {270, 1920, 8535, 255}, "0 files");
        row("grdFiles1", "frmStep1", {240, 2160, 8535, 1575}, "");
        row("Frame1", "frmStep1", {240, 3840, 8535, 1695},
            " I want to convert mbox mailbox messages to");
        row("Picture1", "Frame1", {120, 240, 8295, 1335}, "");
        row("OptEML", "Picture1", {0, 0, 8055, 255},
            "(.eml) files          -     (Supported by Outlook Express, Windows Mail, Windows "
            "Live Mail)");
        row("OptEMLX", "Picture1", {0, 360, 8295, 255},
            "(.emlx) files        -     (Supported by Mac OS X Tiger Mail)");
        row("OptPST", "Picture1", {0, 720, 8055, 255},
            "(.pst) files          -     (Supported by MS Outlook, Outlook 2011 for Mac)");
        row("OptMSG", "Picture1", {0, 1080, 8055, 255},
            "(.msg) files         -     (Supported by MS Outlook, Document Management Software, "
            "Forensic Tools)");
        row("ChkAllinOnePST", "frmStep1", {240, 5640, 8535, 255},
            "Create Single Outlook PST file for All MBOX files");
        row("Label4", "frmStep1", {240, 5955, 1815, 255}, "Converting Messages...");
        row("LblProgessCurrent", "frmStep1", {600, 6240, 8175, 255}, "Mailbox  0 (of 0)");
        row("Label1", "frmStep1", {600, 6480, 1335, 255}, "Reading          :");
        row("LblIMMFile", "frmStep1", {1920, 6480, 6855, 255}, "");
        row("Image3", "frmStep1", {600, 6735, 240, 240}, "");
        row("LblProgress", "frmStep1", {960, 6735, 7815, 255}, "Saving :");
        row("CmdConvert", "frmStep1", {3120, 7200, 2775, 555}, "Convert");
        row("Shape1", "frmStep1", {0, 7920, 9015, 855}, "");
        row("Picture3", "frmStep1", {240, 8040, 8655, 495}, "");
        row("CmdHelp", "Picture3", {0, 0, 1695, 375}, "&Help Manual");
        row("cmdEnd", "Picture3", {7200, 0, 1335, 375}, "E&xit");
    }

    void layout() {
        QFETCH(QString, container);
        QFETCH(QRect, twips);
        QFETCH(QString, caption);
        ScriptedDialogs dialogs;
        frmStep1 window(dialogs);
        QWidget* control = Control(window, QTest::currentDataTag());
        QVERIFY(control);
        QCOMPARE(control->parentWidget()->objectName(), container);
        const QRect pixels(qRound(twips.x() / 15.0), qRound(twips.y() / 15.0),
                           qRound(twips.width() / 15.0), qRound(twips.height() / 15.0));
        QCOMPARE(control->geometry(), pixels);
        QCOMPARE(Caption(control), caption);
    }

    void tabOrder() {
        ScriptedDialogs dialogs;
        frmStep1 window(dialogs);
        const QStringList expected = {"cmdAdd",     "cmdClear1", "CmdAddFolder", "grdFiles1",
                                      "CmdConvert", "cmdEnd",    "CmdHelp",      "OptMSG",
                                      "OptPST",     "OptEML",    "OptEMLX",      "ChkAllinOnePST"};
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

    void convertNeedsAPathInTheList() {
        ScriptedDialogs dialogs;
        frmStep1 window(dialogs);
        window.AddFileToList("   ");
        QVERIFY(!Button(window, "CmdConvert")->isEnabled());
        dialogs.fileLists = {{QStringLiteral("/mail/Inbox.mbox")}};
        Click(Button(window, "cmdAdd"));
        QVERIFY(Button(window, "CmdConvert")->isEnabled());
    }

    void addingFiles() {
        ScriptedDialogs dialogs;
        frmStep1 window(dialogs);
        window.show();
        const QString one = QDir::toNativeSeparators(QStringLiteral("/mail/one.mbox"));
        const QStringList several = {QDir::toNativeSeparators(QStringLiteral("/mail/b.mbx")),
                                     QDir::toNativeSeparators(QStringLiteral("/mail/a.mbox")),
                                     QDir::toNativeSeparators(QStringLiteral("/c.mbox"))};
        dialogs.fileLists = {{one}, several, {one}, {}};

        Click(Button(window, "cmdAdd"));
        QCOMPARE(dialogs.filterNames, QStringList{QStringLiteral("MBOX Files (*.mbox,*.mbx)")});
        QCOMPARE(dialogs.filterPatterns.value(0),
                 (QStringList{QStringLiteral("*.mbox"), QStringLiteral("*.mbx")}));
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
        QVERIFY(QApplication::overrideCursor() == nullptr);
        QVERIFY(Button(window, "CmdConvert")->isEnabled());

        dialogs.folders = {root.path()};  // the same folder twice lists it twice
        Click(Button(window, "CmdAddFolder"));
        QCOMPARE(RowTexts(window).size(), 13);
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

    void cancelledFolderPicker() {
        ScriptedDialogs dialogs;
        frmStep1 window(dialogs);
        dialogs.folders = {QString()};
        Click(Button(window, "CmdAddFolder"));
        QCOMPARE(dialogs.folderTitles.size(), 1);
        QVERIFY(dialogs.messages.isEmpty());
        QCOMPARE(RowTexts(window), QStringList{QString()});
        QVERIFY(QApplication::overrideCursor() == nullptr);
    }

#ifndef _WIN32
    void folderScanReportsSkippedFolders() {
        QTemporaryDir root;
        QVERIFY(WriteFile(PathFromQString(Native(root, "sub/a.mbox")), Mailbox("a", 1)));
        // A link back to the top would loop for ever if it were followed.
        std::error_code error;
        std::filesystem::create_directory_symlink(PathFromQString(root.path()),
                                                  PathFromQString(Native(root, "sub/loop")), error);
        QVERIFY(!error);
        ScriptedDialogs dialogs;
        frmStep1 window(dialogs);
        dialogs.folders = {root.path()};
        Click(Button(window, "CmdAddFolder"));
        QCOMPARE(RowTexts(window), QStringList{Native(root, "sub/a.mbox")});
        QCOMPARE(dialogs.messages.value(0).text,
                 QStringLiteral("1 Files Added to List.\nFolders skipped (unreadable, or reached "
                                "again through a link): 1"));
    }
#endif

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

    void helpOpensTheGuideBesideTheProgram() {
        ScriptedDialogs dialogs;
        frmStep1 window(dialogs);
        Click(Button(window, "CmdHelp"));
        QCOMPARE(dialogs.opened.size(), 1);
        QCOMPARE(dialogs.opened[0],
                 QUrl::fromLocalFile(QCoreApplication::applicationDirPath() + "/guide.html"));
        // The build puts the guide beside the window program as well.
        QVERIFY(QFileInfo::exists(QStringLiteral(MAILVANE_APP_DIR "/guide.html")));
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
