#pragma once
// CRC-32 as stores ([MS-PST] 5.3) and the name-to-id map of both stores and
// message files use it.
#include <cstdint>
#include <string_view>

namespace mailvane::format {

// CRC-32 (reflected 0xEDB88320) started from `crc` with no final inversion,
// as pages, blocks, the header and property names use it.
uint32_t Crc32(std::string_view data, uint32_t crc = 0);
// The same, a byte at a time through tables, on any processor: what the
// folded form on processors with carry-less multiplication must equal.
uint32_t Crc32Table(std::string_view data, uint32_t crc = 0);

}  // namespace mailvane::format
