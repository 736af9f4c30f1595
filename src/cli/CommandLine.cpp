#include "cli/CommandLine.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace mailvane {

std::string UsageText() {
    return R"USAGE(Usage: mailvane-cli --format eml|emlx|msg|pst [--pst-per-mailbox]
                    [--only-mbox-names] [--keep-state] [--include-deleted]
                    [--tree] [--labels=folders|categories] [--include-spam]
                    [--include-trash] [-q|-v] [--json] --output DIR SOURCE...

Converts MBOX mailboxes into one file per message, or into PST stores.

  -f, --format FORMAT  (any letter case)
                       eml: one .eml file per message, CR LF line ends, the
                       mailbox's "From " line kept at its head.
                       emlx: one .emlx file per message (length line, message
                       with LF line ends, property list).
                       msg: one Outlook message file per message,
                       Email-1.msg, Email-2.msg, ...; a staging store,
                       DIR/Temp<date and time>.pst, holds the mailboxes'
                       folders (not their messages) and stays. An
                       Email-N.msg already there is never replaced: that
                       message is reported failed.
                       pst: one PST store for all mailboxes, DIR/MBOX<date
                       and time>.pst, holding a folder per mailbox.
      --pst-per-mailbox
                       with pst: a store per mailbox instead, DIR/NAME.pst,
                       named after the mailbox (its file name without a
                       final .mbox). A store this program made in an
                       earlier run is extended; any other file of that name
                       is left as it is and the mailbox is reported failed.
      --only-mbox-names
                       search folders only for files whose names end in
                       .mbox or .mbx, opening none of the others.
      --keep-state     with msg and pst: each item read or unread, answered,
                       forwarded and flagged as its mail program recorded
                       (Status, X-Status, X-Mozilla-Status, Gmail's Unread
                       and Starred labels); without it every item is read.
      --include-deleted
                       convert the messages a mail program deleted but kept
                       in the file (X-Mozilla-Status marks them expunged)
                       into a folder "Deleted" below the mailbox's folder;
                       without it they are left out and counted.
      --tree           keep the folder tree of the mail program for the
                       mailboxes found in a SOURCE folder, below that
                       folder: Thunderbird's Inbox and Inbox.sbd/Work become
                       the store folders Inbox and Inbox/Work, Apple Mail's
                       Exported.mbox/mbox and Exported.mbox/Sub.mbox/mbox
                       Exported and Exported/Sub, and other folders on disk
                       folders of their names. Message files go to DIR
                       followed by the mailbox's path from the SOURCE folder.
                       With --pst-per-mailbox a store per top folder or top
                       mailbox (DIR/Inbox.pst), holding the ones below it.
                       A mailbox given as a file is converted as without it.
      --labels=folders|categories
                       what a Gmail export's labels (X-Gmail-Labels) become.
                       folders: each message goes to a folder below its
                       mailbox's folder, that of its first label ("Work/
                       Projects" nested), else Inbox, Sent, Drafts, Chats or
                       Archive as Gmail shows it. categories: the labels
                       become the item's categories, which Outlook shows and
                       searches. Either way Gmail's Spam and Trash are left
                       out and counted. Without the option the labels become
                       categories and nothing else changes.
      --include-spam, --include-trash
                       with --labels: convert Gmail's Spam, or its Trash, too
                       (with folders, into the folder Spam or Trash).
  -o, --output DIR     the destination folder; created when missing.
  -q, --quiet          print only what failed (and the summary when something
                       did).
  -v, --verbose        print a line for each message saved, instead of the
                       progress line.
      --json           print the run's report as JSON on standard output:
                       counts, each mailbox with its messages saved and
                       failed, each failure with its mailbox, message number
                       and cause, each store with its folders, and notes;
                       what is printed otherwise goes to standard error.
  -h, --help           show this text and exit.
  -V, --version        show the version and exit.

A SOURCE is a mailbox file (any name) or a folder: a folder is searched with
all its subfolders, breadth-first, for files whose names end in .mbox or .mbx
(any case), and for the mailboxes mail programs keep without that name
(Thunderbird's Inbox, mutt's and Dovecot's files, the mbox file in Apple
Mail's X.mbox folders): files whose first bytes are a "From " line, except
those whose extension says they are something else (.msf, .dat, .json,
.sqlite, .toc, .plist, .eml, ...). The mbox file of a folder X.mbox is named
X, in its store folder and its store file.

Each mailbox gets its own folder: DIR followed by the mailbox's absolute path
without its root, so /home/ann/Mail/Inbox.mbox goes to
DIR/home/ann/Mail/Inbox.mbox/, holding email-1.eml, email-2.eml, ...
(with pst the folder is made and stays empty; with msg it holds the
Email-N.msg files). A mailbox listed twice goes
to a folder with " (2)" added. An email-N.eml left by an earlier run is
replaced; a file is never seen half-written under its name.

A mailbox is read up to the size it had when it was opened, so mail added
while the run goes is left for the next run.

On a terminal a progress line shows the mailbox, the messages saved and the
bytes read; otherwise one line per mailbox is printed. Each failure is
printed on standard error as it happens, with its mailbox (or folder),
message number and cause; a folder that cannot be listed is named and
counts as a failure. The summary at the end gives the counts and the first
few failures; with pst it names each store with its folders and their
messages. Control characters in names are shown escaped (\n, \x1b).
A closed standard output or error ends the printing, not the conversion.

Ctrl-C stops after the message being written; what was written stays.

Exit status: 0 when every message was written, 1 when something failed or
the run was stopped, 2 for a usage error.
)USAGE";
}

