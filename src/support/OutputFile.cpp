#include "support/OutputFile.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#ifdef _WIN32
#include <process.h>
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#endif

namespace mailvane {

namespace fs = std::filesystem;

std::string ErrnoText(int error) {
    return std::generic_category().message(error);
}

namespace {

std::atomic<unsigned> tempCounter{0};

int ProcessId() {
#ifdef _WIN32
    return _getpid();
#else
    return static_cast<int>(::getpid());
#endif
}

// Temporary names carry the process id, so a later run can tell the
// leftovers of a killed run from the files of a run still going.
constexpr std::string_view kTempPrefix = ".mailvane-";
constexpr std::string_view kTempSuffix = ".tmp";

std::string TempName() {
    return std::string(kTempPrefix) + std::to_string(ProcessId()) + "-" +
           std::to_string(tempCounter.fetch_add(1)) + std::string(kTempSuffix);
}

// The process id of a temporary name of ours, or -1 for any other name.
int TempOwner(std::string_view name) {
    if (!name.starts_with(kTempPrefix) || !name.ends_with(kTempSuffix)) return -1;
    name.remove_prefix(kTempPrefix.size());
    int pid = 0;
    std::size_t digits = 0;
    for (; digits < name.size() && name[digits] >= '0' && name[digits] <= '9'; ++digits) {
        if (pid > 9999999) return -1;
        pid = pid * 10 + (name[digits] - '0');
    }
    return digits > 0 && digits < name.size() && name[digits] == '-' ? pid : -1;
}

// Tells which part of a folder path failed, and why.
std::string FolderCause(const fs::path& folder, const std::string& what, int error) {
    return what + " " + folder.string() + ": " + ErrnoText(error);
}

}  // namespace

#ifdef _WIN32

namespace {

// A file name given as UTF-8 (std::filesystem would read a narrow name in
// the C library's code page); false when it is not UTF-8.
bool WideName(const std::string& name, std::wstring& wide) {
    const int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.data(),
                                             static_cast<int>(name.size()), nullptr, 0);
    if (length <= 0 && !name.empty()) return false;
    wide.assign(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), wide.data(),
                          length);
    return true;
}

}  // namespace

unsigned OutputModeFor(const fs::path&) {
    return kDefaultFileMode;
}

