#pragma once
// UTF-8 <-> UTF-16LE, the form every Unicode string takes in a store and a
// message file. Malformed UTF-8 becomes U+FFFD rather than failing: a
// mailbox's text is whatever the mail carried. A NUL is converted like any
// other character.
#include <string>
#include <string_view>

namespace mailvane::format {

std::string Utf16FromUtf8(std::string_view utf8);
std::string Utf8FromUtf16(std::string_view utf16le);

}  // namespace mailvane::format
