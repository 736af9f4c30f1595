#pragma once
// Where the bytes of a store go: one allocation map (AMap) per section of
// the file, one bit per 64-byte slot, and the free runs that can be taken
// again. The store's writer asks it for room and hands back what the next
// header no longer reaches; it returns offsets and the map pages to write,
// and never touches the file itself. A map page already in the file is read
// through the reader the writer gives it.
//
// Space released since the last checkpoint is taken again only once the
// header of the next one is on disk: the header on disk may still reach it.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "mapi/pst/Format.h"

namespace mailvane::pst {

// Offset of the AMap page of `section`, the bytes its map pages take, and
// the section that holds offset `ib`.
uint64_t SectionStart(uint64_t section);
uint32_t SectionReserved(uint64_t section);
uint64_t SectionOf(uint64_t ib);

// A page to write: where, and its bytes.
using PageAt = std::pair<uint64_t, std::string>;

// The allocation bits a rebuild from a store's trees gives, section by
// section: each section's own map pages, then whatever the trees reach.
class ReachedSpace {
public:
    // The sections of a file ending at `fileEnd`, each empty but for its maps.
    explicit ReachedSpace(uint64_t fileEnd);
    // Marks `size` bytes at `ib` reached; why they cannot be (past the
    // file's end, across a section's end, over anything reached before or
    // over a map page), or empty.
    std::string Reach(uint64_t ib, uint64_t size);
    const std::vector<std::string>& bits() const { return bits_; }
    std::vector<std::string> TakeBits() { return std::move(bits_); }

private:
    uint64_t fileEnd_;
    std::vector<std::string> bits_;
};

class SpaceMap {
public:
    // Reads the AMap at `start` of a section whose maps are in the file,
    // giving its bits; false when it cannot (the reader fails the writer).
    using MapReader = std::function<bool(uint64_t start, std::string* bits)>;
    void SetReader(MapReader reader) { reader_ = std::move(reader); }

    // A new store: nothing allocated but section 0's maps.
    void StartNew() { SectionBits(0); }
    // A store reopened: these bits are the maps of every section its header
    // covers, and all are in the file; `rewrite` writes each section's maps
    // at the next checkpoint (the file's were wrong).
    void LoadMaps(std::vector<std::string> bits, bool rewrite);

    // Where `size` bytes aligned to `align` can go: free space no header
    // reaches, else past the end of allocated space, never across a
    // section's maps. Nothing is taken before Take(ib, size).
    uint64_t Find(uint32_t size, uint32_t align);
    void Take(uint64_t ib, uint32_t size);
    // Space that the next header will no longer reach.
    void Release(uint64_t ib, uint64_t size) { released_.emplace_back(ib, size); }

    // Sections the file and the header on disk cover.
    uint64_t fileSections() const { return fileSections_; }
    void Cover(uint64_t sections) { fileSections_ = sections; }
    // The map pages of sections [first, end), and the free bytes they show.
    std::vector<PageAt> SectionMaps(uint64_t first, uint64_t end, uint64_t* freeBytes);
    // The maps of sections [0, end) are in the file.
    void MapsWritten(uint64_t end) { mappedSections_ = std::max(mappedSections_, end); }

    // What a checkpoint writes: the maps of every section touched since the
    // last one, with the space released since then free, and what the new
    // header says of them.
    struct Checkpoint {
        uint64_t lastSection = 0;
        uint64_t freeBytes = 0;
        std::vector<PageAt> maps;
    };
    Checkpoint MapsForCheckpoint();
    // The density list of the maps MapsForCheckpoint() gave, as page `bid`.
    std::string DensityList(uint64_t lastSection, Bid bid) const;
    // That checkpoint's header is on disk: what it no longer reaches is free.
    void Committed(uint64_t lastSection);

    // End of allocated space.
    uint64_t end() const { return eof_; }

private:
    friend class StoreTestAccess;  // moves the end past 4 GB without writing 4 GB

    std::string& SectionBits(uint64_t section);
    void SetBits(uint64_t begin, uint64_t end, bool allocated);
    // Space that can be written over now.
    void AddFree(uint64_t ib, uint64_t size);
    void EraseFree(std::map<uint64_t, uint64_t>::iterator it);
    bool TakeFree(uint32_t size, uint32_t align, uint64_t* pos);
    void AddFreeRuns(uint64_t section, const std::string& bits, uint64_t limit);

    MapReader reader_;
    uint64_t eof_ = kFirstAMapOffset;  // end of allocated space
    // Allocation bits of sections touched since the last checkpoint.
    std::map<uint64_t, std::string> sections_;
    uint64_t closedFree_ = 0;            // free bytes in sections no longer held
    uint64_t mappedSections_ = 0;        // sections whose maps are in the file
    uint64_t fileSections_ = 0;          // sections the file and its header cover
    std::vector<uint16_t> sectionFree_;  // free slots per section, as written
    // Released since the last checkpoint: (offset, bytes).
    std::vector<std::pair<uint64_t, uint64_t>> released_;
    // Free for reuse, coalesced: offset -> bytes, and (bytes, offset).
    std::map<uint64_t, uint64_t> free_;
    std::set<std::pair<uint64_t, uint64_t>> freeBySize_;
};

}  // namespace mailvane::pst
