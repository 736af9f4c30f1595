#pragma once
// The command line of mailvane-cli.
#include <filesystem>
#include <string>
#include <vector>

#include "convert/RunHost.h"
#include "sources/SourceList.h"

namespace mailvane {

struct CommandLine {
    OutputFormat format = OutputFormat::None;
    std::filesystem::path output;
    std::vector<std::filesystem::path> sources;
    bool pstPerMailbox = false;                 // a store per mailbox rather than one for all
    bool onlyMboxNames = false;                 // folders give only files named .mbox or .mbx
    bool keepState = false;                     // items read, answered, flagged as recorded
    bool includeDeleted = false;                // messages the mail program deleted too
    bool tree = false;                          // folders laid out as the mail program shows them
    LabelLayout labels = LabelLayout::Unasked;  // what Gmail's labels become
    bool includeSpam = false;                   // with labels: Gmail's Spam too
    bool includeTrash = false;                  // with labels: Gmail's Trash too
    bool help = false;
    bool version = false;
    bool quiet = false;    // errors only
    bool verbose = false;  // a line for each message
    bool json = false;     // the report as JSON on standard output
};

// Parses argv; false with `error` set for a usage error.
bool ParseCommandLine(int argc, char** argv, CommandLine& line, std::string& error);

std::string UsageText();

// The options the run asks for: for PST, one store for all mailboxes unless
// --pst-per-mailbox was given.
OutputOptions RunOptions(const CommandLine& line);

// How the folders among the sources are searched.
MailboxRule SearchRule(const CommandLine& line);

}  // namespace mailvane
