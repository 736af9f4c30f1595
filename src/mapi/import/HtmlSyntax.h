#pragma once
// The characters and words of HTML markup, as the readers of HTML here
// take them.
#include <algorithm>
#include <cstddef>
#include <string_view>

#include "mapi/import/AsciiCase.h"

namespace mailvane::mapi::import::html {

inline bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}
inline bool IsAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
// Whether `text` holds `lowerWord` at `at`, in any case.
inline bool HasWordAt(std::string_view text, size_t at, std::string_view lowerWord) {
    if (text.size() - std::min(at, text.size()) < lowerWord.size()) return false;
    for (size_t k = 0; k < lowerWord.size(); ++k)
        if (AsciiLower(text[at + k]) != lowerWord[k]) return false;
    return true;
}
inline std::string_view TrimSpace(std::string_view s) {
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
    return s;
}

}  // namespace mailvane::mapi::import::html
