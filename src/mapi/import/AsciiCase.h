#pragma once
// Letter case of the names in mail (fields, charsets, media types,
// parameters), which match in any case. Only A-Z and a-z change: other
// bytes are kept whatever the C library's locale says of them, and no
// library call is made per byte.
#include <algorithm>
#include <string>
#include <string_view>

namespace mailvane::mapi::import {

inline char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c;
}

inline std::string AsciiLower(std::string text) {
    for (char& c : text) c = AsciiLower(c);
    return text;
}

inline bool SameIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return AsciiLower(x) == AsciiLower(y);
           });
}

}  // namespace mailvane::mapi::import
