// Path helpers and the folder listing.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "common/TestFiles.h"
#include "sources/SourceList.h"
#include "support/Paths.h"

namespace mailvane {
namespace {

namespace fs = std::filesystem;

TEST(Paths, LastPathPartAndMailboxName) {
    EXPECT_EQ(LastPathPart("/Mail/Inbox.mbox"), "Inbox.mbox");
    EXPECT_EQ(LastPathPart("Inbox.mbox"), "Inbox.mbox");
    EXPECT_EQ(LastPathPart("/Mail/"), "");
    EXPECT_EQ(LastPathPart("C:\\Mail\\Inbox.mbox"), "C:\\Mail\\Inbox.mbox");  // no separator here

    for (const auto& [path, name] : std::vector<std::pair<std::string, std::string>>{
             {"/Mail/Inbox.mbox", "Inbox"},
             {"/Mail/Inbox.MBOX", "Inbox"},
             {"/Mail/Inbox.mbx", "Inbox.mbx"},
             {"/Mail/archive.mbox.old.mbox", "archive.mbox.old"},
             {"/Mail/my.mboxes.mbox", "my.mboxes"},
             {"/Mail/list.mboxrd", "list.mboxrd"},
             {"/Mail/.mbox", ".mbox"},
             {"/Mail/ .MBOX", ".MBOX"},
             {"/Mail/Inbox.mbox/mbox", "Inbox"},  // Apple Mail's export
             {"/Mail/Out.MBOX/Sub.mbox/mbox", "Sub"},
             {"/Mail/Out.MBOX/mbox", "Out"},
             {"/Mail/Inbox.mbox/Mbox", "Mbox"},
             {"/Mail/Inbox/mbox", "mbox"},
             {"/Mail/.mbox/mbox", ".mbox"},
             {"/Mail/ Inbox .mbox ", "Inbox"}}) {
        EXPECT_EQ(MailboxName(path), name) << path;
    }
}

TEST(Paths, PathWithoutRootStaysUnderTheDestination) {
    EXPECT_EQ(PathWithoutRoot("/home/ann/Mail/Inbox.mbox"), "home/ann/Mail/Inbox.mbox");
    EXPECT_EQ(PathWithoutRoot("/home/ann/../bob/./x.mbox"), "home/bob/x.mbox");
    EXPECT_EQ(PathWithoutRoot("/../../etc/x.mbox"), "etc/x.mbox");
    EXPECT_EQ(PathWithoutRoot("rel/x.mbox"), fs::current_path().relative_path() / "rel/x.mbox");
    EXPECT_EQ(PathWithoutRoot("//double//slash.mbox"), "double/slash.mbox");
}

TEST(Paths, EnsureFolderExists) {
    test::ScratchFolder root;
    std::error_code error;
    EXPECT_TRUE(EnsureFolderExists(root / "a/b/c", error));
    EXPECT_TRUE(fs::is_directory(root / "a/b/c"));
    EXPECT_TRUE(EnsureFolderExists(root / "a/b/c", error));
    test::WriteFile(root / "a/file", "x");
    EXPECT_FALSE(EnsureFolderExists(root / "a/file", error));
    EXPECT_TRUE(error);
    EXPECT_FALSE(EnsureFolderExists(root / "a/file/below", error));
}

class Listing : public testing::Test {
protected:
    void Touch(const std::string& name) { test::WriteFile(root / name, ""); }
    std::vector<std::string> Relative(const std::vector<fs::path>& paths) {
        std::vector<std::string> out;
        for (const auto& p : paths) out.push_back(p.lexically_relative(root.path()).string());
        return out;
    }
    test::ScratchFolder root;
};

TEST_F(Listing, BreadthFirstAndByteOrderWithinAFolder) {
    for (auto name :
         {"x.mbox", "C/z.mbox", "B/y.mbox", "B/D/w.mbox", "b.txt", "_u.mbox", "Z.mbox", "a.mbox"}) {
        Touch(name);
    }
    // A FIFO is no file to convert, whatever its name.
    ASSERT_EQ(::mkfifo((root / "pipe.mbox").c_str(), 0600), 0);
    EXPECT_EQ(Relative(FindMailboxes(root.path()).mailboxes),
              (std::vector<std::string>{"Z.mbox", "_u.mbox", "a.mbox", "x.mbox", "B/y.mbox",
                                        "C/z.mbox", "B/D/w.mbox"}));
    EXPECT_TRUE(FindMailboxes(root / "nothing").mailboxes.empty());
}

// A tree as mail programs leave it: Thunderbird's folders without an
// extension beside their indexes, Apple Mail's export folders, a mutt file;
// and files that start like a mailbox but are known to be something else, or
// do not start with a separator line at all.
TEST_F(Listing, MailboxesKeptWithoutTheirNameAreFoundByTheirContent) {
    const std::string separator = "From a@b Sat Jan  3 01:05:34 1996\nSubject: x\n\nbody\n";
    for (auto name :
         {"Mail/Local Folders/Inbox", "Mail/Local Folders/Inbox.msf",
          "Mail/Local Folders/Inbox.sbd/Work", "ImapMail/host/INBOX",
          "ImapMail/host/msgFilterRules.dat", "Exported.mbox/mbox", "Exported.mbox/Info.plist",
          "Exported.mbox/table_of_contents", "Exported.mbox/Sub.mbox/mbox", "mutt/sent",
          "mutt/list.2024-01.txt", "email-1.eml"}) {
        test::WriteFile(root / name, separator);
    }
    test::WriteFile(root / "Mail/Local Folders/Trash", "\xEF\xBB\xBF" + separator);
    for (const auto& [name, bytes] : std::vector<std::pair<std::string, std::string>>{
             {"notes/header", "From: a@b\n\nx\n"},
             {"notes/cheese", "Fromage\n"},
             {"notes/short", "From"},
             {"notes/binary", std::string("\0\x01From \xFF", 8)},
             {"notes/late", "\nFrom a@b\n"},
             {"Mail/Local Folders/Unsent", ""},
             {"a.mbox", ""},
             {"b.MBX", "x"}}) {
        test::WriteFile(root / name, bytes);
    }
    const std::vector<std::string> named = {"a.mbox", "b.MBX"};
    const std::vector<std::string> unnamed = {"Exported.mbox/mbox",
                                              "mutt/list.2024-01.txt",
                                              "mutt/sent",
                                              "Exported.mbox/Sub.mbox/mbox",
                                              "ImapMail/host/INBOX",
                                              "Mail/Local Folders/Inbox",
                                              "Mail/Local Folders/Trash",
                                              "Mail/Local Folders/Inbox.sbd/Work"};

    const FolderScan byName = FindMailboxes(root.path(), MailboxRule::Names);
    EXPECT_EQ(Relative(byName.mailboxes), named);
    EXPECT_TRUE(byName.unnamedMailboxes.empty());

    const FolderScan wider = FindMailboxes(root.path(), MailboxRule::NamesOrContent);
    std::vector<std::string> all = named;
    all.insert(all.end(), unnamed.begin(), unnamed.end());
    EXPECT_EQ(Relative(wider.mailboxes), all);
    EXPECT_EQ(Relative(wider.unnamedMailboxes), unnamed);

    // A file that cannot be opened is passed over; so is a FIFO, unopened.
    ASSERT_EQ(::mkfifo((root / "spool").c_str(), 0600), 0);
    EXPECT_FALSE(IsKeptMailbox(root / "spool"));
    EXPECT_FALSE(IsKeptMailbox(root / "missing"));
}

TEST_F(Listing, LinkLoopsEnd) {
    Touch("A/x.mbox");
    fs::create_directory_symlink(root.path(), root / "A/back");
    fs::create_directory_symlink(root / "A", root / "again");
    const FolderScan scan = FindMailboxes(root.path());
    EXPECT_EQ(Relative(scan.mailboxes), std::vector<std::string>{"A/x.mbox"});
    EXPECT_EQ(scan.repeatedFolders, 2);
}

}  // namespace
}  // namespace mailvane
