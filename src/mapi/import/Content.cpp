// Bodies, attachments and embedded messages ([MS-OXCMAIL] 2.2.3.3, 2.2.3.4).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>
#include <vector>

#include "mapi/format/PropTags.h"
#include "mapi/import/AsciiCase.h"
#include "mapi/import/Charsets.h"
#include "mapi/import/HeaderText.h"
#include "mapi/import/HtmlCharset.h"
#include "mapi/import/HtmlText.h"
#include "mapi/import/Import.h"
#include "mapi/import/Names.h"
#include "mapi/import/Tnef.h"

namespace mailvane::mapi::import {
std::string StripAngles(std::string id) {
    id = Trimmed(id);
    if (!id.empty() && id.front() == '<') id.erase(0, 1);
    if (!id.empty() && id.back() == '>') id.pop_back();
    return id;
}

Attachment& AddFileAttachment(MailItem& item, int number, const std::string& given,
                              const std::string& mimeType, std::string bytes, std::string* error) {
    char base[16];
    std::snprintf(base, sizeof base, "ATT%05d", number % 100000);
    AttachNames names = MakeAttachNames(given, base, ExtensionForMimeType(mimeType));
    Attachment& attachment = item.AddAttachment();
    int32_t size = static_cast<int32_t>(std::min<size_t>(bytes.size(), INT32_MAX));
    attachment.SetFile(names.longName, std::move(bytes));
    PropertyWriter out(attachment, error);
    out.SetText(PidTagAttachFilename, names.shortName);
    out.SetText(PidTagDisplayName, names.display);
    if (!names.extension.empty()) out.SetText(PidTagAttachExtension, names.extension);
    out.SetText(PidTagAttachMimeTag, mimeType);
    out.Set(PidTagAttachSize, size);
    out.Set(PidTagRenderingPosition, int32_t{-1});
    return attachment;
}

namespace {

constexpr std::string_view kPsInternetHeaders = "{00020386-0000-0000-C000-000000000046}";

bool IsAttachmentDisposition(GMimeObject* object) {
    GMimeContentDisposition* disposition = g_mime_object_get_content_disposition(object);
    return disposition && g_mime_content_disposition_is_attachment(disposition);
}

bool IsLeaf(GMimeObject* object) {
    return GMIME_IS_PART(object) && !GMIME_IS_MULTIPART(object) && !GMIME_IS_MESSAGE_PART(object);
}

bool IsBodyLeaf(GMimeObject* object, const char* subtype) {
    return IsLeaf(object) && IsType(object, "text", subtype) && !IsAttachmentDisposition(object);
}

// A header field of a part as text, "" when it is absent.
std::string FieldText(GMimeObject* object, const char* name, const std::string& charset) {
    GMimeHeader* header =
        g_mime_header_list_get_header(g_mime_object_get_header_list(object), name);
    const char* raw = header ? g_mime_header_get_raw_value(header) : nullptr;
    return raw ? Trimmed(DecodeHeaderText(raw, charset)) : std::string();
}

// The file name a part gives itself. GMime reads RFC 2231 names well, but
// cuts a run of encoded words short and reads raw 8-bit names in no
// particular charset: those are read from the field as written.
std::string PartFileName(GMimeObject* object, const std::string& charset) {
    static const struct {
        const char* field;
        const char* parameter;
    } kPlaces[] = {{"Content-Disposition", "filename"}, {"Content-Type", "name"}};
    GMimeHeaderList* headers = g_mime_object_get_header_list(object);
    for (const auto& place : kPlaces) {
        GMimeHeader* header = g_mime_header_list_get_header(headers, place.field);
        const char* raw = header ? g_mime_header_get_raw_value(header) : nullptr;
        std::optional<std::string> value =
            raw ? PlainParameter(raw, place.parameter) : std::nullopt;
        if (!value || Trimmed(*value).empty()) continue;
        bool eightBit = false;
        for (char c : *value) eightBit |= (c & 0x80) != 0;
        if (eightBit || value->find("=?") != std::string::npos)
            return Trimmed(DecodeHeaderText(*value, charset));
        break;
    }
    const char* fileName =
        GMIME_IS_PART(object) ? g_mime_part_get_filename(GMIME_PART(object)) : nullptr;
    std::string name = fileName ? fileName : ContentTypeParameter(object, "name");
    if (Trimmed(name).empty()) {
        const char* disposition =
            g_mime_object_get_content_disposition_parameter(object, "filename");
        name = disposition ? disposition : "";
    }
    if (Trimmed(name).empty()) name = FieldText(object, "Content-Description", charset);
    return CleanUtf8(name);
}

// Plain text in a store ends its lines with CR LF; a base64 body often
// carries bare LF.
std::string WithCrLf(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    size_t copied = 0;
    for (size_t lf = text.find('\n'); lf != std::string::npos; lf = text.find('\n', lf + 1)) {
        if (lf > 0 && text[lf - 1] == '\r') continue;
        out.append(text, copied, lf - copied);
        out += '\r';
        copied = lf;
    }
    out.append(text, copied);
    return out;
}

struct BodyChoice {
    GMimeObject* plain = nullptr;
    GMimeObject* html = nullptr;
    bool found() const { return plain || html; }
};

// The walk over one message's MIME tree: picks the body, then makes every
// other part an attachment.
class ContentWalk {
public:
    ContentWalk(MailItem& item, PropertyWriter& out, int depth, std::string* error)
        : item_(item), out_(out), depth_(depth), error_(error) {}
    // The charset raw 8-bit names are read in.
    void SetCharset(std::string charset) { charset_ = std::move(charset); }

