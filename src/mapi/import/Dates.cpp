#include "mapi/import/Dates.h"

#include <cstdint>
#include <string>
#include <vector>

#include "mapi/import/GMimeSupport.h"

namespace mailvane::mapi::import {
namespace {

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

int MonthOf(std::string_view token) {
    static const char* kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                    "jul", "aug", "sep", "oct", "nov", "dec"};
    if (token.size() < 3) return 0;
    for (int i = 0; i < 12; ++i) {
        bool same = true;
        for (int k = 0; k < 3; ++k)
            if ((token[k] | 0x20) != kMonths[i][k]) same = false;
        if (same) return i + 1;
    }
    return 0;
}

bool AllDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

int64_t Number(std::string_view s) {
    int64_t n = 0;
    for (char c : s) n = n * 10 + (c - '0');
    return n;
}

// "hh:mm" or "hh:mm:ss" as seconds into the day; -1 when it is no time.
int64_t TimeOfDay(std::string_view s) {
    int64_t parts[3] = {0, 0, 0};
    int count = 0;
    size_t start = 0;
    while (count < 3) {
        size_t colon = s.find(':', start);
        std::string_view piece =
            s.substr(start, colon == std::string_view::npos ? s.npos : colon - start);
        if (!AllDigits(piece) || piece.size() > 2) return -1;
        parts[count++] = Number(piece);
        if (colon == std::string_view::npos) break;
        start = colon + 1;
    }
    if (count < 2 || parts[0] > 23 || parts[1] > 59 || parts[2] > 60) return -1;
    return parts[0] * 3600 + parts[1] * 60 + parts[2];
}

}  // namespace

std::optional<FileTime> ParseMailDate(std::string_view text) {
    EnsureGMime();
    std::string copy(text);
    GDateTime* date = g_mime_utils_header_decode_date(copy.c_str());
    if (!date) return std::nullopt;
    int64_t seconds = g_date_time_to_unix(date);
    g_date_time_unref(date);
    // GMime gives the epoch itself for text it cannot read.
    if (seconds <= 0 || seconds + 11644473600LL < 0) return std::nullopt;
    return FileTime::FromUnix(seconds);
}

std::optional<FileTime> ReceivedDate(std::string_view value) {
    size_t semicolon = value.rfind(';');
    if (semicolon == std::string_view::npos) return std::nullopt;
    return ParseMailDate(value.substr(semicolon + 1));
}

std::optional<FileTime> SeparatorDate(std::string_view line) {
    std::vector<std::string_view> tokens;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) tokens.push_back(line.substr(start, i - start));
    }
    // "From", the envelope sender, then [weekday] month day time [zone] year.
    for (size_t m = 2; m + 2 < tokens.size(); ++m) {
        int month = MonthOf(tokens[m]);
        if (!month || tokens[m].size() > 9) continue;
        if (!AllDigits(tokens[m + 1]) || tokens[m + 1].size() > 2) continue;
        int64_t day = Number(tokens[m + 1]);
        int64_t time = TimeOfDay(tokens[m + 2]);
        if (day < 1 || day > 31 || time < 0) continue;
        int64_t offset = 0;
        size_t y = m + 3;
        if (y < tokens.size() && !AllDigits(tokens[y]) && y + 1 < tokens.size()) {
            std::string_view zone = tokens[y];
            if ((zone[0] == '+' || zone[0] == '-') && zone.size() == 5 &&
                AllDigits(zone.substr(1))) {
                int64_t hhmm = Number(zone.substr(1));
                offset = (hhmm / 100 * 3600 + hhmm % 100 * 60) * (zone[0] == '-' ? -1 : 1);
            }
            ++y;
        }
        if (y >= tokens.size() || !AllDigits(tokens[y]) || tokens[y].size() != 4) continue;
        int64_t seconds = DaysFromCivil(Number(tokens[y]), static_cast<unsigned>(month),
                                        static_cast<unsigned>(day)) *
                              86400 +
                          time - offset;
        if (seconds + 11644473600LL < 0) return std::nullopt;
        return FileTime::FromUnix(seconds);
    }
    return std::nullopt;
}

}  // namespace mailvane::mapi::import
