// mailvane-cli as a user runs it: its exit codes and what it writes; and the
// texts it is made of (escapes, widths, counts, the summary).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>

#include "Children.h"
#include "cli/CliHost.h"
#include "cli/CommandLine.h"
#include "cli/Console.h"
#include "cli/JsonReport.h"
#include "common/Normalise.h"
#include "common/TestFiles.h"
#include "convert/RunReport.h"

namespace mailvane {
namespace {

namespace fs = std::filesystem;

struct Result {
    int code = -1;
    std::string output;  // stdout and stderr, or what the redirection leaves
};

std::string Quote(const std::string& arg) {
    std::string quoted = "'";
    for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

Result RunCli(const std::vector<std::string>& args, const std::string& redirect = "2>&1") {
    std::string command = Quote(MAILVANE_CLI);
    for (const auto& arg : args) command += " " + Quote(arg);
    command += " </dev/null " + redirect;
    Result result;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        result.output.append(buffer, n);
    }
    const int status = ::pclose(pipe);
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string ReadAll(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    return text;
}

// Both streams into one pipe, read to its end.
Result RunInto(const std::vector<std::string>& args, const std::function<void()>& prepare) {
    int fds[2];
    if (::pipe(fds) != 0) return {};
    const pid_t child = test::StartCli(args, [&] {
        test::OutputTo(fds[1]);
        ::close(fds[0]);
        prepare();
    });
    ::close(fds[1]);
    Result result;
    result.output = ReadAll(fds[0]);
    ::close(fds[0]);
    result.code = test::ExitCode(child);
    return result;
}

// On a terminal `columns` wide; what the terminal received.
Result RunOnTerminal(const std::vector<std::string>& args, unsigned short columns) {
    winsize size{};
    size.ws_row = 24;
    size.ws_col = columns;
    int terminal = -1;
    const pid_t child = ::forkpty(&terminal, nullptr, nullptr, &size);
    if (child == 0) test::ExecCli(args);
    Result result;
    if (child < 0) return result;
    result.output = ReadAll(terminal);  // ends with EIO once the child has gone
    ::close(terminal);
    result.code = test::ExitCode(child);
    return result;
}

std::size_t Occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

std::string Message(int n) {
    return "From a@b Mon Jan  1 00:00:00 2001\nSubject: m" + std::to_string(n) + "\n\nbody\n";
}

std::string Messages(int count) {
    std::string text;
    for (int n = 1; n <= count; ++n) text += Message(n);
    return text;
}

class Cli : public testing::Test {
protected:
    fs::path Box(const std::string& name, const std::string& text) {
        test::WriteFile(in / name, text);
        return in / name;
    }
    // Where the messages of `mailbox` go in `destination`.
    static fs::path OutputOf(const fs::path& destination, const fs::path& mailbox) {
        return destination / mailbox.relative_path();
    }
    test::ScratchFolder in, out;
};

TEST_F(Cli, UsageErrorsExitTwo) {
    const fs::path box = Box("a.mbox", "From a\n\nx\n");
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {},
             {"--format", "mbox", "--output", out.path(), box},
             {"--format", "eml", "--pst-per-mailbox", "--output", out.path(), box},
             {"--format", "eml", box},
             {"--format", "eml", "--output", out.path()},
             {"--output", out.path(), box},
             {"--bogus"},
             {"-f", "eml", "--labels=tags", "-o", "out", "a.mbox"},
             {"-f", "eml", "-q", "-v", "-o", "out", "a.mbox"},
             {"--format"}}) {
        const Result result = RunCli(args);
        EXPECT_EQ(result.code, 2) << result.output;
        EXPECT_NE(result.output.find("mailvane-cli: "), std::string::npos) << result.output;
    }
    const Result help = RunCli({"--help"});
    EXPECT_EQ(help.code, 0);
    for (const char* option :
         {"--format", "--pst-per-mailbox", "--only-mbox-names", "--keep-state", "--include-deleted",
          "--tree", "--labels=folders|categories", "--include-spam", "--include-trash", "--quiet",
          "--verbose", "--json", "--output", "--help", "--version", "Exit status"}) {
        EXPECT_NE(help.output.find(option), std::string::npos) << option;
    }
}

TEST(CommandLineTest, FormatInAnyLetterCaseAndTheStoreLayout) {
    using F = OutputFormat;
    using L = LabelLayout;
    const struct {
        const char* args;
        OutputFormat format;
        int onePst;  // -1 where there is no store layout to choose
        bool tree;
        LabelLayout labels;
        bool trash;
    } kCases[] = {
        {"--format EML", F::Eml, -1, false, L::Unasked, false},
        {"--format Emlx --tree", F::Emlx, -1, true, L::Unasked, false},
        {"--format pSt", F::Pst, 1, false, L::Unasked, false},
        {"-f PST --pst-per-mailbox", F::Pst, 0, false, L::Unasked, false},
        {"-f pst --labels folders --include-trash", F::Pst, 1, false, L::Folders, true},
        {"-f pst --labels=categories", F::Pst, 1, false, L::Categories, false},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.args);
        std::vector<std::string> args = {"mailvane-cli"};
        std::istringstream words(std::string(c.args) + " -o out a.mbox");
        for (std::string word; words >> word;) args.push_back(word);
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        CommandLine line;
        std::string error;
        ASSERT_TRUE(ParseCommandLine(int(argv.size()), argv.data(), line, error)) << error;
        const OutputOptions options = RunOptions(line);
        EXPECT_EQ(options.format, c.format);
        EXPECT_EQ(options.onePstForAllEnabled, c.onePst >= 0);
        if (c.onePst >= 0) {
            EXPECT_EQ(options.onePstForAll, c.onePst == 1);
        }
        EXPECT_EQ(options.tree, c.tree);
        EXPECT_EQ(options.labels, c.labels);
        EXPECT_EQ(options.includeTrash, c.trash);
        EXPECT_FALSE(options.includeSpam);
    }
}

