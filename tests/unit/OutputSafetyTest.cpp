// What a run writes when the destination holds links someone planted, when it
// is killed mid-message, and with what permissions.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Children.h"
#include "FakeHost.h"
#include "StoreContents.h"
#include "common/Normalise.h"
#include "common/TestFiles.h"
#include "convert/ConversionRun.h"
#include "support/OutputFile.h"
#include "support/Paths.h"

namespace mailvane {
namespace {

namespace fs = std::filesystem;

const std::string kTwoMessages = "From a\n\none\nFrom b\n\ntwo\n";

class Safety : public testing::Test {
protected:
    fs::path Mailbox(const std::string& text) {
        test::WriteFile(in / "a.mbox", text);
        host.sources = {in / "a.mbox"};
        host.destination = out.path();
        return in / "a.mbox";
    }
    fs::path Folder() { return out.path() / PathWithoutRoot(in / "a.mbox"); }
    RunReport Convert() { return ConversionRun(host).Run(); }

    test::ScratchFolder in, out, victim;
    test::FakeHost host;  // EML, one destination
};

TEST_F(Safety, ASymbolicLinkBelowTheDestinationIsNeverWrittenThrough) {
    Mailbox(kTwoMessages);
    // A link in place of the first folder below the destination, and one in
    // place of the mailbox's own folder.
    const fs::path first = out.path() / *PathWithoutRoot(in.path()).begin();
    for (const fs::path& planted : {first, Folder()}) {
        fs::remove_all(out.path());
        fs::create_directories(planted.parent_path());
        fs::create_directory_symlink(victim.path(), planted);
        const RunReport report = Convert();
        EXPECT_EQ(report.mailboxesFailed, 1) << planted;
        ASSERT_EQ(report.failures.size(), 1u);
        EXPECT_NE(report.failures[0].cause.find(planted.string() + " is a symbolic link"),
                  std::string::npos)
            << report.failures[0].cause;
        EXPECT_TRUE(fs::is_empty(victim.path())) << planted;
    }
    // The destination itself may be a link: the user chose it.
    fs::remove_all(out.path());
    fs::create_directory(out.path());
    const fs::path chosen = in / "chosen";
    fs::create_directory_symlink(out.path(), chosen);
    host.destination = chosen;
    EXPECT_TRUE(Convert().Clean());
    EXPECT_TRUE(fs::exists(Folder() / "email-2.eml"));
}

TEST_F(Safety, AnExistingFileIsReplacedNotWrittenThrough) {
    Mailbox(kTwoMessages);
    fs::create_directories(Folder());
    test::WriteFile(victim / "linked", "keep me");
    test::WriteFile(victim / "pointed", "keep me too");
    fs::create_hard_link(victim / "linked", Folder() / "email-2.eml");
    fs::create_symlink(victim / "pointed", Folder() / "email-1.eml");
    ASSERT_TRUE(Convert().Clean());
    EXPECT_EQ(test::ReadFile(victim / "linked"), "keep me");
    EXPECT_EQ(test::ReadFile(victim / "pointed"), "keep me too");
    EXPECT_EQ(test::ReadFile(Folder() / "email-1.eml"), "From a\r\n\r\none\r\n");
    EXPECT_EQ(test::ReadFile(Folder() / "email-2.eml"), "From b\r\n\r\ntwo\r\n");
    EXPECT_FALSE(fs::is_symlink(Folder() / "email-1.eml"));
    EXPECT_EQ(fs::hard_link_count(Folder() / "email-2.eml"), 1u);
}

TEST_F(Safety, OutputIsNoMoreReadableThanItsMailbox) {
    const mode_t before = ::umask(022);
    for (const fs::perms mode : {fs::perms(0600), fs::perms(0640), fs::perms(0755)}) {
        fs::permissions(Mailbox(kTwoMessages), mode);
        ASSERT_TRUE(Convert().Clean());
        const auto got = fs::status(Folder() / "email-1.eml").permissions();
        EXPECT_EQ(got, mode & fs::perms(0644)) << std::oct << int(mode);
    }
    ::umask(before);
}

TEST(OutputFolder, LeftoversOfAKilledRunAreRemovedOthersKept) {
    test::ScratchFolder folder;
    // A temporary name of a process that no longer runs, one of a process
    // that does (ours), and a user's file that merely looks alike.
    pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    const std::string stale = ".mailvane-" + std::to_string(gone) + "-7.tmp";
    const std::string live = ".mailvane-1-7.tmp";  // init always runs
    for (const std::string& name : {stale, live, std::string(".mailvane-notes.tmp")})
        test::WriteFile(folder / name, "x");
    OutputFolder opened;
    ASSERT_EQ(opened.Open(folder.path()), "");
    EXPECT_FALSE(fs::exists(folder / stale));
    EXPECT_TRUE(fs::exists(folder / live));
    EXPECT_TRUE(fs::exists(folder / ".mailvane-notes.tmp"));
    // An exclusive write never replaces a file it did not make.
    test::WriteFile(folder / "Email-1.msg", "theirs");
    EXPECT_NE(opened.WriteWholeFile("Email-1.msg", {"ours"}, CreateMode::Exclusive), "");
    EXPECT_EQ(test::ReadFile(folder / "Email-1.msg"), "theirs");
    EXPECT_EQ(opened.WriteWholeFile("Email-2.msg", {"ours"}, CreateMode::Exclusive), "");
    EXPECT_EQ(test::ReadFile(folder / "Email-2.msg"), "ours");
}

// A file made over a long time has no name until it is published, and never
// takes a name that is in use.
TEST(PendingFile, IsNamedOnlyWhenPublishedAndNeverOverAnotherFile) {
    test::ScratchFolder folder;
    {
        PendingFile abandoned;
        ASSERT_EQ(abandoned.Create(folder.path(), 0600), "");
        ASSERT_EQ(::write(abandoned.fd(), "half", 4), 4);
    }
    EXPECT_TRUE(fs::is_empty(folder.path()));

    test::WriteFile(folder / "taken", "theirs");
    PendingFile file;
    ASSERT_EQ(file.Create(folder.path(), 0640), "");
    ASSERT_EQ(::write(file.fd(), "ours", 4), 4);
    EXPECT_NE(file.Publish("taken"), "");
    EXPECT_EQ(test::ReadFile(folder / "taken"), "theirs");
    ASSERT_EQ(file.Publish("store"), "");
    EXPECT_EQ(test::ReadFile(folder / "store"), "ours");
    // Still open for writing after it got its name.
    ASSERT_EQ(::pwrite(file.fd(), "OURS", 4, 0), 4);
    EXPECT_EQ(test::ReadFile(folder / "store"), "OURS");
    EXPECT_EQ(fs::status(folder / "store").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder.path()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"store", "taken"}));
}

