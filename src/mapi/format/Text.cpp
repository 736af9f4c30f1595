#include "mapi/format/Text.h"

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mailvane::format {
namespace {

void PutUtf8(std::string* out, uint32_t cp) {
    if (cp < 0x80) {
        out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace

std::string Utf16FromUtf8(std::string_view s) {
    // Every byte gives at most one UTF-16 unit (a 4-byte sequence gives
    // two), so twice the size is room enough; the text is written in place
    // rather than appended, since bodies are long and mostly ASCII.
    std::string out(s.size() * 2, '\0');
    char* p = out.data();
    const auto put = [&p](uint32_t u) {
        *p++ = static_cast<char>(u & 0xFF);
        *p++ = static_cast<char>(u >> 8);
    };
    size_t i = 0;
    while (i < s.size()) {
#if defined(__SSE2__)
        // Sixteen ASCII bytes at a time: bodies are long and mostly ASCII,
        // and each such byte becomes itself and a zero byte.
        // A block with a byte that is not ASCII still gives the ASCII
        // before it here: all sixteen are widened (the output has room for
        // them), and only those before that byte are kept.
        while (i + 16 <= s.size()) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + i));
            const __m128i zero = _mm_setzero_si128();
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_unpacklo_epi8(bytes, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16), _mm_unpackhi_epi8(bytes, zero));
            const int high = _mm_movemask_epi8(bytes);
            if (high != 0) {
                const int ascii = __builtin_ctz(static_cast<unsigned>(high));
                p += 2 * ascii;
                i += static_cast<size_t>(ascii);
                break;
            }
            p += 32;
            i += 16;
        }
        if (i == s.size()) break;
#endif
        auto b = static_cast<uint8_t>(s[i]);
        if (b < 0x80) {                 // the common case, without the checks below
            *p = static_cast<char>(b);  // its high byte is already zero
            p += 2;
            ++i;
            continue;
        }
        uint32_t cp = 0xFFFD;
        size_t len = 0;
        if ((b & 0xE0) == 0xC0) {
            len = 2, cp = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3, cp = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            len = 4, cp = b & 0x07;
        }
        bool ok = len > 0 && i + len <= s.size();
        for (size_t k = 1; ok && k < len; ++k) {
            auto c = static_cast<uint8_t>(s[i + k]);
            if ((c & 0xC0) != 0x80) ok = false;
            cp = (cp << 6) | (c & 0x3F);
        }
        static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (!ok || cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) {
            cp = 0xFFFD;
            len = 1;
        }
        i += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put(0xD800 | (cp >> 10));
            put(0xDC00 | (cp & 0x3FF));
        } else {
            put(cp);
        }
    }
    out.resize(static_cast<size_t>(p - out.data()));
    return out;
}

std::string Utf8FromUtf16(std::string_view s) {
    std::string out;
    for (size_t i = 0; i + 1 < s.size(); i += 2) {
        uint32_t u = static_cast<uint8_t>(s[i]) | (static_cast<uint8_t>(s[i + 1]) << 8);
        if (u >= 0xD800 && u < 0xDC00 && i + 3 < s.size()) {
            uint32_t v = static_cast<uint8_t>(s[i + 2]) | (static_cast<uint8_t>(s[i + 3]) << 8);
            if (v >= 0xDC00 && v < 0xE000) {
                PutUtf8(&out, 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00));
                i += 2;
                continue;
            }
        }
        if (u >= 0xD800 && u < 0xE000) u = 0xFFFD;
        PutUtf8(&out, u);
    }
    return out;
}

}  // namespace mailvane::format
