#include "mapi/import/HeaderText.h"

#include <cctype>
#include <optional>
#include <vector>

#include "mapi/import/AsciiCase.h"
#include "mapi/import/Charsets.h"
#include "mapi/import/GMimeSupport.h"

namespace mailvane::mapi::import {

std::string Unfolded(std::string_view raw) {
    std::string out(raw.size(), '\0');
    size_t length = 0;
    for (char c : raw)
        if (c != '\r' && c != '\n') out[length++] = c;
    out.resize(length);
    return out;
}

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string DecodeQ(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '_') {
            out += ' ';
        } else if (c == '=' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
                   HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

// One encoded word "=?charset[*language]?B|Q?text?=" at `at`: its charset,
// its bytes, and where it ends; nothing when the text there is none.
struct EncodedWord {
    std::string charset;
    std::string bytes;
    size_t end = 0;
};

std::optional<EncodedWord> ReadEncodedWord(std::string_view text, size_t at) {
    if (text.compare(at, 2, "=?") != 0) return std::nullopt;
    const size_t charsetEnd = text.find('?', at + 2);
    // A charset name is a short token; a longer run is no encoded word.
    if (charsetEnd == std::string_view::npos || charsetEnd == at + 2 || charsetEnd - at > 80)
        return std::nullopt;
    std::string_view charset = text.substr(at + 2, charsetEnd - at - 2);
    for (char c : charset)
        if (static_cast<unsigned char>(c) <= ' ' || c == '=') return std::nullopt;
    if (charsetEnd + 2 >= text.size() || text[charsetEnd + 2] != '?') return std::nullopt;
    const char encoding =
        static_cast<char>(std::toupper(static_cast<unsigned char>(text[charsetEnd + 1])));
    if (encoding != 'B' && encoding != 'Q') return std::nullopt;
    const size_t textBegin = charsetEnd + 3;
    // Q text holds no '?' and B text none at all, so the first '?' ends it
    // and must be followed by '='. Blanks are allowed in Q text, as some
    // mail programs write them.
    const size_t close = text.find('?', textBegin);
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != '=')
        return std::nullopt;
    std::string_view encoded = text.substr(textBegin, close - textBegin);
    if (encoding == 'B')
        for (char c : encoded)
            if (IsBlank(c)) return std::nullopt;
    EncodedWord word;
    word.charset = std::string(charset.substr(0, charset.find('*')));
    // Each word alone: the padding of one ends only that one.
    word.bytes = encoding == 'B' ? DecodeBase64(encoded) : DecodeQ(encoded);
    word.end = close + 2;
    return word;
}

// Raw bytes of a header: UTF-8 when they are that, else the fallback.
std::string DecodeRaw(std::string_view bytes, std::string_view fallbackCharset) {
    if (Utf8ValidLength(bytes) == bytes.size()) return std::string(bytes);
    return DecodeText(bytes, fallbackCharset).utf8;
}

}  // namespace

std::string DecodeHeaderText(std::string_view raw, std::string_view fallbackCharset) {
    const std::string text = Unfolded(raw);
    std::string out;
    out.reserve(text.size());
    std::string pendingCharset;  // the run of words not yet converted
    std::string pendingBytes;
    bool inRun = false;
    auto flushWords = [&] {
        if (!pendingBytes.empty()) out += DecodeText(pendingBytes, pendingCharset).utf8;
        pendingBytes.clear();
        pendingCharset.clear();
    };
    size_t plainStart = 0;  // text since the last word, not yet copied
    size_t at = 0;
    auto flushPlain = [&](size_t end) {
        std::string_view plain(text.data() + plainStart, end - plainStart);
        bool onlyBlanks = true;
        for (char c : plain)
            if (!IsBlank(c)) onlyBlanks = false;
        // Blanks between two encoded words are dropped; anything else ends
        // the run of words.
        if (inRun && onlyBlanks) return;
        flushWords();
        out += DecodeRaw(plain, fallbackCharset);
    };
    while (at < text.size()) {
        const size_t next = text.find("=?", at);
        if (next == std::string::npos) break;
        std::optional<EncodedWord> word = ReadEncodedWord(text, next);
        if (!word) {
            at = next + 1;
            continue;
        }
        flushPlain(next);
        if (!pendingBytes.empty() && !SameIgnoringCase(pendingCharset, word->charset)) flushWords();
        pendingCharset = word->charset;
        pendingBytes += word->bytes;
        inRun = true;
        at = plainStart = word->end;
    }
    inRun = false;
    flushPlain(text.size());
    flushWords();
    return CleanUtf8(out);
}

std::string DecodePhrase(std::string_view raw, std::string_view fallbackCharset) {
    std::string plain;
    plain.reserve(raw.size());
    int comment = 0;
    bool quoted = false;
    for (size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if ((quoted || comment > 0) && c == '\\' && i + 1 < raw.size()) {
            if (quoted) plain += raw[i + 1];
            ++i;
        } else if (quoted) {
            if (c == '"')
                quoted = false;
            else
                plain += c;
        } else if (c == '(') {
            ++comment;
        } else if (comment > 0) {
            if (c == ')') --comment;
        } else if (c == '"') {
            quoted = true;
        } else {
            plain += c;
        }
    }
    return Trimmed(DecodeHeaderText(plain, fallbackCharset));
}

std::optional<std::string> PlainParameter(std::string_view fieldValue, std::string_view name) {
    const std::string text = Unfolded(fieldValue);
    std::optional<std::string> found;
    size_t i = text.find(';');
    while (i != std::string::npos && i < text.size()) {
        ++i;  // past the ';'
        while (i < text.size() && IsBlank(text[i])) ++i;
        const size_t nameBegin = i;
        while (i < text.size() && text[i] != '=' && text[i] != ';') ++i;
        std::string attribute = Trimmed(std::string_view(text).substr(nameBegin, i - nameBegin));
        if (i >= text.size() || text[i] == ';') continue;
        ++i;  // past the '='
        while (i < text.size() && IsBlank(text[i])) ++i;
        std::string value;
        if (i < text.size() && text[i] == '"') {
            // A quoted string, to its closing quote or the end of the field.
            for (++i; i < text.size() && text[i] != '"'; ++i) {
                if (text[i] == '\\' && i + 1 < text.size()) ++i;
                value += text[i];
            }
            i = text.find(';', i);
        } else {
            const size_t end = text.find(';', i);
            value =
                Trimmed(std::string_view(text).substr(i, end == std::string::npos ? end : end - i));
            i = end;
        }
        const std::string_view head = std::string_view(attribute).substr(0, name.size());
        if (attribute.size() > name.size() && attribute[name.size()] == '*' &&
            SameIgnoringCase(head, name))
            return std::nullopt;  // RFC 2231 form: the parser's reading stands
        if (!found && SameIgnoringCase(attribute, name)) found = value;
    }
    return found;
}

}  // namespace mailvane::mapi::import