// In a child: the program's lines go nowhere.
void Quiet() {
    test::OutputTo(::open("/dev/null", O_WRONLY));
}

// A run killed at any moment during large messages leaves only whole files.
TEST(KilledRun, LeavesNoPartialFileUnderAFinalName) {
    test::ScratchFolder in, out;
    std::vector<std::string> messages;
    std::string mailbox;
    for (int i = 0; i < 6; ++i) {
        std::string message =
            "From m" + std::to_string(i) + "\nSubject: " + std::to_string(i) + "\n\n";
        for (int line = 0; line < 200000; ++line) message += "line " + std::to_string(line) + "\n";
        mailbox += message;
        messages.push_back(test::Normalise(message, "\r\n"));
    }
    test::WriteFile(in / "big.mbox", mailbox);
    const fs::path folder = out.path() / PathWithoutRoot(in / "big.mbox");
    for (const int delayMs : {5, 20, 40, 80, 160, 320}) {
        test::KillAfter({"--format", "eml", "--output", out.path(), in / "big.mbox"}, delayMs,
                        Quiet);
        if (!fs::exists(folder)) continue;
        for (const auto& entry : fs::directory_iterator(folder)) {
            const std::string name = entry.path().filename().string();
            ASSERT_TRUE(name.starts_with("email-") && name.ends_with(".eml")) << name;
            const int number = std::stoi(name.substr(6));
            ASSERT_TRUE(number >= 1 && number <= 6) << name;
            EXPECT_EQ(test::ReadFile(entry.path()), messages[number - 1])
                << name << " after " << delayMs << " ms";
        }
    }
}

// The command line into a store per mailbox, or into message files.
std::vector<std::string> StoreRun(const fs::path& mailbox, const fs::path& out, bool msg = false) {
    if (msg) return {"--format", "msg", "--output", out, mailbox};
    return {"--format", "pst", "--pst-per-mailbox", "--output", out, mailbox};
}

// How many items the store's folder holds: -1 when the store has no such
// folder, -2 when the store does not open.
long ItemsIn(const fs::path& store, const char* folder) {
    const std::string contents = test::StoreContents(store, {folder});
    if (contents.starts_with("open: ")) return -2;
    const std::string mark = std::string(" | ") + folder + ": ";
    const auto at = contents.find(mark);
    return at == std::string::npos ? -1 : std::stol(contents.substr(at + mark.size()));
}

