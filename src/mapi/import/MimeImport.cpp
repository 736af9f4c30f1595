#include "mapi/import/MimeImport.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "mapi/MailItem.h"
#include "mapi/format/PropTags.h"
#include "mapi/import/AsciiCase.h"
#include "mapi/import/Charsets.h"
#include "mapi/import/Dates.h"
#include "mapi/import/Import.h"
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

// What GMime reads: the message's MIME fields (the import reads the others
// itself, see FieldList), then the rest of the message where the caller
// holds it. A blank line ends the header where a line that is no field
// did. GMime reads header values as C strings, so a NUL in a field would
// cut it short there: it reads as a space instead. The transport headers
// keep the original.
ViewBytes MessageBytes(std::string_view message, const HeaderExtent& extent) {
    ViewBytes bytes;
    bytes.rest = message.substr(extent.end);
    const std::string_view fields =
        message.substr(extent.fieldsBegin, extent.end - extent.fieldsBegin);
    bytes.head.reserve(fields.size() + 2);
    bool dropping = false;
    for (size_t pos = 0; pos < fields.size();) {
        size_t next = fields.find('\n', pos);
        next = next == std::string_view::npos ? fields.size() : next + 1;
        const std::string_view line = fields.substr(pos, next - pos);
        // A fold belongs to the field above it.
        if (line[0] != ' ' && line[0] != '\t') {
            const std::string_view name = FieldName(line);
            dropping = name.empty() || !IsMimeField(name);
        }
        if (!dropping) bytes.head.append(line);
        pos = next;
    }
    for (char& c : bytes.head)
        if (c == '\0') c = ' ';
    if (!extent.blankLine && !bytes.rest.empty()) {
        size_t eol = message.find('\n', extent.end == 0 ? 0 : extent.end - 1);
        bool crlf = eol != std::string_view::npos && eol > 0 && message[eol - 1] == '\r';
        bytes.head += crlf ? "\r\n" : "\n";
    }
    return bytes;
}

// GMime builds the whole tree of a message before any part of it can be
// read, some 1.6 KB a part, so a multipart/mixed of 100,000 parts took 300
// MB. The multipart of very many parts in a large message (its top level,
// or one that holds most of it, however deep) is given to GMime a share of
// its parts at a time. The first share is the message up to the end of the
// first run of parts; every later one is a run of parts after the lines
// that open each multipart around it (a boundary line and the part's
// fields, as the message has them), the last with everything after the
// run. Each share so parses as the message would, holding only its parts.
constexpr size_t kSharedFromBytes = size_t{1} << 20;
constexpr size_t kPartsPerShare = 1000;
// Multiparts inside one another that are looked into for the one of many parts.
constexpr int kSharedDepth = 8;

struct PartSharing {
    std::string opening;  // what comes before each later share's run
    std::vector<std::string_view> shares;
    int depth = 0;  // multiparts around the one shared
    bool alternative = false;
    // Or an attached message of very many parts that holds most of the
    // message: its bytes, the part of them GMime is not given (its body),
    // and the place of its part among the parts around it.
    std::string_view lifted = {};
    size_t liftedBodyFrom = 0;
    std::vector<int> liftedPath = {};
};

// Where each part of a multipart with `boundary` starts in [from, to): a
// line of "--" and the boundary, then blanks at most. Any such line ends
// whatever part is open, however deep, as GMime reads it; the closing line
// ("--" after the boundary) ends them all, and *end is where it starts.
std::vector<size_t> PartStarts(std::string_view message, size_t from, size_t to,
                               const std::string& boundary, size_t* end) {
    const std::string delimiter = "--" + boundary;
    const auto blankTo = [&](size_t at) {
        while (at < to && (message[at] == ' ' || message[at] == '\t' || message[at] == '\r')) ++at;
        return at == to || message[at] == '\n';
    };
    std::vector<size_t> starts;
    *end = to;
    for (size_t at = message.find(delimiter, from); at != std::string_view::npos && at < to;
         at = message.find(delimiter, at + delimiter.size())) {
        if (at > 0 && message[at - 1] != '\n') continue;
        const size_t after = at + delimiter.size();
        if (message.compare(after, 2, "--") == 0 && blankTo(after + 2)) {
            *end = at;
            break;
        }
        if (blankTo(after)) starts.push_back(at);
    }
    return starts;
}

// The multipart whose fields are `fields` (ending with a blank line) and its
// boundary; null for any other part, and for a signed or encrypted one,
// which is kept whole.
GRef<GMimeObject> MultipartOf(std::string fields, GMimeParserOptions* options,
                              std::string* boundary) {
    const ViewBytes head{std::move(fields), {}};
    GRef<GMimeStream> stream(NewViewStream(&head));
    GRef<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    GRef<GMimeObject> part(g_mime_parser_construct_part(parser.get(), options));
    if (!part || !GMIME_IS_MULTIPART(part.get()) || IsType(part.get(), "multipart", "signed") ||
        IsType(part.get(), "multipart", "encrypted"))
        return {};
    const char* given = g_mime_multipart_get_boundary(GMIME_MULTIPART(part.get()));
    if (!given || !*given) return {};
    *boundary = given;
    return part;
}

