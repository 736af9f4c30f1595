// The conversion run, driven through a host that records what it is told.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "FakeHost.h"
#include "StoreContents.h"
#include "common/TestFiles.h"
#include "convert/ConversionRun.h"
#include "mapi/Folder.h"
#include "mapi/Session.h"
#include "mapi/Store.h"
#include "support/Paths.h"

namespace mailvane {
namespace {

namespace fs = std::filesystem;

const std::string kTwoMessages = "From a\nSubject: one\n\nbody\nFrom b\nSubject: two\n\nbody\n";

std::string Messages(int count) {
    std::string mailbox;
    for (int i = 0; i < count; ++i) mailbox += "From m\n\nmessage " + std::to_string(i) + "\n";
    return mailbox;
}

class Run : public testing::Test {
protected:
    void SetUp() override { host.destination = out.path(); }
    fs::path Mailbox(const std::string& name, const std::string& text) {
        test::WriteFile(in / name, text);
        return in / name;
    }
    fs::path OutputOf(const fs::path& source) { return out.path() / PathWithoutRoot(source); }
    std::vector<std::string> Files(const fs::path& folder) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    test::ScratchFolder in, out;
    test::FakeHost host;
};

// Apple Mail exports every mailbox as a file "mbox" in a folder X.mbox: it
// is shown as X while it is converted.
TEST_F(Run, WritesEachMailboxUnderItsPathWithoutRoot) {
    host.sources = {Mailbox("Inbox.mbox", kTwoMessages),
                    Mailbox("Sent.mbox/mbox", "From c\n\nx\n")};
    const RunReport report = ConversionRun(host, 518).Run();

    EXPECT_EQ(host.mailboxCaptions,
              (std::vector<std::string>{"Mailbox 1 (of 2) ", "Mailbox 2 (of 2) "}));
    EXPECT_EQ(host.fileCaptions, (std::vector<std::string>{"Inbox.mbox", "Sent"}));
    EXPECT_EQ(host.savedCaptions,
              (std::vector<std::string>{"Saved 1 Email Messages...", "Saved 2 Email Messages...",
                                        "Saved 1 Email Messages..."}));
    const fs::path inbox = out.path() / in.path().relative_path() / "Inbox.mbox";
    EXPECT_EQ(Files(inbox), (std::vector<std::string>{"email-1.eml", "email-2.eml"}));
    EXPECT_EQ(test::ReadFile(inbox / "email-2.eml"), "From b\r\nSubject: two\r\n\r\nbody\r\n");
    EXPECT_EQ(Files(out.path() / in.path().relative_path() / "Sent.mbox/mbox"),
              std::vector<std::string>{"email-1.eml"});

    EXPECT_TRUE(report.Clean());
    EXPECT_EQ(report.messagesWritten, 3);
    EXPECT_EQ(host.lastDone, kTwoMessages.size() + 10);
    EXPECT_EQ(host.started, 1);
    EXPECT_EQ(host.finished, 1);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].kind, MessageKind::Information);
    EXPECT_EQ(host.messages[0].text, CompletionText(report));
}

TEST_F(Run, AMailboxListedTwiceGetsItsOwnFolder) {
    host.format = OutputFormat::Emlx;
    const fs::path box = Mailbox("a.mbox", kTwoMessages);
    host.sources = {box, box, "   "};
    const RunReport report = ConversionRun(host).Run();
    EXPECT_EQ(report.mailboxes, 2);  // the blank row is no mailbox
    EXPECT_EQ(Files(OutputOf(box)), (std::vector<std::string>{"email-1.emlx", "email-2.emlx"}));
    fs::path second = OutputOf(box);
    second += " (2)";
    EXPECT_EQ(Files(second), (std::vector<std::string>{"email-1.emlx", "email-2.emlx"}));
    ASSERT_EQ(report.notes.size(), 1u);
    EXPECT_NE(report.notes[0].find(" (2)"), std::string::npos);
    EXPECT_TRUE(report.Clean());
}

