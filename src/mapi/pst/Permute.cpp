#include "mapi/pst/Permute.h"

#include <array>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define MAILVANE_PERMUTE_VBMI 1
#endif

namespace mailvane::pst {
namespace {

// The substitution of [MS-PST] 5.1 (NDB_CRYPT_PERMUTE): byte b is stored as
// kEncode[b]. Decoding uses the inverse, derived once rather than written out.
constexpr std::array<uint8_t, 256> kEncode = {
    65,  54,  19,  98,  168, 33,  110, 187, 244, 22,  204, 4,   127, 100, 232, 93,  30,  242, 203,
    42,  116, 197, 94,  53,  210, 149, 71,  158, 150, 45,  154, 136, 76,  125, 132, 63,  219, 172,
    49,  182, 72,  95,  246, 196, 216, 57,  139, 231, 35,  59,  56,  142, 200, 193, 223, 37,  177,
    32,  165, 70,  96,  78,  156, 251, 170, 211, 86,  81,  69,  124, 85,  0,   7,   201, 43,  157,
    133, 155, 9,   160, 143, 173, 179, 15,  99,  171, 137, 75,  215, 167, 21,  90,  113, 102, 66,
    191, 38,  74,  107, 152, 250, 234, 119, 83,  178, 112, 5,   44,  253, 89,  58,  134, 126, 206,
    6,   235, 130, 120, 87,  199, 141, 67,  175, 180, 28,  212, 91,  205, 226, 233, 39,  79,  195,
    8,   114, 128, 207, 176, 239, 245, 40,  109, 190, 48,  77,  52,  146, 213, 14,  60,  34,  50,
    229, 228, 249, 159, 194, 209, 10,  129, 18,  225, 238, 145, 131, 118, 227, 151, 230, 97,  138,
    23,  121, 164, 183, 220, 144, 122, 92,  140, 2,   166, 202, 105, 222, 80,  26,  17,  147, 185,
    82,  135, 88,  252, 237, 29,  55,  73,  27,  106, 224, 41,  51,  153, 189, 108, 217, 148, 243,
    64,  84,  111, 240, 198, 115, 184, 214, 62,  101, 24,  68,  31,  221, 103, 16,  241, 12,  25,
    236, 174, 3,   161, 20,  123, 169, 11,  255, 248, 163, 192, 162, 1,   247, 46,  188, 36,  104,
    117, 13,  254, 186, 47,  181, 208, 218, 61,
};

constexpr std::array<uint8_t, 256> Inverse(const std::array<uint8_t, 256>& table) {
    std::array<uint8_t, 256> inverse{};
    for (int i = 0; i < 256; ++i) inverse[table[i]] = static_cast<uint8_t>(i);
    return inverse;
}

constexpr std::array<uint8_t, 256> kDecode = Inverse(kEncode);

}  // namespace

#ifdef MAILVANE_PERMUTE_VBMI
namespace {

// 64 bytes at a time: the 256-byte table sits in four registers, each byte
// looks up its low seven bits in both halves, and its top bit picks one.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) void SubstituteWide(
    const std::array<uint8_t, 256>& table, std::span<uint8_t> data) {
    const __m512i t0 = _mm512_loadu_si512(table.data());
    const __m512i t1 = _mm512_loadu_si512(table.data() + 64);
    const __m512i t2 = _mm512_loadu_si512(table.data() + 128);
    const __m512i t3 = _mm512_loadu_si512(table.data() + 192);
    uint8_t* p = data.data();
    size_t n = data.size();
    for (; n > 0; p += 64) {
        const size_t take = n < 64 ? n : 64;
        const __mmask64 lanes = take == 64 ? ~__mmask64{0} : (__mmask64{1} << take) - 1;
        const __m512i x = _mm512_maskz_loadu_epi8(lanes, p);
        const __m512i low = _mm512_permutex2var_epi8(t0, x, t1);
        const __m512i high = _mm512_permutex2var_epi8(t2, x, t3);
        _mm512_mask_storeu_epi8(p, lanes,
                                _mm512_mask_blend_epi8(_mm512_movepi8_mask(x), low, high));
        n -= take;
    }
}

bool HasVbmi() {
    static const bool has = __builtin_cpu_supports("avx512f") &&
                            __builtin_cpu_supports("avx512bw") &&
                            __builtin_cpu_supports("avx512vbmi");
    return has;
}

}  // namespace
#endif

namespace {

void Substitute(const std::array<uint8_t, 256>& table, std::span<uint8_t> data) {
#ifdef MAILVANE_PERMUTE_VBMI
    constexpr size_t kWideFrom = 128;
    if (data.size() >= kWideFrom && HasVbmi()) return SubstituteWide(table, data);
#endif
    for (auto& b : data) b = table[b];
}

}  // namespace

void PermuteEncode(std::span<uint8_t> data) {
    Substitute(kEncode, data);
}

void PermuteDecode(std::span<uint8_t> data) {
    Substitute(kDecode, data);
}

}  // namespace mailvane::pst
