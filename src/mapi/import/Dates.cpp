#include "mapi/import/Dates.h"

#include <iterator>
#include <string>
#include <vector>

#include "mapi/format/FileTime.h"
#include "mapi/import/AsciiCase.h"

namespace mailvane::mapi::import {
namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool AllDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!IsDigit(c)) return false;
    return true;
}

// REQUIRES: `s` is digits, at most nine of them.
int64_t Number(std::string_view s) {
    int64_t n = 0;
    for (char c : s) n = n * 10 + (c - '0');
    return n;
}

constexpr std::string_view kMonths[] = {"january",   "february", "march",    "april",
                                        "may",       "june",     "july",     "august",
                                        "september", "october",  "november", "december"};

// The month (1 to 12) a word names or abbreviates to three letters or more
// ("Jan", "Sept.", "January"); 0 for any other word.
int MonthOf(std::string_view word) {
    if (!word.empty() && word.back() == '.') word.remove_suffix(1);
    if (word.size() < 3) return 0;
    for (size_t i = 0; i < std::size(kMonths); ++i)
        if (word.size() <= kMonths[i].size() &&
            SameIgnoringCase(word, kMonths[i].substr(0, word.size())))
            return static_cast<int>(i) + 1;
    return 0;
}

// "+hhmm", "+hh:mm", "+hmm" or "+hh" (either sign) as seconds east of UTC.
std::optional<int64_t> NumericZone(std::string_view s) {
    if (s.size() < 2 || (s[0] != '+' && s[0] != '-')) return std::nullopt;
    std::string_view body = s.substr(1);
    int64_t hours = 0, minutes = 0;
    if (size_t colon = body.find(':'); colon != std::string_view::npos) {
        std::string_view h = body.substr(0, colon), m = body.substr(colon + 1);
        if (!AllDigits(h) || h.size() > 2 || !AllDigits(m) || m.size() != 2) return std::nullopt;
        hours = Number(h);
        minutes = Number(m);
    } else if (AllDigits(body) && body.size() <= 4) {
        hours = body.size() <= 2 ? Number(body) : Number(body) / 100;
        minutes = body.size() <= 2 ? 0 : Number(body) % 100;
    } else {
        return std::nullopt;
    }
    if (hours > 23 || minutes > 59) return std::nullopt;
    return (hours * 3600 + minutes * 60) * (s[0] == '-' ? -1 : 1);
}

// A zone by name, in capitals as mail writes them, or "GMT+01:00". The
// military letters count as UTC: RFC 822 gave them the wrong sign, so no
// client's use of them can be trusted.
std::optional<int64_t> NamedZone(std::string_view s) {
    // Every name starts with a capital: most words of a date are no zone.
    if (s.empty() || s[0] < 'A' || s[0] > 'Z') return std::nullopt;
    struct Zone {
        std::string_view name;
        int hours;
    };
    static constexpr Zone kZones[] = {
        {"UT", 0},    {"UTC", 0},   {"GMT", 0},   {"Z", 0},     {"EST", -5}, {"EDT", -4},
        {"CST", -6},  {"CDT", -5},  {"MST", -7},  {"MDT", -6},  {"PST", -8}, {"PDT", -7},
        {"AKST", -9}, {"AKDT", -8}, {"HST", -10}, {"WET", 0},   {"WEST", 1}, {"BST", 1},
        {"CET", 1},   {"CEST", 2},  {"MET", 1},   {"MEST", 2},  {"MEZ", 1},  {"MESZ", 2},
        {"EET", 2},   {"EEST", 3},  {"MSK", 3},   {"JST", 9},   {"KST", 9},  {"HKT", 8},
        {"AEST", 10}, {"AEDT", 11}, {"NZST", 12}, {"NZDT", 13},
    };
    for (const Zone& zone : kZones)
        if (s == zone.name) return zone.hours * 3600;
    if (s.size() == 1 && s[0] >= 'A' && s[0] <= 'Z' && s[0] != 'J') return 0;
    for (std::string_view utc : {"GMT", "UTC", "UT"})
        if (s.size() > utc.size() && s.substr(0, utc.size()) == utc &&
            (s[utc.size()] == '+' || s[utc.size()] == '-'))
            return NumericZone(s.substr(utc.size()));
    return std::nullopt;
}

