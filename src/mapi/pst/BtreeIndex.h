#pragma once
// The in-memory side of the block tree and the node tree: entries are grouped
// as a leaf page's worth each, so that a checkpoint writes only the leaf
// pages that changed since the last one and the pages above those, never the
// whole tree. Pages already written stay where they are: a new checkpoint
// writes changed pages to new places, so the tree the last header reaches is
// never overwritten.
//
// A leaf written and unchanged since is immutable on disk, so after each
// checkpoint only the last few leaves (where new ids go) keep their entries
// in memory; the others keep their first key and place, and are read back
// when touched. Memory is a few dozen bytes a leaf, not a copy of the tree.
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
    // Reads back the entries of a leaf page written earlier; false when it
    // cannot (the owner records why).
    using PageReader = std::function<bool(const BlockRef& where, std::vector<Entry>* entries)>;

    // Told of every page the tree no longer uses: replaced by a new copy,
    // emptied, or above the leaves of a tree read back from the file.
    using PageFreer = std::function<void(const BlockRef& where)>;

    // Without a reader every leaf stays in memory.
    void SetReader(PageReader read) { read_ = std::move(read); }
    void SetFreer(PageFreer free) { free_ = std::move(free); }

    // The entry, or null; valid until the next call that changes the index.
    const Entry* Find(uint64_t key) const {
        if (leaves_.empty()) return nullptr;
        Leaf& leaf = leaves_[LeafFor(key)];
        if (!Load(leaf)) return nullptr;
        auto it = LowerBound(leaf.entries, key);
        return (it != leaf.entries.end() && it->Key() == key) ? &*it : nullptr;
    }

    void Upsert(const Entry& e) {
        if (leaves_.empty()) {
            Shifted(0);
            leaves_.push_back(Leaf{});
        }
        size_t i = LeafFor(e.Key());
        Leaf& leaf = leaves_[i];
        if (!Load(leaf)) return;
        auto it = LowerBound(leaf.entries, e.Key());
        leaf.dirty = true;
        if (it != leaf.entries.end() && it->Key() == e.Key()) {
            *it = e;
            return;
        }
        if (leaf.entries.size() < kMaxPerLeaf) {
            leaf.entries.insert(it, e);
            leaf.first = leaf.entries.front().Key();
            ++size_;
            return;
        }
        // Full. Appending past the end of the last leaf starts a new leaf, so
        // ids handed out in order fill pages completely; otherwise split.
        if (i + 1 == leaves_.size() && it == leaf.entries.end()) {
            Leaf next;
            next.entries.push_back(e);
            next.first = e.Key();
            next.dirty = true;
            Shifted(leaves_.size());
            leaves_.push_back(std::move(next));
            ++size_;
            return;
        }
        Leaf right;
        right.dirty = true;
        right.entries.assign(leaf.entries.begin() + kMaxPerLeaf / 2, leaf.entries.end());
        right.first = right.entries.front().Key();
        leaf.entries.resize(kMaxPerLeaf / 2);
        Shifted(i + 1);
        leaves_.insert(leaves_.begin() + static_cast<std::ptrdiff_t>(i) + 1, std::move(right));
        Upsert(e);
    }

    bool Erase(uint64_t key) {
        if (leaves_.empty()) return false;
        size_t i = LeafFor(key);
        Leaf& leaf = leaves_[i];
        if (!Load(leaf)) return false;
        auto it = LowerBound(leaf.entries, key);
        if (it == leaf.entries.end() || it->Key() != key) return false;
        leaf.entries.erase(it);
        leaf.dirty = true;
        --size_;
        if (!leaf.entries.empty()) leaf.first = leaf.entries.front().Key();
        if (leaf.entries.empty() && leaves_.size() > 1) {
            Shifted(i);
            Free(leaf.where);
            leaves_.erase(leaves_.begin() + static_cast<std::ptrdiff_t>(i));
        }
        return true;
    }

    // Adds a leaf read back from the file, unchanged since (reopen); its
    // entries are read again when needed.
    void AdoptLeaf(const std::vector<Entry>& entries, BlockRef where) {
        size_ += entries.size();
        Leaf leaf;
        leaf.where = where;
        leaf.first = entries.empty() ? 0 : entries.front().Key();
        leaf.dirty = false;
        Shifted(leaves_.size());
        if (read_)
            leaf.loaded = false;
        else
            leaf.entries = entries;
        leaves_.push_back(std::move(leaf));
    }

    // A page above the leaves of a tree read back from the file: the first
    // Flush() writes the levels above the leaves afresh, so it is let go then.
    void AdoptUpperPage(BlockRef where) { adoptedUpper_.push_back(where); }

    // Writes changed leaves, and the pages above them whose children
    // changed or moved; returns the root.
    BlockRef Flush(const PageWriter& write) {
        if (leaves_.empty()) {
            Shifted(0);
            leaves_.push_back(Leaf{});
        }
        // Level 1 is built a group of leaves at a time, so no list of every
        // leaf is made.
        std::vector<Child> level;
        for (size_t at = 0; at < leaves_.size(); at += kMaxBtEntries) {
            size_t end = std::min(leaves_.size(), at + kMaxBtEntries);
            Child group;
            group.changed = end > shiftedFrom_;
            for (size_t i = at; i < end; ++i) {
                Leaf& leaf = leaves_[i];
                if ((leaf.dirty || leaf.where.ib == 0) && !Unchanged(leaf)) {
                    BlockRef old = leaf.where;
                    leaf.where = write(0, &leaf.entries, nullptr);
                    Free(old);
                    group.changed = true;
                }
                leaf.dirty = false;
            }
            group.entry = {leaves_[at].first, leaves_[at].where.bid, leaves_[at].where.ib};
            group.firstChild = at;
            group.children = end - at;
            level.push_back(group);
        }
        shiftedFrom_ = SIZE_MAX;
        for (const BlockRef& where : adoptedUpper_) Free(where);
        adoptedUpper_.clear();
        // Every leaf is now clean on disk; keep the right edge only.
        if (read_) {
            for (size_t i = 0; i + kLoadedEdge < leaves_.size(); ++i) {
                leaves_[i].loaded = false;
                std::vector<Entry>().swap(leaves_[i].entries);
            }
        }
        if (leaves_.size() == 1) {
            FreeLevels(0);
            return leaves_.front().where;
        }
        // `level` holds the pages to be of level `depth`: write those whose
        // children changed, reuse the rest, and go up until one is left.
        for (uint8_t depth = 1;; ++depth) {
            if (upper_.size() < depth) upper_.emplace_back();
            std::vector<Upper>& was = upper_[depth - 1];
            std::vector<Child> up;
            for (size_t g = 0; g < level.size(); ++g) {
                Child& page = level[g];
                bool same = !page.changed && g < was.size() && was[g].children == page.children;
                if (same) {
                    page.entry.bid = was[g].where.bid;
                    page.entry.ib = was[g].where.ib;
                } else {
                    std::vector<BtEntry> entries;
                    if (depth == 1) {
                        for (size_t i = page.firstChild; i < page.firstChild + page.children; ++i)
                            entries.push_back(
                                {leaves_[i].first, leaves_[i].where.bid, leaves_[i].where.ib});
                    } else {
                        for (size_t i = page.firstChild; i < page.firstChild + page.children; ++i)
                            entries.push_back(below_[i]);
                    }
                    BlockRef where = write(depth, nullptr, &entries);
                    page.entry.bid = where.bid;
                    page.entry.ib = where.ib;
                    if (g < was.size()) Free(was[g].where);
                }
                if (g % kMaxBtEntries == 0) {
                    Child parent;
                    parent.firstChild = g;
                    up.push_back(parent);
                }
                Child& parent = up.back();
                if (parent.children == 0) parent.entry.key = page.entry.key;
                ++parent.children;
                parent.changed = parent.changed || !same;
            }
            for (size_t g = level.size(); g < was.size(); ++g) Free(was[g].where);
            was.assign(level.size(), Upper{});
            below_.clear();
            for (size_t g = 0; g < level.size(); ++g) {
                was[g] = {{level[g].entry.bid, level[g].entry.ib}, level[g].children};
                below_.push_back(level[g].entry);
            }
            if (level.size() == 1) {
                FreeLevels(depth);
                below_.clear();
                return {level.front().entry.bid, level.front().entry.ib};
            }
            level = std::move(up);
        }
    }

    size_t size() const { return size_; }

    // Visits every entry in key order, reading unloaded leaves one at a time
    // without keeping them. Stops early if a leaf cannot be read.
    template <typename Fn>
    void ForEach(Fn fn) const {
        std::vector<Entry> scratch;
        for (const Leaf& leaf : leaves_) {
            const std::vector<Entry>* entries = &leaf.entries;
            if (!leaf.loaded) {
                scratch.clear();
                if (!read_ || !read_(leaf.where, &scratch)) return;
                entries = &scratch;
            }
            for (const Entry& e : *entries) fn(e);
        }
    }

