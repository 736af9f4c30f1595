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
}  // namespace

std::string WriteWholeFile(const std::filesystem::path& path,
                           std::initializer_list<std::string_view> pieces, CreateMode mode) {
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW;
    flags |= (mode == CreateMode::Exclusive) ? O_EXCL : O_TRUNC;
    const int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) return ErrnoText(errno);
    int error = WriteAll(fd, pieces);
    if (::close(fd) != 0 && !error) error = errno;
    if (error) {
        ::unlink(path.c_str());
        return ErrnoText(error);
    }
    return {};
}

#endif

}  // namespace mailvane
