// mailvane-cli: converts MBOX mailboxes from the command line.
#include <atomic>
#include <csignal>
#include <system_error>

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

}  // namespace

int main(int argc, char** argv) {
    // A closed pipe on standard output or error ends the printing, not the run.
    IgnoreBrokenPipes();
    Console console;

    CommandLine line;
    std::string error;
    if (!ParseCommandLine(argc, argv, line, error)) {
        console.Lines(kErr, "mailvane-cli: " + error + "\nTry 'mailvane-cli --help'.");
        return 2;
    }
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
