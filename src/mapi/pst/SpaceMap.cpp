#include "mapi/pst/SpaceMap.h"

#include <algorithm>
#include <bit>

#include "mapi/pst/Page.h"

namespace mailvane::pst {
namespace {

constexpr uint64_t AlignUp(uint64_t v, uint64_t a) {
    return (v + a - 1) / a * a;
}

bool HasPMap(uint64_t s) {
    return s % 8 == 0;
}
bool HasFMap(uint64_t s) {
    return s >= kFMapFirstSection && (s - kFMapFirstSection) % kFMapSectionStep == 0;
}
bool HasFPMap(uint64_t s) {
    return s >= kFPMapFirstSection && (s - kFPMapFirstSection) % kFPMapSectionStep == 0;
}

// An allocation map has one bit per 64-byte slot, the first slot in the
// high bit of the first byte.
uint64_t FreeSlots(const std::string& bits) {
    uint64_t zeros = 0;
    for (char c : bits) zeros += 8 - static_cast<uint64_t>(std::popcount(static_cast<uint8_t>(c)));
    return zeros;
}

bool SlotTaken(const std::string& bits, uint64_t unit) {
    return (static_cast<uint8_t>(bits[unit / 8]) & (0x80 >> (unit % 8))) != 0;
}

// Marks slots [first, end) taken or free.
void SetSlots(std::string* bits, uint64_t first, uint64_t end, bool taken) {
    for (uint64_t unit = first; unit < end; ++unit) {
        auto mask = static_cast<uint8_t>(0x80 >> (unit % 8));
        auto byte = static_cast<uint8_t>((*bits)[unit / 8]);
        (*bits)[unit / 8] = static_cast<char>(taken ? (byte | mask) : (byte & ~mask));
    }
}

// A section with nothing allocated: the map pages "map themselves".
std::string EmptySection(uint64_t section) {
    std::string bits(kPageBodySize, '\0');
    SetSlots(&bits, 0, SectionReserved(section) / kBlockAlign, true);
    return bits;
}

// The map pages of section `s` with these allocation bits.
void AppendMapPages(uint64_t s, const std::string& bits, std::vector<PageAt>* maps) {
    uint64_t start = SectionStart(s);
    maps->emplace_back(start, BuildMapPage(kPageAMap, bits, start));
    // Free pages are found through the density list, so no PMap advertises
    // one, and no FMap or FPMap a free run.
    if (HasPMap(s))
        maps->emplace_back(
            start + kPageSize,
            BuildMapPage(kPagePMap, std::string(kPageBodySize, '\xFF'), start + kPageSize));
    if (HasFMap(s))
        maps->emplace_back(
            start + 2 * kPageSize,
            BuildMapPage(kPageFMap, std::string(kPageBodySize, '\0'), start + 2 * kPageSize));
    if (HasFPMap(s))
        maps->emplace_back(
            start + 3 * kPageSize,
            BuildMapPage(kPageFPMap, std::string(kPageBodySize, '\0'), start + 3 * kPageSize));
}

}  // namespace

uint64_t SectionStart(uint64_t section) {
    return kFirstAMapOffset + section * kAMapCoverage;
}

uint32_t SectionReserved(uint64_t s) {
    // Each map page has its own slot after the AMap, present or not.
    if (HasFPMap(s)) return 4 * kPageSize;
    if (HasFMap(s)) return 3 * kPageSize;
    if (HasPMap(s)) return 2 * kPageSize;
    return kPageSize;
}

uint64_t SectionOf(uint64_t ib) {
    return (ib - kFirstAMapOffset) / kAMapCoverage;
}

ReachedSpace::ReachedSpace(uint64_t fileEnd) : fileEnd_(fileEnd) {
    bits_.resize((fileEnd - kFirstAMapOffset) / kAMapCoverage);
    for (uint64_t s = 0; s < bits_.size(); ++s) bits_[s] = EmptySection(s);
}

std::string ReachedSpace::Reach(uint64_t ib, uint64_t size) {
    // Nothing reached may lie past the file's end, across a section's end or
    // over anything else reached (a map page too): a new block could then
    // land on it, or it on another.
    if (ib < kFirstAMapOffset || ib % kBlockAlign != 0 || ib + size > fileEnd_)
        return "past the end of the file";
    const uint64_t section = SectionOf(ib), start = SectionStart(section);
    if (ib + size > start + kAMapCoverage) return "across the end of its section";
    std::string& bits = bits_[section];
    const uint64_t first = (ib - start) / kBlockAlign, end = first + size / kBlockAlign;
    for (uint64_t unit = first; unit < end; ++unit)
        if (SlotTaken(bits, unit)) return "over a map page, or a page or block met before";
    SetSlots(&bits, first, end, true);
    return {};
}

std::string& SpaceMap::SectionBits(uint64_t section) {
    auto it = sections_.find(section);
    if (it != sections_.end()) return it->second;
    std::string& bits = sections_[section];
    // Its map is in the file: space is being freed or reused there.
    if (section < mappedSections_ && reader_(SectionStart(section), &bits)) {
        closedFree_ -= std::min(closedFree_, FreeSlots(bits) * kBlockAlign);
        return bits;
    }
    bits = EmptySection(section);
    return bits;
}

void SpaceMap::SetBits(uint64_t begin, uint64_t end, bool allocated) {
    // Callers never cross a section, so one map serves the whole range.
    uint64_t section = SectionOf(begin);
    uint64_t start = SectionStart(section);
    SetSlots(&SectionBits(section), (begin - start) / kBlockAlign,
             (end - start + kBlockAlign - 1) / kBlockAlign, allocated);
}

void SpaceMap::EraseFree(std::map<uint64_t, uint64_t>::iterator it) {
    freeBySize_.erase({it->second, it->first});
    free_.erase(it);
}

void SpaceMap::AddFree(uint64_t ib, uint64_t size) {
    if (size == 0) return;
    // Neighbours merge; map pages are never free, so no run crosses a
    // section's maps.
    auto next = free_.lower_bound(ib);
    if (next != free_.end() && next->first == ib + size) {
        size += next->second;
        EraseFree(next);
    }
    auto prev = free_.lower_bound(ib);
    if (prev != free_.begin()) {
        --prev;
        if (prev->first + prev->second == ib) {
            ib = prev->first;
            size += prev->second;
            EraseFree(prev);
        }
    }
    free_[ib] = size;
    freeBySize_.insert({size, ib});
}

bool SpaceMap::TakeFree(uint32_t size, uint32_t align, uint64_t* pos) {
    // The smallest runs that fit, the first few of them, so a page (512
    // aligned) does not search every run of 64-byte slots.
    auto it = freeBySize_.lower_bound({size, 0});
    for (int tries = 0; it != freeBySize_.end() && tries < 8; ++it, ++tries) {
        auto [run, ib] = *it;
        uint64_t at = AlignUp(ib, align);
        if (at + size > ib + run) continue;
        EraseFree(free_.find(ib));
        AddFree(ib, at - ib);
        AddFree(at + size, ib + run - at - size);
        *pos = at;
        return true;
    }
    return false;
}

void SpaceMap::AddFreeRuns(uint64_t section, const std::string& bits, uint64_t limit) {
    uint64_t start = SectionStart(section);
    uint64_t units = std::min<uint64_t>(uint64_t{kPageBodySize} * 8,
                                        (std::max(limit, start) - start) / kBlockAlign);
    for (uint64_t unit = 0; unit < units;) {
        if (SlotTaken(bits, unit)) {
            ++unit;
            continue;
        }
        uint64_t end = unit;
        while (end < units && !SlotTaken(bits, end)) ++end;
        AddFree(start + unit * kBlockAlign, (end - unit) * kBlockAlign);
        unit = end;
    }
}

uint64_t SpaceMap::Find(uint32_t size, uint32_t align) {
    uint64_t reused = 0;
    if (TakeFree(size, align, &reused)) return reused;
    uint64_t pos = AlignUp(eof_, align);
    for (;;) {
        uint64_t section = SectionOf(pos);
        uint64_t start = SectionStart(section);
        uint64_t dataBegin = start + SectionReserved(section);
        if (pos < dataBegin) pos = AlignUp(dataBegin, align);
        if (pos + size <= start + kAMapCoverage) return pos;
        // Never straddle the next section's maps; what is left of this one
        // was never reachable, so it can be taken at once.
        uint64_t end = start + kAMapCoverage;
        if (eof_ >= dataBegin && eof_ < end) AddFree(eof_, end - eof_);
        pos = end;
    }
}

void SpaceMap::Take(uint64_t ib, uint32_t size) {
    SetBits(ib, ib + size, true);
    eof_ = std::max(eof_, ib + size);
}

std::vector<PageAt> SpaceMap::SectionMaps(uint64_t first, uint64_t end, uint64_t* freeBytes) {
    std::vector<PageAt> maps;
    for (uint64_t s = first; s < end; ++s) {
        const std::string& bits = SectionBits(s);
        AppendMapPages(s, bits, &maps);
        *freeBytes += FreeSlots(bits) * kBlockAlign;
    }
    return maps;
}

SpaceMap::Checkpoint SpaceMap::MapsForCheckpoint() {
    fileSections_ = std::max<uint64_t>(fileSections_, 1);
    Checkpoint out;
    const uint64_t lastSection = out.lastSection = fileSections_ - 1;
    // What the header on disk reaches and this one will not is free in the
    // maps this checkpoint writes.
    for (const auto& [ib, size] : released_) SetBits(ib, ib + size, false);
    SectionBits(lastSection);
    if (sectionFree_.size() <= lastSection) sectionFree_.resize(lastSection + 1, 0);
    out.freeBytes = closedFree_;
    for (auto it = sections_.begin(); it != sections_.end();) {
        uint64_t s = it->first;
        AppendMapPages(s, it->second, &out.maps);
        uint64_t zeros = FreeSlots(it->second);
        sectionFree_[s] = static_cast<uint16_t>(zeros);
        out.freeBytes += zeros * kBlockAlign;
        // Sections behind the last are only touched again to free or reuse
        // space, and are read back then.
        if (s < lastSection) {
            closedFree_ += zeros * kBlockAlign;
            it = sections_.erase(it);
        } else {
            ++it;
        }
    }
    return out;
}

std::string SpaceMap::DensityList(uint64_t lastSection, Bid bid) const {
    DListView dlist;
    dlist.backfillComplete = true;
    dlist.current_page =
        static_cast<uint32_t>(free_.empty() ? lastSection : SectionOf(free_.begin()->first));
    for (uint64_t s = 0; s < sectionFree_.size(); ++s)
        if (sectionFree_[s] > 0)
            dlist.entries.push_back({static_cast<uint32_t>(s), sectionFree_[s]});
    std::stable_sort(
        dlist.entries.begin(), dlist.entries.end(),
        [](const DListEntry& a, const DListEntry& b) { return a.free_slots > b.free_slots; });
    return BuildDListPage(dlist, bid);
}

void SpaceMap::Committed(uint64_t lastSection) {
    MapsWritten(lastSection + 1);
    for (const auto& [ib, size] : released_) AddFree(ib, size);
    released_.clear();
}

void SpaceMap::LoadMaps(std::vector<std::string> bits, bool rewrite) {
    const uint64_t last = bits.size() - 1;
    sectionFree_.assign(last + 1, 0);
    closedFree_ = 0;
    for (uint64_t s = 0; s <= last; ++s) {
        const uint64_t start = SectionStart(s);
        const uint64_t slots = FreeSlots(bits[s]);
        sectionFree_[s] = static_cast<uint16_t>(slots);
        if (s < last) {
            AddFreeRuns(s, bits[s], start + kAMapCoverage);
            // Sections behind the last are read back when touched, unless
            // the file's maps are wrong: then every one is written afresh.
            if (rewrite)
                sections_[s] = std::move(bits[s]);
            else
                closedFree_ += slots * kBlockAlign;
            continue;
        }
        // Continue after the last allocated unit of the last section.
        uint64_t end = start + SectionReserved(s);
        for (uint64_t unit = 0; unit < uint64_t{kPageBodySize} * 8; ++unit)
            if (SlotTaken(bits[s], unit)) end = std::max(end, start + (unit + 1) * kBlockAlign);
        eof_ = end;
        AddFreeRuns(s, bits[s], end);
        sections_[s] = std::move(bits[s]);
    }
    mappedSections_ = last + 1;
    fileSections_ = last + 1;
}

}  // namespace mailvane::pst
