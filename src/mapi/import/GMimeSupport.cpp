#include "mapi/import/GMimeSupport.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <string_view>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>

#include "mapi/import/AsciiCase.h"
#define MAILVANE_BASE64_AVX2 1
#endif

namespace mailvane::mapi::import {

void EnsureGMime() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

std::string TakeString(char* text) {
    if (!text) return {};
    std::string out(text);
    g_free(text);
    return out;
}

ParserOptions OwnedParserOptions() {
    return ParserOptions(NewParserOptions(), g_mime_parser_options_free);
}

GMimeParserOptions* NewParserOptions() {
    EnsureGMime();
    GMimeParserOptions* options = g_mime_parser_options_new();
    g_mime_parser_options_set_address_compliance_mode(options, GMIME_RFC_COMPLIANCE_LOOSE);
    g_mime_parser_options_set_parameter_compliance_mode(options, GMIME_RFC_COMPLIANCE_LOOSE);
    g_mime_parser_options_set_rfc2047_compliance_mode(options, GMIME_RFC_COMPLIANCE_LOOSE);
    g_mime_parser_options_set_allow_addresses_without_domain(options, TRUE);
    // Raw 8-bit header text: UTF-8 when it is valid, else windows-1252,
    // which reads any byte.
    const char* fallback[] = {"utf-8", "windows-1252", nullptr};
    g_mime_parser_options_set_fallback_charsets(options, fallback);
    return options;
}

GMimeFormatOptions* CrLfFormat() {
    static GMimeFormatOptions* format = [] {
        EnsureGMime();
        GMimeFormatOptions* f = g_mime_format_options_new();
        g_mime_format_options_set_newline_format(f, GMIME_NEWLINE_FORMAT_DOS);
        return f;
    }();
    return format;
}

namespace {

// Blanks and comments, which may stand around a type's parts.
size_t SkipBlanks(std::string_view text, size_t i) {
    int depth = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\' && depth > 0) {
            ++i;
        } else if (c == '(') {
            ++depth;
        } else if (c == ')' && depth > 0) {
            --depth;
        } else if (depth == 0 && c != ' ' && c != '\t' && c != '\r' && c != '\n') {
            break;
        }
    }
    return i;
}

size_t SkipToken(std::string_view text, size_t i) {
    static constexpr std::string_view kSpecials = "()<>@,;:\\\"/[]?=";
    while (i < text.size() && text[i] > ' ' && text[i] < 0x7F &&
           kSpecials.find(text[i]) == std::string_view::npos)
        ++i;
    return i;
}

// "type/subtype" at the start of a Content-Type value, as RFC 2045 writes it.
bool NamesTypeAndSubtype(std::string_view value) {
    size_t i = SkipBlanks(value, 0);
    size_t end = SkipToken(value, i);
    if (end == i) return false;
    i = SkipBlanks(value, end);
    if (i >= value.size() || value[i] != '/') return false;
    i = SkipBlanks(value, i + 1);
    return SkipToken(value, i) > i;
}

// The raw value of a Content-Type field that GMime could not read (it gave
// application/octet-stream, or a type or subtype that is empty), or nullptr
// when the part has a type GMime read or no such field at all.
const char* UnreadableContentType(GMimeObject* object) {
    GMimeContentType* type = g_mime_object_get_content_type(object);
    if (!type) return nullptr;
    const char* media = g_mime_content_type_get_media_type(type);
    const char* subtype = g_mime_content_type_get_media_subtype(type);
    if (media && *media && subtype && *subtype &&
        !g_mime_content_type_is_type(type, "application", "octet-stream"))
        return nullptr;
    GMimeHeader* header =
        g_mime_header_list_get_header(g_mime_object_get_header_list(object), "Content-Type");
    const char* raw = header ? g_mime_header_get_raw_value(header) : nullptr;
    return raw && !NamesTypeAndSubtype(raw) ? raw : nullptr;
}

}  // namespace

std::string MimeTypeOf(GMimeObject* object) {
    GMimeContentType* type = g_mime_object_get_content_type(object);
    if (!type || UnreadableContentType(object)) return "text/plain";
    return AsciiLower(TakeString(g_mime_content_type_get_mime_type(type)));
}

