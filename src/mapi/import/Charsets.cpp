#include "mapi/import/Charsets.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "mapi/import/AsciiCase.h"
#include "mapi/import/GMimeSupport.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mailvane::mapi::import {
namespace {

// windows-1252 at 0x80..0x9F; the unassigned bytes keep their own value.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// What a UTF-8 sequence that starts with `b` must be: its length (0 when
// no sequence starts so) and the range of its second byte, which rules out
// overlong forms, surrogates and values past U+10FFFF.
struct Utf8Lead {
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
};
Utf8Lead LeadOf(unsigned char b) {
    Utf8Lead lead;
    if (b >= 0xC2 && b <= 0xDF) {
        lead.length = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        lead.length = 3;
        if (b == 0xE0) lead.low = 0xA0;
        if (b == 0xED) lead.high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        lead.length = 4;
        if (b == 0xF0) lead.low = 0x90;
        if (b == 0xF4) lead.high = 0x8F;
    }
    return lead;
}

void AppendCp1252Byte(std::string& out, unsigned char b) {
    if (b >= 0x80 && b < 0xA0)
        AppendUtf8(out, kCp1252High[b - 0x80]);
    else
        AppendUtf8(out, b);
}

// The usual name of a charset ("windows-1252" for "cp1252" or
// "x-cp1252", "iso-8859-1" for "latin1"), in lower case.
std::string NormalName(std::string_view charset) {
    std::string name = AsciiLower(Trimmed(charset));
    static const struct {
        const char* alias;
        const char* name;
    } kAliases[] = {
        {"latin1", "iso-8859-1"},
        {"l1", "iso-8859-1"},
        {"iso8859-1", "iso-8859-1"},
        {"iso_8859-1", "iso-8859-1"},
        {"ascii", "us-ascii"},
        {"ansi_x3.4-1968", "us-ascii"},
        {"utf8", "utf-8"},
        {"sjis", "shift_jis"},
        {"shift-jis", "shift_jis"},
        {"x-sjis", "shift_jis"},
        {"x-gbk", "gbk"},
        {"latin2", "iso-8859-2"},
    };
    for (const auto& a : kAliases)
        if (name == a.alias) return a.name;
    for (std::string_view prefix : {"windows-cp", "x-cp", "cp"})
        if (name.size() == prefix.size() + 4 && name.compare(0, prefix.size(), prefix) == 0 &&
            name.compare(prefix.size(), 2, "12") == 0)
            return "windows-" + name.substr(prefix.size());
    return name;
}

bool IsUtf8(std::string_view s) {
    return Utf8ValidLength(s) == s.size();
}

bool IsAscii(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return (c & 0x80) == 0; });
}

// Strict conversion: false when iconv does not know the charset or a byte
// does not fit it.
bool Convert(std::string_view bytes, const std::string& charset, std::string* out) {
    const char* iconvName = g_mime_charset_iconv_name(charset.c_str());
    GError* error = nullptr;
    gsize written = 0;
    char* converted = g_convert(bytes.data(), static_cast<gssize>(bytes.size()), "UTF-8", iconvName,
                                nullptr, &written, &error);
    if (error) {
        g_error_free(error);
        g_free(converted);
        return false;
    }
    out->assign(converted, written);
    g_free(converted);
    return true;
}