TEST_F(Run, BadSourcesAreReportedAndTheRunGoesOn) {
    fs::create_directory(in / "folder.mbox");
    ASSERT_EQ(::mkfifo((in / "fifo.mbox").c_str(), 0600), 0);
    host.sources = {in / "missing.mbox",       in / "folder.mbox",
                    in / "fifo.mbox",          Mailbox("text.mbox", "just text\n"),
                    Mailbox("empty.mbox", ""), Mailbox("good.mbox", kTwoMessages)};
    const RunReport report = ConversionRun(host).Run();

    EXPECT_EQ(report.mailboxes, 6);
    EXPECT_EQ(report.mailboxesFailed, 4);
    EXPECT_EQ(report.messagesWritten, 2);
    ASSERT_EQ(report.failures.size(), 4u);
    const std::vector<std::string> causes = {"No such file", "folder", "FIFO", "not a mailbox"};
    for (std::size_t i = 0; i < causes.size(); ++i) {
        EXPECT_EQ(report.failures[i].mailbox, host.sources[i]);
        EXPECT_EQ(report.failures[i].message, 0);
        EXPECT_NE(report.failures[i].cause.find(causes[i]), std::string::npos)
            << report.failures[i].cause;
    }
    EXPECT_TRUE(fs::is_empty(OutputOf(in / "text.mbox")));
    // A mailbox that cannot be read leaves no folder behind.
    for (std::size_t i = 0; i < 3; ++i) EXPECT_FALSE(fs::exists(OutputOf(host.sources[i])));
    EXPECT_EQ(report.notes.size(), 1u);  // the empty mailbox is said to be so
    EXPECT_FALSE(report.Clean());
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].kind, MessageKind::Warning);
    EXPECT_EQ(host.messages[0].text.find("successfully"), std::string::npos);
    EXPECT_NE(host.messages[0].text.find(FailureLine(report.failures[3])), std::string::npos);
}

// A message its mail program deleted (expunged, still in the file) is left
// out, and said to be; asked for, it is converted.
TEST_F(Run, DeletedMessagesAreLeftOutUnlessAsked) {
    const fs::path box = Mailbox("Inbox",
                                 "From a\nX-Mozilla-Status: 0001\n\nkept\n"
                                 "From b\nX-Mozilla-Status: 0009\n\ndeleted\n"
                                 "From c\nSubject: x\n\nkept too\n");
    host.sources = {box};
    RunReport report = ConversionRun(host).Run();
    EXPECT_EQ(report.messagesWritten, 2);
    EXPECT_EQ(Files(OutputOf(box)), (std::vector<std::string>{"email-1.eml", "email-2.eml"}));
    ASSERT_EQ(report.notes.size(), 1u);
    EXPECT_NE(report.notes[0].find("1 deleted message skipped"), std::string::npos);

    host.includeDeleted = true;
    host.destination = out.path() / "all";
    fs::create_directory(*host.destination);
    report = ConversionRun(host).Run();
    EXPECT_EQ(report.messagesWritten, 3);
    EXPECT_TRUE(report.notes.empty());
    const fs::path all = out.path() / "all" / PathWithoutRoot(box);
    EXPECT_EQ(Files(all), (std::vector<std::string>{"Deleted", "email-1.eml", "email-3.eml"}));
    EXPECT_EQ(Files(all / "Deleted"), (std::vector<std::string>{"email-2.eml"}));
}

TEST_F(Run, AFailedMessageIsNamedWithItsNumberAndLeavesAGap) {
    const fs::path box = Mailbox("a.mbox", kTwoMessages + "From c\n\nthird\n");
    host.sources = {box};
    fs::create_directories(OutputOf(box) / "email-2.eml");
    const RunReport report = ConversionRun(host).Run();
    EXPECT_EQ(report.messagesWritten, 2);
    EXPECT_EQ(report.messagesFailed, 1);
    ASSERT_EQ(report.failures.size(), 1u);
    EXPECT_EQ(report.failures[0].message, 2);
    EXPECT_EQ(
        FailureLine(report.failures[0]).rfind(DisplayPath(box) + ", message 2: cannot write", 0),
        0u);
    EXPECT_TRUE(fs::exists(OutputOf(box) / "email-3.eml"));
    EXPECT_EQ(host.messages.at(0).kind, MessageKind::Warning);
}

