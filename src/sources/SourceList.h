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

// The count label's text: "3 files" (no singular form).
std::string CountText(std::size_t rows);

struct FolderScan {
    std::vector<std::filesystem::path> mailboxes;
    int unreadableFolders = 0;             // could not be listed...
    std::vector<UnlistedFolder> unlisted;  // ...these, with the cause
    int repeatedFolders = 0;               // met before through a link: skipped to end loops
};

// Every mailbox file under `folder`, breadth-first, as the folder command adds
// them.
FolderScan FindMailboxes(const std::filesystem::path& folder);

}  // namespace mailvane
