#include "mapi/pst/Page.h"

#include <algorithm>

#include "mapi/format/Coding.h"
#include "mapi/format/Crc.h"

namespace mailvane::pst {

using namespace format;
namespace {

// Map pages carry their offset as id and no signature; the density list,
// like a B-tree page, has a page id and a signature ([MS-PST] 2.2.2.7.1).
bool IsMapPage(PageType type) {
    return type == kPageAMap || type == kPagePMap || type == kPageFMap || type == kPageFPMap;
}

// A density list entry: the AMap's index in the low 20 bits, its free
// slots in the high 12.
constexpr uint32_t kDListFreeShift = 20;
constexpr uint32_t kDListPageMask = (1u << kDListFreeShift) - 1;
constexpr uint16_t kDListMaxFreeSlots = 0xFFF;

// After the entries: cEnt, cEntMax, cbEnt, cLevel, then padding.
constexpr size_t kBtCountAt = 0, kBtMaxAt = 1, kBtSizeAt = 2, kBtLevelAt = 3;

std::string BtBody(const std::string& entries, uint8_t count, uint8_t max, uint8_t size,
                   uint8_t level) {
    std::string body = entries;
    body.resize(kBtEntriesArea, '\0');
    PutFixed8(&body, count);
    PutFixed8(&body, max);
    PutFixed8(&body, size);
    PutFixed8(&body, level);
    PutFixed32(&body, 0);
    return body;
}

}  // namespace

std::string BuildPage(PageType type, std::string_view body, Bid bid, uint64_t ib) {
    std::string page(body.substr(0, kPageBodySize));
    page.resize(kPageBodySize, '\0');
    PutFixed8(&page, type);
    PutFixed8(&page, type);
    PutFixed16(&page, IsMapPage(type) ? 0 : BlockSignature(ib, bid));
    PutFixed32(&page, Crc32(std::string_view(page.data(), kPageBodySize)));
    PutFixed64(&page, bid);
    return page;
}

std::string BuildMapPage(PageType type, std::string_view body, uint64_t ib) {
    return BuildPage(type, body, ib, ib);
}

std::string CheckPage(std::string_view page, PageType type, uint64_t ib) {
    if (page.size() != kPageSize) return "short page";
    const char* t = page.data() + kPageBodySize;
    if (static_cast<uint8_t>(t[0]) != type || static_cast<uint8_t>(t[1]) != type)
        return "wrong page type";
    if (!kCheckIntegrity) return {};
    if (DecodeFixed32(t + 4) != Crc32(page.substr(0, kPageBodySize)))
        return "page checksum mismatch";
    Bid bid = DecodeFixed64(t + 8);
    uint16_t sig = IsMapPage(type) ? 0 : BlockSignature(ib, bid);
    if (DecodeFixed16(t + 2) != sig) return "page signature mismatch";
    return {};
}

std::string BuildBbtLeafPage(const std::vector<BbtEntry>& entries, Bid bid, uint64_t ib) {
    std::string e;
    for (const auto& x : entries) {
        PutFixed64(&e, x.bid);
        PutFixed64(&e, x.ib);
        PutFixed16(&e, x.cb);
        PutFixed16(&e, x.refs);
        PutFixed32(&e, 0);
    }
    return BuildPage(
        kPageBbt, BtBody(e, static_cast<uint8_t>(entries.size()), kMaxBbtEntries, kBbtEntrySize, 0),
        bid, ib);
}

std::string BuildNbtLeafPage(const std::vector<NbtEntry>& entries, Bid bid, uint64_t ib) {
    std::string e;
    for (const auto& x : entries) {
        PutFixed64(&e, x.nid);
        PutFixed64(&e, x.data);
        PutFixed64(&e, x.sub);
        PutFixed32(&e, x.parent);
        PutFixed32(&e, 0);
    }
    return BuildPage(
        kPageNbt, BtBody(e, static_cast<uint8_t>(entries.size()), kMaxNbtEntries, kNbtEntrySize, 0),
        bid, ib);
}

std::string BuildBtIntermediatePage(PageType type, uint8_t level,
                                    const std::vector<BtEntry>& entries, Bid bid, uint64_t ib) {
    std::string e;
    for (const auto& x : entries) {
        PutFixed64(&e, x.key);
        PutFixed64(&e, x.bid);
        PutFixed64(&e, x.ib);
    }
    return BuildPage(
        type, BtBody(e, static_cast<uint8_t>(entries.size()), kMaxBtEntries, kBtEntrySize, level),
        bid, ib);
}

std::string DecodeBtPage(std::string_view page, uint64_t ib, BtPageView* out) {
    if (page.size() != kPageSize) return "short page";
    auto type = static_cast<PageType>(static_cast<uint8_t>(page[kPageBodySize]));
    if (type != kPageBbt && type != kPageNbt) return "not a B-tree page";
    if (std::string err = CheckPage(page, type, ib); !err.empty()) return err;
    const char* p = page.data();
    const size_t count = static_cast<uint8_t>(p[kBtEntriesArea + kBtCountAt]);
    const size_t max = static_cast<uint8_t>(p[kBtEntriesArea + kBtMaxAt]);
    const size_t size = static_cast<uint8_t>(p[kBtEntriesArea + kBtSizeAt]);
    out->type = type;
    out->level = static_cast<uint8_t>(p[kBtEntriesArea + kBtLevelAt]);
    out->children.clear();
    out->blocks.clear();
    out->nodes.clear();
    // The entry size follows from the kind of page; a page that says
    // otherwise would have its entries read past their end.
    const size_t want = out->level > 0     ? kBtEntrySize
                        : type == kPageBbt ? kBbtEntrySize
                                           : kNbtEntrySize;
    if (out->level > kMaxBtreeDepth) return "B-tree page of level " + std::to_string(out->level);
    if (size != want || max != kBtEntriesArea / want || count > max)
        return "bad B-tree page counts";
    for (size_t i = 0; i < count; ++i) {
        const char* e = p + i * size;
        uint64_t key = DecodeFixed64(e);
        if (i > 0 && key <= (out->level > 0     ? out->children.back().key
                             : type == kPageBbt ? out->blocks.back().bid
                                                : uint64_t{out->nodes.back().nid}))
            return "B-tree page keys out of order";
        if (out->level > 0) {
            out->children.push_back({key, DecodeFixed64(e + 8), DecodeFixed64(e + 16)});
        } else if (type == kPageBbt) {
            out->blocks.push_back(
                {key, DecodeFixed64(e + 8), DecodeFixed16(e + 16), DecodeFixed16(e + 18)});
        } else {
            out->nodes.push_back({static_cast<Nid>(key), DecodeFixed64(e + 8),
                                  DecodeFixed64(e + 16), DecodeFixed32(e + 24)});
        }
    }
    return {};
}

std::string BuildDListPage(const DListView& dlist, Bid bid) {
    std::string body;
    PutFixed8(&body, dlist.backfillComplete ? kDListBackfillComplete : 0);
    size_t count = std::min(dlist.entries.size(), kMaxDListEntries);
    PutFixed8(&body, static_cast<uint8_t>(count));
    PutFixed16(&body, 0);
    PutFixed32(&body, dlist.current_page);
    for (size_t i = 0; i < count; ++i) {
        const DListEntry& e = dlist.entries[i];
        PutFixed32(&body,
                   (e.page & kDListPageMask) |
                       (uint32_t{std::min(e.free_slots, kDListMaxFreeSlots)} << kDListFreeShift));
    }
    return BuildPage(kPageDList, body, bid, kDListOffset);
}

std::string DecodeDListPage(std::string_view page, DListView* out) {
    if (std::string err = CheckPage(page, kPageDList, kDListOffset); !err.empty()) return err;
    const char* p = page.data();
    size_t count = static_cast<uint8_t>(p[1]);
    if (count > kMaxDListEntries) return "bad density list count";
    out->backfillComplete = (p[0] & kDListBackfillComplete) != 0;
    out->current_page = DecodeFixed32(p + 4);
    out->entries.clear();
    for (size_t i = 0; i < count; ++i) {
        uint32_t v = DecodeFixed32(p + 8 + 4 * i);
        out->entries.push_back({v & kDListPageMask, static_cast<uint16_t>(v >> kDListFreeShift)});
    }
    return {};
}

}  // namespace mailvane::pst
