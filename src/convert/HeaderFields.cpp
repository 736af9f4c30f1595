#include "convert/HeaderFields.h"

#include <cctype>
#include <cstdlib>

namespace mailvane {

namespace {

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

std::string_view LineAt(std::string_view text, std::size_t at, std::size_t& next) {
    std::size_t end = text.find('\n', at);
    next = (end == text.npos) ? text.size() : end + 1;
    if (end == text.npos) end = text.size();
    if (end > at && text[end - 1] == '\r') --end;
    return text.substr(at, end - at);
}

std::string Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == text.npos) return {};
    return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

}  // namespace

std::string_view HeaderBlock(std::string_view message) {
    std::size_t at = 0;
    while (at < message.size()) {
        std::size_t next;
        if (LineAt(message, at, next).empty()) return message.substr(0, at);
        at = next;
    }
    return message;
}

std::optional<std::string> FindHeader(std::string_view headers, std::string_view name) {
    std::size_t at = 0;
    while (at < headers.size()) {
        std::size_t next;
        const auto line = LineAt(headers, at, next);
        at = next;
        // A line that starts with a blank continues the field before it; its
        // text ("h=From : Subject : ..." in a signature) never names a field.
        if (line.empty() || line[0] == ' ' || line[0] == '\t') continue;
        const auto colon = line.find(':');
        if (colon == line.npos || !SameName(Trim(line.substr(0, colon)), name)) continue;
        std::string value(line.substr(colon + 1));
        // Continuation lines start with a blank; unfolding drops the break only.
        while (at < headers.size() && (headers[at] == ' ' || headers[at] == '\t')) {
            value += LineAt(headers, at, next);
            at = next;
        }
        return Trim(value);
    }
    return std::nullopt;
}

bool MarkedExpunged(std::string_view headers) {
    const auto status = FindHeader(headers, "X-Mozilla-Status");
    return status && (std::strtol(status->c_str(), nullptr, 16) & 0x0008) != 0;
}

}  // namespace mailvane