TEST_F(Run, AnOutputFolderThatCannotBeMadeFailsThatMailbox) {
    test::WriteFile(out / "file", "x");
    host.destination = out / "file";
    host.sources = {Mailbox("a.mbox", kTwoMessages)};
    const RunReport report = ConversionRun(host).Run();
    EXPECT_EQ(report.mailboxesFailed, 1);
    ASSERT_EQ(report.failures.size(), 1u);
    EXPECT_NE(report.failures[0].cause.find("cannot create the output folder"), std::string::npos);
    EXPECT_FALSE(report.Clean());
}

TEST_F(Run, AStopRequestEndsTheRunAndKeepsWhatWasWritten) {
    host.sources = {Mailbox("a.mbox", Messages(20)), Mailbox("b.mbox", kTwoMessages)};
    host.stopAfterSaved = 3;
    const RunReport report = ConversionRun(host, 16).Run();
    EXPECT_TRUE(report.stopped);
    EXPECT_FALSE(report.Clean());
    EXPECT_EQ(report.messagesWritten, 3);
    EXPECT_EQ(Files(OutputOf(in / "a.mbox")).size(), 3u);
    EXPECT_FALSE(fs::exists(OutputOf(in / "b.mbox")));
    EXPECT_NE(host.messages.at(0).text.find("stopped"), std::string::npos);
    EXPECT_EQ(host.finished, 1);
}

std::string StoreContents(const fs::path& path) {
    return test::StoreContents(path, {"Inbox", "Inbox (2)", "Inbox (3)", "a", "b", "Sent"});
}

class PstRun : public Run {
protected:
    void SetUp() override {
        Run::SetUp();
        host.format = OutputFormat::Pst;
    }
    std::vector<fs::path> Stores(const fs::path& folder = {}) {
        std::vector<fs::path> stores;
        for (const auto& entry : fs::directory_iterator(folder.empty() ? out.path() : folder)) {
            if (entry.path().extension() == ".pst") stores.push_back(entry.path());
        }
        std::sort(stores.begin(), stores.end());
        return stores;
    }
};

