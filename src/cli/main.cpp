// mailvane-cli: converts MBOX mailboxes from the command line.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <system_error>

#include "cli/CliHost.h"
#include "cli/CommandLine.h"
#include "convert/ConversionRun.h"
#include "sources/SourceList.h"
#include "support/Paths.h"

using namespace mailvane;
namespace fs = std::filesystem;

namespace {

std::atomic<bool> stopRequested{false};

extern "C" void OnStopSignal(int signal) {
    stopRequested.store(true);
    // A second Ctrl-C ends the program at once.
    std::signal(signal, SIG_DFL);
}

}  // namespace

int main(int argc, char** argv) {
    CommandLine line;
    std::string error;
    if (!ParseCommandLine(argc, argv, line, error)) {
        std::fprintf(stderr, "mailvane-cli: %s\nTry 'mailvane-cli --help'.\n", error.c_str());
        return 2;
    }
    if (line.help) {
        std::fputs(UsageText().c_str(), stdout);
        return 0;
    }
    if (line.version) {
        std::puts("mailvane-cli 6.2.0.4");
        return 0;
    }

    std::error_code code;
    const fs::path destination = fs::absolute(line.output, code).lexically_normal();
    if (code || !EnsureFolderExists(destination, code)) {
        std::fprintf(stderr, "mailvane-cli: cannot create the output folder %s: %s\n",
                     DisplayPath(line.output).c_str(), code.message().c_str());
        return 1;
    }

    // Folders become the mailboxes found in them; files are taken as given.
    std::vector<fs::path> mailboxes;
    bool listingFailed = false;
    for (const auto& source : line.sources) {
        if (fs::is_directory(source, code)) {
            FolderScan scan = FindMailboxes(source);
            const auto& found = scan.mailboxes;
            if (found.empty()) {
                std::fprintf(stderr, "mailvane-cli: %s: no .mbox or .mbx files in this folder\n",
                             DisplayPath(source).c_str());
                listingFailed = true;
            }
            if (scan.unreadableFolders > 0) {
                std::fprintf(stderr, "mailvane-cli: %s: %d folders could not be listed\n",
                             DisplayPath(source).c_str(), scan.unreadableFolders);
                listingFailed = true;
            }
            mailboxes.insert(mailboxes.end(), found.begin(), found.end());
        } else {
            mailboxes.push_back(source);
        }
    }

    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);

    if (mailboxes.empty()) {
        std::fprintf(stderr, "mailvane-cli: no mailboxes to convert\n");
        return 1;
    }

    CliHost host(line.format, destination, std::move(mailboxes), stopRequested);
    ConversionRun run(host);
    const RunReport report = run.Run();
    return (report.started && report.Clean() && !listingFailed) ? 0 : 1;
}
