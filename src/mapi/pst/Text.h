#pragma once
// UTF-8 <-> UTF-16LE, the form every Unicode string takes in a store.
// Malformed UTF-8 becomes U+FFFD rather than failing: a mailbox's text is
// whatever the mail carried.
#include <string>
#include <string_view>

namespace mailvane::pst {

std::string Utf16FromUtf8(std::string_view utf8);
std::string Utf8FromUtf16(std::string_view utf16le);

}  // namespace mailvane::pst
