#pragma once
// Text of a mail in any charset, read as UTF-8 without losing a byte.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace mailvane::mapi::import {

struct DecodedText {
    std::string utf8;         // valid UTF-8 with no NUL
    std::string charset;      // the charset that read the bytes (lower case)
    bool asDeclared = false;  // the declared charset read every byte
};

// Reads `bytes` in the declared `charset`. A charset that is unknown, or
// that the bytes do not fit (a "us-ascii" mail in UTF-8, a "UTF-8" mail in
// Latin-1), gives way to UTF-8 and then to windows-1252, which reads every
// byte; bytes no charset reads become visible characters, never dropped.
// A declared charset that a few bytes do not fit (one cut character in a
// Big5 text; a binary footer under a UTF-8 label that the rest bears out)
// still reads the rest, those bytes as U+FFFD, and counts as read as
// declared.
DecodedText DecodeText(std::string_view bytes, std::string_view charset);

// UTF-8 as it is where valid; each byte of an invalid sequence read as
// windows-1252 (its five unassigned bytes as the C1 controls of the same
// value), and NUL as U+FFFD, which no string property can hold.
std::string CleanUtf8(std::string_view text);

// Appends code point `c` (at most U+10FFFF) as UTF-8.
void AppendUtf8(std::string& out, char32_t c);

// How many bytes from the start of `text` are well-formed UTF-8 holding no
// NUL (no overlong forms, surrogates or values past U+10FFFF).
size_t Utf8ValidLength(std::string_view text);

// The Windows code page of a MIME charset name; 0 for a name it does not know.
uint32_t CodePageOf(std::string_view charset);

}  // namespace mailvane::mapi::import
