// Conversion runs as the window drives them: the checks before a run, the
// progress captions, what is locked while it runs, the completion and failure
// messages, and closing the window in the middle of a run.
#include <QApplication>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "ScriptedDialogs.h"
#include "WindowProbe.h"
#include "app/NativePath.h"
#include "app/frmStep1.h"
#include "convert/StoreOutput.h"
#include "support/Paths.h"

using namespace mailvane;
namespace fs = std::filesystem;

namespace {

const QString kAppTitle = QStringLiteral("Mailvane");
const QString kStars = QString(75, QLatin1Char('*'));

const char* const kOptions[] = {"OptEML", "OptEMLX", "OptPST", "OptMSG"};
const char* const kLockedDuringRun[] = {
    "cmdAdd", "CmdAddFolder", "cmdClear1",      "OptEML",     "OptEMLX",
    "OptPST", "OptMSG",       "ChkAllinOnePST", "CmdConvert", "ChkKeepFolders"};

// Where the run writes a mailbox's messages.
fs::path OutputFolderOf(const QTemporaryDir& destination, const fs::path& source) {
    return PathFromQString(destination.path()) / PathWithoutRoot(source);
}

std::vector<fs::path> StoresIn(const QTemporaryDir& destination) {
    std::vector<fs::path> stores;
    for (const auto& entry : fs::directory_iterator(PathFromQString(destination.path())))
        if (entry.path().extension() == ".pst") stores.push_back(entry.path());
    return stores;
}

struct Sources {
    QTemporaryDir dir;
    fs::path Add(const char* name, int messages) {
        const fs::path path = PathFromQString(QDir::toNativeSeparators(dir.filePath(name)));
        if (!WriteFile(path, Mailbox(QString::fromLatin1(name), messages))) return {};
        return path;
    }
};

bool NoOptionChosen(QWidget& window) {
    for (const char* option : kOptions) {
        if (Button(window, option)->isChecked()) return false;
    }
    return true;
}

}  // namespace

class RunTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

    void emlRunOverTwoMailboxes() {
        Sources sources;
        const fs::path first = sources.Add("first.mbox", 2);
        const fs::path second = sources.Add("second.mbox", 1);
        QTemporaryDir destination;
        ScriptedDialogs dialogs;
        frmStep1 window(dialogs);
        window.show();
        window.AddFileToList(first);
        window.AddFileToList(second);
        Click(Button(window, "OptPST"));
        Click(Button(window, "OptEML"));  // leaves the one-PST box disabled
        dialogs.answers = {false};
        Click(Button(window, "cmdClear1"));  // moves the current row to the top
        QCOMPARE(Grid(window)->currentRow(), 0);
        dialogs.folders = {destination.path()};

        QStringList enabledWhileRunning;
        dialogs.whileShowing = [&](const ScriptedDialogs::Message&) {
            for (const char* name : kLockedDuringRun) {
                if (Control(window, name)->isEnabled()) enabledWhileRunning.append(name);
            }
            for (const char* name : {"CmdHelp", "cmdEnd"}) {
                if (!Control(window, name)->isEnabled())
                    enabledWhileRunning.append("not " + QString(name));
            }
        };
        Click(Button(window, "CmdConvert"));

        QCOMPARE(dialogs.messages.size(), 1);
        const auto& done = dialogs.messages[0];
        QCOMPARE(done.kind, Dialogs::Kind::Information);
        QCOMPARE(done.title, kAppTitle);
        QVERIFY2(done.text.startsWith(kStars +
                                      "\nYour messages from MBOX files has been "
                                      "successfully exported.\n" +
                                      kStars + "\n"),
                 qPrintable(done.text));
        QVERIFY2(enabledWhileRunning.isEmpty(), qPrintable(enabledWhileRunning.join(", ")));

        QCOMPARE(Label(window, "LblProgessCurrent")->text(), QStringLiteral("Mailbox 2 (of 2) "));
        QCOMPARE(Label(window, "LblIMMFile")->text(), QStringLiteral("second.mbox"));
        QCOMPARE(Label(window, "LblProgress")->text(), QStringLiteral("Saved 1 Email Messages..."));
        for (const char* file : {"email-1.eml", "email-2.eml"}) {
            QVERIFY2(fs::exists(OutputFolderOf(destination, first) / file), file);
        }
        QVERIFY(fs::exists(OutputFolderOf(destination, second) / "email-1.eml"));
        QVERIFY(!fs::exists(OutputFolderOf(destination, second) / "email-2.eml"));

        // Ready for the next run, which needs a fresh choice of format.
        QVERIFY(NoOptionChosen(window));
        QVERIFY(Button(window, "CmdConvert")->isEnabled());
        QVERIFY(!Button(window, "ChkAllinOnePST")->isEnabled());
        QVERIFY(Button(window, "ChkAllinOnePST")->isChecked());
        QCOMPARE(RowTexts(window).size(), 2);
        QCOMPARE(Grid(window)->currentRow(), 1);  // the last mailbox read
        for (const char* name : {"cmdAdd", "CmdAddFolder", "cmdClear1", "OptEML"}) {
            QVERIFY2(Control(window, name)->isEnabled(), name);
        }
        Click(Button(window, "CmdConvert"));
        QCOMPARE(dialogs.messages.value(1).kind, Dialogs::Kind::Information);
        QCOMPARE(dialogs.messages.value(1).title, kAppTitle);
        QCOMPARE(dialogs.messages.value(1).text,
                 QStringLiteral("Please select a option to convert file(s)."));
        // The next destination dialog opens where the last one was chosen;
        // cancelled, it changes nothing.
        Click(Button(window, "OptEML"));
        dialogs.folders = {QString()};
        Click(Button(window, "CmdConvert"));
        QCOMPARE(dialogs.startFolders, (QStringList{QString(), destination.path()}));
        QCOMPARE(dialogs.folderTitles.value(1), QStringLiteral("Choose Folder to Save..."));
        QCOMPARE(dialogs.messages.size(), 2);
        QVERIFY(Button(window, "OptEML")->isChecked());
        QVERIFY(Button(window, "CmdConvert")->isEnabled());
        QCOMPARE(dialogs.unexpected, 0);
    }

    void eachOptionPicksItsFormat_data() {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("written");  // the first message's file
        QTest::newRow("emlx") << "OptEMLX"
                              << "email-1.emlx";
        QTest::newRow("msg") << "OptMSG"
                             << "Email-1.msg";
    }

    void eachOptionPicksItsFormat() {
        QFETCH(QString, option);
        QFETCH(QString, written);
        Sources sources;
        const fs::path mailbox = sources.Add("box.mbox", 1);
        QTemporaryDir destination;
        ScriptedDialogs dialogs;
        frmStep1 window(dialogs);
        window.show();
        window.AddFileToList(mailbox);
        Click(Button(window, qPrintable(option)));
        dialogs.folders = {destination.path()};
        Click(Button(window, "CmdConvert"));

        QCOMPARE(dialogs.messages.size(), 1);
        QCOMPARE(dialogs.messages[0].kind, Dialogs::Kind::Information);
        QVERIFY(fs::exists(OutputFolderOf(destination, mailbox) / written.toStdString()));
        QVERIFY(NoOptionChosen(window));
    }

    void pstOptionWritesStoresInEitherLayout() {
        Sources sources;
        const fs::path mailbox = sources.Add("box.mbox", 2);
        QTemporaryDir destination;
        ScriptedDialogs dialogs;
        frmStep1 window(dialogs);
        window.show();
        window.AddFileToList(mailbox);
        const fs::path into = PathFromQString(destination.path());

        // The one-store box starts checked: one store named by the date.
        Click(Button(window, "OptPST"));
        QVERIFY(Button(window, "ChkAllinOnePST")->isEnabled());
        QVERIFY(Button(window, "ChkAllinOnePST")->isChecked());
        dialogs.folders = {destination.path()};
        Click(Button(window, "CmdConvert"));
        QCOMPARE(dialogs.messages.size(), 1);
        QCOMPARE(dialogs.messages[0].kind, Dialogs::Kind::Information);
        QVERIFY(dialogs.messages[0].text.contains(QStringLiteral("Outlook (.pst) file.")));
        const std::vector<fs::path> stores = StoresIn(destination);
        QCOMPARE(stores.size(), std::size_t{1});
        QVERIFY(stores[0].filename().string().starts_with("MBOX"));

        // Unchecked: a store per mailbox, named after it.
        Click(Button(window, "OptPST"));
        Click(Button(window, "ChkAllinOnePST"));
        dialogs.folders = {destination.path()};
        Click(Button(window, "CmdConvert"));
        QCOMPARE(dialogs.messages.size(), 2);
        QVERIFY(fs::is_regular_file(into / "box.pst"));
        QCOMPARE(dialogs.unexpected, 0);
    }

    // Off, a folder's mailboxes go below their whole path; checked, below
    // their path from the folder chosen, with Gmail's labels as folders and
    // its Spam left out.
    void keepFoldersBoxKeepsTheTreeAndLabels() {
        Sources sources;
        const fs::path top = sources.Add("Top.mbox", 1);
        QVERIFY(fs::create_directory(top.parent_path() / "Top.sbd"));
        QVERIFY(WriteFile(top.parent_path() / "Top.sbd" / "Sub.mbox",
                          "From a@b Sat Jan  3 01:05:34 1998\nX-Gmail-Labels: Spam\n\nspam\n\n"
                          "From a@b Sat Jan  3 01:05:34 1998\nX-Gmail-Labels: Inbox,\"Work/Q1\"\n"
                          "\nwork\n"));
        QTemporaryDir destination;
        const fs::path into = PathFromQString(destination.path());
        ScriptedDialogs dialogs;
        frmStep1 window(dialogs);
        QVERIFY(!Button(window, "ChkKeepFolders")->isChecked());
        dialogs.folders = {sources.dir.path(), destination.path()};
        Click(Button(window, "CmdAddFolder"));
        QCOMPARE(dialogs.messages.value(0).text, QStringLiteral("2 Files Added to List."));
        Click(Button(window, "ChkKeepFolders"));
        Click(Button(window, "OptEML"));
        Click(Button(window, "CmdConvert"));
        QCOMPARE(dialogs.messages.value(1).kind, Dialogs::Kind::Information);
        QVERIFY(fs::exists(into / "Top.mbox" / "email-1.eml"));
        std::vector<fs::path> written;
        for (const auto& entry : fs::recursive_directory_iterator(into / "Top.sbd" / "Sub.mbox"))
            if (entry.is_regular_file()) written.push_back(entry.path());
        QCOMPARE(written,
                 (std::vector{into / "Top.sbd" / "Sub.mbox" / "Work" / "Q1" / "email-1.eml"}));
        QCOMPARE(dialogs.unexpected, 0);
    }