private:
    // Leaves at the right edge kept loaded across checkpoints: new block
    // and message ids land there.
    static constexpr size_t kLoadedEdge = 4;

    // A page to be of the level being built: its entry in the level above,
    // which children (leaves or pages of the level below) it holds, and
    // whether any of them changed or moved since the last Flush.
    struct Child {
        BtEntry entry;
        size_t firstChild = 0;
        size_t children = 0;
        bool changed = false;
    };
    // A page above the leaves as last written: where, and how many children.
    struct Upper {
        BlockRef where;
        size_t children = 0;
    };

    void Free(const BlockRef& where) {
        if (where.ib != 0 && free_) free_(where);
    }
    // Drops the page levels from `depth` up (a tree that got lower).
    void FreeLevels(size_t depth) {
        for (size_t d = depth; d < upper_.size(); ++d)
            for (const Upper& page : upper_[d]) Free(page.where);
        upper_.resize(std::min(depth, upper_.size()));
    }

    // Leaves from index `at` on may sit under another level-1 page than when
    // last written.
    void Shifted(size_t at) { shiftedFrom_ = std::min(shiftedFrom_, at); }

    struct Leaf {
        std::vector<Entry> entries;  // empty while not loaded
        BlockRef where;
        uint64_t first = 0;  // first key, kept while not loaded
        bool dirty = true;
        bool loaded = true;
    };

    // Loading fills a cache and changes no entry, so it is allowed on a
    // const index.
    bool Load(Leaf& leaf) const {
        if (leaf.loaded) return true;
        std::vector<Entry> entries;
        if (!read_ || !read_(leaf.where, &entries)) return false;
        leaf.entries = std::move(entries);
        leaf.loaded = true;
        return true;
    }

    // A dirty leaf whose entries equal the page it was last written to (a
    // count raised and lowered again, as when a table node is rewritten
    // reusing its blocks) need not be written again.
    bool Unchanged(const Leaf& leaf) const {
        if (leaf.where.ib == 0 || !read_) return false;
        std::vector<Entry> before;
        return read_(leaf.where, &before) && before == leaf.entries;
    }

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
            if (leaves_[mid].first <= key)
                lo = mid;
            else
                hi = mid;
        }
        return lo;
    }

    mutable std::vector<Leaf> leaves_;
    size_t shiftedFrom_ = 0;
    std::vector<std::vector<Upper>> upper_;  // from level 1 up
    std::vector<BtEntry> below_;             // while flushing: the level just written
    size_t size_ = 0;
    PageReader read_;
    PageFreer free_;
    std::vector<BlockRef> adoptedUpper_;
};

}  // namespace mailvane::pst