TEST_F(PstRun, OneStoreTakesEveryMailboxInAFolderOfItsName) {
    host.onePst = true;
    host.sources = {Mailbox("Inbox.mbox", kTwoMessages), Mailbox("sub/Inbox", "From c\n\nx\n"),
                    Mailbox("Sent.MBOX", kTwoMessages)};
    ::chmod(host.sources[1].c_str(), 0600);
    const RunReport report = ConversionRun(host).Run();

    ASSERT_TRUE(report.Clean()) << FailureLine(report.failures.at(0));
    EXPECT_EQ(report.messagesWritten, 5);
    const auto stores = Stores();
    ASSERT_EQ(stores.size(), 1u);
    const std::string name = stores[0].filename().string();
    EXPECT_TRUE(name.starts_with("MBOX")) << name;
    // The display name carries the same date and time as the file name.
    const std::string stamp = name.substr(4, name.size() - 8);
    EXPECT_EQ(StoreContents(stores[0]),
              "MBOX Mailbox : Created - " + stamp + " | Inbox: 2 | Inbox (2): 1 | Sent: 2");
    ASSERT_EQ(report.stores.size(), 1u);
    EXPECT_EQ(report.stores[0].path, stores[0]);
    ASSERT_EQ(report.stores[0].folders.size(), 3u);
    EXPECT_EQ(report.stores[0].folders[1].name, "Inbox (2)");
    EXPECT_EQ(report.stores[0].folders[1].messages, 1);
    // No more readable than the most private of its mailboxes.
    EXPECT_EQ(fs::status(stores[0]).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    // The mailboxes' folders are made, as for files, and hold nothing.
    EXPECT_TRUE(fs::is_empty(OutputOf(in / "Inbox.mbox")));
    EXPECT_NE(host.messages.at(0).text.find("exported to Outlook (.pst) file."), std::string::npos);
}

TEST_F(PstRun, EachMailboxGetsItsStoreAndALaterRunExtendsIt) {
    host.sources = {Mailbox("Inbox.mbox", kTwoMessages), Mailbox("a.mboxrd", "From c\n\nx\n")};
    ASSERT_TRUE(ConversionRun(host).Run().Clean());
    EXPECT_EQ(Stores(), (std::vector<fs::path>{out / "Inbox.pst", out / "a.mboxrd.pst"}));
    EXPECT_EQ(StoreContents(out / "Inbox.pst"), "Inbox | Inbox: 2");

    const RunReport again = ConversionRun(host).Run();
    EXPECT_TRUE(again.Clean());
    EXPECT_EQ(StoreContents(out / "Inbox.pst"), "Inbox | Inbox: 2 | Inbox (2): 2");
    ASSERT_EQ(again.stores.size(), 2u);
    EXPECT_EQ(again.stores[0].folders.at(0).name, "Inbox (2)");
}

// Someone's file, a link, a folder, a store of ours with a second name (a
// backup made with hard links), a store of ours cut short and a name too long
// for a store: each fails its mailbox alone, with its messages counted and
// the cause's kind kept (what is there is left as it was; the name too long
// is the medium's refusal), and the others go on.
TEST_F(PstRun, AFileThatIsNoStoreOfOursIsLeftAsItWas) {
    const std::string foreign = "!BDN not really a store, but someone's file";
    test::WriteFile(out / "Inbox.pst", foreign);
    fs::create_symlink(out / "target", out / "Sent.pst");
    fs::create_directory(out / "Drafts.pst");
    host.sources = {Mailbox("Linked.mbox", kTwoMessages), Mailbox("Cut.mbox", kTwoMessages)};
    ASSERT_TRUE(ConversionRun(host).Run().Clean());
    const std::string backup = test::ReadFile(out / "Linked.pst");
    fs::create_hard_link(out / "Linked.pst", out / "backup.pst");
    const std::string cut = test::ReadFile(out / "Cut.pst").substr(0, 40000);
    test::WriteFile(out / "Cut.pst", cut);
    host.sources = {
        Mailbox("Inbox.mbox", kTwoMessages),  Mailbox("Sent.mbox", kTwoMessages),
        Mailbox("Drafts.mbox", kTwoMessages), Mailbox("Linked.mbox", kTwoMessages),
        Mailbox("Cut.mbox", kTwoMessages),    Mailbox(std::string(253, 'n'), kTwoMessages),
        Mailbox("b.mbox", kTwoMessages)};
    const RunReport report = ConversionRun(host).Run();

    EXPECT_EQ(test::ReadFile(out / "Inbox.pst"), foreign);
    EXPECT_FALSE(fs::exists(out / "target"));
    EXPECT_EQ(test::ReadFile(out / "backup.pst"), backup);
    EXPECT_EQ(test::ReadFile(out / "Cut.pst"), cut);
    EXPECT_FALSE(report.sessionError);
    EXPECT_EQ(report.mailboxesFailed, 6);
    ASSERT_EQ(report.failures.size(), 6u);
    EXPECT_EQ(report.failures[0].mailbox, host.sources[0]);
    EXPECT_NE(report.failures[0].cause.find("Inbox.pst"), std::string::npos);
    EXPECT_NE(report.failures[1].cause.find("symbolic link"), std::string::npos);
    EXPECT_NE(report.failures[2].cause.find("not a regular file"), std::string::npos)
        << report.failures[2].cause;
    EXPECT_NE(report.failures[3].cause.find("hard links"), std::string::npos);
    for (std::size_t i = 0; i < report.failures.size(); ++i) {
        const std::string& cause = report.failures[i].cause;
        EXPECT_NE(cause.find("; 2 messages not converted"), std::string::npos) << cause;
        EXPECT_EQ(cause.find("left as it was") != std::string::npos, i < 5) << cause;
    }
    EXPECT_EQ(report.messagesFailed, 12);
    EXPECT_EQ(StoreContents(out / "b.pst"), "b | b: 2");
    EXPECT_EQ(report.messagesWritten, 2);
    EXPECT_EQ(host.messages.back().kind, MessageKind::Warning);
}

TEST_F(PstRun, NoStoreAtAllEndsTheRunWithTheSessionError) {
    host.onePst = true;
    test::WriteFile(out / "file", "x");
    host.destination = out / "file";  // no store can be made in a file
    host.sources = {Mailbox("a.mbox", kTwoMessages)};
    const RunReport report = ConversionRun(host).Run();
    EXPECT_TRUE(report.sessionError);
    EXPECT_EQ(report.messagesWritten, 0);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].title, "Outlook Error");
    EXPECT_TRUE(host.messages[0].text.starts_with("Outlook Session Creation Error !\n"));
    EXPECT_NE(host.messages[0].text.find(DisplayPath(out / "file")), std::string::npos);
    EXPECT_EQ(host.finished, 1);
}

