#pragma once
// The dates a mail carries. One reader serves every output: the store and
// message-file import takes FILETIMEs, the EMLX writer seconds since 1970;
// both see the same instant for the same text.
#include <cstdint>
#include <optional>
#include <string_view>

#include "mapi/PropValue.h"

namespace mailvane::mapi::import {

// Seconds since 1970 (UTC) of a date as mail writes it: RFC 5322 and its
// obsolete forms ("Sat, 3 Jan 1998 01:05:34 +0100", two-digit years, named
// zones; military letters count as UTC), and what clients wrote besides: no
// day of the week, "3-Jan-1998", full month names, "06:50:21 PM", a zone
// glued to the time or written "+01:00", a zone named only in a comment
// ("(CET)"), a year kept as tm_year ("102", "0102": 2002), ISO "2002-01-15
// 10:00:00", asctime "Tue Jan 15 10:00:00 2002" and numeric "01/15/2002"
// (month first unless the first number cannot be a month). Without a zone
// the time is UTC; without a time, midnight; text after a whole date with
// its zone is ignored. nullopt for text it cannot read whole (a mangled time
// or word with digits, stray numbers, a day the month lacks) and for dates
// before 1601, where a FILETIME cannot count.
std::optional<int64_t> MailDateSeconds(std::string_view text);
// The same instant, as a FILETIME.
std::optional<FileTime> ParseMailDate(std::string_view text);
// The date of a Received field: what follows its last ';'.
std::optional<FileTime> ReceivedDate(std::string_view value);

// Seconds since 1970 of the date on a mailbox separator line, "From
// ann@example.com Sat Jan  3 01:05:34 1998": the date after the sender, read
// as MailDateSeconds reads it (UTC unless a zone follows the time).
std::optional<int64_t> SeparatorSeconds(std::string_view line);
std::optional<FileTime> SeparatorDate(std::string_view line);

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d);

}  // namespace mailvane::mapi::import
