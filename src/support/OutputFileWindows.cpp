// The Windows half of the output files (see OutputFile.h).
#include "support/OutputFile.h"

#include <process.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "support/OutputFileShared.h"

namespace mailvane {

namespace fs = std::filesystem;

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

}  // namespace mailvane