// --json puts the report, and only it, on standard output; -q leaves
// only failures; -v gives a line for each message.
TEST_F(Cli, ReportAsJsonAndHowMuchIsPrinted) {
    const fs::path box = Box("a.mbox", "From a\nSubject: s\n\nx\nFrom b\n\ny\n");
    const Result json =
        RunCli({"-f", "eml", "--json", "-o", out.path(), box, in / "missing.mbox"},
               "2>/dev/null | python3 -c 'import json, sys; r = json.load(sys.stdin); "
               "print(r[\"messagesWritten\"], r[\"mailboxes\"][0][\"saved\"], r[\"success\"], "
               "r[\"failures\"][0][\"cause\"][:20])'");
    EXPECT_EQ(json.output, "2 2 False cannot read the mail\n");
    const Result quiet = RunCli({"-f", "eml", "-q", "-o", out / "q", box});
    EXPECT_EQ(quiet.code, 0);
    EXPECT_EQ(quiet.output, "");
    const Result verbose = RunCli({"-f", "eml", "-v", "-o", out / "v", box});
    EXPECT_NE(verbose.output.find(": a.mbox\n  message 1 saved\n  message 2 saved\n"),
              std::string::npos)
        << verbose.output;
    // Texts that are no JSON as they stand.
    EXPECT_EQ(JsonString("a\"b\\c\nd\x01\xC3\xA9\xE9"),
              "\"a\\\"b\\\\c\\nd\\u0001\xC3\xA9\\ufffd\"");
}

TEST_F(Cli, AFolderGivesTheMailboxesFoundInIt) {
    Box("Mail/a.mbox", "From a\nSubject: s\n\nx\nFrom b\n\ny\n");
    Box("Mail/sub/b.MBX", "From c\n\nz\n");
    Box("Mail/notes.txt", "notes\nFrom d\n\nignored\n");
    Box("Mail/Inbox", "From e\n\nkept without a name\n");  // as Thunderbird keeps it
    Box("Mail/Inbox.msf", "From f\n\nan index\n");
    const Result ok = RunCli({"--format=emlx", "--output", out.path(), in / "Mail"});
    EXPECT_EQ(ok.code, 0) << ok.output;
    const fs::path written = out.path() / in.path().relative_path() / "Mail";
    EXPECT_TRUE(fs::exists(written / "a.mbox/email-2.emlx"));
    EXPECT_TRUE(fs::exists(written / "sub/b.MBX/email-1.emlx"));
    EXPECT_TRUE(fs::exists(written / "Inbox/email-1.emlx"));
    EXPECT_FALSE(fs::exists(written / "notes.txt"));
    EXPECT_FALSE(fs::exists(written / "Inbox.msf"));
    EXPECT_EQ(RunCli({"--only-mbox-names", "-f", "eml", "-o", out / "names", in / "Mail"}).code, 0);
    EXPECT_FALSE(fs::exists(out / "names" / in.path().relative_path() / "Mail/Inbox"));
}

