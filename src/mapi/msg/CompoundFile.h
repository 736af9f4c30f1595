#pragma once
// A compound file ([MS-CFB] version 3: 512-byte sectors, 64-byte mini
// sectors) written in one pass, into memory or an open file. Streams are
// laid down as they are added; the mini stream, the directory and the
// allocation tables follow at the end, and the header last.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mapi/msg/CompoundRecords.h"

namespace mailvane::msg {

// Where a compound file's bytes go.
class Sink {
public:
    // Into `*bytes` (replaced once the file is complete).
    static Sink Memory(std::string* bytes) { return Sink(bytes, -1); }
    // Into an open file, from its start. The caller keeps `fd`, and syncs
    // and closes it; after a failure the file holds an unusable part.
    // REQUIRES: `fd` is open for writing, seekable and empty.
    static Sink File(int fd) { return Sink(nullptr, fd); }

    std::string* memory() const { return memory_; }
    int fd() const { return fd_; }

private:
    Sink(std::string* memory, int fd) : memory_(memory), fd_(fd) {}
    std::string* memory_;
    int fd_;
};

class CompoundWriter;

// One storage being written. Streams are written whole as they are added.
// A storage is complete when closed (by Close or its destructor); the root
// must be closed before the file is finished.
class Storage {
public:
    Storage(Storage&& other) noexcept;
    Storage& operator=(Storage&&) = delete;
    ~Storage();

    // Names are ASCII, at most 31 characters, and unique among siblings;
    // any other name fails the file.
    Storage AddStorage(const std::string& name);
    void AddStream(const std::string& name, std::string_view bytes);
    void Close();

private:
    friend class CompoundWriter;
    static constexpr uint32_t kClosed = kNoStream;
    Storage(CompoundWriter* file, uint32_t entry) : file_(file), entry_(entry) {}
    CompoundWriter* file_;
    uint32_t entry_;  // its directory entry, kClosed once closed or after a failure
};

// The file. The first failure sticks: everything after it does nothing, and
// Finish() reports it.
class CompoundWriter {
public:
    // `clsid` is the root's class id (16 bytes as stored); storages are
    // stamped with `modified` (a FILETIME).
    CompoundWriter(const Sink& sink, std::string_view clsid, uint64_t modified);
    CompoundWriter(const CompoundWriter&) = delete;
    CompoundWriter& operator=(const CompoundWriter&) = delete;

    // REQUIRES: called once, and the storage closed before Finish().
    Storage Root();
    // Room for a file of about `bytes` in a memory sink, so that it is not
    // copied as it grows; changes nothing in the file.
    void Reserve(uint64_t bytes);
    // Completes the file; returns the empty string or the first failure.
    std::string Finish();
    bool ok() const { return error_.empty(); }

private:
    friend class Storage;
    struct Node {
        DirectoryEntry entry;
        std::vector<uint32_t> children;  // entries; sorted by name when finishing
        // The name in capitals, the order siblings are sorted in (see
        // CompoundNameLess): compared as bytes, it sorts dozens of streams
        // that share a long prefix several times faster.
        std::array<char, kMaxNameLength> key{};
    };

    // A new entry under `parent`, or kNoStream after a failure.
    uint32_t AddEntry(uint32_t parent, const std::string& name, EntryType type);
    void AddStreamData(uint32_t entry, std::string_view bytes);
    // Lays `bytes` into whole sectors after the last one, chained in the
    // allocation table; returns the first sector.
    uint32_t PlaceSectors(std::string_view bytes);
    // Writes at the end of the file, past the header.
    void Emit(std::string_view bytes);
    void WriteAt(uint64_t offset, std::string_view bytes);
    // Sorts a storage's children into a balanced red-black tree; returns
    // its root entry.
    uint32_t BuildTree(std::vector<uint32_t>& sorted, size_t first, size_t count, int depth,
                       int redDepth);
    void LinkTrees();
    void Fail(const std::string& cause);

    Sink sink_;
    uint64_t modified_;
    std::string memory_;  // the file so far, for a memory sink
    uint64_t end_ = kSectorSize;
    std::vector<Node> nodes_;  // the directory; the root first
    std::vector<uint32_t> fat_;
    std::vector<uint32_t> miniFat_;
    std::string miniStream_;
    bool rootTaken_ = false;
    bool rootClosed_ = false;
    std::string error_;
};

}  // namespace mailvane::msg
