// mailvane-cli: converts MBOX mailboxes from the command line.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <system_error>
#include <vector>

#include "cli/CliHost.h"
#include "cli/CommandLine.h"
#include "cli/Console.h"
#include "convert/ConversionRun.h"
#include "sources/SourceList.h"
#include "support/Paths.h"
#include "support/Version.h"

using namespace mailvane;
namespace fs = std::filesystem;

namespace {

constexpr auto kOut = Console::Stream::Out;
constexpr auto kErr = Console::Stream::Err;

std::atomic<bool> stopRequested{false};

extern "C" void OnStopSignal(int signal) {
    stopRequested.store(true);
    // A second Ctrl-C ends the program at once.
    std::signal(signal, SIG_DFL);
}

// Folders become the mailboxes found in them; files are taken as given.
// `roots` gets, for each mailbox, the folder it was found in (nothing for a
// file). What goes wrong on the way is printed at once and kept in `report`.
std::vector<fs::path> GatherMailboxes(const std::vector<fs::path>& sources, MailboxRule rule,
                                      Console& console, RunReport& report,
                                      std::vector<fs::path>& roots) {
    std::vector<fs::path> mailboxes;
    for (const auto& source : sources) {
        std::error_code code;
        if (!fs::is_directory(source, code)) {
            mailboxes.push_back(source);
            roots.emplace_back();
            continue;
        }
        const FolderScan scan = FindMailboxes(source, rule);
        for (const auto& unlisted : scan.unlisted) {
            const RunFailure failure{unlisted.folder, 0,
                                     "cannot list this folder (" + unlisted.cause.message() +
                                         "); any mailboxes in it were not converted"};
            report.AddSkippedFolder(failure.mailbox, failure.cause);
            console.Lines(kErr, FailureText(failure));
        }
        if (scan.repeatedFolders > 0) {
            report.notes.push_back(CountOf(scan.repeatedFolders, "folder", "folders") + " under " +
                                   DisplayPath(source) +
                                   (scan.repeatedFolders == 1 ? " was" : " were") +
                                   " reached again through a link and listed only once.");
        }
        if (scan.mailboxes.empty()) {
            const RunFailure failure{source, 0,
                                     rule == MailboxRule::Names
                                         ? "no .mbox or .mbx files in this folder"
                                         : "no mailboxes in this folder"};
            report.AddFailure(failure.mailbox, 0, failure.cause);
            console.Lines(kErr, FailureText(failure));
        }
        mailboxes.insert(mailboxes.end(), scan.mailboxes.begin(), scan.mailboxes.end());
        roots.resize(mailboxes.size(), source);
    }
    return mailboxes;
}

#ifdef _WIN32
// The paths of the command line, made by std::filesystem from its UTF-8
// text. MinGW's C++ library reads narrow text there through the C library's
// "C" locale, one character per byte, so the path's characters are the bytes
// of the name as typed; read as UTF-8 they give the name back.
fs::path AsTyped(const fs::path& parsed) {
    std::u8string bytes;
    for (const wchar_t c : parsed.native()) {
        if (c > 0xFF) return parsed;
        bytes += static_cast<char8_t>(c);
    }
    try {
        return fs::path(bytes);
    } catch (const std::exception&) {
        return parsed;  // not UTF-8: not made from our text
    }
}
#endif

int Main(int argc, char** argv) {
    // A closed pipe on standard output or error ends the printing, not the run.
    IgnoreBrokenPipes();
    Console console;

    CommandLine line;
    std::string error;
    if (!ParseCommandLine(argc, argv, line, error)) {
        console.Lines(kErr, "mailvane-cli: " + error + "\nTry 'mailvane-cli --help'.");
        return 2;
    }
#ifdef _WIN32
    line.output = AsTyped(line.output);
    for (auto& source : line.sources) source = AsTyped(source);
#endif
    if (line.help) {
        console.Raw(kOut, UsageText());
        return 0;
    }
    if (line.version) {
        console.Lines(kOut, std::string("mailvane-cli ") + kVersion);
        return 0;
    }

    std::error_code code;
    const fs::path destination = fs::absolute(line.output, code).lexically_normal();
    if (code || !EnsureFolderExists(destination, code)) {
        console.Lines(kErr, "mailvane-cli: cannot create the output folder " +
                                VisibleText(DisplayPath(line.output)) + ": " + code.message());
        return 1;
    }

    RunReport before;
    std::vector<fs::path> roots;
    std::vector<fs::path> mailboxes =
        GatherMailboxes(line.sources, SearchRule(line), console, before, roots);

    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
#ifdef SIGBREAK
    std::signal(SIGBREAK, OnStopSignal);  // Ctrl-Break on a Windows console
#endif

    if (mailboxes.empty()) {
        console.Lines(kErr, "mailvane-cli: no mailboxes to convert");
        return 1;
    }

    CliOutput output;
    output.detail = line.quiet     ? CliOutput::Detail::Quiet
                    : line.verbose ? CliOutput::Detail::Verbose
                                   : CliOutput::Detail::Normal;
    output.json = line.json;
    CliHost host(RunOptions(line), destination, std::move(mailboxes), stopRequested, console,
                 std::move(before), std::move(roots), output);
    ConversionRun(host).Run();
    const RunReport& report = host.Report();
    return (report.started && report.Clean()) ? 0 : 1;
}

}  // namespace

#ifdef _WIN32
// Windows hands the arguments over in UTF-16; the narrow ones would be in the
// ANSI code page, which cannot hold every name. They go on as UTF-8.
int wmain(int argc, wchar_t** wideArgv) {
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
        std::string utf8;
        try {
            const std::u8string text = fs::path(wideArgv[i]).u8string();
            utf8.assign(text.begin(), text.end());
        } catch (const std::exception&) {
            // A lone surrogate, which no file name of UTF-8 can hold.
            std::fprintf(stderr, "mailvane-cli: argument %d is not Unicode text\n", i);
            return 2;
        }
        args.push_back(std::move(utf8));
    }
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    return Main(argc, argv.data());
}
#else
int main(int argc, char** argv) {
    return Main(argc, argv);
}
#endif
