#pragma once
// Blocks ([MS-PST] 2.2.2.8): the payload, padding to 64 bytes and a trailer.
// Payload builders for the internal blocks (data trees, subnode trees) are
// here too; they return the bytes that go into BuildBlock.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mapi/pst/Format.h"

namespace mailvane::pst {

// Bytes a block of `cb` payload bytes occupies in the file.
constexpr uint32_t BlockFootprint(size_t cb) {
    return static_cast<uint32_t>((cb + kBlockTrailerSize + kBlockAlign - 1) / kBlockAlign *
                                 kBlockAlign);
}

// The whole block as placed at `ib`. The payload is stored as given: callers
// encode external data first (see Permute.h).
std::string BuildBlock(std::string_view payload, Bid bid, uint64_t ib);

// Checks trailer, signature and CRC of a block read from `ib` and returns
// its payload in `payload`.
std::string DecodeBlock(std::string_view block, Bid bid, uint64_t ib, std::string* payload);

// Data tree: XBLOCK (level 1, ids of data blocks) and XXBLOCK (level 2, ids
// of XBLOCKs). `total` is the byte count of all data below.
constexpr size_t kMaxXBlockEntries = (kMaxBlockData - 8) / 8;  // 1021
std::string EncodeXBlock(uint8_t level, const std::vector<Bid>& bids, uint32_t total);

// Subnode tree: SLBLOCK leaf entries and SIBLOCK entries.
struct SlEntry {
    Nid nid = 0;
    Bid data = 0;
    Bid sub = 0;
};
struct SiEntry {
    Nid nid = 0;  // first nid below
    Bid bid = 0;  // an SLBLOCK
};
constexpr size_t kMaxSlEntries = (kMaxBlockData - 8) / 24;  // 340
constexpr size_t kMaxSiEntries = (kMaxBlockData - 8) / 16;  // 510
std::string EncodeSlBlock(const std::vector<SlEntry>& entries);
std::string EncodeSiBlock(const std::vector<SiEntry>& entries);

// Decoders of the internal payloads.
struct InternalBlockView {
    uint8_t btype = 0;  // 1 data tree, 2 subnode tree
    uint8_t level = 0;
    uint32_t total = 0;  // data tree only
    std::vector<Bid> bids;
    std::vector<SlEntry> leaves;
    std::vector<SiEntry> branches;
};
std::string DecodeInternalBlock(std::string_view payload, InternalBlockView* out);

}  // namespace mailvane::pst