PartSharing PartShares(std::string_view message, const HeaderExtent& extent, const ViewBytes& bytes,
                       GMimeParserOptions* options);

// Whether a part with these fields (ending with a blank line) is an attached
// message whose bytes are the message as written.
bool IsPlainMessagePart(std::string fields, GMimeParserOptions* options) {
    const ViewBytes head{std::move(fields), {}};
    GRef<GMimeStream> stream(NewViewStream(&head));
    GRef<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    GRef<GMimeObject> part(g_mime_parser_construct_part(parser.get(), options));
    if (!part || !GMIME_IS_MESSAGE_PART(part.get())) return false;
    const char* encoding = g_mime_object_get_header(part.get(), "Content-Transfer-Encoding");
    const std::string coding = AsciiLower(Trimmed(encoding ? encoding : ""));
    return coding.empty() || coding == "7bit" || coding == "8bit" || coding == "binary";
}

// An attached message that would itself be read a share at a time.
bool SharesItself(std::string_view message, GMimeParserOptions* options) {
    const HeaderExtent extent = ScanHeader(message);
    const PartSharing inner = PartShares(message, extent, MessageBytes(message, extent), options);
    return !inner.shares.empty() || !inner.lifted.empty();
}

PartSharing PartShares(std::string_view message, const HeaderExtent& extent, const ViewBytes& bytes,
                       GMimeParserOptions* options) {
    if (message.size() - extent.end < kSharedFromBytes) return {};
    std::string boundary, opening;
    GRef<GMimeObject> multipart = MultipartOf(bytes.head + "\r\n", options, &boundary);
    size_t from = extent.end, to = message.size();
    std::vector<int> path;
    for (int depth = 0; multipart && depth < kSharedDepth; ++depth) {
        size_t end = to;
        const std::vector<size_t> starts = PartStarts(message, from, to, boundary, &end);
        if (starts.size() > kPartsPerShare) {
            // Not a report, whose parts are read together, nor any other kind
            // whose parts mean more than their order.
            const bool alternative = IsType(multipart.get(), "multipart", "alternative");
            if (!alternative && !IsType(multipart.get(), "multipart", "mixed") &&
                !IsType(multipart.get(), "multipart", "related"))
                return {};
            PartSharing sharing{std::move(opening), {}, depth, alternative};
            size_t run = extent.end;
            for (size_t next = kPartsPerShare; next < starts.size(); next += kPartsPerShare) {
                // The line break before a boundary line belongs to the line.
                size_t cut = starts[next] - 1;
                if (cut > run && message[cut - 1] == '\r') --cut;
                sharing.shares.push_back(message.substr(run, cut - run));
                run = starts[next];
            }
            sharing.shares.push_back(message.substr(run));
            return sharing;
        }
        // Look into the part that holds most of the message, if it does.
        size_t largest = starts.size();
        for (size_t i = 0; i < starts.size(); ++i) {
            const size_t partEnd = i + 1 < starts.size() ? starts[i + 1] : end;
            if (partEnd - starts[i] >= (to - from) / 2 && partEnd - starts[i] >= kSharedFromBytes)
                largest = i;
        }
        if (largest == starts.size()) return {};
        // A later share shows each multipart around the run as holding the
        // one part the run is in, so the body is chosen from the shares as
        // from the whole only where that part is where the body is looked
        // for: anywhere in a mixed, first in a related, last in an
        // alternative (the last of a kind is the richest).
        const bool related = IsType(multipart.get(), "multipart", "related");
        const bool alternative = IsType(multipart.get(), "multipart", "alternative");
        if ((related && largest != 0) || (alternative && largest + 1 != starts.size()) ||
            (!related && !alternative && !IsType(multipart.get(), "multipart", "mixed")))
            return {};
        const size_t partEnd = largest + 1 < starts.size() ? starts[largest + 1] : end;
        // Its fields end at the first blank line after its boundary line.
        size_t bodyStart = message.find('\n', starts[largest]);
        while (bodyStart != std::string_view::npos && bodyStart + 1 < partEnd) {
            const size_t line = bodyStart + 1;
            bodyStart = message.find('\n', line);
            if (bodyStart == std::string_view::npos) break;
            if (bodyStart == line || (bodyStart == line + 1 && message[line] == '\r')) break;
        }
        if (bodyStart == std::string_view::npos || bodyStart + 1 >= partEnd) return {};
        ++bodyStart;
        const size_t fieldsStart = message.find('\n', starts[largest]) + 1;
        std::string fields(message.substr(fieldsStart, bodyStart - fieldsStart));
        path.push_back(static_cast<int>(largest));
        multipart = MultipartOf(fields, options, &boundary);
        if (!multipart && IsPlainMessagePart(std::move(fields), options)) {
            // With the line break before the next boundary line: GMime keeps
            // the CR of a CRLF in the last part of a message ending without one.
            const std::string_view attached = message.substr(bodyStart, partEnd - bodyStart);
            if (!SharesItself(attached, options)) return {};
            PartSharing sharing;
            sharing.lifted = attached;
            sharing.liftedBodyFrom = bodyStart + ScanHeader(attached).bodyBegin;
            sharing.liftedPath = std::move(path);
            return sharing;
        }
        opening.append(message.substr(starts[largest], bodyStart - starts[largest]));
        from = bodyStart;
        to = partEnd;
    }
    return {};
}

