#pragma once
// Header text as mail writes it, read into UTF-8: RFC 2047 encoded words
// and raw 8-bit bytes. One reader for subjects, display names and file
// names, in items and in EMLX property lists alike.
#include <optional>
#include <string>
#include <string_view>

namespace mailvane::mapi::import {

// A header value on one line: each line break of a fold goes, the blank
// after it stays.
std::string Unfolded(std::string_view raw);

// Unstructured text (a subject, a description, a parameter value): folds
// undone, each encoded word decoded on its own and the words of a run
// joined with the blanks between them dropped (RFC 2047 6.2); the bytes of
// neighbouring words in one charset are read together, so a character
// split across two words stays whole. Encoded words inside a word or inside
// quotes are read too, as mail programs read them. Raw 8-bit text is read
// as UTF-8 when it is that, else in `fallbackCharset` (the charset the
// message's body declares), else as windows-1252, which reads any byte.
// The result is valid UTF-8 with no NUL; it is not trimmed.
std::string DecodeHeaderText(std::string_view raw, std::string_view fallbackCharset = "");

// A display name as written before an address: quoted strings unquoted,
// their escapes undone, comments dropped, then read as above and trimmed.
std::string DecodePhrase(std::string_view raw, std::string_view fallbackCharset = "");

// The value of parameter `name` ("filename", "name") of a Content-Type or
// Content-Disposition value, as written (a token or a quoted string,
// unquoted), when the field gives it in the plain form; nothing when the
// parameter is absent or given in the RFC 2231 form ("name*="), which the
// MIME parser reads whole.
std::optional<std::string> PlainParameter(std::string_view fieldValue, std::string_view name);

}  // namespace mailvane::mapi::import
