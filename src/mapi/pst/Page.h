#pragma once
// 512-byte pages: B-tree pages and the allocation maps ([MS-PST] 2.2.2.7).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mapi/pst/Format.h"

namespace mailvane::pst {

// Completes a page from its 496-byte body with the trailer (type twice,
// signature, CRC of the body, id). `bid` is the page's own id; map pages use
// their offset as id and carry no signature.
std::string BuildPage(PageType type, std::string_view body, Bid bid, uint64_t ib);

// An allocation map page (AMap, PMap, FMap, FPMap) at `ib` with `body`.
std::string BuildMapPage(PageType type, std::string_view body, uint64_t ib);

// Checks a page's trailer; returns the empty string or the fault.
std::string CheckPage(std::string_view page, PageType type, uint64_t ib);

// --- B-tree pages ([MS-PST] 2.2.2.7.7) ---

struct BtEntry {  // intermediate: first key below, and where that page is
    uint64_t key = 0;
    Bid bid = 0;
    uint64_t ib = 0;
};

struct BbtEntry {  // leaf of the block tree
    Bid bid = 0;
    uint64_t ib = 0;
    uint16_t cb = 0;
    uint16_t refs = 0;
    uint64_t Key() const { return bid; }
    bool operator==(const BbtEntry&) const = default;
};

struct NbtEntry {  // leaf of the node tree
    Nid nid = 0;
    Bid data = 0;
    Bid sub = 0;
    Nid parent = 0;
    uint64_t Key() const { return nid; }
    bool operator==(const NbtEntry&) const = default;
};

constexpr size_t kBtEntrySize = 24;
constexpr size_t kBbtEntrySize = 24;
constexpr size_t kNbtEntrySize = 32;
constexpr size_t kBtEntriesArea = 488;
constexpr size_t kMaxBtEntries = kBtEntriesArea / kBtEntrySize;    // 20
constexpr size_t kMaxBbtEntries = kBtEntriesArea / kBbtEntrySize;  // 20
constexpr size_t kMaxNbtEntries = kBtEntriesArea / kNbtEntrySize;  // 15

// Each returns the whole 512-byte page placed at `ib` with id `bid`.
std::string BuildBbtLeafPage(const std::vector<BbtEntry>& entries, Bid bid, uint64_t ib);
std::string BuildNbtLeafPage(const std::vector<NbtEntry>& entries, Bid bid, uint64_t ib);
std::string BuildBtIntermediatePage(PageType type, uint8_t level,
                                    const std::vector<BtEntry>& entries, Bid bid, uint64_t ib);

// Decoders, for reopening our own stores and for tests.
struct BtPageView {
    PageType type = kPageBbt;
    uint8_t level = 0;
    std::vector<BtEntry> children;  // level > 0
    std::vector<BbtEntry> blocks;   // BBT leaf
    std::vector<NbtEntry> nodes;    // NBT leaf
};
std::string DecodeBtPage(std::string_view page, uint64_t ib, BtPageView* out);

// --- Density list ([MS-PST] 2.2.2.7.4): the AMap pages with free space,
// most free first, at a fixed place in the reserved area ---

constexpr uint64_t kDListOffset = 0x4200;
constexpr size_t kMaxDListEntries = 476 / 4;  // 119
constexpr uint8_t kDListBackfillComplete = 0x01;

struct DListEntry {
    uint32_t page = 0;        // AMap index (section), 20 bits
    uint16_t free_slots = 0;  // free 64-byte slots there, 12 bits
    bool operator==(const DListEntry&) const = default;
};
struct DListView {
    bool backfillComplete = true;
    uint32_t current_page = 0;  // the AMap the next allocation comes from
    std::vector<DListEntry> entries;
};
// Entries past kMaxDListEntries are left out.
std::string BuildDListPage(const DListView& dlist, Bid bid);
std::string DecodeDListPage(std::string_view page, DListView* out);

}  // namespace mailvane::pst
