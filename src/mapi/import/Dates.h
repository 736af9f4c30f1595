#pragma once
// The dates a mail carries, as FILETIMEs (UTC).
#include <optional>
#include <string_view>

#include "mapi/PropValue.h"

namespace mailvane::mapi::import {

// An RFC 822 date ("Sat, 3 Jan 1998 01:05:34 +0100" and the usual
// variants); nullopt when no date can be read from it.
std::optional<FileTime> ParseMailDate(std::string_view text);
// The date of a Received field: what follows its last ';'.
std::optional<FileTime> ReceivedDate(std::string_view value);
// The date of a mailbox separator line, "From ann@example.com Sat Jan  3
// 01:05:34 1998", taken as UTC (a zone after the time is honoured).
std::optional<FileTime> SeparatorDate(std::string_view line);

}  // namespace mailvane::mapi::import
