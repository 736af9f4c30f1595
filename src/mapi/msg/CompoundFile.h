#pragma once
// A compound file ([MS-CFB]) written through libgsf: storages holding
// streams and storages, into memory or an open file. No gsf type shows here.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

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

// One storage being written. Streams are written whole as they are added;
// a storage is complete when closed (by Close or its destructor), and must
// be closed before the storage that holds it.
class Storage {
public:
    Storage(Storage&& other) noexcept;
    Storage& operator=(Storage&&) = delete;
    ~Storage();

    Storage AddStorage(const std::string& name);
    void AddStream(const std::string& name, std::string_view bytes);
    void Close();

private:
    friend class CompoundWriter;
    Storage(CompoundWriter* file, void* output) : file_(file), output_(output) {}
    CompoundWriter* file_;
    void* output_;  // GsfOutput*, null once closed or after a failure
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
    ~CompoundWriter();

    // REQUIRES: called once, and the storage closed before Finish().
    Storage Root();
    // Completes the file; returns the empty string or the first failure.
    std::string Finish();
    bool ok() const { return error_.empty(); }

private:
    friend class Storage;
    void Fail(void* output, const std::string& what);

    Sink sink_;
    void* root_ = nullptr;      // GsfOutfile*
    void* output_ = nullptr;    // GsfOutput*: the memory or file sink
    void* modified_ = nullptr;  // GDateTime*
    std::string error_;
};

}  // namespace mailvane::msg
