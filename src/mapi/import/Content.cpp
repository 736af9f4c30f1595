// Bodies, attachments and embedded messages ([MS-OXCMAIL] 2.2.3.3, 2.2.3.4).
#include <algorithm>
#include <cctype>
#include <set>
#include <vector>

#include "mapi/PropTags.h"
#include "mapi/import/Charsets.h"
#include "mapi/import/Import.h"
#include "mapi/import/Names.h"

namespace mailvane::mapi::import {
namespace {

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

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string StripAngles(std::string id) {
    id = Trimmed(id);
    if (!id.empty() && id.front() == '<') id.erase(0, 1);
    if (!id.empty() && id.back() == '>') id.pop_back();
    return id;
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

    void Run(GMimeObject* root);
    int attachments() const { return attachments_; }
    bool bodyPart() const { return body_.found(); }

private:
    bool SelectBody(GMimeObject* object, BodyChoice* choice, int level);
    void SetBodies();
    void Collect(GMimeObject* object, bool inRelated, int level);
    void AddFile(GMimeObject* object, bool inRelated);
    void AddEmbedded(GMimeMessagePart* part);
    void AddBytes(const std::string& given, const std::string& mimeType, std::string bytes,
                  GMimeObject* object, bool hidden);
    void AddSmime(GMimeObject* root, bool signedMultipart);

    MailItem& item_;
    PropertyWriter& out_;
    int depth_;
    std::string* error_;
    BodyChoice body_;
    // Alternatives that gave the body: their other text parts are the same
    // text again and are not kept twice.
    std::set<GMimeObject*> bodyAlternatives_;
    // "cid:" references and the text of the HTML body, for inline parts.
    std::set<std::string> htmlCids_;
    std::string htmlText_;
    int attachments_ = 0;
};

bool ContentWalk::SelectBody(GMimeObject* object, BodyChoice* choice, int level) {
    if (level > kMaxPartDepth) return false;
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
            DecodedText text = DecodeText(bytes, ContentTypeParameter(body_.html, "charset"));
            uint32_t htmlCodePage = text.asDeclared ? CodePageOf(text.charset) : 0;
            // The HTML keeps its own bytes when its charset read them whole;
            // otherwise it is stored as the UTF-8 it was read into.
            if (htmlCodePage) {
                out_.Set(PidTagHtml, Binary{std::move(bytes)});
                codePage = htmlCodePage;
            } else {
                out_.Set(PidTagHtml, Binary{text.utf8});
                codePage = 65001;
            }
            nativeBody = 3;
            htmlText_ = Lower(std::move(text.utf8));
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
        Collect(child, related, level + 1);
    }
}

void ContentWalk::AddFile(GMimeObject* object, bool inRelated) {
    std::string bytes =
        GMIME_IS_PART(object) ? DecodedContent(GMIME_PART(object)) : Serialized(object);
    std::string name;
    if (GMIME_IS_PART(object)) {
        const char* fileName = g_mime_part_get_filename(GMIME_PART(object));
        name = fileName ? fileName : ContentTypeParameter(object, "name");
        if (Trimmed(name).empty()) {
            const char* description = g_mime_part_get_content_description(GMIME_PART(object));
            name = description ? description : "";
        }
    }
    AddBytes(CleanUtf8(name), MimeTypeOf(object), std::move(bytes), object, inRelated);
}

void ContentWalk::AddBytes(const std::string& given, const std::string& mimeType, std::string bytes,
                           GMimeObject* object, bool inRelated) {
    AttachNames names = MakeAttachNames(given, "attachment" + std::to_string(attachments_ + 1),
                                        ExtensionForMimeType(mimeType));
    Attachment& attachment = item_.AddAttachment();
    ++attachments_;
    int32_t size = static_cast<int32_t>(std::min<size_t>(bytes.size(), INT32_MAX));
    attachment.SetFile(names.longName, std::move(bytes));
    PropertyWriter out(attachment, error_);
    out.SetText(PidTagAttachFilename, names.shortName);
    out.SetText(PidTagDisplayName, names.display);
    if (!names.extension.empty()) out.SetText(PidTagAttachExtension, names.extension);
    out.SetText(PidTagAttachMimeTag, mimeType);
    out.Set(PidTagAttachSize, size);
    out.Set(PidTagRenderingPosition, int32_t{-1});
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
    bool shown =
        (!contentId.empty() && htmlCids_.count(Lower(contentId))) ||
        (!contentLocation.empty() && htmlText_.find(Lower(contentLocation)) != std::string::npos);
    if (inRelated && shown) {
        out.Set(PidTagAttachmentHidden, true);
        out.Set(PidTagAttachFlags, int32_t{4});  // attRenderedInBody
    }
}

void ContentWalk::AddEmbedded(GMimeMessagePart* part) {
    GMimeMessage* message = g_mime_message_part_get_message(part);
    GMimeObject* object = GMIME_OBJECT(part);
    std::string bytes = message ? Serialized(GMIME_OBJECT(message)) : std::string();
    if (!message || depth_ + 1 > kMaxMessageDepth) {
        AddBytes("", "message/rfc822", std::move(bytes), object, false);
        return;
    }
    // The name: the part's name, file name or description, else the
    // embedded message's subject.
    std::string name;
    const char* typeName = g_mime_object_get_content_type_parameter(object, "name");
    const char* fileName = g_mime_object_get_content_disposition_parameter(object, "filename");
    const char* description = g_mime_object_get_header(object, "Content-Description");
    const char* subject = g_mime_message_get_subject(message);
    for (const char* candidate : {typeName, fileName, description, subject})
        if (candidate && !Trimmed(candidate).empty()) {
            name = CleanUtf8(Trimmed(candidate));
            break;
        }
    Attachment& attachment = item_.AddAttachment();
    ++attachments_;
    PropertyWriter out(attachment, error_);
    out.SetText(PidTagDisplayName, name);
    out.SetText(PidTagAttachMimeTag, "message/rfc822");
    out.Set(PidTagAttachSize, static_cast<int32_t>(std::min<size_t>(bytes.size(), INT32_MAX)));
    out.Set(PidTagRenderingPosition, int32_t{-1});
    RawMessage raw{bytes, {}, std::nullopt};
    ImportParsed({GMIME_OBJECT(message), g_mime_message_get_mime_part(message)}, raw,
                 attachment.EmbeddedMessage(), depth_ + 1, error_);
}

// S/MIME mail is kept whole as one attachment under its S/MIME class, as
// Outlook stores it: a clear-signed message with its signature, or the
// PKCS #7 object itself. The signed content still gives the body.
void ContentWalk::AddSmime(GMimeObject* root, bool signedMultipart) {
    out_.SetText(PidTagMessageClass,
                 signedMultipart ? "IPM.Note.SMIME.MultipartSigned" : "IPM.Note.SMIME");
    std::string bytes = signedMultipart ? Serialized(root) : DecodedContent(GMIME_PART(root));
    std::string mimeType = signedMultipart ? "multipart/signed" : "application/pkcs7-mime";
    AddBytes("smime.p7m", mimeType, std::move(bytes), nullptr, false);
}

void ContentWalk::Run(GMimeObject* root) {
    if (!root) return;
    bool signedMultipart = IsType(root, "multipart", "signed");
    bool pkcs7 = IsLeaf(root) && (IsType(root, "application", "pkcs7-mime") ||
                                  IsType(root, "application", "x-pkcs7-mime"));
    SelectBody(root, &body_, 0);
    SetBodies();
    if (signedMultipart || pkcs7)
        AddSmime(root, signedMultipart);
    else
        Collect(root, false, 0);
}

}  // namespace

ContentResult SetContent(const ParsedMessage& message, MailItem& item, PropertyWriter& out,
                         int depth, std::string* error) {
    ContentWalk walk(item, out, depth, error);
    walk.Run(message.root);
    return {walk.attachments(), walk.bodyPart()};
}

}  // namespace mailvane::mapi::import
