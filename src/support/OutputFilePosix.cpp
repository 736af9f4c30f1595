// The POSIX half of the output files (see OutputFile.h).
#include "support/OutputFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "support/OutputFileShared.h"

namespace mailvane {

namespace fs = std::filesystem;

unsigned OutputModeFor(const fs::path& mailbox) {
    struct stat info {};
    if (::stat(mailbox.c_str(), &info) != 0) return kDefaultFileMode;
    return static_cast<unsigned>(info.st_mode) & 0666;
}

std::optional<FileIdentity> IdentityOf(const fs::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || info.st_nlink == 0) return std::nullopt;
    return FileIdentity{static_cast<std::uint64_t>(info.st_dev),
                        static_cast<std::uint64_t>(info.st_ino)};
}

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

// An unnamed file is named by its descriptor where the kernel allows that
// (newer kernels let the process that opened it), else through /proc, which
// needs no privilege but costs a path lookup for every file.
bool CanNameUnnamedFiles() {
    static const bool available = ::access("/proc/self/fd", X_OK) == 0;
    return available;
}

std::atomic<bool> namingByDescriptor{true};

int LinkUnnamed(int fd, int folderFd, const char* name) {
#ifdef AT_EMPTY_PATH
    if (namingByDescriptor.load(std::memory_order_relaxed)) {
        if (::linkat(fd, "", folderFd, name, AT_EMPTY_PATH) == 0) return 0;
        if (errno != ENOENT && errno != EPERM && errno != EINVAL) return errno;
        namingByDescriptor.store(false, std::memory_order_relaxed);
    }
#endif
    char proc[40];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    return ::linkat(AT_FDCWD, proc, folderFd, name, AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
}

// Opens an unnamed file in the folder (nothing is left behind if the run is
// killed), or a temporary name where the file system has no unnamed files.
int OpenTemporary(int folderFd, unsigned mode, std::string& tempName, int access = O_WRONLY) {
#ifdef O_TMPFILE
    if (CanNameUnnamedFiles()) {
        const int fd = ::openat(folderFd, ".", O_TMPFILE | access | O_CLOEXEC, mode);
        if (fd >= 0) return fd;
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return -1;
    }
#endif
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempName = TempName();
        const int fd = ::openat(folderFd, tempName.c_str(),
                                access | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// Gives the written file its final name: atomically, so the name shows the
// old file or the whole new one, never a part.
int Publish(int folderFd, int fd, const std::string& tempName, const char* name, CreateMode mode) {
    if (tempName.empty()) {
        int error = LinkUnnamed(fd, folderFd, name);
        if (error != EEXIST || mode == CreateMode::Exclusive) return error;
        // A link cannot replace a name: link under a temporary one, then
        // rename it over the old file.
        std::string temp;
        do {
            temp = TempName();
            error = LinkUnnamed(fd, folderFd, temp.c_str());
        } while (error == EEXIST);
        if (error) return error;
        if (::renameat(folderFd, temp.c_str(), folderFd, name) != 0) {
            error = errno;
            ::unlinkat(folderFd, temp.c_str(), 0);
        }
        return error;
    }
    if (mode == CreateMode::Replace) {
        return ::renameat(folderFd, tempName.c_str(), folderFd, name) == 0 ? 0 : errno;
    }
    // A link fails when the name exists, where a rename would replace it.
    const int error = ::linkat(folderFd, tempName.c_str(), folderFd, name, 0) == 0 ? 0 : errno;
    ::unlinkat(folderFd, tempName.c_str(), 0);
    return error;
}

// Removes the temporary files that a killed run of ours left in the folder.
void RemoveLeftovers(int folderFd) {
    const int listing = ::dup(folderFd);
    if (listing < 0) return;
    DIR* dir = ::fdopendir(listing);
    if (!dir) {
        ::close(listing);
        return;
    }
    ::rewinddir(dir);
    while (const dirent* entry = ::readdir(dir)) {
        const int owner = TempOwner(entry->d_name);
        if (owner < 0 || owner == ProcessId()) continue;
        if (::kill(owner, 0) == 0 || errno == EPERM) continue;  // its run is still going
        ::unlinkat(folderFd, entry->d_name, 0);
    }
    ::closedir(dir);
}

}  // namespace

OutputFolder::~OutputFolder() {
    if (fd_ >= 0) ::close(fd_);
}

PendingFile::~PendingFile() {
    if (!published_ && !tempName_.empty()) ::unlinkat(folderFd_, tempName_.c_str(), 0);
    if (fd_ >= 0) ::close(fd_);
    if (folderFd_ >= 0) ::close(folderFd_);
}

std::string PendingFile::Create(const fs::path& folder, unsigned mode) {
    folderFd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd_ < 0) return ErrnoText(errno);
    RemoveLeftovers(folderFd_);
    fd_ = OpenTemporary(folderFd_, mode & 0666, tempName_, O_RDWR);
    return fd_ < 0 ? ErrnoText(errno) : std::string();
}

std::string PendingFile::Publish(const std::string& name) {
    if (fd_ < 0 || published_) return ErrnoText(EBADF);
    const int error =
        mailvane::Publish(folderFd_, fd_, tempName_, name.c_str(), CreateMode::Exclusive);
    if (error) return ErrnoText(error);
    published_ = true;
    tempName_.clear();
    return {};
}

std::string PendingFile::CreateIn(const OutputFolder& folder) {
    // The folder was cleared of leftovers when it was opened.
    folderFd_ = ::fcntl(folder.fd(), F_DUPFD_CLOEXEC, 0);
    if (folderFd_ < 0) return ErrnoText(errno);
    fd_ = OpenTemporary(folderFd_, folder.fileMode(), tempName_, O_RDWR);
    return fd_ < 0 ? ErrnoText(errno) : std::string();
}

PendingFile::Handle PendingFile::Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

bool OutputFolder::isOpen() const {
    return fd_ >= 0;
}

std::string OutputFolder::Open(const fs::path& folder) {
    if (fd_ >= 0) ::close(fd_);
    path_ = folder;
    fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) return ErrnoText(errno);
    RemoveLeftovers(fd_);
    return {};
}

