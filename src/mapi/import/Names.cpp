#include "mapi/import/Names.h"

#include <cstdint>

namespace mailvane::mapi::import {
namespace {

// Length of the UTF-8 sequence that starts with `lead` (1 for a stray byte).
size_t SequenceLength(unsigned char lead) {
    if (lead >= 0xF0) return 4;
    if (lead >= 0xE0) return 3;
    if (lead >= 0xC0) return 2;
    return 1;
}

bool IllegalInName(unsigned char c) {
    return c < 0x20 || c == '"' || c == '/' || c == ':' || c == '<' || c == '>' || c == '|' ||
           c == '\\' || c == '*' || c == '?';
}

std::string_view TrimDotsAndSpaces(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '.')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '.')) s.remove_suffix(1);
    return s;
}

// The 8.3 name of [MS-OXCMAIL] 2.2.3.4.1.1: ASCII only, "+,=[];" as "_",
// base cut to 8 (6 and "~1" when anything changed), extension to 3.
std::string ShortName(std::string_view base, std::string_view extension) {
    auto clean = [](std::string_view s, bool* changed) {
        std::string out;
        for (char ch : s) {
            unsigned char c = static_cast<unsigned char>(ch);
            if (c >= 0x80 || c == ' ' || c == '.' || c == '\'' || c == '*' || c == '?' ||
                IllegalInName(c)) {
                *changed = true;
                continue;
            }
            if (c == '+' || c == ',' || c == '=' || c == '[' || c == ']' || c == ';') {
                out += '_';
                *changed = true;
                continue;
            }
            out += ch;
        }
        return out;
    };
    bool changed = false;
    std::string b = clean(base, &changed);
    std::string e = clean(extension, &changed);
    if (b.empty()) {
        b = "ATTACH";
        changed = true;
    }
    if (e.size() > 3) {
        e.resize(3);
        changed = true;
    }
    if (b.size() > 8) changed = true;
    if (changed) b = b.substr(0, 6) + "~1";
    return e.empty() ? b : b + "." + e;
}

// The invisible marks that turn the order text is shown in (U+061C,
// U+200E-U+200F, U+202A-U+202E, U+2066-U+2069), as UTF-8.
bool IsDirectionControl(std::string_view seq) {
    if (seq == "\xD8\x9C") return true;
    if (seq.size() != 3 || seq[0] != '\xE2') return false;
    const auto last = static_cast<unsigned char>(seq[2]);
    if (seq[1] == '\x80') return last == 0x8E || last == 0x8F || (last >= 0xAA && last <= 0xAE);
    return seq[1] == '\x81' && last >= 0xA6 && last <= 0xA9;
}

}  // namespace

SubjectParts SplitSubject(std::string_view subject) {
    size_t i = 0;
    int chars = 0;
    while (i < subject.size() && chars < 4) {
        unsigned char c = static_cast<unsigned char>(subject[i]);
        if (c == ':' || c == ' ' || (c >= '0' && c <= '9')) break;
        i += SequenceLength(c);
        ++chars;
    }
    if (chars >= 1 && chars <= 3 && i < subject.size() && subject[i] == ':') {
        size_t rest = i + 1;
        while (rest < subject.size() && subject[rest] == ' ') ++rest;
        return {std::string(subject.substr(0, i)) + ": ", std::string(subject.substr(rest))};
    }
    return {"", std::string(subject)};
}

AttachNames MakeAttachNames(std::string_view given, std::string_view fallbackBase,
                            std::string_view fallbackExtension) {
    std::string safe;
    safe.reserve(given.size());
    for (size_t i = 0; i < given.size();) {
        unsigned char c = static_cast<unsigned char>(given[i]);
        size_t n = std::min(SequenceLength(c), given.size() - i);
        // Unicode separators (here the ones mail names carry: NBSP, the
        // U+2000 block, line and paragraph separators) read as spaces.
        std::string_view seq = given.substr(i, n);
        if (IsDirectionControl(seq)) {
            // Dropped: they make "\u202Egnp.exe" show as "exe.png".
        } else if (seq == "\xC2\xA0" ||
                   (n == 3 && seq[0] == '\xE2' && seq[1] == '\x80' &&
                    (static_cast<unsigned char>(seq[2]) <= 0x8A || seq[2] == '\xA8' ||
                     seq[2] == '\xA9' || seq[2] == '\xAF')))
            safe += ' ';
        else if (n == 1 && IllegalInName(c))
            safe += '_';
        else
            safe.append(seq);
        i += n;
    }
    std::string_view name = TrimDotsAndSpaces(safe);
    size_t dot = name.rfind('.');
    std::string_view base = TrimDotsAndSpaces(dot == name.npos ? name : name.substr(0, dot));
    std::string_view ext =
        TrimDotsAndSpaces(dot == name.npos ? std::string_view() : name.substr(dot + 1));
    if (name.empty()) ext = fallbackExtension;
    if (base.empty()) base = fallbackBase;
    AttachNames names;
    names.longName = ext.empty() ? std::string(base) : std::string(base) + "." + std::string(ext);
    names.extension = ext.empty() ? std::string() : "." + std::string(ext);
    names.display = names.longName;
    names.shortName = ShortName(base, ext);
    return names;
}

std::string ExtensionForMimeType(std::string_view mimeType) {
    static const struct {
        const char* type;
        const char* extension;
    } kTable[] = {
        {"text/plain", "txt"},
        {"text/html", "htm"},
        {"text/calendar", "ics"},
        {"text/csv", "csv"},
        {"text/xml", "xml"},
        {"text/rtf", "rtf"},
        {"image/png", "png"},
        {"image/jpeg", "jpg"},
        {"image/jpg", "jpg"},
        {"image/gif", "gif"},
        {"image/bmp", "bmp"},
        {"image/tiff", "tif"},
        {"application/pdf", "pdf"},
        {"application/zip", "zip"},
        {"message/rfc822", "eml"},
        {"text/rfc822-headers", "txt"},
        {"message/delivery-status", "txt"},
        {"application/pkcs7-signature", "p7s"},
        {"application/x-pkcs7-signature", "p7s"},
        {"application/pkcs7-mime", "p7m"},
        {"application/x-pkcs7-mime", "p7m"},
        {"application/pgp-signature", "asc"},
        {"application/msword", "doc"},
    };
    for (const auto& e : kTable)
        if (mimeType == e.type) return e.extension;
    return "dat";
}

}  // namespace mailvane::mapi::import