#ifndef _WIN32
    // A file name that is not valid UTF-8 still reaches the reader unchanged.
    void namesThatAreNotUtf8() {
        Sources sources;
        const fs::path odd = PathFromQString(sources.dir.path()) / std::string("caf\xe9.mbox");
        QVERIFY(WriteFile(odd, Mailbox("odd", 1)));
        QTemporaryDir destination;
        ScriptedDialogs dialogs;
        frmStep1 window(dialogs);
        dialogs.folders = {sources.dir.path(), destination.path()};
        Click(Button(window, "CmdAddFolder"));
        QCOMPARE(dialogs.messages.value(0).text, QStringLiteral("1 Files Added to List."));
        Click(Button(window, "OptEML"));
        Click(Button(window, "CmdConvert"));
        QCOMPARE(dialogs.messages.value(1).kind, Dialogs::Kind::Information);
        QVERIFY(fs::exists(OutputFolderOf(destination, odd) / "email-1.eml"));
        // QTemporaryDir cannot remove names it cannot decode.
        std::error_code ignored;
        fs::remove_all(PathFromQString(destination.path()) / PathWithoutRoot(odd).begin()->native(),
                       ignored);
        fs::remove(odd, ignored);
    }
#endif

    void closingDuringARun_data() {
        QTest::addColumn<bool>("byExitButton");
        QTest::addColumn<QString>("option");
        QTest::newRow("close button") << false << "OptEML";
        QTest::newRow("Exit, then Yes") << true << "OptEML";
        QTest::newRow("close button, PST") << false << "OptPST";
    }

    // The run stops at its next step, quietly, and then the window closes;
    // a store it had begun is finished.
    void closingDuringARun() {
        QFETCH(bool, byExitButton);
        QFETCH(QString, option);
        Sources sources;
        const fs::path mailbox = sources.Add("box.mbox", 3);
        QTemporaryDir destination;
        ScriptedDialogs dialogs;
        frmStep1 window(dialogs);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.AddFileToList(mailbox);
        Click(Button(window, qPrintable(option)));
        dialogs.folders = {destination.path()};
        dialogs.answers = {true};
        // Delivered as soon as the window serves events, before the run
        // reaches its first mailbox.
        QTimer::singleShot(0, &window, [&] {
            if (byExitButton) {
                Click(Button(window, "cmdEnd"));
            } else {
                window.close();
            }
        });
        Click(Button(window, "CmdConvert"));

        QVERIFY(!window.isVisible());
        QVERIFY(dialogs.messages.isEmpty());
        QCOMPARE(dialogs.questions.size(), byExitButton ? 1 : 0);
        QVERIFY(!window.RunGoing());
        QVERIFY(!fs::exists(OutputFolderOf(destination, mailbox)));
        if (option != "OptPST") return;
        const std::vector<fs::path> stores = StoresIn(destination);
        QCOMPARE(stores.size(), std::size_t{1});
        // Whole: it opens again as a store of ours, with no folder for the
        // mailbox the run never read.
        StoreOutput store;
        const auto opened = store.Open(stores[0], "reopened", 0600);
        QVERIFY2(opened.ok(), opened.message().c_str());
        std::string cause, chosen;
        QVERIFY2(store.AddMailboxFolder("box", chosen, cause), cause.c_str());
        QCOMPARE(chosen, std::string("box"));
        QCOMPARE(store.Close(), std::string());
    }
};

QTEST_MAIN(RunTest)
#include "RunTest.moc"