// Many failures: each is printed once on standard error, the summary gives
// the counts and the first few, and no line calls the run a success.
TEST_F(Cli, FailuresArePrintedOnceAndTheSummaryGivesTheFirstFew) {
    std::vector<std::string> args = {"-f", "eml", "-o", out.path(), Box("good.mbox", Messages(2))};
    for (int n = 1; n <= 8; ++n) args.push_back(in / ("missing" + std::to_string(n) + ".mbox"));
    const Result result = RunCli(args, "2>&1 >/dev/null");
    EXPECT_EQ(result.code, 1);
    const std::string& err = result.output;
    for (int n = 1; n <= 8; ++n) {
        const std::string path = (in / ("missing" + std::to_string(n) + ".mbox")).string();
        EXPECT_EQ(Occurrences(err, "failed: " + path + ": cannot read the mailbox"), 1u) << err;
        // In the summary as well, for the first five only.
        EXPECT_EQ(Occurrences(err, path + ": cannot read"), n <= 5 ? 2u : 1u) << path << err;
    }
    EXPECT_NE(err.find("2 messages were exported from 9 mailboxes."), std::string::npos) << err;
    // The run's own completion message gave way to the summary.
    EXPECT_EQ(Occurrences(err, "exported from"), 1u) << err;
    // The summary follows every failure line.
    EXPECT_GT(err.find("What failed:"), err.rfind("failed: /"));
}

// A folder the scan could not list is named, on standard error and in the
// summary, and the run is no success. Root lists any folder, so the program
// runs as an ordinary user.
TEST_F(Cli, AFolderThatCannotBeListedIsNamed) {
    Box("Mail/a.mbox", Messages(2));
    Box("Mail/locked/b.mbox", Messages(1));
    Box("Mail/locked2/c.mbox", Messages(1));
    for (const fs::path& folder : {in.path(), out.path()}) fs::permissions(folder, fs::perms::all);
    fs::permissions(in / "Mail/locked", fs::perms::none);
    fs::permissions(in / "Mail/locked2", fs::perms::none);
    const Result result =
        RunInto({"-f", "eml", "-o", out / "o", in / "Mail"}, test::BecomeOrdinaryUser);
    if (result.code == 77) GTEST_SKIP() << "cannot act as an ordinary user";
    EXPECT_EQ(result.code, 1) << result.output;
    for (const char* folder : {"locked", "locked2"}) {
        const std::string named = (in / "Mail" / folder).string() + "/: cannot list this folder";
        EXPECT_EQ(Occurrences(result.output, "failed: " + named), 1u) << result.output;
        EXPECT_EQ(Occurrences(result.output, named), 2u) << result.output;
    }
    EXPECT_NE(result.output.find("2 folders could not be listed"), std::string::npos)
        << result.output;
    EXPECT_EQ(result.output.find("successfully"), std::string::npos) << result.output;
    EXPECT_TRUE(fs::exists(OutputOf(out / "o", in / "Mail/a.mbox") / "email-2.eml"));
}

// A mailbox named with terminal escapes and line breaks shows them escaped,
// in lines and in failures alike.
TEST_F(Cli, ControlCharactersInNamesAreShownEscaped) {
    const std::string name = "red\x1b[31m\nfake line\r\x07.mbox";
    const fs::path box = Box(name, Messages(1));
    const Result result = RunCli({"-f", "eml", "-o", out.path(), box, in / ("gone\x1b]0;t\x07")});
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(result.output.find('\x1b'), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find('\r'), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find('\x07'), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("red\\x1b[31m\\nfake line\\r\\x07.mbox"), std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("failed: " + in.path().string() + "/gone\\x1b]0;t\\x07"),
              std::string::npos)
        << result.output;
}