bool IsType(GMimeObject* object, const char* type, const char* subtype) {
    if (UnreadableContentType(object)) {
        auto matches = [](const char* want, const char* is) {
            return std::strcmp(want, "*") == 0 || g_ascii_strcasecmp(want, is) == 0;
        };
        return matches(type, "text") && matches(subtype, "plain");
    }
    GMimeContentType* contentType = g_mime_object_get_content_type(object);
    return contentType && g_mime_content_type_is_type(contentType, type, subtype);
}

bool IsSmimeSigned(GMimeObject* object) {
    if (!IsType(object, "multipart", "signed")) return false;
    const std::string protocol = AsciiLower(ContentTypeParameter(object, "protocol"));
    // A signed multipart that names no protocol is read as S/MIME, as it
    // was before PGP was told apart.
    return protocol.empty() || protocol.find("pkcs7-signature") != std::string::npos;
}

std::string ContentTypeParameter(GMimeObject* object, const char* name) {
    const char* raw = UnreadableContentType(object);
    if (!raw) {
        const char* value = g_mime_object_get_content_type_parameter(object, name);
        return value ? value : "";
    }
    // GMime drops the parameters of a type it cannot read, but they still
    // hold: "text; charset=koi8-r" names the text's bytes, "image;
    // name=a.png" the file.
    const char* semicolon = std::strchr(raw, ';');
    if (!semicolon) return "";
    GMimeParserOptions* options = NewParserOptions();
    GMimeParamList* params = g_mime_param_list_parse(options, semicolon + 1);
    g_mime_parser_options_free(options);
    if (!params) return "";
    GMimeParam* param = g_mime_param_list_get_parameter(params, name);
    const char* value = param ? g_mime_param_get_value(param) : nullptr;
    std::string text = value ? value : "";
    g_object_unref(params);
    return text;
}

namespace {

// The view stream, as a GMime stream class: every stream made from it
// (substreams for parts) shares the same bytes.
struct MvViewStream {
    GMimeStream parent;
    const ViewBytes* bytes;
};
struct MvViewStreamClass {
    GMimeStreamClass parent_class;
};

gint64 ViewSize(const ViewBytes* bytes) {
    return static_cast<gint64>(bytes->head.size() + bytes->rest.size() + bytes->tail.size());
}

gint64 ViewEnd(GMimeStream* stream) {
    const gint64 size = ViewSize(reinterpret_cast<MvViewStream*>(stream)->bytes);
    return stream->bound_end < 0 ? size : std::min(stream->bound_end, size);
}

}  // namespace
}  // namespace mailvane::mapi::import

using mailvane::mapi::import::MvViewStream;
using mailvane::mapi::import::MvViewStreamClass;
// GObject's type macros name the type's functions after it, outside any
// namespace.
G_DEFINE_TYPE(MvViewStream, mv_view_stream, GMIME_TYPE_STREAM)

