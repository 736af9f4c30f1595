#include "sources/SourceList.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>

#include "sources/pathLogger.h"
#include "support/Paths.h"

#ifdef _WIN32
#include <cstdio>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace mailvane {

namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Files that mail programs keep beside their mailboxes (indexes, settings,
// databases, Eudora's and Apple's tables), and single messages, ours
// included: an .eml file starts with its separator line too.
bool KnownNotToBeAMailbox(const std::filesystem::path& file) {
    constexpr std::array<std::string_view, 18> kExtensions = {
        ".msf", ".dat", ".json",  ".sqlite", ".sqlite-wal", ".sqlite-shm",
        ".db",  ".toc", ".plist", ".eml",    ".emlx",       ".msg",
        ".pst", ".ost", ".js",    ".ini",    ".mozlz4",     ".jsonlz4"};
    const std::string name = Lower(DisplayPath(file.filename()));
    if (name == "table_of_contents") return true;
    const std::string extension = Lower(DisplayPath(file.filename().extension()));
    return std::find(kExtensions.begin(), kExtensions.end(), extension) != kExtensions.end();
}

// Up to `capacity` bytes from the head of a regular file; -1 when it cannot
// be opened or is no regular file by the time it is opened.
int ReadHead(const std::filesystem::path& file, char* buffer, int capacity) {
#ifdef _WIN32
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error)) return -1;
    FILE* stream = _wfopen(file.c_str(), L"rb");
    if (!stream) return -1;
    const auto count = std::fread(buffer, 1, static_cast<std::size_t>(capacity), stream);
    std::fclose(stream);
    return static_cast<int>(count);
#else
    // Non-blocking, so a FIFO put in the file's place after the listing
    // cannot hold the search; it is then refused by its type.
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat info {};
    int count = -1;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        count = 0;
        while (count < capacity) {
            const ssize_t got =
                ::read(fd, buffer + count, static_cast<std::size_t>(capacity - count));
            if (got <= 0) break;
            count += static_cast<int>(got);
        }
    }
    ::close(fd);
    return count;
#endif
}

}  // namespace

bool IsMailboxName(const std::filesystem::path& path) {
    const std::string name = Lower(TrimBlanks(DisplayPath(path)));
    return name.ends_with(".mbox") || name.ends_with(".mbx");
}

bool IsKeptMailbox(const std::filesystem::path& path) {
    if (KnownNotToBeAMailbox(path)) return false;
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    constexpr std::string_view kSeparator = "From ";
    char buffer[kByteOrderMark.size() + kSeparator.size()];
    const int count = ReadHead(path, buffer, int(sizeof buffer));
    if (count < 0) return false;
    std::string_view head(buffer, std::size_t(count));
    if (head.starts_with(kByteOrderMark)) head.remove_prefix(kByteOrderMark.size());
    return head.starts_with(kSeparator);
}

std::string CountText(std::size_t rows) {
    return std::to_string(rows) + " files";
}

FolderScan FindMailboxes(const std::filesystem::path& folder, MailboxRule rule) {
    pathLogger logger;
    logger.PathLogInit();
    logger.fullFileNamesOnly = true;
    logger.LogPath(folder);
    FolderScan scan;
    for (const auto& file : logger.fullFileNames()) {
        if (IsMailboxName(file)) {
            scan.mailboxes.push_back(file);
        } else if (rule == MailboxRule::NamesOrContent && IsKeptMailbox(file)) {
            scan.mailboxes.push_back(file);
            scan.unnamedMailboxes.push_back(file);
        }
    }
    scan.unreadableFolders = logger.unreadableFolders();
    scan.unlisted = logger.unlistedFolders();
    scan.repeatedFolders = logger.repeatedFolders();
    logger.Terminate();
    return scan;
}

}  // namespace mailvane
