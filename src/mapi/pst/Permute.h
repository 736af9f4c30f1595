#pragma once
// Block encoding of data blocks ("compressible" stores, bCryptMethod 1).
// Only external data blocks are encoded; XBLOCK/SLBLOCK and pages never are.
#include <cstdint>
#include <span>

namespace mailvane::pst {

void PermuteEncode(std::span<uint8_t> data);
void PermuteDecode(std::span<uint8_t> data);
// A byte at a time on any processor: what the wide form must equal.
void PermuteEncodeBytewise(std::span<uint8_t> data);

}  // namespace mailvane::pst
