#pragma once
// The list of mailboxes the next run converts, as the front ends hold it:
// rows in the order they were added, duplicates allowed, blank rows possible.
#include <filesystem>
#include <string>
#include <vector>

#include "sources/pathLogger.h"

namespace mailvane {

// True when a listed name is taken as a mailbox by the folder command: it
// ends, ignoring case and trailing blanks, in ".mbox" or ".mbx".
bool IsMailboxName(const std::filesystem::path& path);

// True for a mailbox that a mail program keeps without the .mbox name
// (Thunderbird's "Inbox", mutt's and Dovecot's files, a mail spool, the
// "mbox" inside Apple Mail's "X.mbox" folder): a regular file whose name has
// no extension or one not known to belong to something else (never ".msf",
// ".dat", ".json", ".sqlite", ".toc", ".plist", nor "table_of_contents") and
// whose first bytes are a separator line, "From " at byte 0, after an
// optional UTF-8 byte-order mark. Only those first bytes are read; a file
// that cannot be opened, or is no regular file when opened, is no mailbox.
bool IsKeptMailbox(const std::filesystem::path& path);

// The count label's text: "3 files" (no singular form).
std::string CountText(std::size_t rows);

// Which files a folder search takes.
enum class MailboxRule {
    Names,           // names ending in .mbox or .mbx only; no file is opened
    NamesOrContent,  // those, and every file IsKeptMailbox takes
};

struct FolderScan {
    // What the rule took, breadth-first as the folders were walked.
    std::vector<std::filesystem::path> mailboxes;
    // With NamesOrContent: those of `mailboxes` taken by their content alone,
    // in the same order; empty with Names.
    std::vector<std::filesystem::path> unnamedMailboxes;
    int unreadableFolders = 0;             // could not be listed...
    std::vector<UnlistedFolder> unlisted;  // ...these, with the cause
    int repeatedFolders = 0;               // met before through a link: skipped to end loops
};

// Every mailbox file under `folder` by `rule`, breadth-first.
FolderScan FindMailboxes(const std::filesystem::path& folder,
                         MailboxRule rule = MailboxRule::Names);

}  // namespace mailvane
