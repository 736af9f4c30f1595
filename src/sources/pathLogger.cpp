#include "sources/pathLogger.h"

#include <algorithm>
#include <cerrno>
#include <set>
#include <system_error>
#include <utility>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace mailvane {

namespace fs = std::filesystem;

namespace {

fs::path WithSeparator(const fs::path& folder) {
    auto text = folder.native();
    if (text.empty() || text.back() != fs::path::preferred_separator) {
        text.push_back(fs::path::preferred_separator);
    }
    return fs::path(std::move(text));
}

// Identity of a folder that survives links: device and inode on POSIX. On
// Windows the lexically normal path stands in (junction loops are bounded by
// the visited set of paths and the path length limit).
using FolderId = std::pair<std::uint64_t, std::uint64_t>;

std::error_code IdentifyFolder(const fs::path& folder, FolderId& id) {
#ifdef _WIN32
    std::error_code error;
    auto canonical = fs::canonical(folder, error);
    if (error) return error;
    id = {std::hash<std::wstring>{}(canonical.native()), 0};
    return {};
#else
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) return {errno, std::generic_category()};
    if (!S_ISDIR(info.st_mode)) return std::make_error_code(std::errc::not_a_directory);
    id = {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
    return {};
#endif
}

}  // namespace

void pathLogger::PathLogInit() {
    fullFileNamesOnly = true;
    fullFileNames_.clear();
    fileNames_.clear();
    pathNames_.clear();
    pathPointers_.clear();
    unreadable_ = repeated_ = 0;
    unlisted_.clear();
}

void pathLogger::Unlisted(const path& folder, std::error_code cause) {
    ++unreadable_;
    unlisted_.push_back({folder, cause});
}

void pathLogger::LogPath(const path& start) {
    std::error_code error;
    if (!fs::is_directory(start, error)) return;

    counter_ = 1;
    std::set<FolderId> visited;
    FolderId startId;
    if (!IdentifyFolder(start, startId)) visited.insert(startId);
    pathNames_.push_back(WithSeparator(start));

    // pathNames_ is the work queue: folders are appended as they are found and
    // processed in that order, which makes the walk breadth-first.
    for (std::size_t current = 0; current < pathNames_.size(); ++current) {
        const fs::path folder = pathNames_[current];
        std::vector<fs::path> subfolders, files;
        fs::directory_iterator entries(folder, error);
        if (error) {
            Unlisted(folder, error);
            continue;
        }
        // A folder that fails part way is skipped whole, so no folder is ever
        // listed with some of its files missing and nothing said.
        bool complete = true;
        for (; entries != fs::directory_iterator(); entries.increment(error)) {
            if (error) break;
            std::error_code kindError;
            if (entries->is_directory(kindError)) {
                subfolders.push_back(entries->path().filename());
            } else if (entries->is_regular_file(kindError)) {
                // FIFOs, sockets and devices are no files to convert: reading
                // one could block or never end.
                files.push_back(entries->path().filename());
            }
        }
        if (error) complete = false;
        if (!complete) {
            Unlisted(folder, error);
            continue;
        }
        std::sort(subfolders.begin(), subfolders.end(),
                  [](const fs::path& a, const fs::path& b) { return a.native() < b.native(); });
        std::sort(files.begin(), files.end(),
                  [](const fs::path& a, const fs::path& b) { return a.native() < b.native(); });

        for (const auto& name : subfolders) {
            fs::path child = folder / name;
            FolderId id;
            if (const std::error_code cause = IdentifyFolder(child, id)) {
                Unlisted(WithSeparator(child), cause);
                continue;
            }
            if (!visited.insert(id).second) {
                ++repeated_;
                continue;
            }
            pathNames_.push_back(WithSeparator(child));
        }
        for (const auto& name : files) {
            fullFileNames_.push_back(folder / name);
            if (!fullFileNamesOnly) {
                fileNames_.push_back(name);
                pathPointers_.push_back(static_cast<std::int32_t>(current + 1));
            }
            ++counter_;
        }
    }
}

void pathLogger::Terminate() {
    fullFileNames_.clear();
    fileNames_.clear();
    pathNames_.clear();
    pathPointers_.clear();
}

}  // namespace mailvane
