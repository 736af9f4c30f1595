#pragma once
// Where a store's bytes go. The writer only ever writes at absolute offsets,
// syncs and grows the file; these three calls are all it needs, so tests can
// put a store in memory or make the medium fail after a number of bytes.
//
// Every call returns the empty string on success, otherwise the cause.
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>

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
// refused, and nothing is written through it.
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
    FileSink(int fd, uint64_t size) : fd_(fd), size_(size) {}
    int fd_;
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
// fails every call, as a full disk or a pulled cable would. The write that
// would cross the budget fails whole: a header (564 bytes) is taken to be
// written all or nothing, as a disk writes its sectors.
class FailingSink : public Sink {
public:
    FailingSink(Sink* target, uint64_t budget) : target_(target), budget_(budget) {}
    std::string WriteAt(uint64_t offset, std::string_view data) override;
    std::string Extend(uint64_t size) override;
    std::string Sync() override;
    std::string ReadAt(uint64_t offset, size_t length, std::string* out) override {
        return target_->ReadAt(offset, length, out);
    }
    uint64_t Size() const override { return target_->Size(); }
    bool failed() const { return failed_; }

private:
    Sink* target_;
    uint64_t budget_;
    bool failed_ = false;
};

}  // namespace mailvane::pst
