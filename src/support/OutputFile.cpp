#include "support/OutputFile.h"

#include <cerrno>
#include <cstring>
#include <system_error>

#ifdef _WIN32
#include <cstdio>
#else
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>
#endif

namespace mailvane {

std::string ErrnoText(int error) {
    return std::generic_category().message(error);
}

#ifdef _WIN32

std::string WriteWholeFile(const std::filesystem::path& path,
                           std::initializer_list<std::string_view> pieces, CreateMode mode) {
    FILE* file = _wfopen(path.c_str(), mode == CreateMode::Exclusive ? L"wbx" : L"wb");
    if (!file) return ErrnoText(errno);
    int error = 0;
    for (auto piece : pieces) {
        if (!piece.empty() && std::fwrite(piece.data(), 1, piece.size(), file) != piece.size()) {
            error = errno ? errno : EIO;
            break;
        }
    }
    if (std::fclose(file) != 0 && !error) error = errno ? errno : EIO;
    if (error) {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
        return ErrnoText(error);
    }
    return {};
}

OutputFolder::~OutputFolder() = default;

std::string OutputFolder::Open(const std::filesystem::path& folder) {
    path_ = folder;
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) {
        return error ? error.message() : ErrnoText(ENOTDIR);
    }
    return {};
}

std::string OutputFolder::WriteWholeFile(const std::string& name,
                                         std::initializer_list<std::string_view> pieces,
                                         CreateMode mode) const {
    return mailvane::WriteWholeFile(path_ / name, pieces, mode);
}

#else

namespace {
int WriteAll(int fd, std::initializer_list<std::string_view> pieces) {
    iovec vectors[8];
    int count = 0;
    for (auto piece : pieces) {
        if (piece.empty()) continue;
        if (count == 8) return EINVAL;
        vectors[count++] = {const_cast<char*>(piece.data()), piece.size()};
    }
    iovec* next = vectors;
    while (count > 0) {
        const ssize_t written = ::writev(fd, next, count);
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        auto left = static_cast<size_t>(written);
        while (count > 0 && left >= next->iov_len) {
            left -= next->iov_len;
            ++next;
            --count;
        }
        if (count > 0) {
            next->iov_base = static_cast<char*>(next->iov_base) + left;
            next->iov_len -= left;
        }
    }
    return 0;
}

// Writes `name` relative to the folder `folderFd` (AT_FDCWD for a plain path).
std::string WriteWholeFileAt(int folderFd, const char* name,
                             std::initializer_list<std::string_view> pieces, CreateMode mode) {
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW;
    flags |= (mode == CreateMode::Exclusive) ? O_EXCL : O_TRUNC;
    const int fd = ::openat(folderFd, name, flags, 0666);
    if (fd < 0) return ErrnoText(errno);
    int error = WriteAll(fd, pieces);
    if (::close(fd) != 0 && !error) error = errno;
    if (error) {
        ::unlinkat(folderFd, name, 0);
        return ErrnoText(error);
    }
    return {};
}

}  // namespace

std::string WriteWholeFile(const std::filesystem::path& path,
                           std::initializer_list<std::string_view> pieces, CreateMode mode) {
    return WriteWholeFileAt(AT_FDCWD, path.c_str(), pieces, mode);
}

OutputFolder::~OutputFolder() {
    if (fd_ >= 0) ::close(fd_);
}

std::string OutputFolder::Open(const std::filesystem::path& folder) {
    if (fd_ >= 0) ::close(fd_);
    path_ = folder;
    fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd_ < 0 ? ErrnoText(errno) : std::string();
}

std::string OutputFolder::WriteWholeFile(const std::string& name,
                                         std::initializer_list<std::string_view> pieces,
                                         CreateMode mode) const {
    if (fd_ < 0) return ErrnoText(EBADF);
    return WriteWholeFileAt(fd_, name.c_str(), pieces, mode);
}

#endif

}  // namespace mailvane