OutputOptions RunOptions(const CommandLine& line) {
    OutputOptions options{line.format, false, false};
    options.keepState = line.keepState;
    options.includeDeleted = line.includeDeleted;
    options.tree = line.tree;
    options.labels = line.labels;
    options.includeSpam = line.includeSpam;
    options.includeTrash = line.includeTrash;
    if (line.format == OutputFormat::Pst) {
        options.onePstForAll = !line.pstPerMailbox;
        options.onePstForAllEnabled = true;
    }
    return options;
}

MailboxRule SearchRule(const CommandLine& line) {
    return line.onlyMboxNames ? MailboxRule::Names : MailboxRule::NamesOrContent;
}

namespace {

// The switch an option without a value turns on, or null when `arg` is none.
bool* Flag(CommandLine& line, std::string_view arg) {
    static constexpr struct {
        std::string_view shortName, longName;
        bool CommandLine::*flag;
    } kFlags[] = {
        {"-h", "--help", &CommandLine::help},
        {"-q", "--quiet", &CommandLine::quiet},
        {"-v", "--verbose", &CommandLine::verbose},
        {"", "--json", &CommandLine::json},
        {"-V", "--version", &CommandLine::version},
        {"", "--pst-per-mailbox", &CommandLine::pstPerMailbox},
        {"", "--only-mbox-names", &CommandLine::onlyMboxNames},
        {"", "--keep-state", &CommandLine::keepState},
        {"", "--include-deleted", &CommandLine::includeDeleted},
        {"", "--tree", &CommandLine::tree},
        {"", "--include-spam", &CommandLine::includeSpam},
        {"", "--include-trash", &CommandLine::includeTrash},
    };
    for (const auto& known : kFlags)
        if (arg == known.longName || (!known.shortName.empty() && arg == known.shortName))
            return &(line.*known.flag);
    return nullptr;
}

}  // namespace

bool ParseCommandLine(int argc, char** argv, CommandLine& line, std::string& error) {
    // The value of an option given as "--name=value", or as the next argument.
    auto value = [&](int& i, std::string_view arg, std::string_view name, std::string& out) {
        if (arg.size() > name.size() && arg[name.size()] == '=') {
            out = arg.substr(name.size() + 1);
            return true;
        }
        if (i + 1 >= argc) {
            error = std::string(arg) + " needs a value";
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
        } else if (bool* flag = Flag(line, arg)) {
            *flag = true;
        } else if (arg == "--labels" || arg.starts_with("--labels=")) {
            std::string layout;
            if (!value(i, arg, "--labels", layout)) return false;
            if (layout == "folders") {
                line.labels = LabelLayout::Folders;
            } else if (layout == "categories") {
                line.labels = LabelLayout::Categories;
            } else {
                error = "unknown label layout \"" + layout + "\" (use folders or categories)";
                return false;
            }
        } else if (arg == "-f" || arg == "--format" || arg.starts_with("--format=")) {
            std::string format;
            if (!value(i, arg, "--format", format)) return false;
            std::string lower = format;
            std::transform(lower.begin(), lower.end(), lower.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            if (lower == "eml") {
                line.format = OutputFormat::Eml;
            } else if (lower == "emlx") {
                line.format = OutputFormat::Emlx;
            } else if (lower == "msg") {
                line.format = OutputFormat::Msg;
            } else if (lower == "pst") {
                line.format = OutputFormat::Pst;
            } else {
                error = "unknown format \"" + format + "\" (use eml, emlx, msg or pst)";
                return false;
            }
        } else if (arg == "-o" || arg == "--output" || arg.starts_with("--output=")) {
            std::string output;
            if (!value(i, arg, "--output", output)) return false;
            line.output = output;
        } else {
            error = "unknown option " + std::string(arg);
            return false;
        }
    }
    if (line.help || line.version) return true;
    if (line.format == OutputFormat::None) {
        error = "choose a format with --format eml, emlx, msg or pst";
    } else if (line.quiet && line.verbose) {
        error = "--quiet and --verbose go against each other";
    } else if (line.pstPerMailbox && line.format != OutputFormat::Pst) {
        error = "--pst-per-mailbox goes with --format pst";
    } else if (line.output.empty()) {
        error = "name the destination folder with --output DIR";
    } else if (line.sources.empty()) {
        error = "name at least one mailbox file or folder";
    }
    return error.empty();
}

}  // namespace mailvane
