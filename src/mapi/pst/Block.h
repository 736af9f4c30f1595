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
// Completes a block whose `cb` payload bytes are at the start of `block`
// (BlockFootprint(cb) bytes): zero padding, then the trailer. The writer
// builds blocks in place this way, where they are written from.
void SealBlock(char* block, size_t cb, Bid bid, uint64_t ib);

// Checks trailer, signature and CRC of a block read from `ib` and returns
// its payload in `payload`.
std::string DecodeBlock(std::string_view block, Bid bid, uint64_t ib, std::string* payload);

// Internal blocks start with their type, level, entry count and (data
// trees) the byte count below.
constexpr size_t kInternalBlockHeader = 8;
constexpr uint8_t kBlockTypeDataTree = 0x01;
constexpr uint8_t kBlockTypeSubnodeTree = 0x02;

// Data tree: XBLOCK (level 1, ids of data blocks) and XXBLOCK (level 2, ids
// of XBLOCKs). `total` is the byte count of all data below.
constexpr uint8_t kXBlockLevel = 1;
constexpr uint8_t kXXBlockLevel = 2;
constexpr size_t kMaxXBlockEntries = (kMaxBlockData - kInternalBlockHeader) / 8;  // 1021
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
constexpr uint8_t kSubnodeLeafLevel = 0;                                       // SLBLOCK
constexpr uint8_t kSubnodeBranchLevel = 1;                                     // SIBLOCK
constexpr size_t kMaxSlEntries = (kMaxBlockData - kInternalBlockHeader) / 24;  // 340
constexpr size_t kMaxSiEntries = (kMaxBlockData - kInternalBlockHeader) / 16;  // 510
std::string EncodeSlBlock(const std::vector<SlEntry>& entries);
std::string EncodeSiBlock(const std::vector<SiEntry>& entries);

// Decoders of the internal payloads: the empty string, or why the payload
// is none (entry counts past the block or the format's limit, a level no
// tree has).
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
