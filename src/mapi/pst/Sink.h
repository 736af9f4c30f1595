#pragma once
// Where a store's bytes go. The writer only ever writes at absolute offsets,
// syncs and grows the file; these three calls are all it needs, so tests can
// put a store in memory or make the medium fail after a number of bytes.
//
// Every call returns the empty string on success, otherwise the cause.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/OutputFile.h"

namespace mailvane::pst {

class Sink {
public:
    virtual ~Sink() = default;
    virtual std::string WriteAt(uint64_t offset, std::string_view data) = 0;
    // Makes the file at least `size` bytes long (new bytes read as zero).
    virtual std::string Extend(uint64_t size) = 0;
    virtual std::string Sync() = 0;
    // Reads back bytes written earlier; used when reopening a store.
    virtual std::string ReadAt(uint64_t offset, size_t length, std::string* out) = 0;
    virtual uint64_t Size() const = 0;
};

// A real file. Neither call follows a symbolic link at `path`: a link is
// refused, and nothing is written through it. On Windows the file is opened
// with wide-character paths, shared for reading only (a second writer is
// refused), and Sync() flushes the file's buffers to the disk.
class FileSink : public Sink {
public:
    // A new file with the permission bits `mode` (less the umask); refuses
    // any existing path. The file has no name until Publish(), so a writer
    // killed before its first checkpoint leaves nothing at `path`.
    static std::unique_ptr<FileSink> Create(const std::filesystem::path& path, unsigned mode,
                                            std::string* error);
    // Gives a created file its name; fails when the name was taken
    // meanwhile (that file is left as it was). Nothing to do for a file
    // that was opened.
    std::string Publish();
    // An existing regular file; refuses anything else (a device, a FIFO)
    // and a file another writer holds open. Opening changes nothing in it.
    static std::unique_ptr<FileSink> Open(const std::filesystem::path& path, std::string* error);
    ~FileSink() override;

    std::string WriteAt(uint64_t offset, std::string_view data) override;
    std::string Extend(uint64_t size) override;
    std::string Sync() override;
    std::string ReadAt(uint64_t offset, size_t length, std::string* out) override;
    uint64_t Size() const override { return size_; }

private:
    FileSink(PendingFile::Handle fd, uint64_t size) : fd_(fd), size_(size) {}
    PendingFile::Handle fd_;  // a descriptor, or a HANDLE on Windows
    uint64_t size_;
    std::unique_ptr<PendingFile> pending_;  // a created file not yet named
    std::string name_;                      // the name it is to get
};

// Sparse bytes in memory, in 64 KB chunks, so offsets past 4 GB cost only
// what is written there.
class MemorySink : public Sink {
public:
    std::string WriteAt(uint64_t offset, std::string_view data) override;
    std::string Extend(uint64_t size) override;
    std::string Sync() override { return {}; }
    std::string ReadAt(uint64_t offset, size_t length, std::string* out) override;
    uint64_t Size() const override { return size_; }

    // The whole content; only sensible for small stores.
    std::string Contents() const;
    // Bytes actually held (the sparse part costs nothing).
    size_t ResidentBytes() const { return chunks_.size() * kChunk; }

private:
    static constexpr uint64_t kChunk = 64 * 1024;
    std::map<uint64_t, std::string> chunks_;
    uint64_t size_ = 0;
};

// Passes writes through to another sink until `budget` bytes have gone, then
// fails every call, as a full disk, a pulled cable or a power cut would. The
// write that would cross the budget fails whole: a header (564 bytes) is
// taken to be written all or nothing, as a disk writes its sectors.
class FailingSink : public Sink {
public:
    // What the medium keeps of the writes it took when it fails.
    enum class Failure {
        kFull,      // every write it took, synced or not (the page cache survives)
        kPowerCut,  // only what was synced: writes since the last Sync() are lost
        // As a power cut, but the newest write since the last Sync() reached
        // the medium and the others did not, as a disk that writes its cache
        // in its own order may leave it.
        kPowerCutNewestLanded,
    };

    // With a power cut the medium also fails at the call after the one that
    // used the budget up exactly, so a cut can fall before a Sync().
    FailingSink(Sink* target, uint64_t budget, Failure failure = Failure::kFull)
        : target_(target), budget_(budget), failure_(failure) {}
    std::string WriteAt(uint64_t offset, std::string_view data) override;
    std::string Extend(uint64_t size) override;
    std::string Sync() override;
    std::string ReadAt(uint64_t offset, size_t length, std::string* out) override;
    uint64_t Size() const override { return std::max(target_->Size(), unsynced_size_); }
    bool failed() const { return failed_; }

private:
    // Takes `bytes` from the budget; false once the medium has failed.
    bool Spend(uint64_t bytes);

    Sink* target_;
    uint64_t budget_;
    Failure failure_;
    bool failed_ = false;
    // With a power cut, writes since the last Sync() wait here and reach the
    // target only when synced, so the target holds what a cut would leave.
    std::vector<std::pair<uint64_t, std::string>> unsynced_;
    uint64_t unsynced_size_ = 0;
};

}  // namespace mailvane::pst