std::optional<FileIdentity> IdentityOf(const fs::path& path) {
    const HANDLE file = ::CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = ::GetFileInformationByHandle(file, &info) != 0;
    ::CloseHandle(file);
    if (!known || info.nNumberOfLinks == 0) return std::nullopt;
    return FileIdentity{info.dwVolumeSerialNumber,
                        (std::uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

OutputFolder::~OutputFolder() = default;

bool OutputFolder::isOpen() const {
    return !path_.empty();
}

std::string OutputFolder::Open(const fs::path& folder) {
    path_.clear();
    std::error_code error;
    if (!fs::is_directory(folder, error)) {
        return error ? error.message() : ErrnoText(ENOTDIR);
    }
    path_ = folder;
    return {};
}

std::string OutputFolder::OpenBelow(const fs::path& base, const fs::path& relative) {
    if (auto cause = Open(base); !cause.empty()) return FolderCause(base, "cannot open", ENOENT);
    fs::path at = base;
    for (const auto& part : relative) {
        if (part.empty() || part == ".") continue;
        if (part == "..")
            return "the folder path " + relative.string() + " leaves " + base.string();
        at /= part;
        std::error_code error;
        const auto status = fs::symlink_status(at, error);
        if (fs::is_symlink(status)) {
            path_.clear();
            return at.string() + " is a symbolic link; nothing is written through it";
        }
        if (!fs::exists(status)) fs::create_directory(at, error);
        if (error || !fs::is_directory(at, error)) {
            path_.clear();
            return FolderCause(at, "cannot create the folder", ENOTDIR);
        }
    }
    path_ = at;
    return {};
}

std::string OutputFolder::WriteWholeFile(const std::string& name,
                                         std::initializer_list<std::string_view> pieces,
                                         CreateMode mode) const {
    if (path_.empty()) return ErrnoText(EBADF);
    std::wstring wide;
    if (!WideName(name, wide)) return "the name " + name + " is not UTF-8";
    const fs::path target = path_ / wide;
    const fs::path temp = path_ / TempName();
    FILE* file = _wfopen(temp.c_str(), L"wbx");
    if (!file) return ErrnoText(errno);
    int error = 0;
    for (auto piece : pieces) {
        if (!piece.empty() && std::fwrite(piece.data(), 1, piece.size(), file) != piece.size()) {
            error = errno ? errno : EIO;
            break;
        }
    }
    if (std::fclose(file) != 0 && !error) error = errno ? errno : EIO;
    if (!error) {
        // _wrename never replaces, which is what an exclusive write wants.
        if (mode == CreateMode::Exclusive) {
            if (_wrename(temp.c_str(), target.c_str()) != 0) error = errno;
        } else {
            std::error_code code;
            fs::rename(temp, target, code);
            if (code) error = code.value();
        }
    }
    if (error) {
        std::error_code ignored;
        fs::remove(temp, ignored);
        return ErrnoText(error);
    }
    return {};
}

std::string SystemErrorText(unsigned long code) {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string utf8;
    if (length > 0) {
        const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr,
                                               0, nullptr, nullptr);
        utf8.resize(static_cast<size_t>(size));
        ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), utf8.data(), size,
                              nullptr, nullptr);
    }
    ::LocalFree(text);
    // The system's sentences end in ".\r\n"; causes are joined into longer
    // messages, as the POSIX texts are.
    while (!utf8.empty() &&
           (utf8.back() == '\n' || utf8.back() == '\r' || utf8.back() == '.' || utf8.back() == ' '))
        utf8.pop_back();
    return utf8.empty() ? "system error " + std::to_string(code) : utf8;
}

namespace {

// Removes the temporary files that killed runs of ours left in the folder:
// Windows has no unnamed files that vanish with their process.
void RemoveLeftovers(const fs::path& folder) {
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const int owner = TempOwner(it->path().filename().string());
        if (owner < 0 || owner == ProcessId()) continue;
        if (HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(owner))) {
            const bool running = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
            ::CloseHandle(process);
            if (running) continue;
        } else if (::GetLastError() != ERROR_INVALID_PARAMETER) {
            continue;  // a process we may not look at is taken to be running
        }
        ::DeleteFileW(it->path().c_str());
    }
}

}  // namespace

PendingFile::~PendingFile() {
    if (fd_) ::CloseHandle(fd_);
    if (!published_ && !tempName_.empty()) ::DeleteFileW((folder_ / tempName_).c_str());
}

std::string PendingFile::Create(const fs::path& folder, unsigned) {
    folder_ = folder;
    RemoveLeftovers(folder_);
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempName_ = TempName();
        // Shared for reading, and for deleting so that it can be renamed
        // while open; a second writer is refused.
        HANDLE file = ::CreateFileW((folder_ / tempName_).c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            fd_ = file;
            return {};
        }
        if (::GetLastError() != ERROR_FILE_EXISTS) break;
    }
    const DWORD code = ::GetLastError();
    tempName_.clear();
    return SystemErrorText(code);
}

std::string PendingFile::Publish(const std::string& name) {
    if (!fd_ || published_) return ErrnoText(EBADF);
    std::wstring wide;
    if (name.empty() || !WideName(name, wide)) return "the name " + name + " is not UTF-8";
    // Without MOVEFILE_REPLACE_EXISTING a taken name fails the move and that
    // file stays as it was; write-through returns once the name is on disk.
    if (!::MoveFileExW((folder_ / tempName_).c_str(), (folder_ / wide).c_str(),
                       MOVEFILE_WRITE_THROUGH))
        return SystemErrorText(::GetLastError());
    published_ = true;
    tempName_.clear();
    return {};
}

PendingFile::Handle PendingFile::Release() {
    Handle file = fd_;
    fd_ = nullptr;
    return file;
}

#else

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

#endif

}  // namespace mailvane
