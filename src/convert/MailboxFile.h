#pragma once
// A mailbox file opened for reading. Only regular files are taken: a folder,
// FIFO or device given where a mailbox is expected is refused with a cause,
// so a read can never block or run without end.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace mailvane {

// How the first 512 bytes look: "NotNormal" (block reading) when they hold a
// line feed, "Normal" (line reading, for files with CR line ends) otherwise.
// Both readings cut messages the same way; the mode is kept for reports.
enum class MboxReadMode { Unknown, Normal, NotNormal };
const char* ModeName(MboxReadMode mode);

class MailboxFile {
public:
    MailboxFile() = default;
    ~MailboxFile();
    MailboxFile(const MailboxFile&) = delete;
    MailboxFile& operator=(const MailboxFile&) = delete;

    // Opens `path`; false with `error` set to the cause when it cannot be read
    // as a mailbox file.
    bool Open(const std::filesystem::path& path, std::string& error);
    std::uint64_t size() const { return size_; }

    // Reads up to `capacity` bytes at the current position. Returns the count,
    // 0 at the end, or -1 with `error` set.
    std::int64_t Read(char* buffer, std::size_t capacity, std::string& error);

private:
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int fd_ = -1;
#endif
    std::uint64_t size_ = 0;
};

// Opens the mailbox, looks at its first 512 bytes and tells the reading mode.
// Returns Unknown with `error` set when the file cannot be read.
MboxReadMode ReadMBOXFile(const std::filesystem::path& path, std::string& error);
MboxReadMode ModeOfHead(const char* head, std::size_t length);

}  // namespace mailvane