// On a terminal the progress line stays within its width whatever the name,
// and its first draw already shows the real size.
TEST_F(Cli, TheProgressLineFitsTheTerminal) {
    const std::string mailbox = Messages(3);
    const fs::path box = Box(
        std::string(70, 'a') + "\x1b[2J\xe4\xb8\xad\xe6\x96\x87" + std::string(40, 'z') + ".mbox",
        mailbox);
    for (unsigned short columns : {100, 52}) {
        const Result result = RunOnTerminal({"-f", "eml", "-o", out.path(), box}, columns);
        ASSERT_EQ(result.code, 0) << result.output;
        // Each draw runs from a carriage return to the erase-to-end that
        // closes it; a bare erase is the line being cleared.
        std::vector<std::string> draws;
        for (std::size_t end = 0; (end = result.output.find("\x1b[K", end)) != std::string::npos;
             ++end) {
            const std::size_t start = result.output.rfind('\r', end);
            if (start != std::string::npos && end > start + 1)
                draws.push_back(result.output.substr(start + 1, end - start - 1));
        }
        ASSERT_FALSE(draws.empty()) << result.output;
        for (const std::string& draw : draws) {
            EXPECT_LT(DisplayWidth(draw), columns) << draw;
            EXPECT_EQ(draw.find('\x1b'), std::string::npos) << draw;
            EXPECT_NE(draw.find("..."), std::string::npos) << draw;
        }
        const std::string size = ByteText(mailbox.size());
        EXPECT_NE(draws.front().find("0 bytes"), std::string::npos) << draws.front();
        EXPECT_NE(draws.front().find(size), std::string::npos) << draws.front();
        EXPECT_NE(draws.back().find(size + (columns > 60 ? " of " : "/") + size), std::string::npos)
            << draws.back();
        // The name keeps its start and its end.
        EXPECT_NE(draws.front().find("aaa"), std::string::npos) << draws.front();
        EXPECT_NE(draws.front().find("zz.mbox"), std::string::npos) << draws.front();
    }
}

// Standard output and error closed or piped into nothing (`| head -1`): the
// printing stops, the conversion does not, and the exit code is the run's.
TEST_F(Cli, AClosedOutputStopsThePrintingNotTheRun) {
    const fs::path box = Box("a.mbox", Messages(40));
    const auto closedPipe = [&](const std::vector<std::string>& args) {
        int fds[2];
        if (::pipe(fds) != 0) return -2;
        ::close(fds[0]);  // no reader: every write fails with EPIPE
        const pid_t child = test::StartCli(args, [&] { test::OutputTo(fds[1]); });
        ::close(fds[1]);
        return test::ExitCode(child);
    };
    EXPECT_EQ(closedPipe({"-f", "eml", "-o", out / "piped", box}), 0);
    EXPECT_TRUE(fs::exists(OutputOf(out / "piped", box) / "email-40.eml"));
    EXPECT_EQ(closedPipe({"-f", "eml", "-o", out / "piped2", box, in / "missing.mbox"}), 1);
    EXPECT_TRUE(fs::exists(OutputOf(out / "piped2", box) / "email-40.eml"));

    // Closed descriptors; and a closed output with the errors still shown.
    EXPECT_EQ(RunCli({"-f", "eml", "-o", out / "closed", box}, ">&- 2>&-").code, 0);
    EXPECT_TRUE(fs::exists(OutputOf(out / "closed", box) / "email-40.eml"));
    const Result errors =
        RunCli({"-f", "eml", "-o", out / "half", in / "missing.mbox"}, "2>&1 >&-");
    EXPECT_EQ(errors.code, 1);
    EXPECT_NE(errors.output.find("failed: "), std::string::npos) << errors.output;

    const Result head = RunCli({"-f", "eml", "-o", out / "head", box}, "2>&1 | head -1");
    EXPECT_EQ(head.output, "Converting 1 mailbox into " + (out / "head").string() + "\n");
    EXPECT_TRUE(fs::exists(OutputOf(out / "head", box) / "email-40.eml"));
}

