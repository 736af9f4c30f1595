#pragma once
// Reads header fields straight from a message's bytes, without a full parse.
#include <optional>
#include <string>
#include <string_view>

namespace mailvane {

// The header block: from the start up to the first empty line (or the end).
std::string_view HeaderBlock(std::string_view message);

// A message its mail program deleted but kept in the mailbox until it is
// compacted: the expunged bit (0x0008) of X-Mozilla-Status.
bool MarkedExpunged(std::string_view headers);

// The raw value of the first field called `name` (any case), unfolded and
// trimmed; nothing when the field is absent.
std::optional<std::string> FindHeader(std::string_view headers, std::string_view name);

}  // namespace mailvane
