#pragma once
// Block encoding of data blocks ("compressible" stores, bCryptMethod 1).
// Only external data blocks are encoded; XBLOCK/SLBLOCK and pages never are.
#include <cstdint>
#include <span>

namespace mailvane::pst {

void PermuteEncode(std::span<uint8_t> data);
void PermuteDecode(std::span<uint8_t> data);

}  // namespace mailvane::pst