// With --format pst the summary names each store with its folders and their
// messages.
TEST_F(Cli, PstOutputNamesEachStore) {
    const fs::path inbox = Box("Inbox.mbox", Messages(2));
    const fs::path sent = Box("sub/Sent.mbox", Messages(1));
    const Result all = RunCli({"--format", "PST", "-o", out / "all", inbox, sent});
    ASSERT_EQ(all.code, 0) << all.output;
    std::vector<fs::path> stores;
    for (const auto& entry : fs::directory_iterator(out / "all")) {
        if (entry.path().extension() == ".pst") stores.push_back(entry.path());
    }
    ASSERT_EQ(stores.size(), 1u);
    EXPECT_NE(all.output.find("Store " + stores[0].string() +
                              ":\n  Inbox: 2 messages\n  Sent: 1 message\n"),
              std::string::npos)
        << all.output;

    // With --tree the folders nest as the mail program shows them, below the
    // folder searched.
    Box("Local Folders/Inbox", Messages(1));
    Box("Local Folders/Inbox.sbd/Work", Messages(2));
    Box("Local Folders/Inbox.sbd/Work.sbd/Projects", Messages(1));
    Box("Local Folders/Trash", Messages(1));
    const Result tree = RunCli({"-f", "pst", "--tree", "-o", out / "tree", in / "Local Folders"});
    ASSERT_EQ(tree.code, 0) << tree.output;
    EXPECT_NE(tree.output.find(":\n  Inbox: 1 message\n  Trash: 1 message\n  Inbox/Work: 2 "
                               "messages\n  Inbox/Work/Projects: 1 message\n"),
              std::string::npos)
        << tree.output;
}

// No store or no output folder can be made: the error says why, and no
// summary follows it as if there had been a run.
TEST_F(Cli, AStoreThatCannotBeMadeEndsTheRunWithItsError) {
    const fs::path box = Box("a.mbox", Messages(1));
    // An output folder that cannot be made is the command line's own error.
    test::WriteFile(out / "file", "x");
    const Result file = RunCli({"--format", "eml", "--output", out / "file/below", box});
    EXPECT_EQ(file.code, 1) << file.output;
    EXPECT_NE(file.output.find("cannot create the output folder"), std::string::npos);

    fs::permissions(in.path(), fs::perms::all);
    fs::create_directory(out / "shut");
    fs::permissions(out.path(), fs::perms::all);
    fs::permissions(out / "shut", fs::perms::owner_read | fs::perms::owner_exec |
                                      fs::perms::others_read | fs::perms::others_exec);
    const Result result = RunInto({"-f", "pst", "-o", out / "shut", box}, test::BecomeOrdinaryUser);
    if (result.code == 77) GTEST_SKIP() << "cannot act as an ordinary user";
    EXPECT_EQ(result.code, 1) << result.output;
    EXPECT_NE(result.output.find("Outlook Session Creation Error !\n"), std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find((out / "shut").string()), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find("exported"), std::string::npos) << result.output;
}

// Ctrl-C while a long run is going: the run ends after the message being
// written, every file on disk is a whole message, and the exit code says so.
TEST_F(Cli, CtrlCStopsTheRunAndKeepsOnlyWholeMessages) {
    constexpr int kMailboxes = 30, kMessages = 2000;
    const std::string mailbox = Messages(kMessages);
    std::vector<std::string> args = {"--format", "eml", "--output", out.path()};
    for (int m = 0; m < kMailboxes; ++m)
        args.push_back(Box("m" + std::to_string(m) + ".mbox", mailbox));

    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = test::StartCli(args, [&] {
        test::OutputTo(pipeFds[1]);
        ::close(pipeFds[0]);
    });
    ASSERT_GE(child, 0);
    ::close(pipeFds[1]);
    std::string output;
    bool interrupted = false;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) {
        output.append(buffer, std::size_t(n));
        // The second mailbox has begun: the signal handler is surely in place.
        if (!interrupted && output.find("Mailbox 2 (of") != std::string::npos) {
            ::kill(child, SIGINT);
            interrupted = true;
        }
    }
    ::close(pipeFds[0]);
    const int code = test::ExitCode(child);
    ASSERT_TRUE(interrupted) << output;
    ASSERT_NE(code, -1) << output;
    if (output.find("stopped") == std::string::npos && code == 0) {
        GTEST_SKIP() << "the run ended before the signal arrived";
    }
    EXPECT_EQ(code, 1) << output;
    EXPECT_NE(output.find("stopped"), std::string::npos) << output;

    int files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(out.path())) {
        if (!entry.is_regular_file()) continue;
        const std::string name = entry.path().filename().string();
        const int number = std::stoi(name.substr(6));  // "email-N.eml"
        EXPECT_EQ(test::ReadFile(entry.path()), test::Normalise(Message(number), "\r\n"))
            << entry.path();
        ++files;
    }
    EXPECT_GT(files, 0);
    EXPECT_LT(files, kMailboxes * kMessages);
}

