#pragma once
// A mailbox file opened for reading. Only regular files are taken: a folder,
// FIFO or device given where a mailbox is expected is refused with a cause,
// so a read can never block or run without end.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace mailvane {

// How the first 512 bytes look: "NotNormal" when they hold a line feed (LF or
// CR LF line ends), "Normal" otherwise (CR line ends, or one long first line).
// The splitter ends lines at CR, LF and CR LF alike, so both cut messages the
// same way; the mode tells callers and tests what kind of file was read.
enum class MboxReadMode { Unknown, Normal, NotNormal };

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
    // 0 at the end, or -1 with `error` set. The end is where the file ended
    // when it was opened: a mailbox that grows meanwhile is read as it was
    // (and a special file that claims size 0 reads as empty, never blocks).
    std::int64_t Read(char* buffer, std::size_t capacity, std::string& error);
    // Reads up to `capacity` bytes from the start of the file without moving
    // the current position; the count, or -1 with `error` set.
    std::int64_t ReadHead(char* buffer, std::size_t capacity, std::string& error);

private:
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int fd_ = -1;
#endif
    std::uint64_t size_ = 0;
    std::uint64_t position_ = 0;
};

// Looks at the first 512 bytes of an opened mailbox and tells the reading
// mode; Unknown with `error` set when they cannot be read.
MboxReadMode ReadMBOXFile(MailboxFile& file, std::string& error);

}  // namespace mailvane