// Conversion that reads past bytes the charset does not know, each as
// U+FFFD: one bad byte in a long Big5 or Shift_JIS text (a cut character,
// a private code) must not cost the rest of it. False when iconv does not
// know the charset, or when so many bytes are bad that the charset is
// plainly not the text's.
bool ConvertLenient(std::string_view bytes, const std::string& charset, std::string* out) {
    GIConv cd = g_iconv_open("UTF-8", g_mime_charset_iconv_name(charset.c_str()));
    if (cd == reinterpret_cast<GIConv>(-1)) return false;
    // Bad bytes are weighed against those that are not plain ASCII, or all
    // of them for UTF-7, which is written in ASCII.
    size_t weight = 0;
    for (char c : bytes) weight += (c & 0x80) != 0;
    if (charset == "utf-7") weight = bytes.size();
    const size_t allowed = 1 + weight / 50;
    size_t bad = 0;
    std::string result;
    char buffer[16384];
    auto* in = const_cast<char*>(bytes.data());
    gsize inLeft = bytes.size();
    while (inLeft > 0 && bad <= allowed) {
        char* o = buffer;
        gsize outLeft = sizeof buffer;
        const gsize done = g_iconv(cd, &in, &inLeft, &o, &outLeft);
        result.append(buffer, static_cast<size_t>(o - buffer));
        if (done != static_cast<gsize>(-1) || errno == E2BIG) continue;
        // EILSEQ or a sequence cut off at the end: that byte is lost, and a
        // charset with shift states (UTF-7, ISO-2022-JP) starts afresh.
        result += "\xEF\xBF\xBD";
        ++in;
        --inLeft;
        ++bad;
        g_iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    g_iconv_close(cd);
    // A few bad bytes among many good ones; a text that is mostly bad bytes
    // (one lone lead byte) is in some other charset.
    if (bad > allowed || bad * 4 >= weight) return false;
    *out = std::move(result);
    return true;
}

// How many bytes at the start of `text`, which is no valid UTF-8 sequence,
// one U+FFFD stands for: the start of a sequence as far as it goes right
// (a cut character is one), else the one byte, as browsers and the Unicode
// standard's recommended practice count them.
size_t InvalidRunLength(std::string_view text) {
    const Utf8Lead lead = LeadOf(static_cast<unsigned char>(text[0]));
    size_t run = 1;
    while (run < lead.length && run < text.size()) {
        const auto c = static_cast<unsigned char>(text[run]);
        if (run == 1 ? (c < lead.low || c > lead.high) : (c & 0xC0) != 0x80) break;
        ++run;
    }
    return run;
}

// Text labelled UTF-8 that is UTF-8 but for some bad bytes (a binary
// footer, a cut character): each bad run as U+FFFD. False when not one
// valid multibyte character shows the label to be right: such text is
// most likely Latin-1 under the wrong label.
bool RepairUtf8(std::string_view bytes, std::string* out) {
    bool multibyte = false;
    std::string result;
    result.reserve(bytes.size() + bytes.size() / 8);
    while (!bytes.empty()) {
        const size_t valid = Utf8ValidLength(bytes);
        for (size_t i = 0; i < valid && !multibyte; ++i) multibyte = (bytes[i] & 0x80) != 0;
        result.append(bytes.data(), valid);
        if (valid == bytes.size()) break;
        result += "\xEF\xBF\xBD";
        bytes.remove_prefix(valid);
        bytes.remove_prefix(InvalidRunLength(bytes));
    }
    if (!multibyte) return false;
    *out = std::move(result);
    return true;
}

}  // namespace

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

size_t Utf8ValidLength(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        // Most mail is ASCII with a letter of another script here and there:
        // straight past the ASCII to the next byte that is not (or is NUL).
#if defined(__SSE2__)
        while (i + 16 <= n) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            const int special = _mm_movemask_epi8(bytes) |
                                _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_setzero_si128()));
            if (special == 0) {
                i += 16;
                continue;
            }
            i += static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(special)));
            break;
        }
#else
        constexpr uint64_t kOnes = 0x0101010101010101ULL, kHighs = 0x8080808080808080ULL;
        for (uint64_t v; i + 8 <= n; i += 8) {
            std::memcpy(&v, p + i, 8);
            if (((v | ((v - kOnes) & ~v)) & kHighs) != 0) break;
        }
#endif
        if (i == n) break;
        const unsigned char b = p[i];
        if (b < 0x80) {
            if (b == 0) return i;
            ++i;
            continue;
        }
        const Utf8Lead lead = LeadOf(b);
        if (lead.length == 0) return i;
        if (n - i < lead.length || p[i + 1] < lead.low || p[i + 1] > lead.high) return i;
        for (size_t k = 2; k < lead.length; ++k)
            if ((p[i + k] & 0xC0) != 0x80) return i;
        i += lead.length;
    }
    return n;
}

std::string CleanUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        // A NUL ends the valid part as an invalid byte does, so what passes
        // holds none and is copied whole.
        const size_t valid = Utf8ValidLength(text);
        out.append(text.data(), valid);
        if (valid == text.size()) break;
        if (text[valid] == '\0')
            out += "\xEF\xBF\xBD";
        else
            AppendCp1252Byte(out, static_cast<unsigned char>(text[valid]));
        text.remove_prefix(valid + 1);
    }
    return out;
}