std::optional<int64_t> Zone(std::string_view s) {
    if (std::optional<int64_t> zone = NumericZone(s)) return zone;
    return NamedZone(s);
}

enum class Meridiem { None, Am, Pm };

// "AM", "pm", "a.m." and the like.
Meridiem MeridiemOf(std::string_view s) {
    char letters[2];
    size_t count = 0;
    for (char c : s) {
        if (c == '.') continue;
        if (count == 2) return Meridiem::None;
        letters[count++] = AsciiLower(c);
    }
    if (count != 2 || letters[1] != 'm') return Meridiem::None;
    return letters[0] == 'a' ? Meridiem::Am : letters[0] == 'p' ? Meridiem::Pm : Meridiem::None;
}

struct Clock {
    int64_t hour = 0, minute = 0, second = 0;
    Meridiem meridiem = Meridiem::None;
    std::optional<int64_t> zone;
};

// "h:mm[:ss[.fff]]", with an AM/PM marker and then a zone glued on
// ("11:36:12+0000", "06:50:21PM"); false when the word is no such time.
bool ReadClock(std::string_view s, Clock* clock) {
    size_t at = 0;
    size_t width = 0;  // of the last field read
    auto field = [&](int64_t* value) {
        size_t start = at;
        while (at < s.size() && at - start < 2 && IsDigit(s[at])) ++at;
        width = at - start;
        *value = Number(s.substr(start, width));
        return width > 0;
    };
    if (!field(&clock->hour) || at >= s.size() || s[at++] != ':' || !field(&clock->minute))
        return false;
    if (at < s.size() && s[at] == ':') {
        ++at;
        if (!field(&clock->second)) return false;
    }
    // Whatever follows a field of one digit ("23:2-2:04") is too mangled to trust.
    if (at < s.size() && width < 2) return false;
    if (at + 1 < s.size() && s[at] == '.' && IsDigit(s[at + 1])) {  // fractions of a second
        ++at;
        while (at < s.size() && IsDigit(s[at])) ++at;
    }
    if (clock->hour > 23 || clock->minute > 59 || clock->second > 60) return false;
    std::string_view rest = s.substr(at);
    for (size_t n : {4, 2}) {  // "a.m." or "am"
        if (rest.size() >= n && MeridiemOf(rest.substr(0, n)) != Meridiem::None) {
            clock->meridiem = MeridiemOf(rest.substr(0, n));
            rest.remove_prefix(n);
            break;
        }
    }
    if (rest.empty()) return true;
    // A military letter glued on is more likely a typing slip than a zone.
    if (rest.size() == 1 && rest != "Z") return false;
    clock->zone = Zone(rest);
    return clock->zone.has_value();
}

// The year a mail wrote, or -1. Below 100, whatever zeros lead it, as RFC
// 5322 reads two digits; three digits, or four with a leading zero, as
// tm_year printed as is, which only clients of the years 2000 to 2099 wrote.
int64_t YearOf(std::string_view digits) {
    const int64_t value = Number(digits);
    if (value < 100) return value < 50 ? 2000 + value : 1900 + value;
    if (digits.size() == 4 && digits[0] != '0') return value;
    return value < 200 ? 1900 + value : -1;
}

// A number that can only be a year.
bool YearLike(std::string_view digits) {
    return digits.size() >= 3 || Number(digits) > 31;
}

