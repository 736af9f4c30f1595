#include "cli/CommandLine.h"

#include <string_view>

namespace mailvane {

std::string UsageText() {
    return R"USAGE(Usage: mailvane-cli --format eml|emlx --output DIR SOURCE...

Converts MBOX mailboxes into one file per message.

  -f, --format FORMAT  eml: one .eml file per message, CR LF line ends, the
                       mailbox's "From " line kept at its head.
                       emlx: one .emlx file per message (length line, message
                       with LF line ends, property list).
  -o, --output DIR     the destination folder; created when missing.
  -h, --help           show this text and exit.
      --version        show the version and exit.

A SOURCE is a mailbox file (any name) or a folder: a folder is searched with
all its subfolders, breadth-first, for files whose names end in .mbox or .mbx
(any case).

Each mailbox gets its own folder: DIR followed by the mailbox's absolute path
without its root, so /home/ann/Mail/Inbox.mbox goes to
DIR/home/ann/Mail/Inbox.mbox/, holding email-1.eml, email-2.eml, ...
A mailbox listed twice goes to a folder with " (2)" added.

On a terminal a progress line shows the mailbox, the messages saved and the
bytes read; otherwise one line per mailbox is printed. At the end a summary
lists every failure with its mailbox, message number and cause.

Ctrl-C stops after the message being written; what was written stays.

Exit status: 0 when every message was written, 1 when something failed or
the run was stopped, 2 for a usage error.
)USAGE";
}

bool ParseCommandLine(int argc, char** argv, CommandLine& line, std::string& error) {
    auto value = [&](int& i, std::string_view option, std::string& out) {
        if (i + 1 >= argc) {
            error = std::string(option) + " needs a value";
            return false;
        }
        out = argv[++i];
        return true;
    };
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            line.sources.emplace_back(argv[i]);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "-h" || arg == "--help") {
            line.help = true;
        } else if (arg == "--version") {
            line.version = true;
        } else if (arg == "-f" || arg == "--format" || arg.starts_with("--format=")) {
            std::string format;
            if (arg.starts_with("--format=")) {
                format = arg.substr(9);
            } else if (!value(i, arg, format)) {
                return false;
            }
            if (format == "eml") {
                line.format = OutputFormat::Eml;
            } else if (format == "emlx") {
                line.format = OutputFormat::Emlx;
            } else {
                error = "unknown format \"" + format + "\" (use eml or emlx)";
                return false;
            }
        } else if (arg == "-o" || arg == "--output" || arg.starts_with("--output=")) {
            std::string output;
            if (arg.starts_with("--output=")) {
                output = arg.substr(9);
            } else if (!value(i, arg, output)) {
                return false;
            }
            line.output = output;
        } else {
            error = "unknown option " + std::string(arg);
            return false;
        }
    }
    if (line.help || line.version) return true;
    if (line.format == OutputFormat::None) {
        error = "choose a format with --format eml or --format emlx";
    } else if (line.output.empty()) {
        error = "name the destination folder with --output DIR";
    } else if (line.sources.empty()) {
        error = "name at least one mailbox file or folder";
    }
    return error.empty();
}

}  // namespace mailvane