DecodedText DecodeText(std::string_view bytes, std::string_view charset) {
    EnsureGMime();
    DecodedText result;
    std::string name = NormalName(charset);
    // Mail labelled ASCII or Latin-1 is often UTF-8 or windows-1252: both
    // read it whole, and windows-1252 agrees with Latin-1 on every letter.
    bool weakLabel =
        name.empty() || name == "us-ascii" || name == "iso-8859-1" || name == "windows-1252";
    // Text labelled UTF-8 that is UTF-8 reads as itself; iconv would only
    // copy it, at the cost of a second pass.
    if (name == "utf-8" && IsUtf8(bytes)) {
        result.utf8.assign(bytes);
        result.charset = name;
        result.asDeclared = true;
        return result;
    }
    if (!weakLabel && Convert(bytes, name, &result.utf8)) {
        result.utf8 = CleanUtf8(result.utf8);
        result.charset = name;
        result.asDeclared = true;
        return result;
    }
    if (weakLabel && IsAscii(bytes)) {
        result.utf8 = CleanUtf8(bytes);
        result.charset = name.empty() ? "us-ascii" : name;
        result.asDeclared = true;
        return result;
    }
    // UTF-7 text is ASCII, which would pass for UTF-8 below.
    if (name == "utf-7" && ConvertLenient(bytes, name, &result.utf8)) {
        result.utf8 = CleanUtf8(result.utf8);
        result.charset = name;
        result.asDeclared = true;
        return result;
    }
    if (IsUtf8(bytes)) {  // which holds no NUL either
        result.utf8.assign(bytes);
        result.charset = "utf-8";
        result.asDeclared = name == "utf-8";
        return result;
    }
    if (name == "utf-8" ? RepairUtf8(bytes, &result.utf8)
                        : !weakLabel && ConvertLenient(bytes, name, &result.utf8)) {
        result.utf8 = CleanUtf8(result.utf8);
        result.charset = name;
        result.asDeclared = true;
        return result;
    }
    result.utf8.reserve(bytes.size() + bytes.size() / 4);
    for (char c : bytes) {
        if (c == '\0')
            result.utf8 += "\xEF\xBF\xBD";
        else
            AppendCp1252Byte(result.utf8, static_cast<unsigned char>(c));
    }
    result.charset = "windows-1252";
    result.asDeclared = name == "windows-1252" || name == "iso-8859-1";
    return result;
}

uint32_t CodePageOf(std::string_view charset) {
    struct Entry {
        const char* name;
        uint32_t codePage;
    };
    static const Entry kTable[] = {
        {"utf-8", 65001},       {"us-ascii", 20127},    {"iso-8859-1", 28591},
        {"iso-8859-2", 28592},  {"iso-8859-3", 28593},  {"iso-8859-4", 28594},
        {"iso-8859-5", 28595},  {"iso-8859-6", 28596},  {"iso-8859-7", 28597},
        {"iso-8859-8", 28598},  {"iso-8859-9", 28599},  {"iso-8859-13", 28603},
        {"iso-8859-15", 28605}, {"windows-1250", 1250}, {"windows-1251", 1251},
        {"windows-1252", 1252}, {"windows-1253", 1253}, {"windows-1254", 1254},
        {"windows-1255", 1255}, {"windows-1256", 1256}, {"windows-1257", 1257},
        {"windows-1258", 1258}, {"koi8-r", 20866},      {"koi8-u", 21866},
        {"iso-2022-jp", 50220}, {"shift_jis", 932},     {"euc-jp", 51932},
        {"gb2312", 936},        {"gbk", 936},           {"gb18030", 54936},
        {"big5", 950},          {"euc-kr", 51949},      {"ks_c_5601-1987", 949},
        {"iso-2022-kr", 50225}, {"utf-7", 65000},       {"tis-620", 874},
        {"windows-874", 874},   {"ibm866", 866},        {"cp866", 866},
        {"utf-16", 1200},       {"hz-gb-2312", 52936},
    };
    std::string name = NormalName(charset);
    for (const auto& e : kTable)
        if (name == e.name) return e.codePage;
    return 0;
}

}  // namespace mailvane::mapi::import
