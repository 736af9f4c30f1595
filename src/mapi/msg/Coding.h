#pragma once
// Little-endian fields of a message file: Put* append, Get* read at an
// offset the caller has checked against the size.
#include <cstdint>
#include <string>
#include <string_view>

namespace mailvane::msg {

inline void PutLe(std::string* out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>(v >> (8 * i)));
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