// A message's bytes as GMime reads them for the import: its MIME fields and
// the rest, a multipart of very many parts in shares, an attached message
// of very many parts left for a parse of its own. Holds what GMime's
// objects point into, so it stays where it is made.
class MessageParse {
public:
    MessageParse(std::string_view message, GMimeParserOptions* options);
    MessageParse(const MessageParse&) = delete;
    MessageParse& operator=(const MessageParse&) = delete;

    // Null fields and root where the message has no MIME part.
    ParsedMessage Parsed() const;
    const HeaderExtent& extent() const { return extent_; }
    const FieldList& fields() const { return fields_; }
    GMimeStream* stream() const { return stream_.get(); }

private:
    void Parse(GMimeParserOptions* options);

    HeaderExtent extent_;
    FieldList fields_;
    ViewBytes bytes_;
    std::string outside_;  // the message but for the lifted message's body
    std::vector<ViewBytes> moreShares_;
    PartSharing sharing_;
    GRef<GMimeStream> stream_;
    GRef<GMimeObject> part_;
    GMimeObject* lifted_ = nullptr;
};

MessageParse::MessageParse(std::string_view message, GMimeParserOptions* options)
    : extent_(ScanHeader(message)),
      fields_(FieldList::FromBlock(
          message.substr(extent_.fieldsBegin, extent_.end - extent_.fieldsBegin))),
      bytes_(MessageBytes(message, extent_)),
      sharing_(PartShares(message, extent_, bytes_, options)) {
    if (!sharing_.shares.empty()) {
        bytes_.rest = sharing_.shares[0];
        for (size_t i = 1; i < sharing_.shares.size(); ++i)
            moreShares_.push_back({bytes_.head + "\r\n" + sharing_.opening, sharing_.shares[i]});
    }
    if (!sharing_.lifted.empty()) {
        const size_t bodyTo =
            static_cast<size_t>(sharing_.lifted.data() - message.data()) + sharing_.lifted.size();
        outside_.reserve(message.size() - (bodyTo - sharing_.liftedBodyFrom) - extent_.end);
        outside_.append(message.substr(extent_.end, sharing_.liftedBodyFrom - extent_.end));
        outside_.append(message.substr(bodyTo));
        bytes_.rest = outside_;
    }
    Parse(options);
    if (sharing_.lifted.empty()) return;
    // The attached message's part, found where the scan saw it.
    GMimeObject* at = part_.get();
    for (int index : sharing_.liftedPath) {
        if (!at || !GMIME_IS_MULTIPART(at) ||
            index >= g_mime_multipart_get_count(GMIME_MULTIPART(at))) {
            at = nullptr;
            break;
        }
        at = g_mime_multipart_get_part(GMIME_MULTIPART(at), index);
    }
    if (at && GMIME_IS_MESSAGE_PART(at)) {
        lifted_ = at;
        return;
    }
    // GMime read the parts otherwise than the scan did: read it whole.
    sharing_.lifted = {};
    bytes_.rest = message.substr(extent_.end);
    Parse(options);
}

void MessageParse::Parse(GMimeParserOptions* options) {
    stream_ = GRef<GMimeStream>(NewViewStream(&bytes_));
    // The top level read as a MIME part. Read as a message, GMime would
    // parse each address and date field into objects of its own, which the
    // import never reads: about a third of GMime's time.
    GRef<GMimeParser> parser(g_mime_parser_new_with_stream(stream_.get()));
    part_ = GRef<GMimeObject>(g_mime_parser_construct_part(parser.get(), options));
}

ParsedMessage MessageParse::Parsed() const {
    if (!part_) return {};
    return {&fields_,       part_.get(),          moreShares_.empty() ? nullptr : &moreShares_,
            sharing_.depth, sharing_.alternative, lifted_,
            sharing_.lifted};
}

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
    std::unique_ptr<GMimeParserOptions, void (*)(GMimeParserOptions*)> options(
        NewParserOptions(), g_mime_parser_options_free);
    const MessageParse parse(message, options.get());
    const RawMessage raw{message, {}, std::nullopt, std::nullopt, std::nullopt};
    ImportParsedOrText(parse.Parsed(), raw, item, depth, error);
}

}  // namespace import

std::string ImportMessage(std::string_view separatorLine, std::string_view message,
                          std::string_view preamble, MailItem& item,
                          const ImportOptions& importOptions) {
    using namespace import;
    std::string error;
    std::unique_ptr<GMimeParserOptions, void (*)(GMimeParserOptions*)> options(
        NewParserOptions(), g_mime_parser_options_free);
    {
        const MessageParse parse(message, options.get());
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