// A store removed while it is written holds nothing the run can point to:
// it fails, and its messages count failed.
TEST_F(PstRun, AStoreRemovedDuringTheRunIsNoSuccess) {
    host.sources = {Mailbox("a.mbox", Messages(20)), Mailbox("b.mbox", kTwoMessages)};
    host.onSaved = [&] {
        if (host.savedCaptions.size() == 3) fs::remove(out / "a.pst");
    };
    const RunReport report = ConversionRun(host, 16).Run();
    EXPECT_EQ(report.storesFailed, 1);
    EXPECT_EQ(report.messagesWritten, 2);
    EXPECT_EQ(report.messagesFailed, 20);
    ASSERT_EQ(report.failures.size(), 1u);
    EXPECT_NE(report.failures[0].cause.find("removed or renamed"), std::string::npos);
    EXPECT_EQ(StoreContents(out / "b.pst"), "b | b: 2");
}

TEST_F(PstRun, AStopFinishesTheStoreWithWhatItHas) {
    host.sources = {Mailbox("a.mbox", Messages(20)), Mailbox("b.mbox", kTwoMessages)};
    host.stopAfterSaved = 3;
    const RunReport report = ConversionRun(host, 16).Run();
    EXPECT_TRUE(report.stopped);
    EXPECT_EQ(report.messagesWritten, 3);
    EXPECT_EQ(StoreContents(out / "a.pst"), "a | a: 3");
    EXPECT_FALSE(fs::exists(out / "b.pst"));
}

// "Inbox: 1 | Inbox/Work: 2": the store's contents without its display name.
std::string TreeContents(const fs::path& store, const std::vector<std::string>& paths) {
    const std::string contents = test::StoreContents(store, paths);
    const auto at = contents.find(" | ");
    return at == std::string::npos ? "" : contents.substr(at + 3);
}

const std::vector<std::string> kTreeFolders = {
    "Inbox",    "Inbox/Work",   "Inbox/Work/Projects", "Inbox (2)",     "Trash",
    "Exported", "Exported/Sub", "ImapMail/host/INBOX", "loose",         "Inbox.sbd",
    "Work",     "Sub",          "Inbox (2)/Work",      "Exported.mbox", "Inbox/Work (2)"};

// With the tree on: a Thunderbird folder, an Apple Mail export and a folder
// of folders, each searched from its top, and a mailbox given as a file.
// Work comes before its parent Inbox, and Inbox comes twice.
class TreeRun : public PstRun {
protected:
    void SetUp() override {
        PstRun::SetUp();
        host.tree = true;
        Add("Local Folders", "Inbox.sbd/Work", 2);
        Add("Local Folders", "Inbox", 1);
        Add("Local Folders", "Inbox.sbd/Work.sbd/Projects", 1);
        Add("Local Folders", "Trash", 1);
        host.sources.push_back(host.sources[1]);
        host.roots.push_back(host.roots[1]);
        Mailbox("Local Folders/Inbox.msf", "an index");
        Add("Export", "Exported.mbox/mbox", 1);
        Add("Export", "Exported.mbox/Sub.mbox/mbox", 3);
        Add("Profile", "ImapMail/host/INBOX", 1);
        host.sources.push_back(Mailbox("loose.mbox", Messages(1)));
    }
    void Add(const std::string& root, const std::string& below, int messages) {
        host.sources.push_back(Mailbox(root + "/" + below, Messages(messages)));
        host.roots.push_back(in / root);
    }
};

