#pragma once
// GMime for the import's own files only: this header is never included by a
// header others use.
#include <gmime/gmime.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace mailvane::mapi::import {

// Initialises GMime once per process; safe from any thread.
void EnsureGMime();

// Holds one reference to a GObject and drops it when it goes.
template <typename T>
class GRef {
public:
    GRef() = default;
    explicit GRef(T* object) : object_(object) {}
    GRef(const GRef&) = delete;
    GRef& operator=(const GRef&) = delete;
    GRef(GRef&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
    GRef& operator=(GRef&& other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~GRef() {
        if (object_) g_object_unref(object_);
    }
    T* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

private:
    T* object_ = nullptr;
};

// The bytes a view stream reads: `head`, made for GMime, then `rest`, which
// stays where the caller keeps it, then `tail`, made for GMime too.
struct ViewBytes {
    std::string head;
    std::string_view rest;
    std::string tail = {};
};
// A read-only stream over `bytes` that GMime reads without copying them:
// the content of each part is a window on `rest`, so a message of any size
// is held once, by its caller.
// REQUIRES: `bytes` outlives the stream and every object GMime makes from it.
GMimeStream* NewViewStream(const ViewBytes* bytes);
// The MIME part GMime reads from `bytes` (null for none), through a view
// stream: `bytes` must outlive what of the part is read later. A part made
// of fields alone may outlive them, since GMime copies what it reads of
// fields.
GRef<GMimeObject> ParsePart(const ViewBytes& bytes, GMimeParserOptions* options);

// Frees a string glib allocated and gives it as std::string ("" for null).
std::string TakeString(char* text);

// The parser options every import uses: tolerant, with fallback charsets for
// raw 8-bit header text. Owned by the caller.
GMimeParserOptions* NewParserOptions();
using ParserOptions = std::unique_ptr<GMimeParserOptions, void (*)(GMimeParserOptions*)>;
// The same, freed with their owner.
ParserOptions OwnedParserOptions();
// Writing back as CR LF, so that re-serialised parts match the mailbox.
GMimeFormatOptions* CrLfFormat();

// The content type a part is read as. A Content-Type field GMime cannot
// read ("text", "text/", "image; name=a.png") it takes as
// application/octet-stream; RFC 2045 takes it as text/plain, the default,
// so that the text stays readable. These follow RFC 2045.
// As "type/subtype" in lower case:
std::string MimeTypeOf(GMimeObject* object);
// `type` and `subtype` are matched without regard to case; "*" matches any.
bool IsType(GMimeObject* object, const char* type, const char* subtype);
// A multipart/signed whose signature is S/MIME (PKCS #7), not PGP.
bool IsSmimeSigned(GMimeObject* object);
// A parameter of the Content-Type field ("charset", "name"), also of one
// only RFC 2045 reads; "" when there is none.
std::string ContentTypeParameter(GMimeObject* object, const char* name);
// The charset the message's first text part declares ("" for none): the
// best guess for raw 8-bit bytes in its header.
std::string BodyCharset(GMimeObject* root);
// The part's content after its transfer encoding is undone.
std::string DecodedContent(GMimePart* part);
// Base64 text decoded as mail programs decode it: other characters skipped,
// nothing read after the first '=', and a last group without its padding
// (two or three characters) giving its one or two bytes.
std::string DecodeBase64(std::string_view text);
// The object with its header, as GMime writes it (CR LF line ends).
std::string Serialized(GMimeObject* object);

std::string Trimmed(std::string_view text);

}  // namespace mailvane::mapi::import
