#include "mapi/import/MimeImport.h"

#include <algorithm>
#include <cstdio>

#include "mapi/MailItem.h"
#include "mapi/PropTags.h"
#include "mapi/import/Charsets.h"
#include "mapi/import/Dates.h"
#include "mapi/import/Import.h"
#include "mapi/import/Names.h"

namespace mailvane::mapi {
namespace import {

void PropertyWriter::Set(uint32_t tag, const PropValue& value) {
    if (bag_.SetProperty(tag, value) || !error_->empty()) return;
    char text[64];
    std::snprintf(text, sizeof text, "property 0x%08X did not take its value", tag);
    *error_ = text;
}

void PropertyWriter::SetText(uint32_t tag, std::string_view text) {
    Set(tag, CleanUtf8(text));
}

void SetSummary(const RawMessage& raw, bool hasAttachments, PropertyWriter& out) {
    // A search key of the message's own bytes: the same mail imported twice
    // is recognisably the same.
    GChecksum* md5 = g_checksum_new(G_CHECKSUM_MD5);
    g_checksum_update(md5, reinterpret_cast<const guchar*>(raw.bytes.data()),
                      static_cast<gssize>(raw.bytes.size()));
    guint8 digest[16];
    gsize length = sizeof digest;
    g_checksum_get_digest(md5, digest, &length);
    g_checksum_free(md5);
    out.Set(PidTagSearchKey, Binary{std::string(reinterpret_cast<const char*>(digest), length)});
    out.Set(PidTagMessageSize, static_cast<int32_t>(std::min<size_t>(raw.bytes.size(), INT32_MAX)));
    int32_t flags = MSGFLAG_READ;
    if (hasAttachments) flags |= MSGFLAG_HASATTACH;
    out.Set(PidTagMessageFlags, flags);
}

namespace {

std::string_view BodyAfterHeader(std::string_view message) {
    for (std::string_view end : {"\r\n\r\n", "\n\n"}) {
        size_t at = message.find(end);
        if (at != std::string_view::npos) return message.substr(at + end.size());
    }
    return {};
}

}  // namespace

void ImportParsed(GMimeMessage* message, const RawMessage& raw, MailItem& item, int depth,
                  std::string* error) {
    PropertyWriter out(item, error);
    SetEnvelope(message, raw, item, out, error);
    int attachments = SetContent(message, item, out, depth, error);
    if (attachments == 0 && !item.GetProperty(PidTagBody) && !item.GetProperty(PidTagHtml)) {
        // MIME that yields nothing (a multipart with no boundary, say)
        // still has text: the body as written is kept.
        std::string_view body = BodyAfterHeader(raw.bytes);
        if (!Trimmed(body).empty()) out.Set(PidTagBody, DecodeText(body, "").utf8);
    }
    SetSummary(raw, attachments > 0, out);
}

namespace {

// The header block as the mailbox holds it: every line up to the blank line
// that ends it (or the whole message when none does).
std::string_view HeaderBlock(std::string_view message, gint64 headersEnd) {
    if (headersEnd <= 0) return {};
    size_t end = std::min(static_cast<size_t>(headersEnd), message.size());
    std::string_view block = message.substr(0, end);
    // GMime's end may include the blank line; the property keeps one line
    // break after the last field.
    while (block.size() >= 4 && block.substr(block.size() - 4) == "\r\n\r\n")
        block.remove_suffix(2);
    while (block.size() >= 2 && block.substr(block.size() - 2) == "\n\n") block.remove_suffix(1);
    return block;
}

// The one copy of the message GMime reads from. GMime reads header values
// as C strings, so a NUL in the header block would cut a field short there:
// it reads as a space instead (the transport headers keep the original).
GMimeStream* MessageStream(std::string_view message) {
    GByteArray* bytes = g_byte_array_sized_new(static_cast<guint>(message.size()));
    g_byte_array_append(bytes, reinterpret_cast<const guint8*>(message.data()),
                        static_cast<guint>(message.size()));
    for (guint i = 0; i < bytes->len; ++i) {
        if (bytes->data[i] == '\n' && i + 2 < bytes->len &&
            (bytes->data[i + 1] == '\n' ||
             (bytes->data[i + 1] == '\r' && bytes->data[i + 2] == '\n')))
            break;
        if (bytes->data[i] == '\0') bytes->data[i] = ' ';
    }
    return g_mime_stream_mem_new_with_byte_array(bytes);
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
}  // namespace import

std::string ImportMessage(std::string_view separatorLine, std::string_view message,
                          std::string_view preamble, MailItem& item) {
    using namespace import;
    std::string error;
    GMimeParserOptions* options = NewParserOptions();
    GRef<GMimeStream> stream(MessageStream(message));
    GRef<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
    GRef<GMimeMessage> parsed(g_mime_parser_construct_message(parser.get(), options));

    RawMessage raw{message, {}, SeparatorDate(separatorLine)};
    if (parsed) {
        raw.headerBlock = HeaderBlock(message, g_mime_parser_get_headers_end(parser.get()));
        ImportParsed(parsed.get(), raw, item, 0, &error);
    } else {
        // Nothing MIME could read: the text itself is the body.
        PropertyWriter out(item, &error);
        out.SetText(PidTagMessageClass, "IPM.Note");
        out.Set(PidTagBody, DecodeText(message, "").utf8);
        if (raw.separatorDate) {
            out.Set(PidTagMessageDeliveryTime, *raw.separatorDate);
            out.Set(PidTagCreationTime, *raw.separatorDate);
            out.Set(PidTagLastModificationTime, *raw.separatorDate);
        }
        SetSummary(raw, false, out);
    }
    if (!preamble.empty()) {
        AddPreamble(preamble, item, &error);
        PropertyWriter(item, &error).Set(PidTagMessageFlags, MSGFLAG_READ | MSGFLAG_HASATTACH);
    }
    g_mime_parser_options_free(options);
    return error;
}

}  // namespace mailvane::mapi
