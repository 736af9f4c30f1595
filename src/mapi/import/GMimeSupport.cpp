#include "mapi/import/GMimeSupport.h"

#include <cctype>
#include <mutex>

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

std::string MimeTypeOf(GMimeObject* object) {
    GMimeContentType* type = g_mime_object_get_content_type(object);
    if (!type) return "text/plain";
    std::string out = TakeString(g_mime_content_type_get_mime_type(type));
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool IsType(GMimeObject* object, const char* type, const char* subtype) {
    GMimeContentType* contentType = g_mime_object_get_content_type(object);
    return contentType && g_mime_content_type_is_type(contentType, type, subtype);
}

namespace {
std::string TakeMemoryStream(GMimeStream* stream) {
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream));
    std::string out(reinterpret_cast<const char*>(bytes->data), bytes->len);
    g_object_unref(stream);
    return out;
}
}  // namespace

std::string DecodedContent(GMimePart* part) {
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    if (!content) return {};
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
