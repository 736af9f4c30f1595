#include "sources/SourceList.h"

#include <algorithm>
#include <cctype>

#include "sources/pathLogger.h"
#include "support/Paths.h"

namespace mailvane {

bool IsMailboxName(const std::filesystem::path& path) {
    std::string name = TrimBlanks(DisplayPath(path));
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return name.ends_with(".mbox") || name.ends_with(".mbx");
}

std::string CountText(std::size_t rows) {
    return std::to_string(rows) + " files";
}

FolderScan FindMailboxes(const std::filesystem::path& folder) {
    pathLogger logger;
    logger.PathLogInit();
    logger.fullFileNamesOnly = true;
    logger.LogPath(folder);
    FolderScan scan;
    for (const auto& file : logger.fullFileNames()) {
        if (IsMailboxName(file)) scan.mailboxes.push_back(file);
    }
    scan.unreadableFolders = logger.unreadableFolders();
    scan.unlisted = logger.unlistedFolders();
    scan.repeatedFolders = logger.repeatedFolders();
    logger.Terminate();
    return scan;
}

}  // namespace mailvane
