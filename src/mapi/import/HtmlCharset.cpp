#include "mapi/import/HtmlCharset.h"

#include "mapi/import/AsciiCase.h"
#include "mapi/import/HtmlSyntax.h"

namespace mailvane::mapi::import {
namespace {

using html::HasWordAt;
using html::IsAlpha;
using html::IsSpace;
using html::TrimSpace;

constexpr size_t npos = std::string_view::npos;

// The charset named in a meta element's content, "text/html; charset=x".
std::string CharsetInContent(std::string_view content) {
    size_t i = 0;
    while (true) {
        size_t found = npos;
        for (size_t k = i; k + 7 <= content.size(); ++k)
            if (HasWordAt(content, k, "charset")) {
                found = k;
                break;
            }
        if (found == npos) return {};
        i = found + 7;
        while (i < content.size() && IsSpace(content[i])) ++i;
        if (i < content.size() && content[i] == '=') break;
        // "charsetx" or "charset" without '=': look for the next one.
    }
    ++i;
    while (i < content.size() && IsSpace(content[i])) ++i;
    if (i >= content.size()) return {};
    const char quote = content[i];
    if (quote == '"' || quote == '\'') {
        const size_t close = content.find(quote, i + 1);
        if (close == npos) return {};
        return std::string(content.substr(i + 1, close - i - 1));
    }
    size_t end = i;
    while (end < content.size() && !IsSpace(content[end]) && content[end] != ';') ++end;
    return std::string(content.substr(i, end - i));
}

// One attribute of a tag as the prescan reads it, from bytes[*at]; false
// at the tag's end or the end of the bytes.
bool PrescanAttribute(std::string_view bytes, size_t* at, std::string* name, std::string* value) {
    const size_t n = bytes.size();
    size_t i = *at;
    name->clear();
    value->clear();
    while (i < n && (IsSpace(bytes[i]) || bytes[i] == '/')) ++i;
    if (i >= n || bytes[i] == '>') {
        *at = i;
        return false;
    }
    // The name: '=' may start it, and then is part of it.
    do {
        *name += AsciiLower(bytes[i++]);
    } while (i < n && !IsSpace(bytes[i]) && bytes[i] != '/' && bytes[i] != '>' && bytes[i] != '=');
    while (i < n && IsSpace(bytes[i])) ++i;
    if (i >= n || bytes[i] != '=') {
        *at = i;
        return i < n;
    }
    ++i;
    while (i < n && IsSpace(bytes[i])) ++i;
    if (i >= n) return false;
    if (bytes[i] == '"' || bytes[i] == '\'') {
        const size_t close = bytes.find(bytes[i], i + 1);
        if (close == npos) return false;
        *value = AsciiLower(std::string(bytes.substr(i + 1, close - i - 1)));
        *at = close + 1;
        return true;
    }
    const size_t start = i;
    while (i < n && !IsSpace(bytes[i]) && bytes[i] != '>') ++i;
    *value = AsciiLower(std::string(bytes.substr(start, i - start)));
    *at = i;
    return i < n;
}

// A label as browsers take it from a meta element.
std::string MetaCharset(std::string_view label) {
    label = TrimSpace(label);
    if (label == "utf-16" || label == "utf-16le" || label == "utf-16be") return "utf-8";
    if (label == "x-user-defined") return "windows-1252";
    return std::string(label);
}

}  // namespace

std::string HtmlDeclaredCharset(std::string_view htmlBytes) {
    if (htmlBytes.substr(0, 3) == "\xEF\xBB\xBF") return "utf-8";
    if (htmlBytes.substr(0, 2) == "\xFF\xFE") return "utf-16le";
    if (htmlBytes.substr(0, 2) == "\xFE\xFF") return "utf-16be";
    const std::string_view bytes = htmlBytes.substr(0, kDeclarationWindow);
    const size_t n = bytes.size();
    std::string name, value;
    size_t i = 0;
    while (i < n) {
        if (bytes[i] != '<') {
            ++i;
            continue;
        }
        if (HasWordAt(bytes, i, "<!--")) {
            // As browsers read it, "<!-->" is a whole comment.
            const size_t close = bytes.find("-->", i + 2);
            if (close == npos) return {};
            i = close + 3;
        } else if (HasWordAt(bytes, i, "<meta") && i + 5 < n &&
                   (IsSpace(bytes[i + 5]) || bytes[i + 5] == '/')) {
            i += 6;
            bool seenEquiv = false, seenContent = false, seenCharset = false;
            bool gotPragma = false, needPragma = false;
            std::string charset;
            while (PrescanAttribute(bytes, &i, &name, &value)) {
                if (name == "http-equiv" && !seenEquiv) {
                    seenEquiv = true;
                    gotPragma = value == "content-type";
                } else if (name == "content" && !seenContent && !seenCharset) {
                    seenContent = true;
                    charset = CharsetInContent(value);
                    needPragma = !charset.empty();
                } else if (name == "charset" && !seenCharset) {
                    seenCharset = true;
                    charset = value;
                    needPragma = false;
                }
            }
            // <meta charset> alone, or content with http-equiv beside it.
            if (!charset.empty() && (!needPragma || gotPragma)) {
                std::string label = MetaCharset(charset);
                if (!label.empty()) return label;
            }
        } else if (i + 1 < n && (IsAlpha(bytes[i + 1]) ||
                                 (bytes[i + 1] == '/' && i + 2 < n && IsAlpha(bytes[i + 2])))) {
            // Another tag: its attribute values may hold "<meta" as text.
            i += bytes[i + 1] == '/' ? 2 : 1;
            while (i < n && !IsSpace(bytes[i]) && bytes[i] != '>') ++i;
            while (PrescanAttribute(bytes, &i, &name, &value)) {
            }
            ++i;
        } else if (i + 1 < n &&
                   (bytes[i + 1] == '!' || bytes[i + 1] == '/' || bytes[i + 1] == '?')) {
            const size_t close = bytes.find('>', i + 2);
            if (close == npos) return {};
            i = close + 1;
        } else {
            ++i;
        }
    }
    return {};
}

}  // namespace mailvane::mapi::import
