#pragma once
// Little-endian fields of a message file: Put* append, Get* read at an
// offset the caller has checked against the size.
#include <cstdint>
#include <string>
#include <string_view>

namespace mailvane::msg {

inline void PutLe(std::string* out, uint64_t v, int bytes) {
    // One append rather than a push_back per byte: a message file is
    // thousands of such fields.
    char b[8];
    for (int i = 0; i < bytes; ++i) b[i] = static_cast<char>(v >> (8 * i));
    out->append(b, static_cast<size_t>(bytes));
}
inline void PutLe32(std::string* out, uint32_t v) {
    PutLe(out, v, 4);
}

inline uint64_t GetLe(std::string_view in, size_t at, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(in[at + i]);
    return v;
}
inline uint32_t GetLe32(std::string_view in, size_t at) {
    return static_cast<uint32_t>(GetLe(in, at, 4));
}

}  // namespace mailvane::msg
