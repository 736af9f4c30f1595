#pragma once
// The line-end rule written the plain way, for tests to compare against: every
// CR LF, lone CR and lone LF becomes `eol`.
#include <string>
#include <string_view>

namespace mailvane::test {

inline std::string Normalise(std::string_view in, std::string_view eol) {
    std::string out;
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] == '\r' || in[i] == '\n') {
            out += eol;
            if (in[i] == '\r' && i + 1 < in.size() && in[i + 1] == '\n') ++i;
        } else {
            out += in[i];
        }
    }
    return out;
}

}  // namespace mailvane::test
