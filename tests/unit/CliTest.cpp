// mailvane-cli as a user runs it: its exit codes and what it writes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <cstdio>
#include <string>

#include "TestFiles.h"

namespace {

namespace fs = std::filesystem;

struct Result {
    int code = -1;
    std::string output;  // stdout and stderr
};

std::string Quote(const std::string& arg) {
    std::string quoted = "'";
    for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

Result RunCli(const std::vector<std::string>& args) {
    std::string command = Quote(MAILVANE_CLI);
    for (const auto& arg : args) command += " " + Quote(arg);
    command += " 2>&1 </dev/null";
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

class Cli : public testing::Test {
protected:
    fs::path Box(const std::string& name, const std::string& text) {
        mailvane::test::WriteFile(in / name, text);
        return in / name;
    }
    mailvane::test::ScratchFolder in, out;
};

TEST_F(Cli, UsageErrorsExitTwo) {
    const fs::path box = Box("a.mbox", "From a\n\nx\n");
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{},
                                               {"--format", "pst", "--output", out.path(), box},
                                               {"--format", "eml", box},
                                               {"--format", "eml", "--output", out.path()},
                                               {"--output", out.path(), box},
                                               {"--bogus"},
                                               {"--format"}}) {
        const Result result = RunCli(args);
        EXPECT_EQ(result.code, 2) << result.output;
        EXPECT_NE(result.output.find("mailvane-cli: "), std::string::npos) << result.output;
    }
    const Result help = RunCli({"--help"});
    EXPECT_EQ(help.code, 0);
    for (const char* option : {"--format", "--output", "--help", "--version", "Exit status"}) {
        EXPECT_NE(help.output.find(option), std::string::npos) << option;
    }
}

TEST_F(Cli, ExitsZeroOnlyWhenEverythingWasWritten) {
    const fs::path box = Box("Mail/a.mbox", "From a\nSubject: s\n\nx\nFrom b\n\ny\n");
    Box("Mail/sub/b.MBX", "From c\n\nz\n");
    Box("Mail/notes.txt", "From d\n\nignored\n");
    const Result ok = RunCli({"--format=emlx", "--output", out.path(), in / "Mail"});
    EXPECT_EQ(ok.code, 0) << ok.output;
    const fs::path written = out.path() / in.path().relative_path() / "Mail";
    EXPECT_TRUE(fs::exists(written / "a.mbox/email-2.emlx"));
    EXPECT_TRUE(fs::exists(written / "sub/b.MBX/email-1.emlx"));
    EXPECT_FALSE(fs::exists(written / "notes.txt"));

    const Result failed = RunCli({"-f", "eml", "-o", out / "second", box, in / "missing.mbox",
                                  Box("text.mbox", "no mailbox\n")});
    EXPECT_EQ(failed.code, 1) << failed.output;
    EXPECT_NE(failed.output.find((in / "missing.mbox").string() + ": cannot read"),
              std::string::npos)
        << failed.output;
    EXPECT_NE(failed.output.find((in / "text.mbox").string() + ": not a mailbox"),
              std::string::npos);
    EXPECT_TRUE(fs::exists(out / "second" / box.relative_path() / "email-2.eml"));
}

TEST_F(Cli, AnOutputFolderThatCannotBeMadeExitsOne) {
    mailvane::test::WriteFile(out / "file", "x");
    const Result result =
        RunCli({"--format", "eml", "--output", out / "file/below", Box("a.mbox", "From a\n\nx\n")});
    EXPECT_EQ(result.code, 1) << result.output;
    EXPECT_NE(result.output.find("cannot create the output folder"), std::string::npos);
}

// Ctrl-C while a long run is going: the run ends after the message being
// written, every file on disk is a whole message, and the exit code says so.
TEST_F(Cli, CtrlCStopsTheRunAndKeepsOnlyWholeMessages) {
    constexpr int kMailboxes = 30, kMessages = 2000;
    auto message = [](int i) {
        return "From a@b Mon Jan  1 00:00:00 2001\nSubject: m" + std::to_string(i) + "\n\nbody\n";
    };
    std::string mailbox;
    for (int i = 1; i <= kMessages; ++i) mailbox += message(i);
    std::vector<std::string> args = {MAILVANE_CLI, "--format", "eml", "--output", out.path()};
    for (int m = 0; m < kMailboxes; ++m)
        args.push_back(Box("m" + std::to_string(m) + ".mbox", mailbox));

    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::dup2(pipeFds[1], 1);
        ::dup2(pipeFds[1], 2);
        ::close(pipeFds[0]);
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
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
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(interrupted) << output;
    ASSERT_TRUE(WIFEXITED(status)) << output;
    if (output.find("stopped") == std::string::npos && WEXITSTATUS(status) == 0) {
        GTEST_SKIP() << "the run ended before the signal arrived";
    }
    EXPECT_EQ(WEXITSTATUS(status), 1) << output;
    EXPECT_NE(output.find("stopped"), std::string::npos) << output;

    int files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(out.path())) {
        if (!entry.is_regular_file()) continue;
        const std::string name = entry.path().filename().string();
        const int number = std::stoi(name.substr(6));  // "email-N.eml"
        std::string want = message(number);
        for (std::size_t at = 0; (at = want.find('\n', at)) != want.npos; at += 2)
            want.insert(at, "\r");
        EXPECT_EQ(mailvane::test::ReadFile(entry.path()), want) << entry.path();
        ++files;
    }
    EXPECT_GT(files, 0);
    EXPECT_LT(files, kMailboxes * kMessages);
}

}  // namespace