// The text helpers the command line prints through.

TEST(CliText, VisibleTextEscapesWhatATerminalWouldActOn) {
    for (const auto& [text, shown] : std::vector<std::pair<std::string, std::string>>{
             {"plain name.mbox", "plain name.mbox"},
             {"a\nb\rc\td", "a\\nb\\rc\\td"},
             {"\x1b[2J\x07\x7f", "\\x1b[2J\\x07\\x7f"},
             {std::string("nul\0x", 5), "nul\\x00x"},
             {"caf\xc3\xa9 \xe4\xb8\xad", "caf\xc3\xa9 \xe4\xb8\xad"},  // UTF-8 kept
             {"\xc2\x9b"
              "31m",
              "\\u009b31m"},  // C1 CSI
             {"evil\xe2\x80\xae"
              "txt.exe",
              "evil\\u202etxt.exe"},  // right-to-left override
             {"line\xe2\x80\xa8sep", "line\\u2028sep"},
             {"bad\xff\xc3", "bad\\xff\\xc3"},     // not UTF-8
             {"\xc0\xaf", "\\xc0\\xaf"},           // overlong '/'
             {"\xed\xa0\x80", "\\xed\\xa0\\x80"},  // a surrogate
             {"C:\\Mail\\x.mbox", "C:\\Mail\\x.mbox"}}) {
        EXPECT_EQ(VisibleText(text), shown) << shown;
    }
}

TEST(CliText, WidthsAndElisionKeepToTheColumns) {
    const std::string wide = "\xe4\xb8\xad\xe6\x96\x87";  // two characters, two columns each
    EXPECT_EQ(DisplayWidth("abc"), 3u);
    EXPECT_EQ(DisplayWidth(wide), 4u);
    EXPECT_EQ(DisplayWidth("e\xcc\x81"), 1u);  // e and a combining accent
    // Emoji take two columns; the joiner and the variation selector none;
    // a Hangul vowel jamo joins the syllable before it.
    EXPECT_EQ(DisplayWidth("\xF0\x9F\x93\xA7 \xE2\x9D\xA4\xEF\xB8\x8F"), 4u);
    EXPECT_EQ(DisplayWidth("\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB"), 4u);
    EXPECT_EQ(DisplayWidth("\xE1\x84\x80\xE1\x85\xA1"), 2u);

    EXPECT_EQ(ElideMiddle("short.mbox", 10), "short.mbox");
    const std::string elided = ElideMiddle("0123456789abcdefghij", 11);
    EXPECT_EQ(elided, "0123...ghij");
    EXPECT_EQ(ElideMiddle("0123456789", 2), "..");
    for (std::size_t columns = 4; columns < 16; ++columns) {
        const std::string name = "head" + wide + wide + wide + "tail.mbox";
        const std::string shown = ElideMiddle(name, columns);
        EXPECT_LE(DisplayWidth(shown), columns) << shown;
        EXPECT_GE(DisplayWidth(shown) + 1, columns) << shown;  // a wide character may leave one
        EXPECT_NE(shown.find("..."), std::string::npos) << shown;
        EXPECT_EQ(VisibleText(shown), shown) << "a character was cut in two";
    }

    EXPECT_EQ(CutToWidth("abc" + wide, 4), "abc");  // not half a wide character
    EXPECT_EQ(CutToWidth("abc" + wide, 5), "abc\xe4\xb8\xad");
    EXPECT_EQ(CutToWidth("abc", 10), "abc");
}

