#pragma once
// The in-memory side of the block tree and the node tree: every entry is held
// as a leaf page's worth of entries, so that a checkpoint writes only the leaf
// pages that changed since the last one (plus the small intermediate levels),
// never the whole tree. Pages already written stay where they are: a new
// checkpoint writes changed pages to new places, so the tree the last header
// reaches is never overwritten.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "mapi/pst/Header.h"
#include "mapi/pst/Page.h"

namespace mailvane::pst {

// Entry must have a `Key()` returning uint64_t.
template <typename Entry, size_t kMaxPerLeaf>
class BtreeIndex {
public:
    // Writes one 512-byte page of `level` with these entries and returns
    // where it went. Supplied by the writer that owns the file.
    using PageWriter = std::function<BlockRef(uint8_t level, const std::vector<Entry>* leaf,
                                              const std::vector<BtEntry>* branch)>;

    const Entry* Find(uint64_t key) const {
        if (leaves_.empty()) return nullptr;
        const Leaf& leaf = leaves_[LeafFor(key)];
        auto it = LowerBound(leaf.entries, key);
        return (it != leaf.entries.end() && it->Key() == key) ? &*it : nullptr;
    }

    void Upsert(const Entry& e) {
        if (leaves_.empty()) leaves_.push_back(Leaf{});
        size_t i = LeafFor(e.Key());
        Leaf& leaf = leaves_[i];
        auto it = LowerBound(leaf.entries, e.Key());
        leaf.dirty = true;
        if (it != leaf.entries.end() && it->Key() == e.Key()) {
            *it = e;
            return;
        }
        if (leaf.entries.size() < kMaxPerLeaf) {
            leaf.entries.insert(it, e);
            ++size_;
            return;
        }
        // Full. Appending past the end of the last leaf starts a new leaf, so
        // ids handed out in order fill pages completely; otherwise split.
        if (i + 1 == leaves_.size() && it == leaf.entries.end()) {
            Leaf next;
            next.entries.push_back(e);
            next.dirty = true;
            leaves_.push_back(std::move(next));
            ++size_;
            return;
        }
        Leaf right;
        right.dirty = true;
        right.entries.assign(leaf.entries.begin() + kMaxPerLeaf / 2, leaf.entries.end());
        leaf.entries.resize(kMaxPerLeaf / 2);
        leaves_.insert(leaves_.begin() + static_cast<std::ptrdiff_t>(i) + 1, std::move(right));
        Upsert(e);
    }

    bool Erase(uint64_t key) {
        if (leaves_.empty()) return false;
        size_t i = LeafFor(key);
        Leaf& leaf = leaves_[i];
        auto it = LowerBound(leaf.entries, key);
        if (it == leaf.entries.end() || it->Key() != key) return false;
        leaf.entries.erase(it);
        leaf.dirty = true;
        --size_;
        if (leaf.entries.empty() && leaves_.size() > 1)
            leaves_.erase(leaves_.begin() + static_cast<std::ptrdiff_t>(i));
        return true;
    }

    // Adds a leaf read back from the file, unchanged since (reopen).
    void AdoptLeaf(std::vector<Entry> entries, BlockRef where) {
        size_ += entries.size();
        leaves_.push_back(Leaf{std::move(entries), where, false});
    }

    // Writes changed leaves and all levels above; returns the root.
    BlockRef Flush(const PageWriter& write) {
        if (leaves_.empty()) leaves_.push_back(Leaf{});
        std::vector<BtEntry> level;
        for (Leaf& leaf : leaves_) {
            if (leaf.dirty || leaf.where.ib == 0) {
                leaf.where = write(0, &leaf.entries, nullptr);
                leaf.dirty = false;
            }
            uint64_t first = leaf.entries.empty() ? 0 : leaf.entries.front().Key();
            level.push_back({first, leaf.where.bid, leaf.where.ib});
        }
        uint8_t depth = 0;
        BlockRef root = leaves_.front().where;
        while (level.size() > 1) {
            ++depth;
            std::vector<BtEntry> up;
            for (size_t at = 0; at < level.size(); at += kMaxBtEntries) {
                std::vector<BtEntry> page(level.begin() + static_cast<std::ptrdiff_t>(at),
                                          level.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                              level.size(), at + kMaxBtEntries)));
                BlockRef where = write(depth, nullptr, &page);
                up.push_back({page.front().key, where.bid, where.ib});
            }
            level = std::move(up);
            root = {level.front().bid, level.front().ib};
        }
        return root;
    }

    size_t size() const { return size_; }

    template <typename Fn>
    void ForEach(Fn fn) const {
        for (const Leaf& leaf : leaves_)
            for (const Entry& e : leaf.entries) fn(e);
    }

private:
    struct Leaf {
        std::vector<Entry> entries;
        BlockRef where;
        bool dirty = true;
    };

    static typename std::vector<Entry>::const_iterator LowerBound(const std::vector<Entry>& v,
                                                                  uint64_t key) {
        return std::lower_bound(v.begin(), v.end(), key,
                                [](const Entry& e, uint64_t k) { return e.Key() < k; });
    }
    static typename std::vector<Entry>::iterator LowerBound(std::vector<Entry>& v, uint64_t key) {
        return std::lower_bound(v.begin(), v.end(), key,
                                [](const Entry& e, uint64_t k) { return e.Key() < k; });
    }

    // The last leaf whose first key is <= key (or the first leaf).
    size_t LeafFor(uint64_t key) const {
        size_t lo = 0, hi = leaves_.size();
        while (hi - lo > 1) {
            size_t mid = (lo + hi) / 2;
            if (!leaves_[mid].entries.empty() && leaves_[mid].entries.front().Key() <= key)
                lo = mid;
            else
                hi = mid;
        }
        return lo;
    }

    std::vector<Leaf> leaves_;
    size_t size_ = 0;
};

}  // namespace mailvane::pst
