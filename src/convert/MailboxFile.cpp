#include "convert/MailboxFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "support/OutputFile.h"

#ifdef _WIN32
#include <cstdio>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace mailvane {

#ifdef _WIN32

MailboxFile::~MailboxFile() {
    if (handle_) std::fclose(static_cast<FILE*>(handle_));
}

bool MailboxFile::Open(const std::filesystem::path& path, std::string& error) {
    std::error_code code;
    const auto status = std::filesystem::status(path, code);
    if (code) {
        error = code.message();
        return false;
    }
    if (std::filesystem::is_directory(status)) {
        error = "it is a folder, not a mailbox file";
        return false;
    }
    if (!std::filesystem::is_regular_file(status)) {
        error = "it is not a regular file";
        return false;
    }
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (!file) {
        error = ErrnoText(errno);
        return false;
    }
    handle_ = file;
    size_ = std::filesystem::file_size(path, code);
    return true;
}

std::int64_t MailboxFile::ReadHead(char* buffer, std::size_t capacity, std::string& error) {
    auto* file = static_cast<FILE*>(handle_);
    const auto at = _ftelli64(file);
    if (at < 0 || _fseeki64(file, 0, SEEK_SET) != 0) {
        error = ErrnoText(errno);
        return -1;
    }
    const auto position = position_;
    position_ = 0;
    const auto count = Read(buffer, capacity, error);
    position_ = position;
    if (_fseeki64(file, at, SEEK_SET) != 0) {
        error = ErrnoText(errno);
        return -1;
    }
    return count;
}

std::int64_t MailboxFile::Read(char* buffer, std::size_t capacity, std::string& error) {
    auto* file = static_cast<FILE*>(handle_);
    capacity = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, size_ - position_));
    if (capacity == 0) return 0;
    const std::size_t count = std::fread(buffer, 1, capacity, file);
    if (count == 0 && std::ferror(file)) {
        error = ErrnoText(errno ? errno : EIO);
        return -1;
    }
    position_ += count;
    return static_cast<std::int64_t>(count);
}

#else

MailboxFile::~MailboxFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool MailboxFile::Open(const std::filesystem::path& path, std::string& error) {
    // O_NONBLOCK so that opening a FIFO cannot hang; it is refused just below.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = ErrnoText(errno);
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        error = ErrnoText(errno);
        ::close(fd);
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        error = "it is a folder, not a mailbox file";
    } else if (!S_ISREG(info.st_mode)) {
        error = "it is not a regular file (a FIFO, socket or device)";
    }
    if (!error.empty()) {
        ::close(fd);
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
#ifdef POSIX_FADV_SEQUENTIAL
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    fd_ = fd;
    size_ = static_cast<std::uint64_t>(info.st_size);
    return true;
}

std::int64_t MailboxFile::Read(char* buffer, std::size_t capacity, std::string& error) {
    capacity = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, size_ - position_));
    if (capacity == 0) return 0;
    for (;;) {
        const ssize_t count = ::read(fd_, buffer, capacity);
        if (count >= 0) {
            position_ += static_cast<std::uint64_t>(count);
            return count;
        }
        if (errno == EINTR) continue;
        error = ErrnoText(errno);
        return -1;
    }
}

std::int64_t MailboxFile::ReadHead(char* buffer, std::size_t capacity, std::string& error) {
    capacity = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, size_));
    std::size_t length = 0;
    while (length < capacity) {
        const ssize_t count = ::pread(fd_, buffer + length, capacity - length, off_t(length));
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) {
            error = ErrnoText(errno);
            return -1;
        }
        if (count == 0) break;
        length += std::size_t(count);
    }
    return std::int64_t(length);
}

#endif

MboxReadMode ReadMBOXFile(MailboxFile& file, std::string& error) {
    char head[512];
    const auto length = file.ReadHead(head, sizeof head, error);
    if (length < 0) return MboxReadMode::Unknown;
    return std::memchr(head, '\n', std::size_t(length)) ? MboxReadMode::NotNormal
                                                        : MboxReadMode::Normal;
}

}  // namespace mailvane