namespace mailvane::mapi::import {
namespace {

ssize_t ViewRead(GMimeStream* stream, char* buffer, size_t length) {
    const ViewBytes& bytes = *reinterpret_cast<MvViewStream*>(stream)->bytes;
    const gint64 available = ViewEnd(stream) - stream->position;
    if (available <= 0) return 0;
    size_t wanted = static_cast<size_t>(std::min<gint64>(available, static_cast<gint64>(length)));
    const size_t total = wanted;
    auto at = static_cast<size_t>(stream->position);
    size_t pieceStart = 0;
    for (const std::string_view piece :
         {std::string_view(bytes.head), bytes.rest, std::string_view(bytes.tail)}) {
        if (wanted > 0 && at < pieceStart + piece.size()) {
            const size_t n = std::min(wanted, pieceStart + piece.size() - at);
            std::memcpy(buffer, piece.data() + (at - pieceStart), n);
            buffer += n;
            at += n;
            wanted -= n;
        }
        pieceStart += piece.size();
    }
    stream->position += static_cast<gint64>(total);
    return static_cast<ssize_t>(total);
}

ssize_t ViewWrite(GMimeStream*, const char*, size_t) {
    errno = EBADF;
    return -1;
}

int ViewDone(GMimeStream*) {
    return 0;
}

gboolean ViewEos(GMimeStream* stream) {
    return stream->position >= ViewEnd(stream);
}

int ViewReset(GMimeStream* stream) {
    stream->position = stream->bound_start;
    return 0;
}

gint64 ViewSeek(GMimeStream* stream, gint64 offset, GMimeSeekWhence whence) {
    gint64 to = offset;
    if (whence == GMIME_STREAM_SEEK_CUR) to = stream->position + offset;
    if (whence == GMIME_STREAM_SEEK_END) to = ViewEnd(stream) + offset;
    if (to < stream->bound_start || to > ViewEnd(stream)) {
        errno = EINVAL;
        return -1;
    }
    stream->position = to;
    return to;
}

gint64 ViewTell(GMimeStream* stream) {
    return stream->position;
}

gint64 ViewLength(GMimeStream* stream) {
    return ViewEnd(stream) - stream->bound_start;
}

GMimeStream* ViewSubstream(GMimeStream* stream, gint64 start, gint64 end) {
    auto* sub = static_cast<MvViewStream*>(g_object_new(mv_view_stream_get_type(), nullptr));
    sub->bytes = reinterpret_cast<MvViewStream*>(stream)->bytes;
    g_mime_stream_construct(GMIME_STREAM(sub), start, end);
    return GMIME_STREAM(sub);
}

}  // namespace
}  // namespace mailvane::mapi::import

static void mv_view_stream_init(MvViewStream* stream) {
    stream->bytes = nullptr;
}

static void mv_view_stream_class_init(MvViewStreamClass* type) {
    using namespace mailvane::mapi::import;
    GMimeStreamClass* stream = GMIME_STREAM_CLASS(type);
    stream->read = ViewRead;
    stream->write = ViewWrite;
    stream->flush = ViewDone;
    stream->close = ViewDone;
    stream->eos = ViewEos;
    stream->reset = ViewReset;
    stream->seek = ViewSeek;
    stream->tell = ViewTell;
    stream->length = ViewLength;
    stream->substream = ViewSubstream;
}

namespace mailvane::mapi::import {

GMimeStream* NewViewStream(const ViewBytes* bytes) {
    EnsureGMime();
    auto* stream = static_cast<MvViewStream*>(g_object_new(mv_view_stream_get_type(), nullptr));
    stream->bytes = bytes;
    g_mime_stream_construct(GMIME_STREAM(stream), 0, -1);
    return GMIME_STREAM(stream);
}

GRef<GMimeObject> ParsePart(const ViewBytes& bytes, GMimeParserOptions* options) {
    GRef<GMimeStream> stream(NewViewStream(&bytes));
    GRef<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    return GRef<GMimeObject>(g_mime_parser_construct_part(parser.get(), options));
}

namespace {
std::string TakeMemoryStream(GMimeStream* stream) {
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream));
    std::string out(reinterpret_cast<const char*>(bytes->data), bytes->len);
    g_object_unref(stream);
    return out;
}

// A base64 character's value; kPad for '=', kSkip for what is skipped.
constexpr unsigned char kSkip = 0xFF, kPad = 0xFE;
constexpr std::array<unsigned char, 256> kBase64Rank = [] {
    std::array<unsigned char, 256> rank{};
    rank.fill(kSkip);
    for (int i = 0; i < 26; ++i) {
        rank['A' + i] = static_cast<unsigned char>(i);
        rank['a' + i] = static_cast<unsigned char>(26 + i);
    }
    for (int i = 0; i < 10; ++i) rank['0' + i] = static_cast<unsigned char>(52 + i);
    rank['+'] = 62;
    rank['/'] = 63;
    rank['='] = kPad;
    return rank;
}();

