#pragma once
// The steps of the import, shared by its own files only (GMime types).
#include <optional>
#include <string>
#include <string_view>

#include "mapi/MailItem.h"
#include "mapi/PropValue.h"
#include "mapi/import/FieldList.h"
#include "mapi/import/GMimeSupport.h"
#include "mapi/import/MailState.h"

namespace mailvane::mapi::import {

// Embedded messages deeper than this are kept as .eml files instead, so a
// hostile mail cannot exhaust the stack; Microsoft's own store library
// flags items nested deeper than 16 as damaged.
constexpr int kMaxMessageDepth = 16;
constexpr int kMaxPartDepth = 200;

// Sets properties on one item, attachment or recipient and keeps the first
// value the item refused.
class PropertyWriter {
public:
    PropertyWriter(PropertyBag& bag, std::string* error) : bag_(bag), error_(error) {}
    void Set(uint32_t tag, const PropValue& value);
    // Takes a binary value's bytes instead of copying them.
    void Set(uint32_t tag, PropValue&& value);
    // UTF-8 that may be invalid or hold NULs, made clean first.
    void SetText(uint32_t tag, std::string_view text);

private:
    void Refused(uint32_t tag);

    PropertyBag& bag_;
    std::string* error_;
};

// Where a message's header ends, as RFC 5322 reads it: field lines and
// their folds up to a blank line, or up to the first line that is neither,
// which is the body's first line. Offsets into the message.
struct HeaderExtent {
    size_t fieldsBegin = 0;  // after any folds that no field precedes
    size_t end = 0;          // after the last header line and its line break
    size_t bodyBegin = 0;    // after the blank line, else `end`
    bool blankLine = false;  // a blank line ended the header
};
// A message with no field line before its first blank line or text has no
// header: all of it is body.
HeaderExtent ScanHeader(std::string_view message);

// What a message is besides its parsed form.
struct RawMessage {
    std::string_view bytes;        // the whole message as read
    std::string_view headerBlock;  // its header lines, for the transport headers; may be empty
    std::optional<FileTime> separatorDate;
    std::optional<FileTime> undatedTime;  // for a mail that carries no date at all
    std::optional<MailState> state;       // what its mail program recorded, when kept
};

// A message as parsed: its envelope fields, and its top MIME part (null
// when it has none).
struct ParsedMessage {
    const FieldList* fields = nullptr;
    GMimeObject* root = nullptr;
    // The later shares of a top level of very many parts, each read as a
    // multipart of its own when the parts before it are done (the first
    // share is `root`); null for a message read whole.
    const std::vector<ViewBytes>* moreShares = nullptr;
    // The multiparts between `root` and the one given a share at a time;
    // an alternative's body is chosen from all of its shares first.
    int sharedDepth = 0;
    bool sharedAlternative = false;
    // An attached message of very many parts, read on its own from its
    // bytes: the part standing for it in `root` holds only its header.
    GMimeObject* lifted = nullptr;
    std::string_view liftedBytes = {};
};

// Envelope properties: class, subject, conversation, addresses, dates,
// Internet ids, importance, sensitivity, transport headers.
void SetEnvelope(const ParsedMessage& message, const RawMessage& raw, MailItem& item,
                 PropertyWriter& out);
struct ContentResult {
    int attachments = 0;    // attachments added
    bool bodyPart = false;  // a part was taken as the body, even an empty one
};
// Bodies, attachments and embedded messages; the message class changes for
// S/MIME mail.
ContentResult SetContent(const ParsedMessage& message, MailItem& item, PropertyWriter& out,
                         int depth, std::string* error);
// Search key, size and flags once everything else is set.
void SetSummary(const RawMessage& raw, bool hasAttachments, PropertyWriter& out);

// A file attachment with the names, type and size readers list it by.
// `number` (from 1) names a part that has no name, as Outlook names them:
// ATT00001.txt onwards.
Attachment& AddFileAttachment(MailItem& item, int number, const std::string& given,
                              const std::string& mimeType, std::string bytes, std::string* error);
// A Content-ID without its angle brackets.
std::string StripAngles(std::string id);

struct TnefMessage;
// What a TNEF stream (winmail.dat) gives the item it came with, or the
// embedded message it is.
void FillFromTnef(const TnefMessage& tnef, MailItem& item, bool embedded, std::string* error);
// The files and embedded messages of a TNEF stream as attachments of
// `item`, unnamed ones numbered after `numbered`; returns how many.
int AddTnefContent(const TnefMessage& tnef, MailItem& item, int numbered, std::string* error);

// An attached message into `item` from its bytes, at `depth` levels of
// embedding, read as a message from a mailbox is (in shares, if need be).
void ImportAttachedBytes(std::string_view message, MailItem& item, int depth, std::string* error);

// A parsed message into `item`, at `depth` levels of embedding.
void ImportParsed(const ParsedMessage& message, const RawMessage& raw, MailItem& item, int depth,
                  std::string* error);

}  // namespace mailvane::mapi::import
