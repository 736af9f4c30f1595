#include "mapi/pst/Sink.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace mailvane::pst {

// The Windows FileSink lives in FileSinkWindows.cpp.
#ifndef _WIN32
namespace {

std::string Errno() {
    return std::strerror(errno);
}

constexpr const char* kLinkRefused = "it is a symbolic link; nothing is written through it";

// Why opening `path` failed with errno `err`: a link named as such (O_NOFOLLOW
// gives ELOOP for one, O_EXCL EEXIST) and any other file that is there is
// left alone; anything else is the medium's failure, in the system's words.
Status OpenFailure(const std::filesystem::path& path, int err) {
    struct stat st {};
    if ((err == ELOOP || err == EEXIST) && ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        return {Status::Kind::kNotOurs, kLinkRefused};
    if (err == EISDIR) return {Status::Kind::kNotOurs, "it is not a regular file"};
    return {err == EEXIST ? Status::Kind::kNotOurs : Status::Kind::kMedium, std::strerror(err)};
}

}  // namespace

std::unique_ptr<FileSink> FileSink::Create(const std::filesystem::path& path, unsigned mode,
                                           Status* error) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        *error = OpenFailure(path, EEXIST);
        return nullptr;
    }
    const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
    auto pending = std::make_unique<PendingFile>();
    if (std::string cause = pending->Create(folder, mode); !cause.empty()) {
        *error = Status(Status::Kind::kMedium, cause);
        return nullptr;
    }
    ::flock(pending->fd(), LOCK_EX | LOCK_NB);  // new and ours alone: cannot be held elsewhere
    std::unique_ptr<FileSink> sink(new FileSink(pending->fd(), 0));
    sink->pending_ = std::move(pending);
    sink->name_ = path.filename().string();
    return sink;
}

std::unique_ptr<FileSink> FileSink::Open(const std::filesystem::path& path, Status* error) {
    // Non-blocking, so that a FIFO put there cannot hang the open; it is
    // refused just below with anything else that is not a regular file.
    int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *error = OpenFailure(path, errno);
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        *error = Status(Status::Kind::kMedium, Errno());
        ::close(fd);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = Status(Status::Kind::kNotOurs, "it is not a regular file");
        ::close(fd);
        return nullptr;
    }
    // One writer per file, across processes too (an advisory lock).
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *error = Status(Status::Kind::kNotOurs, "in use by another program");
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<FileSink>(new FileSink(fd, static_cast<uint64_t>(st.st_size)));
}

FileSink::~FileSink() {
    // A file never named is removed with its descriptor.
    if (!pending_) ::close(fd_);
}

std::string FileSink::WriteAt(uint64_t offset, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::pwrite(fd_, data.data(), data.size(), static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return Errno();
        }
        offset += static_cast<uint64_t>(n);
        data.remove_prefix(static_cast<size_t>(n));
    }
    size_ = std::max(size_, offset);
    return {};
}

std::string FileSink::Extend(uint64_t size) {
    if (size <= size_) return {};
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) return Errno();
    size_ = size;
    return {};
}

std::string FileSink::Sync() {
    return ::fsync(fd_) == 0 ? std::string() : Errno();
}

std::string FileSink::ReadAt(uint64_t offset, size_t length, std::string* out) {
    out->assign(length, '\0');
    size_t done = 0;
    while (done < length) {
        ssize_t n =
            ::pread(fd_, out->data() + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return Errno();
        }
        if (n == 0) return "unexpected end of file";
        done += static_cast<size_t>(n);
    }
    return {};
}

#endif  // _WIN32

// Every platform names the file through PendingFile.
std::string FileSink::Publish() {
    if (!pending_) return {};
    if (std::string cause = pending_->Publish(name_); !cause.empty()) return cause;
    fd_ = pending_->Release();
    pending_.reset();
    return {};
}

}  // namespace mailvane::pst
