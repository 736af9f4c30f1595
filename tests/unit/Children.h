#pragma once
// Child processes for the tests that run the program, kill it, limit it or
// run it as another user.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace mailvane::test {

// The exit code, or -1 for a child ended by a signal (SIGPIPE among them).
inline int ExitCode(pid_t child) {
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// In a child: standard output and error both go to `fd`.
inline void OutputTo(int fd) {
    ::dup2(fd, 1);
    ::dup2(fd, 2);
}

// In a child: root lists and writes any folder, so a test of what an
// ordinary user cannot do drops to nobody; exits 77 (skipped) when it cannot.
inline void BecomeOrdinaryUser() {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(77);
}

// Runs `body` in a child after `prepare`: 0 when it returned true, 1 when
// false, 77 when `prepare` gave up.
inline int InChild(
    const std::function<bool()>& body, const std::function<void()>& prepare = [] {}) {
    const pid_t child = ::fork();
    if (child == 0) {
        prepare();
        ::_exit(body() ? 0 : 1);
    }
    return child < 0 ? -1 : ExitCode(child);
}

// In a child: becomes the command line with `args`.
[[noreturn]] inline void ExecCli(std::vector<std::string> args) {
    args.insert(args.begin(), MAILVANE_CLI);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
}

// Runs the command line in a child after `prepare` has set up its
// descriptors (and anything else) there.
inline pid_t StartCli(
    const std::vector<std::string>& args, const std::function<void()>& prepare = [] {}) {
    const pid_t child = ::fork();
    if (child == 0) {
        prepare();
        ExecCli(args);
    }
    return child;
}

// Starts the command line and kills it after `delayMs`: the moment a
// machine's crash or a user's kill may come.
inline void KillAfter(
    const std::vector<std::string>& args, int delayMs,
    const std::function<void()>& prepare = [] {}) {
    const pid_t child = StartCli(args, prepare);
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}

}  // namespace mailvane::test