TEST_F(TreeRun, StoreFoldersNestAsTheMailProgramShowsThem) {
    host.onePst = true;
    const RunReport report = ConversionRun(host).Run();
    ASSERT_TRUE(report.Clean()) << FailureLine(report.failures.at(0));
    auto stores = Stores();
    ASSERT_EQ(stores.size(), 1u);
    EXPECT_EQ(TreeContents(stores[0], kTreeFolders),
              "Inbox: 1 | Inbox/Work: 2 | Inbox/Work/Projects: 1 | Inbox (2): 1 | Trash: 1 | "
              "Exported: 1 | Exported/Sub: 3 | ImapMail/host/INBOX: 1 | loose: 1");
    std::vector<std::string> names;
    for (const auto& folder : report.stores.at(0).folders) names.push_back(folder.name);
    EXPECT_EQ(names, (std::vector<std::string>{"Inbox/Work", "Inbox", "Inbox/Work/Projects",
                                               "Trash", "Inbox (2)", "Exported", "Exported/Sub",
                                               "ImapMail/host/INBOX", "loose"}));
    ASSERT_EQ(report.notes.size(), 2u);  // the second Inbox's store folder and output folder
    EXPECT_NE(report.notes[0].find("\"Inbox (2)\""), std::string::npos) << report.notes[0];

    // Without the tree every mailbox has a folder at the top, as always.
    host.tree = false;
    host.destination = out / "flat";
    fs::create_directory(out / "flat");
    ASSERT_TRUE(ConversionRun(host).Run().Clean());
    stores = Stores(out / "flat");
    ASSERT_EQ(stores.size(), 1u);
    EXPECT_EQ(TreeContents(stores[0], {"Inbox/Work", "Work", "Sub", "Exported", "loose"}),
              "Work: 2 | Sub: 3 | Exported: 1 | loose: 1");
}

TEST_F(TreeRun, AStorePerTopFolderHoldsTheFoldersBelowIt) {
    const RunReport report = ConversionRun(host).Run();
    ASSERT_TRUE(report.Clean()) << FailureLine(report.failures.at(0));
    EXPECT_EQ(Stores(),
              (std::vector<fs::path>{out / "Exported.pst", out / "ImapMail.pst", out / "Inbox.pst",
                                     out / "Trash.pst", out / "loose.pst"}));
    EXPECT_EQ(report.stores.size(), 5u);  // each made once
    EXPECT_EQ(TreeContents(out / "Inbox.pst", kTreeFolders),
              "Inbox: 1 | Inbox/Work: 2 | Inbox/Work/Projects: 1 | Inbox (2): 1");
    EXPECT_EQ(TreeContents(out / "Exported.pst", kTreeFolders), "Exported: 1 | Exported/Sub: 3");
}

TEST_F(TreeRun, MessageFilesGoByTheirPathFromTheFolderSearched) {
    host.format = OutputFormat::Eml;
    const RunReport report = ConversionRun(host).Run();
    ASSERT_TRUE(report.Clean()) << FailureLine(report.failures.at(0));
    for (const auto& [folder, count] :
         std::vector<std::pair<fs::path, std::size_t>>{{out / "Inbox.sbd/Work", 2},
                                                       {out / "Inbox", 1},
                                                       {out / "Inbox (2)", 1},
                                                       {out / "Exported.mbox/Sub.mbox/mbox", 3},
                                                       {out / "ImapMail/host/INBOX", 1},
                                                       {OutputOf(in / "loose.mbox"), 1}}) {
        EXPECT_EQ(Files(folder).size(), count) << folder;
    }
    EXPECT_FALSE(fs::exists(out / "Local Folders"));

    host.tree = false;
    host.destination = out / "flat";
    fs::create_directory(out / "flat");
    ASSERT_TRUE(ConversionRun(host).Run().Clean());
    EXPECT_EQ(Files(out / "flat" / PathWithoutRoot(host.sources[0])).size(), 2u);
    EXPECT_FALSE(fs::exists(out / "flat/Inbox.sbd"));
}

