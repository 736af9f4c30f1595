#pragma once
// The charset an HTML part names for itself.
#include <cstddef>
#include <string>
#include <string_view>

namespace mailvane::mapi::import {

// The charset the document names for itself, in lower case, as a browser's
// prescan finds it: a byte order mark, else <meta charset=...> or <meta
// http-equiv="Content-Type" content="...; charset=...">, in any case,
// attribute order or quoting, with comments skipped. A "utf-16" label
// names UTF-8 (the bytes could not have been read as ASCII to find it) and
// "x-user-defined" windows-1252, as browsers take them. "" when there is
// none. Only the first kDeclarationWindow bytes are looked at.
std::string HtmlDeclaredCharset(std::string_view htmlBytes);

// Browsers look at 1024 bytes; mail generators put more before the meta
// element (long comments, style blocks, a doctype with a system id), so
// this looks further. It stops well short of the body, where a <meta>
// quoted in a forwarded message or pasted from a web page would name the
// charset of some other document.
inline constexpr size_t kDeclarationWindow = 4096;

}  // namespace mailvane::mapi::import
