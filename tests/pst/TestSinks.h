#pragma once
// Sinks for the store tests: sparse memory, and a medium that fails after a
// budget of bytes as a full disk or a power cut would.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mapi/pst/Sink.h"

namespace mailvane::pst {

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
