#pragma once
// The text of an HTML mail as a reader without HTML shows it.
#include <string>
#include <string_view>

namespace mailvane::mapi::import {

// The text a mail program shows for `html`, for a body beside the HTML one.
// The result is valid UTF-8 without NUL, lines end in CR LF, and it neither
// starts nor ends with a line end or a space. What a caller may rely on:
//  - Blocks (p, div, li, tr, headings, blockquote, pre, hr, ...) and br end
//    lines; never more than one blank line in a row. Outlook's own
//    paragraphs (class "Mso...") end a line without a blank one, as their
//    zero margins show them.
//  - Outside pre, runs of white space are one space, and no line starts or
//    ends with one; inside pre, spaces and line ends stay as written.
//  - List items start with "- " (or "1. " in a numbered list), indented two
//    spaces for each list they are nested in; cells of a row are split by a
//    tab; each line inside a blockquote starts with "> " for each level.
//  - A link keeps its text, followed by " <URL>" when its target is an
//    http, https or ftp address that its text does not already spell.
//  - Character references are decoded, named (those of HTML 4 and &apos;)
//    and numeric; NUL, surrogates and values past U+10FFFF become U+FFFD,
//    and &#128; to &#159; the windows-1252 characters, as browsers read them.
//    A no-break space is a space; soft hyphens are dropped, and joiners
//    and zero-width spaces are kept only between two visible characters.
//  - Comments (conditional ones too), CDATA, doctypes, script, style, title
//    and template contents are dropped; other unknown tags (o:p) are not
//    shown but their text is.
//  - Broken markup never hides text before it. An unclosed comment or quoted
//    attribute value ends at the next '>'; a tag, script or style still open
//    at the end drops only itself.
//  - Time is linear in the input, without recursion, whatever it holds.
// Bytes that are not UTF-8 are read as windows-1252, each on its own.
std::string HtmlToText(std::string_view html);

}  // namespace mailvane::mapi::import