#ifdef MAILVANE_BASE64_AVX2
// 32 base64 characters into 24 bytes, false (and nothing written) when any
// of them is not one of the 64 (a line break, '=', a stray byte): the
// caller then reads them one by one. Attachments are most of a mailbox,
// and this reads their lines several times faster than a table per
// character. Each character's high nibble picks its offset to its value
// ('/' told apart from '+' by a compare), and a character is valid when
// the bit classes of its two nibbles share no bit.
__attribute__((target("avx2"))) bool DecodeBase64Block(const unsigned char* in,
                                                       unsigned char* out) {
    const __m256i text = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
    const __m256i mask2F = _mm256_set1_epi8(0x2F);
    const __m256i lutLow =
        _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A,
                         0x1B, 0x1B, 0x1B, 0x1A, 0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                         0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
    const __m256i lutHigh =
        _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10,
                         0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08,
                         0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
    const __m256i lutOffset =
        _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 19, 4,
                         -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i high = _mm256_and_si256(_mm256_srli_epi32(text, 4), mask2F);
    const __m256i low = _mm256_and_si256(text, mask2F);
    const __m256i classHigh = _mm256_shuffle_epi8(lutHigh, high);
    const __m256i classLow = _mm256_shuffle_epi8(lutLow, low);
    if (!_mm256_testz_si256(classLow, classHigh)) return false;
    const __m256i slash = _mm256_cmpeq_epi8(text, mask2F);
    const __m256i offset = _mm256_shuffle_epi8(lutOffset, _mm256_add_epi8(slash, high));
    const __m256i values = _mm256_add_epi8(text, offset);
    // Four 6-bit values into one 24-bit group per 32-bit lane, then the
    // groups' bytes in order, packed into the first 24 bytes.
    const __m256i pairs = _mm256_maddubs_epi16(values, _mm256_set1_epi32(0x01400140));
    const __m256i groups = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
    const __m256i ordered = _mm256_shuffle_epi8(
        groups, _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6,
                                 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
    const __m256i packed =
        _mm256_permutevar8x32_epi32(ordered, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), packed);
    return true;
}

bool HasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif

// The bytes of a stream in memory, from its start to its end, without
// copying them: the parser gives each part's content as a window on the
// message's own buffer. Nothing for a stream of another kind.
std::optional<std::string_view> MemoryBytes(GMimeStream* stream) {
    if (G_TYPE_CHECK_INSTANCE_TYPE(stream, mv_view_stream_get_type())) {
        // A window on the caller's bytes, when it lies past the head.
        const ViewBytes& bytes = *reinterpret_cast<MvViewStream*>(stream)->bytes;
        const gint64 head = static_cast<gint64>(bytes.head.size());
        const gint64 start = stream->bound_start, end = ViewEnd(stream);
        if (start < head || start > end) return std::nullopt;
        return bytes.rest.substr(static_cast<size_t>(start - head),
                                 static_cast<size_t>(end - start));
    }
    if (!GMIME_IS_STREAM_MEM(stream)) return std::nullopt;
    const GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream));
    if (!array) return std::nullopt;
    const auto size = static_cast<gint64>(array->len);
    const gint64 end = stream->bound_end < 0 ? size : std::min(stream->bound_end, size);
    const gint64 start = stream->bound_start;
    if (start < 0 || start > end) return std::nullopt;
    return std::string_view(reinterpret_cast<const char*>(array->data) + start,
                            static_cast<size_t>(end - start));
}

