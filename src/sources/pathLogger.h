#pragma once
// Lists every regular file under a start folder, breadth-first: the start folder's own
// files first, then those of its subfolders in the order they were found, and
// so on down. Within a folder, entries are taken in byte order of their names.
//
// The walk never stops on a bad folder: a folder that cannot be listed is
// skipped and counted, and a folder already visited (same device and inode,
// as a link loop produces) is skipped, so every walk ends.
#include <cstdint>
#include <filesystem>
#include <system_error>
#include <vector>

namespace mailvane {

// A folder the walk skipped because it could not be listed, and why.
struct UnlistedFolder {
    std::filesystem::path folder;
    std::error_code cause;
};

class pathLogger {
public:
    using path = std::filesystem::path;

    // Makes the object ready for a new listing: collections emptied, mode
    // "full file names only".
    void PathLogInit();
    // Lists the tree under `start`. A start that is not a folder lists nothing.
    void LogPath(const path& start);
    // Releases what the walk holds; the counter and the mode stay.
    void Terminate();

    bool fullFileNamesOnly = false;

    // Every file found, with its folder.
    const std::vector<path>& fullFileNames() const { return fullFileNames_; }
    // Filled only when fullFileNamesOnly is false: file names without folder,
    // and for each the 1-based position in pathNames of its folder.
    const std::vector<path>& fileNames() const { return fileNames_; }
    const std::vector<std::int32_t>& pathPointers() const { return pathPointers_; }
    // Every folder visited, in visiting order, each ending with a separator.
    const std::vector<path>& pathNames() const { return pathNames_; }
    // One more than the number of files found (1 for an empty tree), 0 before
    // any listing.
    std::int32_t Count() const { return counter_; }
    // Folders skipped because they could not be listed, and because they were
    // met before (a link back into the tree).
    std::int32_t unreadableFolders() const { return unreadable_; }
    std::int32_t repeatedFolders() const { return repeated_; }
    // Every folder counted by unreadableFolders, in the order they were met.
    const std::vector<UnlistedFolder>& unlistedFolders() const { return unlisted_; }

private:
    std::vector<path> fullFileNames_, fileNames_, pathNames_;
    std::vector<std::int32_t> pathPointers_;
    std::int32_t counter_ = 0;
    std::int32_t unreadable_ = 0;
    std::int32_t repeated_ = 0;
    std::vector<UnlistedFolder> unlisted_;

    void Unlisted(const path& folder, std::error_code cause);
};

}  // namespace mailvane
