#include "mapi/import/MimeImport.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "mapi/MailItem.h"
#include "mapi/format/PropTags.h"
#include "mapi/import/Charsets.h"
#include "mapi/import/Dates.h"
#include "mapi/import/Import.h"
#include "mapi/import/MessageParse.h"
#include "mapi/import/Names.h"

namespace mailvane::mapi {
namespace import {

void PropertyWriter::Set(uint32_t tag, const PropValue& value) {
    if (!bag_.SetProperty(tag, value)) Refused(tag);
}

void PropertyWriter::Set(uint32_t tag, PropValue&& value) {
    if (!bag_.SetProperty(tag, std::move(value))) Refused(tag);
}

void PropertyWriter::Refused(uint32_t tag) {
    if (!error_->empty()) return;
    char text[64];
    std::snprintf(text, sizeof text, "property 0x%08X did not take its value", tag);
    *error_ = text;
}

void PropertyWriter::SetText(uint32_t tag, std::string_view text) {
    Set(tag, CleanUtf8(text));
}

namespace {

// Little-endian on every machine, so a message gets the same key anywhere.
// One load: GCC leaves the byte-by-byte form as eight.
uint64_t Load64(const char* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

uint64_t Mix64(uint64_t k) {
    k ^= k >> 33;
    k *= 0xFF51AFD7ED558CCDull;
    k ^= k >> 33;
    k *= 0xC4CEB9FE1A85EC53ull;
    k ^= k >> 33;
    return k;
}

// 128 bits of the bytes, in the manner of MurmurHash3 (x64, 128-bit):
// distinct mails get distinct keys with overwhelming likelihood, at several
// gigabytes a second; a cryptographic digest read the mailbox at a few
// hundred megabytes a second, a large share of the whole import.
std::string BytesKey(std::string_view bytes) {
    constexpr uint64_t c1 = 0x87C37B91114253D5ull, c2 = 0x4CF5AD432745937Full;
    uint64_t h1 = 0, h2 = 0;
    const size_t blocks = bytes.size() / 16;
    for (size_t i = 0; i < blocks; ++i) {
        uint64_t k1 = Load64(bytes.data() + i * 16), k2 = Load64(bytes.data() + i * 16 + 8);
        k1 *= c1, k1 = std::rotl(k1, 31), k1 *= c2, h1 ^= k1;
        h1 = std::rotl(h1, 27), h1 += h2, h1 = h1 * 5 + 0x52DCE729;
        k2 *= c2, k2 = std::rotl(k2, 33), k2 *= c1, h2 ^= k2;
        h2 = std::rotl(h2, 31), h2 += h1, h2 = h2 * 5 + 0x38495AB5;
    }
    const std::string_view tail = bytes.substr(blocks * 16);
    uint64_t k1 = 0, k2 = 0;
    for (size_t i = tail.size(); i-- > 8;) k2 = (k2 << 8) | static_cast<unsigned char>(tail[i]);
    for (size_t i = std::min<size_t>(tail.size(), 8); i-- > 0;)
        k1 = (k1 << 8) | static_cast<unsigned char>(tail[i]);
    if (tail.size() > 8) k2 *= c2, k2 = std::rotl(k2, 33), k2 *= c1, h2 ^= k2;
    if (!tail.empty()) k1 *= c1, k1 = std::rotl(k1, 31), k1 *= c2, h1 ^= k1;
    h1 ^= bytes.size(), h2 ^= bytes.size();
    h1 += h2, h2 += h1;
    h1 = Mix64(h1), h2 = Mix64(h2);
    h1 += h2, h2 += h1;
    std::string key(16, '\0');
    for (int i = 0; i < 8; ++i) {
        key[i] = static_cast<char>(h1 >> (8 * i));
        key[8 + i] = static_cast<char>(h2 >> (8 * i));
    }
    return key;
}

}  // namespace

void SetSummary(const RawMessage& raw, bool hasAttachments, PropertyWriter& out) {
    // A search key of the message's own bytes: the same mail imported twice
    // is recognisably the same.
    out.Set(PidTagSearchKey, Binary{BytesKey(raw.bytes)});
    out.Set(PidTagMessageSize, static_cast<int32_t>(std::min<size_t>(raw.bytes.size(), INT32_MAX)));
    int32_t flags = !raw.state || raw.state->read ? MSGFLAG_READ : 0;
    if (hasAttachments) flags |= MSGFLAG_HASATTACH;
    out.Set(PidTagMessageFlags, flags);
    if (!raw.state) return;
    // The icon and last action Outlook shows for a message answered or
    // forwarded, and its red follow-up flag.
    if (raw.state->answered || raw.state->forwarded) {
        out.Set(PidTagLastVerbExecuted, int32_t{raw.state->forwarded ? 104 : 102});
        out.Set(PidTagIconIndex, int32_t{raw.state->forwarded ? 0x106 : 0x105});
    }
    if (raw.state->flagged) {
        out.Set(PidTagFlagStatus, int32_t{2});
        out.Set(PidTagFollowupIcon, int32_t{6});
    }
}

HeaderExtent ScanHeader(std::string_view message) {
    HeaderExtent extent;
    bool sawField = false;
    size_t pos = 0;
    for (;;) {
        if (pos >= message.size()) {
            extent.end = extent.bodyBegin = message.size();
            break;
        }
        size_t eol = message.find('\n', pos);
        size_t next = eol == std::string_view::npos ? message.size() : eol + 1;
        std::string_view line = message.substr(pos, next - pos);
        if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) {
            extent.end = pos;
            extent.bodyBegin = next;
            extent.blankLine = true;
            break;
        }
        if (line[0] == ' ' || line[0] == '\t') {
            // A fold that no field precedes belongs to none: the fields
            // after it are still read.
            if (!sawField) extent.fieldsBegin = next;
        } else if (!FieldName(line).empty()) {
            sawField = true;
        } else if (line.substr(0, 5) != "From ") {
            // Text where a field should be: the header ended before it
            // and the text is the body's first line.
            extent.end = extent.bodyBegin = pos;
            break;
        }
        pos = next;
    }
    if (!sawField && extent.end > 0) {
        // Lines but no field: there is no header, all of it is text.
        extent = HeaderExtent{};
    }
    return extent;
}

void ImportParsed(const ParsedMessage& message, const RawMessage& raw, MailItem& item, int depth,
                  std::string* error) {
    PropertyWriter out(item, error);
    SetEnvelope(message, raw, item, out);
    ContentResult content = SetContent(message, item, out, depth, error);
    if (content.attachments == 0 && !content.bodyPart) {
        // MIME that yields nothing (a multipart with no boundary, say)
        // still has text: the body as written is kept. A body part that
        // is empty has nothing to keep.
        std::string_view body = raw.bytes.substr(ScanHeader(raw.bytes).bodyBegin);
        if (!Trimmed(body).empty()) out.Set(PidTagBody, DecodeText(body, "").utf8);
    }
    SetSummary(raw, content.attachments > 0, out);
}

namespace {

GMimeMessage* ParseWholeMessage(GMimeStream* stream, GMimeParserOptions* options) {
    g_mime_stream_reset(stream);
    GRef<GMimeParser> parser(g_mime_parser_new_with_stream(stream));
    g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
    return g_mime_parser_construct_message(parser.get(), options);
}

// A message as parsed, or as text where nothing MIME could read it.
void ImportParsedOrText(const ParsedMessage& parsed, const RawMessage& raw, MailItem& item,
                        int depth, std::string* error) {
    if (parsed.fields) {
        ImportParsed(parsed, raw, item, depth, error);
        return;
    }
    PropertyWriter out(item, error);
    out.SetText(PidTagMessageClass, "IPM.Note");
    out.Set(PidTagBody, DecodeText(raw.bytes, "").utf8);
    if (std::optional<FileTime> date = raw.separatorDate ? raw.separatorDate : raw.undatedTime) {
        out.Set(PidTagClientSubmitTime, *date);
        out.Set(PidTagMessageDeliveryTime, *date);
        out.Set(PidTagCreationTime, *date);
        out.Set(PidTagLastModificationTime, *date);
    }
    SetSummary(raw, false, out);
}

void AddPreamble(std::string_view preamble, MailItem& item, std::string* error) {
    Attachment& attachment = item.AddAttachment();
    attachment.SetFile("preamble.txt", std::string(preamble));
    PropertyWriter out(attachment, error);
    out.SetText(PidTagAttachExtension, ".txt");
    out.SetText(PidTagAttachMimeTag, "text/plain");
    out.Set(PidTagAttachSize, static_cast<int32_t>(std::min<size_t>(preamble.size(), INT32_MAX)));
    out.Set(PidTagRenderingPosition, int32_t{-1});
}

}  // namespace

void ImportAttachedBytes(std::string_view message, MailItem& item, int depth, std::string* error) {
    const ParserOptions options = OwnedParserOptions();
    const MessageParse parse(message, options.get(), depth);
    const RawMessage raw{message, {}, std::nullopt, std::nullopt, std::nullopt};
    ImportParsedOrText(parse.Parsed(), raw, item, depth, error);
}

}  // namespace import

std::string ImportMessage(std::string_view separatorLine, std::string_view message,
                          std::string_view preamble, MailItem& item,
                          const ImportOptions& importOptions) {
    using namespace import;
    std::string error;
    const ParserOptions options = OwnedParserOptions();
    {
        const MessageParse parse(message, options.get(), 0);
        ParsedMessage parsed = parse.Parsed();
        // A clear-signed message is kept whole as its top part is written
        // out, with only that part's own Content fields: the top part of the
        // message read as a message.
        const bool clearSigned = parsed.root && IsSmimeSigned(parsed.root);
        GRef<GMimeMessage> whole(clearSigned ? ParseWholeMessage(parse.stream(), options.get())
                                             : nullptr);
        if (clearSigned)
            parsed = whole
                         ? ParsedMessage{&parse.fields(), g_mime_message_get_mime_part(whole.get())}
                         : ParsedMessage{};

        RawMessage raw{message, message.substr(0, parse.extent().end), SeparatorDate(separatorLine),
                       importOptions.undatedTime, std::nullopt};
        if (importOptions.keepState && parsed.fields) {
            raw.state = ReadMailState([&](const char* name) -> std::optional<std::string> {
                const std::optional<std::string_view> value = parse.fields().First(name);
                if (!value) return std::nullopt;
                return std::string(*value);
            });
        }
        ImportParsedOrText(parsed, raw, item, 0, &error);
    }
    if (!preamble.empty()) {
        AddPreamble(preamble, item, &error);
        const std::optional<PropValue> flags = item.GetProperty(PidTagMessageFlags);
        const int32_t* bits = flags ? std::get_if<int32_t>(&*flags) : nullptr;
        PropertyWriter(item, &error)
            .Set(PidTagMessageFlags, (bits ? *bits : MSGFLAG_READ) | MSGFLAG_HASATTACH);
    }
    return error;
}

}  // namespace mailvane::mapi
