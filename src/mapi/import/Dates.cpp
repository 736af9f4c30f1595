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

// The words of a date, split at blanks and at any of `separators`.
std::vector<std::string_view> Words(std::string_view text, std::string_view separators) {
    auto apart = [&](char c) {
        return c == ' ' || c == '\t' || separators.find(c) != std::string_view::npos;
    };
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && apart(text[i])) ++i;
        size_t start = i;
        while (i < text.size() && !apart(text[i])) ++i;
        if (i > start) words.push_back(text.substr(start, i - start));
    }
    return words;
}

// "+hhmm" or "-hhmm" as seconds east of UTC; 0 for any other zone.
int64_t ZoneOffset(std::string_view zone) {
    if (zone.size() != 5 || (zone[0] != '+' && zone[0] != '-') || !AllDigits(zone.substr(1)))
        return 0;
    int64_t hhmm = Number(zone.substr(1));
    return (hhmm / 100 * 3600 + hhmm % 100 * 60) * (zone[0] == '-' ? -1 : 1);
}

// "[day-of-week,] day month year hh:mm[:ss] [zone]" with a four-digit year,
// the form RFC 5322 writes, as seconds since 1970; GMime reads no year
// before 1969, which mail from old archives carries.
std::optional<int64_t> FormalDate(std::string_view text) {
    std::vector<std::string_view> tokens = Words(text, ",");
    size_t t = !tokens.empty() && !AllDigits(tokens[0]) ? 1 : 0;  // the day of the week
    if (tokens.size() < t + 4) return std::nullopt;
    std::string_view day = tokens[t], year = tokens[t + 2];
    int month = MonthOf(tokens[t + 1]);
    int64_t time = TimeOfDay(tokens[t + 3]);
    if (!AllDigits(day) || day.size() > 2 || !month || tokens[t + 1].size() > 9 ||
        !AllDigits(year) || year.size() != 4 || time < 0)
        return std::nullopt;
    static constexpr unsigned kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int64_t d = Number(day), y = Number(year);
    bool leap = y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
    if (d < 1 || d > kDays[month - 1] || (month == 2 && d == 29 && !leap)) return std::nullopt;
    int64_t offset = tokens.size() > t + 4 ? ZoneOffset(tokens[t + 4]) : 0;
    return DaysFromCivil(y, static_cast<unsigned>(month), static_cast<unsigned>(d)) * 86400 + time -
           offset;
}

}  // namespace

std::optional<FileTime> ParseMailDate(std::string_view text) {
    EnsureGMime();
    std::string copy(text);
    std::optional<int64_t> seconds;
    // GMime answers null for text it cannot read; any time it gives is a
    // date, the epoch and earlier included.
    if (GDateTime* date = g_mime_utils_header_decode_date(copy.c_str())) {
        seconds = g_date_time_to_unix(date);
        g_date_time_unref(date);
    } else {
        seconds = FormalDate(text);
    }
    // A FILETIME counts from 1601.
    if (!seconds || *seconds + 11644473600LL < 0) return std::nullopt;
    return FileTime::FromUnix(*seconds);
}

std::optional<FileTime> ReceivedDate(std::string_view value) {
    size_t semicolon = value.rfind(';');
    if (semicolon == std::string_view::npos) return std::nullopt;
    return ParseMailDate(value.substr(semicolon + 1));
}

std::optional<FileTime> SeparatorDate(std::string_view line) {
    std::vector<std::string_view> tokens = Words(line, "");
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
        if (y < tokens.size() && !AllDigits(tokens[y]) && y + 1 < tokens.size())
            offset = ZoneOffset(tokens[y++]);
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
