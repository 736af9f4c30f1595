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
// gives ELOOP for one, O_EXCL EEXIST), otherwise the system's words.
std::string OpenFailure(const std::filesystem::path& path, int err) {
    struct stat st {};
    if ((err == ELOOP || err == EEXIST) && ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        return kLinkRefused;
    return std::strerror(err);
}

}  // namespace

std::unique_ptr<FileSink> FileSink::Create(const std::filesystem::path& path, unsigned mode,
                                           std::string* error) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        *error = OpenFailure(path, EEXIST);
        return nullptr;
    }
    const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
    auto pending = std::make_unique<PendingFile>();
    if (std::string cause = pending->Create(folder, mode); !cause.empty()) {
        *error = cause;
        return nullptr;
    }
    ::flock(pending->fd(), LOCK_EX | LOCK_NB);  // new and ours alone: cannot be held elsewhere
    std::unique_ptr<FileSink> sink(new FileSink(pending->fd(), 0));
    sink->pending_ = std::move(pending);
    sink->name_ = path.filename().string();
    return sink;
}

std::unique_ptr<FileSink> FileSink::Open(const std::filesystem::path& path, std::string* error) {
    // Non-blocking, so that a FIFO put there cannot hang the open; it is
    // refused just below with anything else that is not a regular file.
    int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *error = OpenFailure(path, errno);
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        *error = Errno();
        ::close(fd);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = "it is not a regular file";
        ::close(fd);
        return nullptr;
    }
    // One writer per file, across processes too (an advisory lock).
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *error = "in use by another program";
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

std::string MemorySink::WriteAt(uint64_t offset, std::string_view data) {
    size_ = std::max(size_, offset + data.size());
    while (!data.empty()) {
        uint64_t base = offset / kChunk * kChunk;
        size_t at = static_cast<size_t>(offset - base);
        size_t n = std::min(data.size(), static_cast<size_t>(kChunk) - at);
        std::string& chunk = chunks_[base];
        if (chunk.empty()) chunk.assign(kChunk, '\0');
        std::memcpy(chunk.data() + at, data.data(), n);
        data.remove_prefix(n);
        offset += n;
    }
    return {};
}

std::string MemorySink::Extend(uint64_t size) {
    size_ = std::max(size_, size);
    return {};
}

std::string MemorySink::ReadAt(uint64_t offset, size_t length, std::string* out) {
    if (offset + length > size_) return "unexpected end of file";
    out->assign(length, '\0');
    size_t done = 0;
    while (done < length) {
        uint64_t pos = offset + done;
        uint64_t base = pos / kChunk * kChunk;
        size_t at = static_cast<size_t>(pos - base);
        size_t n = std::min(length - done, static_cast<size_t>(kChunk) - at);
        auto it = chunks_.find(base);
        if (it != chunks_.end()) std::memcpy(out->data() + done, it->second.data() + at, n);
        done += n;
    }
    return {};
}

std::string MemorySink::Contents() const {
    std::string all(size_, '\0');
    for (const auto& [base, chunk] : chunks_) {
        if (base >= size_) continue;
        size_t n = std::min(static_cast<uint64_t>(chunk.size()), size_ - base);
        std::memcpy(all.data() + base, chunk.data(), n);
    }
    return all;
}

bool FailingSink::Spend(uint64_t bytes) {
    if (failed_) return false;
    const bool cut = failure_ != Failure::kFull && budget_ == 0;
    if (bytes <= budget_ && !cut) {
        budget_ -= bytes;
        return true;
    }
    failed_ = true;
    if (failure_ == Failure::kPowerCutNewestLanded && !unsynced_.empty())
        target_->WriteAt(unsynced_.back().first, unsynced_.back().second);
    unsynced_.clear();
    unsynced_size_ = 0;
    return false;
}

std::string FailingSink::WriteAt(uint64_t offset, std::string_view data) {
    if (!Spend(data.size())) return "medium failed";
    if (failure_ == Failure::kFull) return target_->WriteAt(offset, data);
    unsynced_.emplace_back(offset, std::string(data));
    unsynced_size_ = std::max(unsynced_size_, offset + data.size());
    return {};
}

std::string FailingSink::Extend(uint64_t size) {
    if (!Spend(0)) return "medium failed";
    if (failure_ == Failure::kFull) return target_->Extend(size);
    unsynced_size_ = std::max(unsynced_size_, size);
    return {};
}

std::string FailingSink::Sync() {
    if (!Spend(0)) return "medium failed";
    for (const auto& [offset, data] : unsynced_) {
        if (std::string cause = target_->WriteAt(offset, data); !cause.empty()) return cause;
    }
    unsynced_.clear();
    if (std::string cause = target_->Extend(unsynced_size_); !cause.empty()) return cause;
    return target_->Sync();
}

std::string FailingSink::ReadAt(uint64_t offset, size_t length, std::string* out) {
    if (unsynced_.empty() && offset + length <= target_->Size())
        return target_->ReadAt(offset, length, out);
    // Bytes not yet synced read as written, over what the target holds.
    if (offset + length > Size()) return "unexpected end of file";
    const uint64_t held = std::min(target_->Size(), offset + length);
    std::string below;
    if (held > offset) {
        if (std::string cause = target_->ReadAt(offset, held - offset, &below); !cause.empty())
            return cause;
    }
    below.resize(length, '\0');
    for (const auto& [at, data] : unsynced_) {
        const uint64_t from = std::max(at, offset);
        const uint64_t to = std::min(at + data.size(), offset + length);
        if (from < to) below.replace(from - offset, to - from, data, from - at, to - from);
    }
    *out = std::move(below);
    return {};
}

}  // namespace mailvane::pst