    void Run(GMimeObject* root);
    // The parts of a later share of the top level (see ParsedMessage), after
    // Run() on the first: attachments all, the body having been chosen.
    void CollectMore(GMimeObject* root);
    // Before Run(): the body of an alternative given a share at a time, found
    // in all of its shares; the shares that hold it stay parsed.
    void ChooseSharedBody(const ParsedMessage& message, GMimeParserOptions* options);
    // The multipart given a share at a time, in the share read next.
    void SetSharedNode(GMimeObject* root, int depth, bool firstShare);
    // A later share kept parsed by ChooseSharedBody(), else null.
    GMimeObject* PinnedShare(size_t share) const;
    // The attached message read from its own bytes (see ParsedMessage).
    void SetLifted(GMimeObject* part, std::string_view bytes) {
        lifted_ = part;
        liftedBytes_ = bytes;
    }
    int attachments() const { return attachments_; }
    // A part gave the body, or a TNEF stream gave the item its content.
    bool bodyPart() const { return body_.found() || tnefRead_; }

private:
    bool SelectBody(GMimeObject* object, BodyChoice* choice, int level);
    void SetBodies();
    void Collect(GMimeObject* object, bool inRelated, int level);
    void AddFile(GMimeObject* object, bool inRelated);
    bool AddTnef(GMimeObject* object);
    void AddEmbedded(GMimeMessagePart* part);
    void AddBytes(const std::string& given, const std::string& mimeType, std::string bytes,
                  GMimeObject* object, bool hidden);
    void AddSmime(GMimeObject* root, bool signedMultipart);

