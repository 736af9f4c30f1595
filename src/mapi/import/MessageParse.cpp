#include "mapi/import/MessageParse.h"

#include <utility>

#include "mapi/import/AsciiCase.h"

namespace mailvane::mapi::import {
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

// The part that `fields` (ending with a blank line) make, content aside.
GRef<GMimeObject> PartOfFields(std::string fields, GMimeParserOptions* options) {
    return ParsePart(ViewBytes{std::move(fields), {}}, options);
}

// The boundary of a multipart that may be read in shares; "" for any other
// part, and for a signed or encrypted multipart, which is kept whole.
std::string SharedBoundary(GMimeObject* part) {
    if (!part || !GMIME_IS_MULTIPART(part) || IsType(part, "multipart", "signed") ||
        IsType(part, "multipart", "encrypted"))
        return {};
    const char* given = g_mime_multipart_get_boundary(GMIME_MULTIPART(part));
    return given ? given : "";
}

PartSharing PartShares(std::string_view message, const HeaderExtent& extent, const ViewBytes& bytes,
                       GMimeParserOptions* options, int embedding);

// Whether `part` is an attached message whose bytes are the message as
// written.
bool IsPlainMessagePart(GMimeObject* part) {
    if (!part || !GMIME_IS_MESSAGE_PART(part)) return false;
    const char* encoding = g_mime_object_get_header(part, "Content-Transfer-Encoding");
    const std::string coding = AsciiLower(Trimmed(encoding ? encoding : ""));
    return coding.empty() || coding == "7bit" || coding == "8bit" || coding == "binary";
}

// An attached message that would itself be read a share at a time.
bool SharesItself(std::string_view message, GMimeParserOptions* options, int embedding) {
    const HeaderExtent extent = ScanHeader(message);
    const PartSharing inner =
        PartShares(message, extent, MessageBytes(message, extent), options, embedding);
    return !inner.shares.empty() || !inner.lifted.empty();
}

// `embedding`: how deep the message is embedded. An attached message is
// read apart only where it is imported at all, so that messages nested
// thousands deep cost no more than a bounded number of scans.
PartSharing PartShares(std::string_view message, const HeaderExtent& extent, const ViewBytes& bytes,
                       GMimeParserOptions* options, int embedding) {
    if (message.size() - extent.end < kSharedFromBytes) return {};
    std::string opening;
    GRef<GMimeObject> multipart = PartOfFields(bytes.head + "\r\n", options);
    std::string boundary = SharedBoundary(multipart.get());
    size_t from = extent.end, to = message.size();
    std::vector<int> path;
    for (int depth = 0; !boundary.empty() && depth < kSharedDepth; ++depth) {
        size_t end = to;
        const std::vector<size_t> starts = PartStarts(message, from, to, boundary, &end);
        if (starts.size() > kPartsPerShare) {
            // Not a report, whose parts are read together, nor any other kind
            // whose parts mean more than their order.
            const bool alternative = IsType(multipart.get(), "multipart", "alternative");
            if (!alternative && !IsType(multipart.get(), "multipart", "mixed") &&
                !IsType(multipart.get(), "multipart", "related"))
                return {};
            PartSharing sharing{std::move(opening), {}, {}, depth, alternative};
            // Each share but the last ends with the line break before the
            // next part's boundary line, and the multipart's closing line
            // after it: a part's content then ends where it ends in the
            // whole, and a multipart inside the share's last part is closed
            // as it is in the whole.
            const bool crlf = starts[0] >= 2 && message[starts[0] - 2] == '\r';
            sharing.closing = "--" + boundary + "--" + (crlf ? "\r\n" : "\n");
            size_t run = extent.end;
            for (size_t next = kPartsPerShare; next < starts.size(); next += kPartsPerShare) {
                sharing.shares.push_back(message.substr(run, starts[next] - run));
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
        path.push_back(static_cast<int>(largest));
        multipart = PartOfFields(std::string(message.substr(fieldsStart, bodyStart - fieldsStart)),
                                 options);
        boundary = SharedBoundary(multipart.get());
        if (boundary.empty() && embedding < kMaxMessageDepth &&
            IsPlainMessagePart(multipart.get())) {
            // With the line break before the next boundary line: GMime keeps
            // the CR of a CRLF in the last part of a message ending without one.
            const std::string_view attached = message.substr(bodyStart, partEnd - bodyStart);
            if (!SharesItself(attached, options, embedding + 1)) return {};
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

}  // namespace

MessageParse::MessageParse(std::string_view message, GMimeParserOptions* options, int embedding)
    : extent_(ScanHeader(message)),
      fields_(FieldList::FromBlock(
          message.substr(extent_.fieldsBegin, extent_.end - extent_.fieldsBegin))),
      bytes_(MessageBytes(message, extent_)),
      sharing_(PartShares(message, extent_, bytes_, options, embedding)) {
    if (!sharing_.shares.empty()) {
        bytes_.rest = sharing_.shares[0];
        bytes_.tail = sharing_.closing;
        for (size_t i = 1; i < sharing_.shares.size(); ++i)
            moreShares_.push_back({bytes_.head + "\r\n" + sharing_.opening, sharing_.shares[i],
                                   i + 1 < sharing_.shares.size() ? sharing_.closing : ""});
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

}  // namespace mailvane::mapi::import