// A Gmail export: labels quoted, encoded and nested; Spam and Trash; mail
// in no folder of Gmail's, and mail with no labels at all.
TEST_F(PstRun, GmailLabelsBecomeFoldersOrStayCategories) {
    const std::string kLabelled[] = {"Inbox,Opened",
                                     "Opened,\"Work/Q1, Q2\",Inbox",
                                     "Spam",
                                     "Trash,Work",
                                     "Sent",
                                     "Archived,Category Updates",
                                     "=?UTF-8?B?0JLRhdC+0LTRj9GJ0LjQtQ==?=,Opened",
                                     ""};
    std::string takeout;
    for (const std::string& labels : kLabelled)
        takeout += "From 1@xxx Mon Jan 01 00:00:00 +0000 2024\n" +
                   (labels.empty() ? "" : "X-Gmail-Labels: " + labels + "\n") + "\nbody\n";
    host.sources = {Mailbox("All mail.mbox", takeout)};
    host.labels = LabelLayout::Folders;
    host.includeTrash = true;
    host.onePst = true;
    RunReport report = ConversionRun(host).Run();
    ASSERT_TRUE(report.Clean()) << FailureLine(report.failures.at(0));
    EXPECT_EQ(report.messagesWritten, 7);
    ASSERT_EQ(report.notes.size(), 1u);
    EXPECT_NE(report.notes[0].find("1 spam message skipped"), std::string::npos);
    ASSERT_EQ(Stores().size(), 1u);
    const std::vector<std::string> folders = {
        "All mail",      "All mail/Inbox",   "All mail/Work/Q1, Q2", "All mail/Trash",
        "All mail/Sent", "All mail/Archive", "All mail/Входящие",    "All mail/Spam"};
    EXPECT_EQ(TreeContents(Stores()[0], folders),
              "All mail: 1 | All mail/Inbox: 1 | All mail/Work/Q1, Q2: 1 | All mail/Trash: 1 | "
              "All mail/Sent: 1 | All mail/Archive: 1 | All mail/Входящие: 1");
    // The store's report counts each folder's messages.
    std::int64_t listed = 0;
    for (const auto& folder : report.stores.at(0).folders) listed += folder.messages;
    EXPECT_EQ(listed, 7);

    // As categories: one folder, Spam and Trash left out.
    fs::remove(Stores()[0]);
    host.labels = LabelLayout::Categories;
    host.includeTrash = false;
    report = ConversionRun(host).Run();
    EXPECT_EQ(report.messagesWritten, 6);
    EXPECT_EQ(report.notes.size(), 2u);
    EXPECT_EQ(TreeContents(Stores()[0], folders), "All mail: 6");
}

TEST_F(PstRun, MessageFilesPassThroughAStagingStoreThatStays) {
    host.format = OutputFormat::Msg;
    const fs::path box = Mailbox("Inbox.mbox", kTwoMessages + "From c\nSubject: three\n\nbody\n");
    host.sources = {box};
    fs::create_directories(OutputOf(box));
    test::WriteFile(OutputOf(box) / "Email-2.msg", "someone's file");
    ::chmod(box.c_str(), 0640);
    const RunReport report = ConversionRun(host).Run();

    // The file this run did not write is kept, and its message counts failed.
    EXPECT_EQ(test::ReadFile(OutputOf(box) / "Email-2.msg"), "someone's file");
    EXPECT_EQ(report.messagesWritten, 2);
    ASSERT_EQ(report.failures.size(), 1u);
    EXPECT_EQ(report.failures[0].message, 2);
    EXPECT_NE(report.failures[0].cause.find("Email-2.msg"), std::string::npos);
    EXPECT_EQ(Files(OutputOf(box)),
              (std::vector<std::string>{"Email-1.msg", "Email-2.msg", "Email-3.msg"}));
    EXPECT_EQ(fs::status(OutputOf(box) / "Email-3.msg").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    // A message file is a compound file.
    EXPECT_TRUE(test::ReadFile(OutputOf(box) / "Email-1.msg").starts_with("\xD0\xCF\x11\xE0"));

    const auto stores = Stores();
    ASSERT_EQ(stores.size(), 1u);
    const std::string name = stores[0].filename().string();
    ASSERT_TRUE(name.starts_with("Temp")) << name;
    const std::string stamp = name.substr(4, name.size() - 8);
    // The staging store holds the mailbox's folder; the messages went only
    // into their files, and the summary names no store.
    EXPECT_EQ(StoreContents(stores[0]), "Temp : Created - " + stamp + " | Inbox: 0");
    EXPECT_TRUE(report.stores.empty());
    EXPECT_EQ(host.messages.at(0).kind, MessageKind::Warning);
}

}  // namespace
}  // namespace mailvane
