#pragma once
// Heap-on-node builder ([MS-PST] 2.3.1): allocations of up to 3,580 bytes
// packed into pages of at most 8,176 bytes, each page ending in its page
// map. The pages become the node's data blocks one for one.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mapi/pst/Format.h"

namespace mailvane::pst {

enum HeapClient : uint8_t {
    kHeapTableContext = 0x7C,
    kHeapBth = 0xB5,
    kHeapPropertyContext = 0xBC,
};

constexpr size_t kMaxHeapAllocation = 3580;
// A heap id names one of 65,536 pages: a heap past them (a table of very
// many rows with long values) cannot be written.
constexpr size_t kMaxHeapPages = size_t{1} << 16;
// bSig of the first page's header (HNHDR).
constexpr uint8_t kHeapSignature = 0xEC;

// A heap id: 16-bit page, 11-bit index from 1, and node type 0 in the low
// five bits ([MS-PST] 2.3.1.1).
constexpr uint32_t kHidPageShift = 16;
constexpr uint32_t kHidIndexMask = 0x7FF;
constexpr Hid MakeHid(uint32_t page, uint32_t index) {
    return (page << kHidPageShift) | (index << kNidTypeBits);
}
constexpr uint32_t HidPageOf(Hid hid) {
    return hid >> kHidPageShift;
}
constexpr uint32_t HidIndexOf(Hid hid) {
    return (hid >> kNidTypeBits) & kHidIndexMask;
}
// A value reference in a context is a heap id when its type bits are 0,
// otherwise the id of a subnode.
constexpr bool IsHid(uint32_t ref) {
    return NidTypeOf(ref) == kNidTypeHid;
}

class HeapBuilder {
public:
    explicit HeapBuilder(HeapClient client) : client_(client) {}

    // Stores `bytes` (at most kMaxHeapAllocation) and returns its id.
    Hid Allocate(std::string_view bytes);
    // Replaces the bytes of an earlier allocation with bytes of equal size.
    void Overwrite(Hid hid, std::string_view bytes);
    void SetUserRoot(Hid hid) { userRoot_ = hid; }

    // The node data: every page but the last is padded to a full block so
    // that the data splits into blocks exactly at page boundaries.
    std::string Finish() const;
    // The pages that node data of `bytes` bytes made by Finish() holds.
    static size_t PagesIn(size_t bytes) { return (bytes + kMaxBlockData - 1) / kMaxBlockData; }
    // Whether an allocation of `extra` bytes joins page `index`, which holds
    // `items` allocations of `bytes` bytes in all, or starts a new page: the
    // rule Allocate() follows, for callers that size a heap ahead.
    static bool Fits(size_t index, size_t items, size_t bytes, size_t extra);
    // Whether page `index` lists the fill levels of later pages (the first
    // page and every bitmap page do), and so is final only once they are.
    static bool ListsLaterPages(size_t index);

    // Page by page, for heaps that grow across several builds: the bytes of
    // one page (padded to a full block unless it is the last), the count of
    // pages, and forgetting a page's items once it is written for good.
    std::string PageBlock(size_t index) const;
    size_t pageCount() const { return pages_.size(); }
    void DropPage(size_t index) {
        size_t used = pages_[index].used();
        // Swapped out rather than assigned: assigning an empty string keeps
        // the old buffer, which would hold every dropped page in memory.
        Page empty;
        std::swap(pages_[index], empty);
        pages_[index].droppedBytes = used;
    }

private:
    struct Page {
        std::string items;           // the allocations, back to back
        std::vector<uint16_t> ends;  // where each allocation ends in `items`
        size_t droppedBytes = 0;     // what a dropped page held, for fill levels
        size_t count() const { return ends.size(); }
        size_t used() const { return items.size() + 2 * ends.size() + droppedBytes; }
    };
    static size_t HeaderSize(size_t pageIndex);
    // At least `room` bytes are reserved for the page's bytes.
    std::string BuildPage(size_t index, const Page& page, size_t room = 0) const;

    HeapClient client_;
    Hid userRoot_ = 0;
    std::vector<Page> pages_;
};

// Reads a heap back: item `hid` of heap data `data`. For tests and reopen.
// Returns the empty string, or why `hid` names nothing in `data`.
std::string HeapLookup(std::string_view data, Hid hid, std::string* out);
// The client signature and user root of heap data, or why it is no heap.
std::string HeapHeader(std::string_view data, uint8_t* client, Hid* userRoot);

}  // namespace mailvane::pst
