#include "mapi/pst/Heap.h"

#include "mapi/format/Coding.h"

namespace mailvane::pst {

using namespace format;
namespace {

constexpr size_t kFirstPageHeader = 12;   // HNHDR
constexpr size_t kPageHeader = 2;         // HNPAGEHDR
constexpr size_t kBitmapPageHeader = 66;  // HNBITMAPHDR
constexpr size_t kMaxItemsPerPage = kHidIndexMask;
// Offsets in HNHDR and in the page map (HNPAGEMAP).
constexpr size_t kSignatureAt = 2, kClientAt = 3, kUserRootAt = 4;
constexpr size_t kPageMapHeader = 4;  // cAlloc, cFree

bool IsBitmapPage(size_t index) {
    return index >= 8 && (index - 8) % 128 == 0;
}

// Fill level of a page with `free` bytes left ([MS-PST] 2.3.1.2).
uint8_t FillLevel(size_t free) {
    static const size_t kBounds[] = {3584, 2560, 2048, 1792, 1536, 1280, 1024, 768,
                                     512,  256,  128,  64,   32,   16,   8};
    for (uint8_t i = 0; i < 15; ++i)
        if (free >= kBounds[i]) return i;
    return 15;
}

}  // namespace

size_t HeapBuilder::HeaderSize(size_t index) {
    if (index == 0) return kFirstPageHeader;
    return IsBitmapPage(index) ? kBitmapPageHeader : kPageHeader;
}

bool HeapBuilder::ListsLaterPages(size_t index) {
    return index == 0 || IsBitmapPage(index);
}

bool HeapBuilder::Fits(size_t index, size_t items, size_t bytes, size_t extra) {
    ++items;
    size_t body = (HeaderSize(index) + bytes + extra + 1) / 2 * 2;
    return items <= kMaxItemsPerPage && body + kPageMapHeader + 2 * (items + 1) <= kMaxBlockData;
}

Hid HeapBuilder::Allocate(std::string_view bytes) {
    if (pages_.empty() ||
        !Fits(pages_.size() - 1, pages_.back().count(), pages_.back().items.size(), bytes.size()))
        pages_.emplace_back();
    Page& page = pages_.back();
    page.items.append(bytes);
    page.ends.push_back(static_cast<uint16_t>(page.items.size()));
    return MakeHid(static_cast<uint32_t>(pages_.size() - 1), static_cast<uint32_t>(page.count()));
}

void HeapBuilder::Overwrite(Hid hid, std::string_view bytes) {
    Page& page = pages_[HidPageOf(hid)];
    size_t index = HidIndexOf(hid) - 1;
    size_t begin = index == 0 ? 0 : page.ends[index - 1];
    std::memcpy(page.items.data() + begin, bytes.data(),
                std::min<size_t>(bytes.size(), page.ends[index] - begin));
}

std::string HeapBuilder::BuildPage(size_t index, const Page& page, size_t room) const {
    std::string p;
    // Sized once: grown as it is built, a page took twice its size.
    p.reserve(std::max(
        room, HeaderSize(index) + page.items.size() + 1 + kPageMapHeader + 2 * (page.count() + 1)));
    if (index == 0) {
        PutFixed16(&p, 0);  // ibHnpm, set below
        PutFixed8(&p, kHeapSignature);
        PutFixed8(&p, client_);
        PutFixed32(&p, userRoot_);
        // Fill levels of the first eight pages.
        std::string levels(4, '\0');
        for (size_t i = 0; i < 8 && i < pages_.size(); ++i) {
            size_t used = HeaderSize(i) + pages_[i].used() + 6;
            uint8_t level = FillLevel(kMaxBlockData - std::min(used, size_t{kMaxBlockData}));
            levels[i / 2] = static_cast<char>(levels[i / 2] | (level << (4 * (i % 2))));
        }
        p += levels;
    } else if (IsBitmapPage(index)) {
        PutFixed16(&p, 0);
        std::string levels(64, '\0');
        for (size_t i = index; i < index + 128 && i < pages_.size(); ++i) {
            size_t used = HeaderSize(i) + pages_[i].used() + 6;
            uint8_t level = FillLevel(kMaxBlockData - std::min(used, size_t{kMaxBlockData}));
            size_t k = i - index;
            levels[k / 2] = static_cast<char>(levels[k / 2] | (level << (4 * (k % 2))));
        }
        p += levels;
    } else {
        PutFixed16(&p, 0);
    }
    const size_t base = p.size();
    p += page.items;
    if (p.size() % 2) p.push_back('\0');
    EncodeFixed16(p.data(), static_cast<uint16_t>(p.size()));
    PutFixed16(&p, static_cast<uint16_t>(page.count()));
    PutFixed16(&p, 0);  // cFree
    PutFixed16(&p, static_cast<uint16_t>(base));
    for (uint16_t end : page.ends) PutFixed16(&p, static_cast<uint16_t>(base + end));
    return p;
}

std::string HeapBuilder::Finish() const {
    if (pages_.empty()) return BuildPage(0, Page{});
    // Most heaps are one small page: an item with 100,000 attachments holds
    // as many of them until it is written, so none is given a whole block.
    if (pages_.size() == 1) return BuildPage(0, pages_[0]);
    std::string out;
    out.reserve(pages_.size() * kMaxBlockData);
    for (size_t i = 0; i < pages_.size(); ++i) {
        out += BuildPage(i, pages_[i]);
        if (i + 1 < pages_.size()) out.resize((i + 1) * kMaxBlockData, '\0');
    }
    return out;
}

std::string HeapBuilder::PageBlock(size_t index) const {
    const bool padded = index + 1 < pages_.size();
    std::string page = BuildPage(index, index < pages_.size() ? pages_[index] : Page{},
                                 padded ? kMaxBlockData : 0);
    if (padded) page.resize(kMaxBlockData, '\0');
    return page;
}

std::string HeapHeader(std::string_view data, uint8_t* client, Hid* userRoot) {
    if (data.size() < kFirstPageHeader) return "heap shorter than its header";
    if (static_cast<uint8_t>(data[kSignatureAt]) != kHeapSignature) return "no heap signature";
    *client = static_cast<uint8_t>(data[kClientAt]);
    *userRoot = DecodeFixed32(data.data() + kUserRootAt);
    return {};
}

std::string HeapLookup(std::string_view data, Hid hid, std::string* out) {
    const std::string what = "heap item " + Hex(hid);
    size_t page = HidPageOf(hid);
    size_t index = HidIndexOf(hid);
    if (!IsHid(hid) || index == 0) return what + " is no heap id";
    // Every page but the last fills a block, so page n starts n blocks in.
    size_t begin = page * kMaxBlockData;
    if (begin >= data.size()) return what + " is past the heap's last page";
    std::string_view p = data.substr(begin, kMaxBlockData);
    if (p.size() < 2) return what + ": page too short";
    size_t map = DecodeFixed16(p.data());
    if (map + kPageMapHeader > p.size()) return what + ": page map past the page";
    size_t count = DecodeFixed16(p.data() + map);
    if (index > count || map + kPageMapHeader + 2 * (count + 1) > p.size())
        return what + ": not in the page map";
    size_t from = DecodeFixed16(p.data() + map + kPageMapHeader + 2 * (index - 1));
    size_t to = DecodeFixed16(p.data() + map + kPageMapHeader + 2 * index);
    if (from > to || to > map) return what + ": bounds outside the page";
    out->assign(p.substr(from, to - from));
    return {};
}

}  // namespace mailvane::pst