// What the words of a date said, before they are put together.
struct Parts {
    std::vector<std::string_view> numbers;  // day and year, in any order
    std::vector<std::string_view> numeric;  // "01/15/2002" or "2002-01-15"
    int month = 0;                          // from a month's name
    bool hasClock = false;
    Clock clock;
    Meridiem meridiem = Meridiem::None;
    std::optional<int64_t> zone, commentZone;

    // Day, month, year, time and zone read: what follows (a Received field
    // folded into the next header) is no part of the date.
    bool Whole() const {
        return hasClock && zone && (month ? numbers.size() == 2 : numeric.size() == 3);
    }
};

// False when the word makes the text no date.
bool ReadWord(std::string_view word, Parts* parts) {
    if (word[0] == '+' || word[0] == '-') {
        if (!parts->zone) parts->zone = NumericZone(word);
        return true;
    }
    if (std::optional<int64_t> zone = NamedZone(word)) {
        // A lone letter is UTC at best, and more often a slip ("T, 05 Jul"):
        // it never hides a zone written after it.
        if (!parts->zone && word.size() > 1) parts->zone = zone;
        return true;
    }
    // ISO 8601 "2002-01-15T10:00:00Z".
    for (size_t i = 1; i + 1 < word.size(); ++i)
        if ((word[i] == 'T' || word[i] == 't') && IsDigit(word[i - 1]) && IsDigit(word[i + 1]))
            return ReadWord(word.substr(0, i), parts) && ReadWord(word.substr(i + 1), parts);
    if (word.find(':') != std::string_view::npos) {
        if (parts->hasClock || !ReadClock(word, &parts->clock)) return false;
        parts->hasClock = true;
        if (parts->clock.zone && !parts->zone) parts->zone = parts->clock.zone;
        return true;
    }
    if (Meridiem meridiem = MeridiemOf(word); meridiem != Meridiem::None) {
        parts->meridiem = meridiem;
        return true;
    }
    // The pieces between dashes and slashes, twice over rather than
    // gathered: this runs for every word of every date.
    const auto forEachPiece = [&](auto&& visit) {
        size_t start = 0;
        for (size_t i = 0; i <= word.size(); ++i) {
            if (i < word.size() && word[i] != '-' && word[i] != '/') continue;
            if (i > start && !visit(word.substr(start, i - start))) return false;
            start = i + 1;
        }
        return true;
    };
    size_t count = 0;
    const bool digits = forEachPiece([&](std::string_view piece) {
        ++count;
        return AllDigits(piece);
    });
    if (digits && count > 1) {
        if (count != 3 || !parts->numeric.empty()) return false;
        forEachPiece([&](std::string_view piece) {
            parts->numeric.push_back(piece);
            return true;
        });
        return true;
    }
    return forEachPiece([&](std::string_view piece) {
        if (AllDigits(piece)) {
            if (piece.size() > 4) return false;
            parts->numbers.push_back(piece);
        } else if (int month = MonthOf(piece)) {
            if (parts->month) return false;
            parts->month = month;
        } else if (piece.find_first_of("0123456789") != std::string_view::npos) {
            return false;  // digits in a word nothing here reads ("200+9") are mangled ones
        }
        // Any other word (a day of the week, "at") says nothing.
        return true;
    });
}

