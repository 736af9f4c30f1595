// FileSink on Windows: the same promises as on POSIX (see Sink.h), kept
// with the calls Windows has for them.
#ifdef _WIN32

#include <windows.h>

#include <algorithm>
#include <limits>

#include "mapi/pst/Sink.h"

namespace mailvane::pst {
namespace {

constexpr const char* kLinkRefused = "it is a symbolic link; nothing is written through it";

// A symbolic link and a junction are both reparse points; either could send
// the writes somewhere the path does not say.
bool IsLink(const std::filesystem::path& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

OVERLAPPED At(uint64_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

// ReadFile and WriteFile take at most a DWORD's worth at a time.
DWORD Piece(size_t left) {
    return static_cast<DWORD>(std::min<size_t>(left, std::numeric_limits<DWORD>::max() / 2));
}

}  // namespace

std::unique_ptr<FileSink> FileSink::Create(const std::filesystem::path& path, unsigned mode,
                                           Status* error) {
    if (::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        *error = Status(Status::Kind::kNotOurs,
                        IsLink(path) ? kLinkRefused : SystemErrorText(ERROR_FILE_EXISTS));
        return nullptr;
    }
    const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
    auto pending = std::make_unique<PendingFile>();
    if (std::string cause = pending->Create(folder, mode); !cause.empty()) {
        *error = Status(Status::Kind::kMedium, cause);
        return nullptr;
    }
    std::unique_ptr<FileSink> sink(new FileSink(pending->fd(), 0));
    sink->pending_ = std::move(pending);
    const std::u8string name = path.filename().u8string();
    sink->name_.assign(name.begin(), name.end());
    return sink;
}

std::unique_ptr<FileSink> FileSink::Open(const std::filesystem::path& path, Status* error) {
    // Shared for reading only: a second writer fails to open the file, in
    // this process or any other, for as long as this one holds it.
    HANDLE file =
        ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        // Whatever is there and is no file for us is left alone; anything
        // else is the medium's failure.
        if (code == ERROR_SHARING_VIOLATION)
            *error = Status(Status::Kind::kNotOurs, "in use by another program");
        else if (IsLink(path))
            *error = Status(Status::Kind::kNotOurs, kLinkRefused);
        else if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            *error = Status(Status::Kind::kNotOurs, "it is not a regular file");
        else
            *error = Status(Status::Kind::kMedium, SystemErrorText(code));
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    LARGE_INTEGER size{};
    if (!::GetFileInformationByHandle(file, &info) || !::GetFileSizeEx(file, &size)) {
        *error = Status(Status::Kind::kMedium, SystemErrorText(::GetLastError()));
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        *error = Status(Status::Kind::kNotOurs, kLinkRefused);
    } else if (::GetFileType(file) != FILE_TYPE_DISK ||
               (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        // A device such as NUL or COM1.
        *error = Status(Status::Kind::kNotOurs, "it is not a regular file");
    } else {
        return std::unique_ptr<FileSink>(new FileSink(file, static_cast<uint64_t>(size.QuadPart)));
    }
    ::CloseHandle(file);
    return nullptr;
}

FileSink::~FileSink() {
    // A file never named is closed and removed with its PendingFile.
    if (!pending_) ::CloseHandle(fd_);
}

std::string FileSink::WriteAt(uint64_t offset, std::string_view data) {
    while (!data.empty()) {
        OVERLAPPED at = At(offset);
        DWORD written = 0;
        if (!::WriteFile(fd_, data.data(), Piece(data.size()), &written, &at))
            return SystemErrorText(::GetLastError());
        offset += written;
        data.remove_prefix(written);
    }
    size_ = std::max(size_, offset);
    return {};
}

std::string FileSink::Extend(uint64_t size) {
    if (size <= size_) return {};
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(size);
    if (!::SetFilePointerEx(fd_, end, nullptr, FILE_BEGIN) || !::SetEndOfFile(fd_))
        return SystemErrorText(::GetLastError());
    size_ = size;
    return {};
}

std::string FileSink::Sync() {
    return ::FlushFileBuffers(fd_) ? std::string() : SystemErrorText(::GetLastError());
}

std::string FileSink::ReadAt(uint64_t offset, size_t length, std::string* out) {
    out->assign(length, '\0');
    size_t done = 0;
    while (done < length) {
        OVERLAPPED at = At(offset + done);
        DWORD read = 0;
        if (!::ReadFile(fd_, out->data() + done, Piece(length - done), &read, &at)) {
            const DWORD code = ::GetLastError();
            if (code == ERROR_HANDLE_EOF) return "unexpected end of file";
            return SystemErrorText(code);
        }
        if (read == 0) return "unexpected end of file";
        done += read;
    }
    return {};
}

}  // namespace mailvane::pst

#endif  // _WIN32