class StoreLeftBehind : public testing::Test {
protected:
    void SetUp() override {
        std::string mailbox;
        for (int i = 0; i < kMessages; ++i) {
            mailbox += "From m Mon Jan  1 10:00:00 2024\nSubject: " + std::to_string(i) +
                       "\nFrom: a@example.org\n\n" + std::string(2000, 'x') + "\n";
        }
        test::WriteFile(in / "a.mbox", mailbox);
    }
    static constexpr int kMessages = 3000;
    test::ScratchFolder in, out;
};

// Killed at any moment, a store holds what it held at its last checkpoint
// (perhaps not yet the mailbox's folder), opens, and the next run into the
// same destination extends it.
TEST_F(StoreLeftBehind, AKilledRunLeavesAStoreThatOpensAndIsExtended) {
    const fs::path store = out / "a.pst";
    long held = -1;
    for (const int delayMs : {30, 150, 400, 1000}) {
        test::KillAfter(StoreRun(in / "a.mbox", out.path()), delayMs, Quiet);
        if (!fs::exists(store)) continue;
        held = ItemsIn(store, "a");
        ASSERT_NE(held, -2) << test::StoreContents(store, {"a"}) << " after " << delayMs << " ms";
        EXPECT_LE(held, kMessages);
        if (held >= 0) break;
    }
    ASSERT_TRUE(fs::exists(store)) << "no run lived long enough to make the store";
    ASSERT_EQ(test::ExitCode(test::StartCli(StoreRun(in / "a.mbox", out.path()), Quiet)), 0);
    EXPECT_EQ(ItemsIn(store, held >= 0 ? "a (2)" : "a"), kMessages);
}

// A medium that fills up (here a file size limit) fails the run; the store
// still opens with what it held at its last checkpoint, the report counts
// just those as saved (in a few lines, not one per message lost), and a
// later run with room goes on in it.
TEST_F(StoreLeftBehind, AFullMediumFailsTheRunAndLeavesAStoreThatOpens) {
    const fs::path store = out / "a.pst";
    const fs::path log = in / "log";
    const pid_t child = test::StartCli(StoreRun(in / "a.mbox", out.path()), [&] {
        test::OutputTo(::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
        ::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails as on a full disk
        const rlimit limit{4 << 20, 4 << 20};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    });
    EXPECT_EQ(test::ExitCode(child), 1);
    ASSERT_TRUE(fs::exists(store));
    const long held = ItemsIn(store, "a");
    EXPECT_GT(held, 0) << test::StoreContents(store, {"a"});
    EXPECT_LT(held, kMessages);
    const std::string printed = test::ReadFile(log);
    EXPECT_NE(printed.find(store.string() + ":\n  a: " + std::to_string(held) + " message"),
              std::string::npos)
        << printed;
    EXPECT_NE(printed.find("  " + std::to_string(held) + " messages saved\n"), std::string::npos)
        << printed;
    EXPECT_LT(std::count(printed.begin(), printed.end(), '\n'), 40) << printed;
    ASSERT_EQ(test::ExitCode(test::StartCli(StoreRun(in / "a.mbox", out.path()), Quiet)), 0);
    EXPECT_EQ(ItemsIn(store, "a (2)"), kMessages);
}

// Killed at any moment, a run to message files leaves only whole ones, and
// the next run into the same destination leaves no temporary file behind.
TEST_F(StoreLeftBehind, AKilledRunLeavesOnlyWholeMessageFiles) {
    const fs::path folder = out.path() / PathWithoutRoot(in / "a.mbox");
    for (const int delayMs : {40, 120, 300})
        test::KillAfter(StoreRun(in / "a.mbox", out.path(), true), delayMs, Quiet);
    // Files left there are someone's to this run: it writes none over them.
    test::ExitCode(test::StartCli(StoreRun(in / "a.mbox", out.path(), true), Quiet));
    ASSERT_TRUE(fs::exists(folder));
    std::size_t files = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        ASSERT_TRUE(name.starts_with("Email-") && name.ends_with(".msg")) << name;
        const std::string bytes = test::ReadFile(entry.path());
        // A compound file: its signature, and whole 512-byte sectors.
        EXPECT_TRUE(bytes.starts_with("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1")) << name;
        EXPECT_EQ(bytes.size() % 512, 0u) << name << " is " << bytes.size() << " bytes";
        ++files;
    }
    EXPECT_EQ(files, std::size_t(kMessages));
}

}  // namespace
}  // namespace mailvane