std::optional<int64_t> Assemble(const Parts& parts) {
    int64_t year = 0, month = parts.month, day = 0;
    std::vector<std::string_view> numeric = parts.numeric;
    if (numeric.empty() && !month && parts.numbers.size() == 3 &&
        (parts.numbers[0].size() == 4 || parts.numbers[2].size() == 4))
        numeric = parts.numbers;  // "27 6 2001": a year of four digits tells them apart
    else if (!numeric.empty() && (month || !parts.numbers.empty()))
        return std::nullopt;
    if (!numeric.empty()) {
        std::string_view a = numeric[0], b = numeric[1], c = numeric[2];
        if (a.size() > 4 || b.size() > 2 || c.size() > 4) return std::nullopt;
        if (YearLike(a)) {
            year = YearOf(a), month = Number(b), day = Number(c);
        } else {
            year = YearOf(c);
            month = Number(Number(a) > 12 ? b : a);
            day = Number(Number(a) > 12 ? a : b);
        }
    } else {
        if (!month) return std::nullopt;
        bool haveDay = false, haveYear = false;
        for (std::string_view n : parts.numbers) {
            if (!YearLike(n) && !haveDay) {
                day = Number(n), haveDay = true;
            } else if (!haveYear) {
                year = YearOf(n), haveYear = true;
            } else if (n != "0") {  // "0" was meant as a zone
                return std::nullopt;
            }
        }
        if (!haveDay || !haveYear) return std::nullopt;
    }
    if (year < 0) return std::nullopt;
    static constexpr int64_t kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1] ||
        (month == 2 && day == 29 && !leap))
        return std::nullopt;

    int64_t hour = parts.clock.hour;
    const Meridiem meridiem =
        parts.clock.meridiem != Meridiem::None ? parts.clock.meridiem : parts.meridiem;
    // "18:50 PM" is still 18:50; "18:50 AM" is no time at all.
    if (meridiem == Meridiem::Am && hour > 12) return std::nullopt;
    if (meridiem != Meridiem::None && hour >= 1 && hour <= 12)
        hour = hour % 12 + (meridiem == Meridiem::Pm ? 12 : 0);
    const int64_t zone = parts.zone ? *parts.zone : parts.commentZone.value_or(0);
    const int64_t seconds =
        DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
        hour * 3600 + parts.clock.minute * 60 + parts.clock.second - zone;
    if (seconds + format::kSecondsFrom1601 < 0) return std::nullopt;
    return seconds;
}

std::optional<FileTime> AsFileTime(std::optional<int64_t> seconds) {
    if (!seconds) return std::nullopt;
    return FileTime::FromUnix(*seconds);
}

bool Blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

std::optional<int64_t> MailDateSeconds(std::string_view text) {
    Parts parts;
    size_t i = 0;
    while (i < text.size() && !parts.Whole()) {
        if (Blank(text[i]) || text[i] == ',') {
            ++i;
        } else if (text[i] == '(') {
            // A comment names the zone only where the date gives none: "(CET)".
            size_t start = ++i;
            int depth = 1;
            for (; i < text.size() && depth > 0; ++i)
                depth += text[i] == '(' ? 1 : text[i] == ')' ? -1 : 0;
            if (depth > 0) return std::nullopt;  // the date may be in what it swallowed
            std::string_view comment = text.substr(start, i - 1 - start);
            if (!parts.commentZone) parts.commentZone = Zone(comment);
        } else {
            size_t start = i;
            while (i < text.size() && !Blank(text[i]) && text[i] != ',' && text[i] != '(') ++i;
            if (!ReadWord(text.substr(start, i - start), &parts)) return std::nullopt;
        }
    }
    return Assemble(parts);
}

std::optional<FileTime> ParseMailDate(std::string_view text) {
    return AsFileTime(MailDateSeconds(text));
}

std::optional<FileTime> ReceivedDate(std::string_view value) {
    size_t semicolon = value.rfind(';');
    if (semicolon == std::string_view::npos) return std::nullopt;
    return ParseMailDate(value.substr(semicolon + 1));
}

std::optional<int64_t> SeparatorSeconds(std::string_view line) {
    // "From" and the envelope sender come before the date.
    size_t at = 0;
    for (int word = 0; word < 2; ++word) {
        while (at < line.size() && Blank(line[at])) ++at;
        while (at < line.size() && !Blank(line[at])) ++at;
    }
    return MailDateSeconds(line.substr(at));
}

std::optional<FileTime> SeparatorDate(std::string_view line) {
    return AsFileTime(SeparatorSeconds(line));
}

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

}  // namespace mailvane::mapi::import