// The bytes of a stream from its start.
std::string ReadWhole(GMimeStream* stream) {
    std::string out;
    if (g_mime_stream_reset(stream) != 0) return out;
    const gint64 length = g_mime_stream_length(stream);
    if (length > 0) out.reserve(static_cast<size_t>(length));
    char buffer[65536];
    for (;;) {
        const ssize_t n = g_mime_stream_read(stream, buffer, sizeof buffer);
        if (n <= 0) break;
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

}  // namespace

std::string DecodeBase64(std::string_view text) {
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    // Room for the last group and for the 8 bytes a block writes past its 24.
    std::string out(size / 4 * 3 + 3 + 8, '\0');
    auto* const start = reinterpret_cast<unsigned char*>(out.data());
    unsigned char* o = start;
    uint32_t saved = 0;
    int n = 0;  // characters of the current quartet
    size_t at = 0;
#ifdef MAILVANE_BASE64_AVX2
    const bool wide = HasAvx2();
#endif
    while (at < size) {
#ifdef MAILVANE_BASE64_AVX2
        if (wide && n == 0 && size - at >= 32 && DecodeBase64Block(in + at, o)) {
            o += 24;
            at += 32;
            continue;
        }
#endif
        if (n == 0 && size - at >= 4) {
            // A whole quartet of plain characters, the bulk of any text.
            const uint32_t a = kBase64Rank[in[at]], b = kBase64Rank[in[at + 1]],
                           c = kBase64Rank[in[at + 2]], d = kBase64Rank[in[at + 3]];
            if (((a | b | c | d) & 0x80) == 0) {
                saved = a << 18 | b << 12 | c << 6 | d;
                *o++ = static_cast<unsigned char>(saved >> 16);
                *o++ = static_cast<unsigned char>(saved >> 8);
                *o++ = static_cast<unsigned char>(saved);
                at += 4;
                continue;
            }
        }
        const unsigned char rank = kBase64Rank[in[at++]];
        if (rank == kSkip) continue;
        if (rank == kPad) break;  // the end of the data; nothing after it is read
        saved = saved << 6 | rank;
        if (++n == 4) {
            *o++ = static_cast<unsigned char>(saved >> 16);
            *o++ = static_cast<unsigned char>(saved >> 8);
            *o++ = static_cast<unsigned char>(saved);
            n = 0;
        }
    }
    // A last group of two or three characters gives its one or two bytes,
    // whether padding ends it or not: mail programs write such text without
    // padding and read it so, and dropping them cut the end off attachments.
    if (n >= 2) {
        *o++ = static_cast<unsigned char>(saved >> (n == 2 ? 4 : 10));
        if (n == 3) *o++ = static_cast<unsigned char>(saved >> 2);
    }
    out.resize(static_cast<size_t>(o - start));
    return out;
}

std::string BodyCharset(GMimeObject* root) {
    // The first part at each level, as far as a text part; a bound on the
    // depth keeps a hostile nesting from taking long.
    GMimeObject* object = root;
    for (int depth = 0; object && depth < 64; ++depth) {
        if (GMIME_IS_MULTIPART(object)) {
            GMimeMultipart* multipart = GMIME_MULTIPART(object);
            object = g_mime_multipart_get_count(multipart) > 0
                         ? g_mime_multipart_get_part(multipart, 0)
                         : nullptr;
        } else if (GMIME_IS_PART(object) && !GMIME_IS_MESSAGE_PART(object) &&
                   IsType(object, "text", "*")) {
            return ContentTypeParameter(object, "charset");
        } else {
            break;
        }
    }
    return {};
}

std::string DecodedContent(GMimePart* part) {
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    if (!content) return {};
    const GMimeContentEncoding encoding = g_mime_data_wrapper_get_encoding(content);
    GMimeStream* raw = g_mime_data_wrapper_get_stream(content);
    if (encoding == GMIME_CONTENT_ENCODING_BASE64) {
        if (!raw) return {};
        if (std::optional<std::string_view> bytes = MemoryBytes(raw)) return DecodeBase64(*bytes);
        return DecodeBase64(ReadWhole(raw));
    }
    // Content in no transfer encoding is its raw bytes, which GMime would
    // copy through a filter into a stream of its own before they are copied
    // out of that.
    if (encoding != GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE &&
        encoding != GMIME_CONTENT_ENCODING_UUENCODE && raw)
        if (std::optional<std::string_view> bytes = MemoryBytes(raw)) return std::string(*bytes);
    GMimeStream* stream = g_mime_stream_mem_new();
    g_mime_data_wrapper_write_to_stream(content, stream);
    return TakeMemoryStream(stream);
}

std::string Serialized(GMimeObject* object) {
    GMimeStream* stream = g_mime_stream_mem_new();
    g_mime_object_write_to_stream(object, CrLfFormat(), stream);
    return TakeMemoryStream(stream);
}

std::string Trimmed(std::string_view text) {
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && space(text.front())) text.remove_prefix(1);
    while (!text.empty() && space(text.back())) text.remove_suffix(1);
    return std::string(text);
}

}  // namespace mailvane::mapi::import
