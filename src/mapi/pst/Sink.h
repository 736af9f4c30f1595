#pragma once
// Where a store's bytes go. The writer only ever writes at absolute offsets,
// syncs and grows the file; these three calls are all it needs, so tests can
// put a store in memory or make the medium fail after a number of bytes.
//
// Every call returns the empty string on success, otherwise the cause.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "mapi/pst/Status.h"
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
    // A file that is there is refused as kNotOurs (left as it was); a
    // failure to make one is kMedium.
    static std::unique_ptr<FileSink> Create(const std::filesystem::path& path, unsigned mode,
                                            Status* error);
    // Gives a created file its name; fails when the name was taken
    // meanwhile (that file is left as it was). Nothing to do for a file
    // that was opened.
    std::string Publish();
    // An existing regular file; refuses anything else (a device, a FIFO)
    // and a file another writer holds open (kNotOurs: left as it was); a
    // file that cannot be opened is kMedium. Opening changes nothing in it.
    static std::unique_ptr<FileSink> Open(const std::filesystem::path& path, Status* error);
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

}  // namespace mailvane::pst
