#include "convert/HeaderFields.h"

#include <gmime/gmime.h>

#include <array>
#include <cctype>
#include <ctime>
#include <mutex>
#include <sstream>
#include <vector>

namespace mailvane {

namespace {

void InitGMime() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

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

std::string DecodeHeaderText(std::string_view raw) {
    InitGMime();
    const std::string text(raw);
    char* decoded = g_mime_utils_header_decode_text(nullptr, text.c_str());
    std::string result;
    if (decoded) {
        char* valid = g_utf8_make_valid(decoded, -1);
        result = valid;
        g_free(valid);
        g_free(decoded);
    } else {
        char* valid = g_utf8_make_valid(text.c_str(), static_cast<gssize>(text.size()));
        result = valid;
        g_free(valid);
    }
    return result;
}

std::optional<long long> ParseHeaderDate(std::string_view raw) {
    InitGMime();
    const std::string text(raw);
    GDateTime* date = g_mime_utils_header_decode_date(text.c_str());
    if (!date) return std::nullopt;
    const long long seconds = g_date_time_to_unix(date);
    g_date_time_unref(date);
    return seconds;
}

std::optional<long long> ParseSeparatorDate(std::string_view separatorLine) {
    static constexpr std::array<const char*, 12> kMonths = {
        "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::istringstream words{std::string(separatorLine)};
    std::vector<std::string> tokens;
    for (std::string word; words >> word;) tokens.push_back(word);
    // Look for "Mon dd hh:mm[:ss] ... yyyy" anywhere after the sender.
    for (std::size_t i = 2; i + 2 < tokens.size(); ++i) {
        int month = -1;
        for (int m = 0; m < 12; ++m) {
            if (SameName(tokens[i], kMonths[m])) month = m;
        }
        if (month < 0) continue;
        std::tm when{};
        when.tm_mon = month;
        try {
            when.tm_mday = std::stoi(tokens[i + 1]);
        } catch (...) {
            continue;
        }
        int h = 0, m = 0, s = 0;
        if (std::sscanf(tokens[i + 2].c_str(), "%d:%d:%d", &h, &m, &s) < 2) continue;
        int year = -1;
        for (std::size_t j = i + 3; j < tokens.size() && year < 0; ++j) {
            if (tokens[j].size() == 4 && std::isdigit(static_cast<unsigned char>(tokens[j][0])))
                year = std::atoi(tokens[j].c_str());
        }
        if (year < 1900 || when.tm_mday < 1 || when.tm_mday > 31 || h > 23 || m > 59 || s > 60)
            return std::nullopt;
        when.tm_year = year - 1900;
        when.tm_hour = h;
        when.tm_min = m;
        when.tm_sec = s;
#ifdef _WIN32
        return static_cast<long long>(_mkgmtime(&when));
#else
        return static_cast<long long>(timegm(&when));
#endif
    }
    return std::nullopt;
}

}  // namespace mailvane