std::string OutputFolder::OpenBelow(const fs::path& base, const fs::path& relative) {
    if (fd_ >= 0) ::close(fd_);
    path_ = base;
    fd_ = -1;
    int fd = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return FolderCause(base, "cannot open the folder", errno);
    fs::path at = base;
    for (const auto& part : relative) {
        if (part.empty() || part == ".") continue;
        at /= part;
        if (part == ".." || part.has_root_path()) {
            ::close(fd);
            return "the folder " + at.string() + " would lie outside " + base.string();
        }
        const char* name = part.c_str();
        if (::mkdirat(fd, name, 0777) != 0 && errno != EEXIST) {
            const int error = errno;
            ::close(fd);
            return FolderCause(at, "cannot create the folder", error);
        }
        const int next = ::openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            const int error = errno;
            struct stat info {};
            const bool link =
                ::fstatat(fd, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
            ::close(fd);
            if (link) return at.string() + " is a symbolic link; nothing is written through it";
            return FolderCause(at, "cannot open the folder", error);
        }
        ::close(fd);
        fd = next;
    }
    fd_ = fd;
    path_ = at;
    RemoveLeftovers(fd_);
    return {};
}

std::string OutputFolder::WriteWholeFile(const std::string& name,
                                         std::initializer_list<std::string_view> pieces,
                                         CreateMode mode) const {
    if (fd_ < 0) return ErrnoText(EBADF);
    std::string tempName;
    const int fd = OpenTemporary(fd_, fileMode_, tempName);
    if (fd < 0) return ErrnoText(errno);
    int error = WriteAll(fd, pieces);
    if (tempName.empty()) {
        // An unnamed file must be named while it is open; a close that fails
        // afterwards takes the name away again.
        if (!error) error = Publish(fd_, fd, tempName, name.c_str(), mode);
        if (::close(fd) != 0 && !error) {
            error = errno;
            ::unlinkat(fd_, name.c_str(), 0);
        }
    } else {
        if (::close(fd) != 0 && !error) error = errno;
        if (!error) error = Publish(fd_, fd, tempName, name.c_str(), mode);
        if (error) ::unlinkat(fd_, tempName.c_str(), 0);
    }
    return error ? ErrnoText(error) : std::string();
}

}  // namespace mailvane
