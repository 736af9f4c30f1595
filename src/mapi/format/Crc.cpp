#include "mapi/format/Crc.h"

#include <array>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define MAILVANE_CRC_CLMUL 1
#endif

namespace mailvane::format {
namespace {

// Eight tables so that eight bytes are folded in per step ("slicing by 8");
// every block and page of a store passes through here.
using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables MakeTables() {
    Tables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
        t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
        for (int s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    return t;
}

constexpr Tables kTables = MakeTables();

}  // namespace

uint32_t Crc32Table(std::string_view data, uint32_t crc) {
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    size_t n = data.size();
    while (n >= 8) {
        uint32_t lo = crc ^ (uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
                             uint32_t{p[3]} << 24);
        uint32_t hi =
            uint32_t{p[4]} | uint32_t{p[5]} << 8 | uint32_t{p[6]} << 16 | uint32_t{p[7]} << 24;
        crc = kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^ kTables[5][(lo >> 16) & 0xFF] ^
              kTables[4][lo >> 24] ^ kTables[3][hi & 0xFF] ^ kTables[2][(hi >> 8) & 0xFF] ^
              kTables[1][(hi >> 16) & 0xFF] ^ kTables[0][hi >> 24];
        p += 8;
        n -= 8;
    }
    while (n--) crc = kTables[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return crc;
}

#ifdef MAILVANE_CRC_CLMUL
namespace {

#define MAILVANE_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))

MAILVANE_CLMUL_TARGET inline __m128i Load(const unsigned char* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// `x` carried 128 bits further (by the distance `k` stands for), plus `next`.
MAILVANE_CLMUL_TARGET inline __m128i Fold(__m128i x, __m128i k, __m128i next) {
    return _mm_xor_si128(
        _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

// Folding with carry-less multiplication (Intel's "Fast CRC computation
// for generic polynomials using PCLMULQDQ"): four 16-byte lanes are folded
// 64 bytes ahead, then into one, then reduced to 32 bits (Barrett). The
// constants are powers of x modulo the reflected polynomial.
// REQUIRES: `n` is a multiple of 16, at least 64.
MAILVANE_CLMUL_TARGET uint32_t Crc32Folded(const unsigned char* p, size_t n, uint32_t crc) {
    const __m128i k1k2 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    const __m128i k3k4 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    const __m128i k5 = _mm_set_epi64x(0, 0x163cd6124);
    const __m128i poly = _mm_set_epi64x(0x1F7011641, 0x1DB710641);
    const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
    __m128i x1 = _mm_xor_si128(Load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x2 = Load(p + 16), x3 = Load(p + 32), x4 = Load(p + 48);
    p += 64;
    n -= 64;
    for (; n >= 64; p += 64, n -= 64) {
        x1 = Fold(x1, k1k2, Load(p));
        x2 = Fold(x2, k1k2, Load(p + 16));
        x3 = Fold(x3, k1k2, Load(p + 32));
        x4 = Fold(x4, k1k2, Load(p + 48));
    }
    x1 = Fold(x1, k3k4, x2);
    x1 = Fold(x1, k3k4, x3);
    x1 = Fold(x1, k3k4, x4);
    for (; n >= 16; p += 16, n -= 16) x1 = Fold(x1, k3k4, Load(p));
    // 128 bits to 64, then to 32 with 32 zero bits appended.
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(k3k4, x1, 0x01));
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 4),
                       _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k5, 0x00));
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), poly, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, mask32), poly, 0x00);
    return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, t), 1));
}

bool HasClmul() {
    static const bool has = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return has;
}

}  // namespace
#endif

uint32_t Crc32(std::string_view data, uint32_t crc) {
#ifdef MAILVANE_CRC_CLMUL
    // Pages and small blocks are not worth the setup.
    constexpr size_t kFoldFrom = 256;
    if (data.size() >= kFoldFrom && HasClmul()) {
        const size_t folded = data.size() & ~size_t{15};
        crc = Crc32Folded(reinterpret_cast<const unsigned char*>(data.data()), folded, crc);
        return Crc32Table(data.substr(folded), crc);
    }
#endif
    return Crc32Table(data, crc);
}

}  // namespace mailvane::format
