#pragma once
// BTree-on-heap ([MS-PST] 2.3.2): sorted fixed-size records stored in heap
// allocations, with index levels above when they need more than one.
#include <cstdint>
#include <string>
#include <vector>

#include "mapi/pst/Heap.h"

namespace mailvane::pst {

// The BTH header ([MS-PST] 2.3.2.1): record sizes, index levels above the
// leaves, and the root allocation (0 for an empty tree).
struct BthHeader {
    static constexpr size_t kEncodedLength = 8;
    // Keys of 2, 4, 8 or 16 bytes and data of 1 to 32 are all the format
    // allows; anything else is damage.
    static constexpr uint8_t kMaxDataSize = 32;

    uint8_t cb_key = 0;
    uint8_t cb_data = 0;
    uint8_t levels = 0;
    Hid root = 0;

    std::string Encode() const;
    // Empty, or why `bytes` are no BTH header.
    std::string DecodeFrom(std::string_view bytes);
};

// Allocates the 8 bytes of a BTH header to be filled in later. Outlook
// makes it the first allocation of every property and table context (HID
// 0x20), and some readers look for it nowhere else: call this on an empty
// heap and pass the id to BuildBth or BuildBthOverLeaves.
Hid ReserveBthHeader(HeapBuilder* heap);

// `records` are key+data, each cb_key+cb_data bytes, sorted by key (keys
// compare as little-endian unsigned integers). The header goes into
// `header` (from ReserveBthHeader); returns its id.
Hid BuildBth(HeapBuilder* heap, Hid header, uint8_t cb_key, uint8_t cb_data,
             const std::vector<std::string>& records);

// The same, for leaves already placed in the heap: (first key, leaf id) in
// key order. Only the index levels are allocated.
Hid BuildBthOverLeaves(HeapBuilder* heap, Hid header, uint8_t cb_key, uint8_t cb_data,
                       const std::vector<std::pair<std::string, Hid>>& leaves);

// Reads every record of a BTH back (tests and reopen), keys ascending.
// Returns the empty string or why the tree is damaged; each allocation is
// read at most once, so a tree that loops back on itself ends.
std::string ReadBth(std::string_view heap_data, Hid header, uint8_t* cb_key, uint8_t* cb_data,
                    std::vector<std::string>* records);

}  // namespace mailvane::pst