    MailItem& item_;
    PropertyWriter& out_;
    int depth_;
    std::string* error_;
    std::string charset_;
    BodyChoice body_;
    bool bodyChosen_ = false;  // in this share or an earlier one
    // Alternatives that gave the body: their other text parts are the same
    // text again and are not kept twice.
    std::set<GMimeObject*> bodyAlternatives_;
    // "cid:" references and the text of the HTML body, for inline parts.
    std::set<std::string> htmlCids_;
    std::string htmlText_;
    int attachments_ = 0;
    bool tnefRead_ = false;
    // The signature of the PGP/MIME signed part being collected.
    GMimeObject* signature_ = nullptr;
    // The multipart given a share at a time: its node in the share being
    // read, and whether that share is a later one. An alternative's: the
    // body its parts give, whether choosing the body marked it as an
    // alternative that gives one (its text parts are then not kept), and
    // the later shares holding the body's parts, kept for their objects.
    GMimeObject* sharedNode_ = nullptr;
    bool laterShare_ = false;
    std::optional<BodyChoice> sharedBody_;
    bool sharedGaveBody_ = false;
    std::vector<std::pair<size_t, GRef<GMimeObject>>> pinned_;
    GMimeObject* lifted_ = nullptr;
    std::string_view liftedBytes_;
};

// The multipart `depth` levels below a share's root: the first share ends
// inside it, so it is the last part at each level; a later share opens with
// it, so it is the first.
GMimeObject* SharedMultipart(GMimeObject* root, int depth, bool firstShare) {
    for (int level = 0; root && level < depth; ++level) {
        if (!GMIME_IS_MULTIPART(root)) return nullptr;
        const int count = g_mime_multipart_get_count(GMIME_MULTIPART(root));
        if (count == 0) return nullptr;
        root = g_mime_multipart_get_part(GMIME_MULTIPART(root), firstShare ? count - 1 : 0);
    }
    return root && GMIME_IS_MULTIPART(root) ? root : nullptr;
}

GMimeObject* ContentWalk::PinnedShare(size_t share) const {
    for (const auto& [index, root] : pinned_)
        if (index == share) return root.get();
    return nullptr;
}

void ContentWalk::SetSharedNode(GMimeObject* root, int depth, bool firstShare) {
    sharedNode_ = SharedMultipart(root, depth, firstShare);
    laterShare_ = !firstShare;
}

void ContentWalk::ChooseSharedBody(const ParsedMessage& message, GMimeParserOptions* options) {
    // As an alternative read whole chooses: its last part that gives HTML,
    // and its last plain text part (else the first plain text inside one).
    struct Place {
        size_t share = 0;
        int part = -1;
    } html, plain;
    const size_t shares = message.moreShares->size() + 1;
    for (size_t s = 0; s < shares; ++s) {
        GRef<GMimeObject> parsed;
        if (s > 0) parsed = ParsePart((*message.moreShares)[s - 1], options);
        GMimeObject* node =
            SharedMultipart(s == 0 ? message.root : parsed.get(), message.sharedDepth, s == 0);
        if (!node) continue;
        GMimeMultipart* multipart = GMIME_MULTIPART(node);
        for (int i = 0; i < g_mime_multipart_get_count(multipart); ++i) {
            GMimeObject* child = g_mime_multipart_get_part(multipart, i);
            BodyChoice inner;
            if (!SelectBody(child, &inner, message.sharedDepth + 1)) continue;
            if (inner.html) html = {s, i};
            if (inner.plain && (plain.part < 0 || IsLeaf(child))) plain = {s, i};
        }
        // The objects of a share are let go: none may be known by its address.
        bodyAlternatives_.clear();
    }
    // The parts found again, in shares that stay parsed while all are read.
    const auto find = [&](const Place& place) -> BodyChoice {
        if (place.part < 0) return {};
        GMimeObject* root = message.root;
        if (place.share > 0) {
            auto kept = std::find_if(pinned_.begin(), pinned_.end(),
                                     [&](const auto& p) { return p.first == place.share; });
            if (kept == pinned_.end())
                kept = pinned_.insert(
                    pinned_.end(),
                    {place.share, ParsePart((*message.moreShares)[place.share - 1], options)});
            root = kept->second.get();
        }
        GMimeObject* node = SharedMultipart(root, message.sharedDepth, place.share == 0);
        BodyChoice inner;
        if (node)
            SelectBody(g_mime_multipart_get_part(GMIME_MULTIPART(node), place.part), &inner,
                       message.sharedDepth + 1);
        return inner;
    };
    BodyChoice chosen;
    chosen.plain = find(plain).plain;
    chosen.html = find(html).html;
    bodyAlternatives_.clear();
    sharedBody_ = chosen;
}

bool ContentWalk::SelectBody(GMimeObject* object, BodyChoice* choice, int level) {
    if (level > kMaxPartDepth) return false;
    // A related's body is its first part, and that was in the first share.
    if (object == sharedNode_ && laterShare_ && IsType(object, "multipart", "related"))
        return false;
    if (object == sharedNode_ && sharedBody_) {
        // Its parts still mark the alternatives among them, as read whole.
        BodyChoice inner;
        GMimeMultipart* multipart = GMIME_MULTIPART(object);
        for (int i = 0; i < g_mime_multipart_get_count(multipart); ++i)
            SelectBody(g_mime_multipart_get_part(multipart, i), &inner, level + 1);
        if (!sharedBody_->found()) return false;
        bodyAlternatives_.insert(object);
        *choice = *sharedBody_;
        sharedGaveBody_ = true;
        return true;
    }
    if (IsBodyLeaf(object, "plain")) {
        choice->plain = object;
        return true;
    }
    if (IsBodyLeaf(object, "html")) {
        choice->html = object;
        return true;
    }
    if (!GMIME_IS_MULTIPART(object)) return false;
    GMimeMultipart* multipart = GMIME_MULTIPART(object);
    int count = g_mime_multipart_get_count(multipart);
    if (IsType(object, "multipart", "alternative")) {
        // HTML is preferred and the last of a kind is the richest; plain
        // text is kept beside it for readers that show no HTML.
        BodyChoice found;
        for (int i = 0; i < count; ++i) {
            GMimeObject* child = g_mime_multipart_get_part(multipart, i);
            BodyChoice inner;
            if (!SelectBody(child, &inner, level + 1)) continue;
            if (inner.html) found.html = inner.html;
            if (inner.plain && (!found.plain || IsLeaf(child))) found.plain = inner.plain;
        }
        if (!found.found()) return false;
        bodyAlternatives_.insert(object);
        *choice = found;
        return true;
    }
    if (IsType(object, "multipart", "encrypted")) return false;
    // related (its first part is the body), signed (its first part is the
    // content), mixed and any other multipart: the first part that can be a
    // body is.
    bool firstOnly =
        IsType(object, "multipart", "related") || IsType(object, "multipart", "signed");
    for (int i = 0; i < count; ++i) {
        if (SelectBody(g_mime_multipart_get_part(multipart, i), choice, level + 1)) return true;
        if (firstOnly) break;
    }
    return false;
}

void ContentWalk::SetBodies() {
    // An empty part sets no body: there is nothing to keep, and a body of
    // no bytes reads as a missing value in some readers.
    uint32_t codePage = 0;
    int32_t nativeBody = 0;
    if (body_.plain) {
        std::string bytes = DecodedContent(GMIME_PART(body_.plain));
        if (!bytes.empty()) {
            DecodedText text = DecodeText(bytes, ContentTypeParameter(body_.plain, "charset"));
            out_.Set(PidTagBody, WithCrLf(text.utf8));
            codePage = CodePageOf(text.charset);
            nativeBody = 1;
        }
    }
    if (body_.html) {
        std::string bytes = DecodedContent(GMIME_PART(body_.html));
        if (!bytes.empty()) {
            // The part's charset, else the one its own <meta> names.
            std::string charset = ContentTypeParameter(body_.html, "charset");
            if (Trimmed(charset).empty()) charset = HtmlDeclaredCharset(bytes);
            DecodedText text = DecodeText(bytes, charset);
            // The HTML keeps its own bytes, with the code page of the charset
            // that read them: converted to UTF-8, it would still name its
            // old charset in its <meta> and show as mojibake.
            uint32_t htmlCodePage = CodePageOf(text.charset);
            if (htmlCodePage) {
                out_.Set(PidTagHtml, Binary{std::move(bytes)});
                codePage = htmlCodePage;
            } else {
                out_.Set(PidTagHtml, Binary{text.utf8});
                codePage = 65001;
            }
            // Mail with HTML only still gets its text, for readers and
            // search indexes that do not read HTML.
            if (nativeBody == 0) {
                std::string plain = HtmlToText(text.utf8);
                if (!plain.empty()) out_.Set(PidTagBody, std::move(plain));
            }
            nativeBody = 3;
            htmlText_ = AsciiLower(std::move(text.utf8));
            for (size_t at = htmlText_.find("cid:"); at != std::string::npos;
                 at = htmlText_.find("cid:", at + 4)) {
                size_t end = htmlText_.find_first_of("\"' >)\r\n\t", at + 4);
                htmlCids_.insert(
                    htmlText_.substr(at + 4, end == std::string::npos ? end : end - at - 4));
            }
        }
    }
    if (nativeBody) out_.Set(PidTagNativeBody, nativeBody);
    if (codePage) out_.Set(PidTagInternetCodepage, static_cast<int32_t>(codePage));
}

void ContentWalk::Collect(GMimeObject* object, bool inRelated, int level) {
    if (object == body_.plain || object == body_.html) return;
    if (GMIME_IS_MESSAGE_PART(object)) {
        AddEmbedded(GMIME_MESSAGE_PART(object));
        return;
    }
    if (!GMIME_IS_MULTIPART(object) || level > kMaxPartDepth) {
        AddFile(object, inRelated);
        return;
    }
    GMimeMultipart* multipart = GMIME_MULTIPART(object);
    bool bodyAlternative = bodyAlternatives_.count(object) > 0;
    bool related = IsType(object, "multipart", "related");
    int count = g_mime_multipart_get_count(multipart);
    for (int i = 0; i < count; ++i) {
        GMimeObject* child = g_mime_multipart_get_part(multipart, i);
        if (bodyAlternative && (IsBodyLeaf(child, "plain") || IsBodyLeaf(child, "html"))) continue;
        // A signed part's second part is its signature, whatever type a
        // mail program gave it.
        if (i == 1 && IsType(object, "multipart", "signed")) signature_ = child;
        Collect(child, related, level + 1);
    }
}

void ContentWalk::AddFile(GMimeObject* object, bool inRelated) {
    if (IsLeaf(object) &&
        (IsType(object, "application", "ms-tnef") ||
         IsType(object, "application", "vnd.ms-tnef")) &&
        AddTnef(object))
        return;
    std::string bytes =
        GMIME_IS_PART(object) ? DecodedContent(GMIME_PART(object)) : Serialized(object);
    std::string name = GMIME_IS_PART(object) ? PartFileName(object, charset_) : std::string();
    // A part with no content and no name (an empty text part a mail
    // program left) holds nothing to keep; a named empty file is kept.
    if (bytes.empty() && Trimmed(name).empty()) return;
    std::string mimeType = MimeTypeOf(object);
    if (name.empty() && (object == signature_ || mimeType == "application/pgp-signature"))
        name = "signature.asc";
    AddBytes(name, mimeType, std::move(bytes), object, inRelated);
}

// A TNEF part becomes what it holds; false, and nothing added, when it
// does not decode, so that it stays the attachment it was.
bool ContentWalk::AddTnef(GMimeObject* object) {
    TnefMessage tnef;
    if (!DecodeTnef(DecodedContent(GMIME_PART(object)), &tnef).empty()) return false;
    FillFromTnef(tnef, item_, false, error_);
    tnefRead_ = true;
    attachments_ += AddTnefContent(tnef, item_, attachments_, error_);
    return true;
}

void ContentWalk::AddBytes(const std::string& given, const std::string& mimeType, std::string bytes,
                           GMimeObject* object, bool inRelated) {
    Attachment& attachment =
        AddFileAttachment(item_, attachments_ + 1, given, mimeType, std::move(bytes), error_);
    ++attachments_;
    PropertyWriter out(attachment, error_);
    if (!object) return;
    std::string contentId = StripAngles(CleanUtf8(
        g_mime_object_get_content_id(object) ? g_mime_object_get_content_id(object) : ""));
    const char* location =
        GMIME_IS_PART(object) ? g_mime_part_get_content_location(GMIME_PART(object)) : nullptr;
    std::string contentLocation = CleanUtf8(Trimmed(location ? location : ""));
    if (!contentId.empty()) out.SetText(PidTagAttachContentId, contentId);
    if (!contentLocation.empty()) out.SetText(PidTagAttachContentLocation, contentLocation);
    // A part of a multipart/related that the HTML shows is drawn in the
    // body, not listed among the attachments.
    bool shown = (!contentId.empty() && htmlCids_.count(AsciiLower(contentId))) ||
                 (!contentLocation.empty() &&
                  htmlText_.find(AsciiLower(contentLocation)) != std::string::npos);
    if (inRelated && shown) {
        out.Set(PidTagAttachmentHidden, true);
        out.Set(PidTagAttachFlags, int32_t{4});  // attRenderedInBody
    }
}

void ContentWalk::AddEmbedded(GMimeMessagePart* part) {
    GMimeMessage* message = g_mime_message_part_get_message(part);
    GMimeObject* object = GMIME_OBJECT(part);
    const bool lifted = object == lifted_;
    std::string bytes = lifted    ? std::string()
                        : message ? Serialized(GMIME_OBJECT(message))
                                  : std::string();
    const size_t size = lifted ? liftedBytes_.size() : bytes.size();
    if (!message || depth_ + 1 > kMaxMessageDepth) {
        // Kept as the file it is, under the name the part gives it.
        AddBytes(Trimmed(PartFileName(object, charset_)), "message/rfc822",
                 lifted ? std::string(liftedBytes_) : std::move(bytes), object, false);
        return;
    }
    // The name: the part's name, file name or description, else the
    // embedded message's subject.
    std::string name = Trimmed(PartFileName(object, charset_));
    if (name.empty())
        name = FieldText(GMIME_OBJECT(message), "Subject",
                         BodyCharset(g_mime_message_get_mime_part(message)));
    Attachment& attachment = item_.AddAttachment();
    ++attachments_;
    PropertyWriter out(attachment, error_);
    out.SetText(PidTagDisplayName, name);
    out.SetText(PidTagAttachMimeTag, "message/rfc822");
    out.Set(PidTagAttachSize, static_cast<int32_t>(std::min<size_t>(size, INT32_MAX)));
    out.Set(PidTagRenderingPosition, int32_t{-1});
    if (lifted) {
        ImportAttachedBytes(liftedBytes_, attachment.EmbeddedMessage(), depth_ + 1, error_);
        return;
    }
    RawMessage raw{bytes, {}, std::nullopt, std::nullopt, std::nullopt};
    const FieldList fields = FieldList::FromObject(GMIME_OBJECT(message));
    ImportParsed({&fields, g_mime_message_get_mime_part(message)}, raw,
                 attachment.EmbeddedMessage(), depth_ + 1, error_);
}

// S/MIME mail is kept whole as one attachment under its S/MIME class, as
// Outlook stores it: a clear-signed message with its signature, or the
// PKCS #7 object itself. The signed content still gives the body.
void ContentWalk::AddSmime(GMimeObject* root, bool signedMultipart) {
    out_.SetText(PidTagMessageClass,
                 signedMultipart ? "IPM.Note.SMIME.MultipartSigned" : "IPM.Note.SMIME");
    // Outlook keeps the S/MIME part's type beside the class, and reads the
    // kind of PKCS #7 object (signed or enveloped) from it.
    GMimeContentType* type = g_mime_object_get_content_type(root);
    std::string contentType;
    if (type)
        for (char c : TakeString(g_mime_content_type_encode(type, nullptr)))
            if (c != '\r' && c != '\n') contentType += c == '\t' ? ' ' : c;
    if (!contentType.empty())
        item_.SetNamedProperty(kPsInternetHeaders, std::string("content-type"), PtypString,
                               CleanUtf8(Trimmed(contentType)));
    std::string bytes = signedMultipart ? Serialized(root) : DecodedContent(GMIME_PART(root));
    std::string mimeType = signedMultipart ? "multipart/signed" : "application/pkcs7-mime";
    AddBytes("smime.p7m", mimeType, std::move(bytes), nullptr, false);
}

// The class of a delivery report by the gravest action it reports, as
// Outlook classes them; "" when the report names no action it knows.
std::string ReportClass(GMimeObject* root) {
    if (!IsType(root, "multipart", "report") || !GMIME_IS_MULTIPART(root)) return {};
    GMimeMultipart* multipart = GMIME_MULTIPART(root);
    static const char* const kSuffix[] = {"DR", "Expanded.DR", "Relayed.DR", "Delayed.DR", "NDR"};
    static const char* const kAction[] = {"delivered", "expanded", "relayed", "delayed", "failed"};
    int gravest = -1;
    for (int i = 0; i < g_mime_multipart_get_count(multipart); ++i) {
        GMimeObject* part = g_mime_multipart_get_part(multipart, i);
        if (!IsLeaf(part) || !IsType(part, "message", "delivery-status")) continue;
        std::string status = AsciiLower(DecodedContent(GMIME_PART(part)));
        for (size_t at = status.find("action:"); at != std::string::npos;
             at = status.find("action:", at + 7)) {
            if (at > 0 && status[at - 1] != '\n') continue;
            std::string value = Trimmed(status.substr(at + 7, status.find('\n', at) - at - 7));
            for (int k = 0; k < 5; ++k)
                if (value.compare(0, std::strlen(kAction[k]), kAction[k]) == 0)
                    gravest = std::max(gravest, k);
        }
    }
    return gravest < 0 ? std::string() : std::string("REPORT.IPM.Note.") + kSuffix[gravest];
}

void ContentWalk::CollectMore(GMimeObject* root) {
    // What identified the body's parts were objects of an earlier share,
    // unless they are kept.
    if (!sharedBody_) body_ = {};
    bodyAlternatives_.clear();
    signature_ = nullptr;
    if (!root) return;
    if (sharedGaveBody_ && sharedNode_) {
        BodyChoice inner;
        SelectBody(sharedNode_, &inner, 0);
    }
    // A message whose earlier shares held no body takes the first that a
    // later one holds, as it would read whole.
    if (!sharedBody_ && !bodyChosen_ && SelectBody(root, &body_, 0)) {
        bodyChosen_ = true;
        SetBodies();
    }
    Collect(root, false, 0);
}

void ContentWalk::Run(GMimeObject* root) {
    if (!root) return;
    // Only S/MIME is kept whole under an S/MIME class; PGP/MIME signed mail
    // is ordinary mail whose signature is one more attachment, since a
    // reader would try to check it as S/MIME and call it broken.
    bool signedMultipart = IsSmimeSigned(root);
    bool pkcs7 = IsLeaf(root) && (IsType(root, "application", "pkcs7-mime") ||
                                  IsType(root, "application", "x-pkcs7-mime"));
    bodyChosen_ = SelectBody(root, &body_, 0);
    SetBodies();
    if (signedMultipart || pkcs7) {
        AddSmime(root, signedMultipart);
        return;
    }
    if (std::string reportClass = ReportClass(root); !reportClass.empty())
        out_.SetText(PidTagMessageClass, reportClass);
    Collect(root, false, 0);
}

}  // namespace

ContentResult SetContent(const ParsedMessage& message, MailItem& item, PropertyWriter& out,
                         int depth, std::string* error) {
    ContentWalk walk(item, out, depth, error);
    walk.SetCharset(BodyCharset(message.root));
    walk.SetLifted(message.lifted, message.liftedBytes);
    if (!message.moreShares) {
        walk.Run(message.root);
        return {walk.attachments(), walk.bodyPart()};
    }
    const ParserOptions options = OwnedParserOptions();
    if (message.sharedAlternative) walk.ChooseSharedBody(message, options.get());
    walk.SetSharedNode(message.root, message.sharedDepth, true);
    walk.Run(message.root);
    // Each share read and let go in turn: only one is held at a time,
    // besides those holding an alternative's body.
    for (size_t s = 0; s < message.moreShares->size(); ++s) {
        GRef<GMimeObject> parsed;
        GMimeObject* root = walk.PinnedShare(s + 1);
        if (!root) {
            parsed = ParsePart((*message.moreShares)[s], options.get());
            root = parsed.get();
        }
        walk.SetSharedNode(root, message.sharedDepth, false);
        walk.CollectMore(root);
    }
    return {walk.attachments(), walk.bodyPart()};
}

}  // namespace mailvane::mapi::import
