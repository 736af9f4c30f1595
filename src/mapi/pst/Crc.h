#pragma once
// Checksums of [MS-PST] 5.3 and the block/page signature of 5.5.
#include <cstdint>
#include <string_view>

namespace mailvane::pst {

// CRC-32 (reflected 0xEDB88320) started from `crc` with no final inversion,
// as pages, blocks and the header use it.
uint32_t Crc32(std::string_view data, uint32_t crc = 0);
// The same, a byte at a time through tables, on any processor: what the
// folded form on processors with carry-less multiplication must equal.
uint32_t Crc32Table(std::string_view data, uint32_t crc = 0);

// wSig of a block or B-tree page: both halves of (ib ^ bid) folded together.
uint16_t BlockSignature(uint64_t ib, uint64_t bid);

}  // namespace mailvane::pst
