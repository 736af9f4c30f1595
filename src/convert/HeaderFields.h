#pragma once
// Reads header fields straight from a message's bytes, without a full parse.
#include <optional>
#include <string>
#include <string_view>

namespace mailvane {

// The header block: from the start up to the first empty line (or the end).
std::string_view HeaderBlock(std::string_view message);

// The raw value of the first field called `name` (any case), unfolded and
// trimmed; nothing when the field is absent.
std::optional<std::string> FindHeader(std::string_view headers, std::string_view name);

}  // namespace mailvane
