#include "TestSinks.h"

#include <algorithm>
#include <cstring>

namespace mailvane::pst {

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
