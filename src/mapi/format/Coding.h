#pragma once
// Fixed-width little-endian fields, the only byte order stores and message
// files use. Put* append to a string; Encode* write at a position; Decode*
// read back.
#include <cstdint>
#include <cstring>
#include <string>

namespace mailvane::format {

inline void EncodeFixed16(char* p, uint16_t v) {
    p[0] = static_cast<char>(v);
    p[1] = static_cast<char>(v >> 8);
}
inline void EncodeFixed32(char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<char>(v >> (8 * i));
}
inline void EncodeFixed64(char* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<char>(v >> (8 * i));
}

inline uint16_t DecodeFixed16(const char* p) {
    const auto* u = reinterpret_cast<const uint8_t*>(p);
    return static_cast<uint16_t>(u[0] | (u[1] << 8));
}
inline uint32_t DecodeFixed32(const char* p) {
    const auto* u = reinterpret_cast<const uint8_t*>(p);
    return static_cast<uint32_t>(u[0]) | (static_cast<uint32_t>(u[1]) << 8) |
           (static_cast<uint32_t>(u[2]) << 16) | (static_cast<uint32_t>(u[3]) << 24);
}
inline uint64_t DecodeFixed64(const char* p) {
    return static_cast<uint64_t>(DecodeFixed32(p)) |
           (static_cast<uint64_t>(DecodeFixed32(p + 4)) << 32);
}

inline void PutFixed8(std::string* dst, uint8_t v) {
    dst->push_back(static_cast<char>(v));
}
inline void PutFixed16(std::string* dst, uint16_t v) {
    char buf[2];
    EncodeFixed16(buf, v);
    dst->append(buf, 2);
}
inline void PutFixed32(std::string* dst, uint32_t v) {
    char buf[4];
    EncodeFixed32(buf, v);
    dst->append(buf, 4);
}
inline void PutFixed64(std::string* dst, uint64_t v) {
    char buf[8];
    EncodeFixed64(buf, v);
    dst->append(buf, 8);
}
inline void PutZeros(std::string* dst, size_t n) {
    dst->append(n, '\0');
}

// An id or offset as messages show it: "0x8022".
inline std::string Hex(uint64_t v) {
    static const char kDigits[] = "0123456789abcdef";
    std::string digits;
    do {
        digits.insert(digits.begin(), kDigits[v % 16]);
        v /= 16;
    } while (v != 0);
    return "0x" + digits;
}

}  // namespace mailvane::format