TEST(CliText, Sizes) {
    for (const auto& [bytes, shown] :
         std::vector<std::pair<std::uint64_t, std::string>>{{0, "0 bytes"},
                                                            {1, "1 byte"},
                                                            {1023, "1023 bytes"},
                                                            {1536, "1.5 KB"},
                                                            {1024 * 1024 - 1, "1.0 MB"},
                                                            {5ull << 30, "5.0 GB"}}) {
        EXPECT_EQ(ByteText(bytes), shown);
    }
}

TEST(Report, CompletionTextsTellTheTruth) {
    const std::string stars = std::string(75, '*');
    RunReport clean;
    clean.format = OutputFormat::Eml;
    clean.mailboxes = 1;
    clean.messagesWritten = 1;
    EXPECT_EQ(CompletionText(clean), stars +
                                         "\nYour messages from MBOX files has been successfully "
                                         "exported.\n" +
                                         stars + "\n\n1 message from 1 mailbox.");
    clean.format = OutputFormat::Pst;
    clean.mailboxes = 2;
    clean.messagesWritten = 3;
    EXPECT_EQ(CompletionText(clean),
              stars +
                  "\nYour messages from MBOX files has been successfully exported to Outlook "
                  "(.pst) file.\n" +
                  stars +
                  "\nStart Outlook and open converted pst file by clicking File -> Open -> "
                  "Outlook Data File. And it all done !\n\n3 messages from 2 mailboxes.");

    RunReport failed;
    failed.format = OutputFormat::Pst;
    failed.mailboxes = 3;
    failed.messagesWritten = 1;
    failed.mailboxesFailed = 2;
    failed.storeFoldersFailed = 1;
    failed.storesFailed = 1;
    failed.AddSkippedFolder("/m/locked/", "cannot list this folder");
    for (int n = 1; n <= 7; ++n) failed.AddFailure("/m/a\x1b.mbox", n, "disk full");
    const std::string text = CompletionText(failed);
    EXPECT_EQ(text.find("successfully"), std::string::npos) << text;
    EXPECT_TRUE(text.starts_with("1 message was exported from 3 mailboxes.")) << text;
    for (const char* line :
         {"\n2 of 3 mailboxes could not be converted, or only in part.",
          "\n1 mailbox folder could not be made in the store.",
          "\n1 store could not be finished and may not open.",
          "\n1 folder could not be listed; any mailboxes in it were not converted.",
          "\n\nWhat failed:\n/m/locked/: cannot list this folder\n", "\n... and 3 more."}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
    }
    EXPECT_EQ(Occurrences(text, "disk full"), 4u) << text;

    // The command line's style makes the names visible.
    const std::string shown = CompletionText(failed, ConsoleStyle());
    EXPECT_EQ(shown.find('\x1b'), std::string::npos);
    EXPECT_NE(shown.find("/m/a\\x1b.mbox, message 1: disk full"), std::string::npos) << shown;

    RunReport stopped = clean;
    stopped.stopped = true;
    EXPECT_TRUE(CompletionText(stopped).starts_with("The conversion was stopped before its end."));
    EXPECT_EQ(CompletionText(stopped).find("successfully"), std::string::npos);
}

TEST(CliText, StoresAreListedWithTheirFolders) {
    RunReport report;
    EXPECT_EQ(StoresText(report), "");
    report.stores.push_back({"/out/MBOX1.1.26 1.1.00.pst", {{"Inbox", 1}, {"Inbox (2)", 0}}});
    report.stores.push_back({"/out/b\n.pst", {}});
    EXPECT_EQ(StoresText(report, ConsoleStyle()),
              "Store /out/MBOX1.1.26 1.1.00.pst:\n  Inbox: 1 message\n  Inbox (2): 0 messages\n"
              "Store /out/b\\n.pst: no mailbox folders");
}

}  // namespace
}  // namespace mailvane
