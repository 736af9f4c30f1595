#pragma once
// TNEF streams (winmail.dat, application/ms-tnef): the message properties
// and attachments an Outlook sender packs into one MIME part, read back so
// the import can give the item what the sender's item held.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mapi/PropValue.h"

namespace mailvane::mapi::import {

// Embedded messages nest no deeper than this inside one stream; a deeper
// one makes the whole stream fail, so a hostile part cannot exhaust the stack.
constexpr int kMaxTnefDepth = 8;

// A property as an item takes it. 8-bit strings are already read as UTF-8
// in the stream's code page and carry a PtypString tag (PtypMultipleString
// for lists); every value suits its tag for PropertyBag::SetProperty.
struct TnefProperty {
    uint32_t tag = 0;
    PropValue value;
};

// A named property, in the form PropertyBag::SetNamedProperty takes: the
// set as "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", a number or a UTF-8 name,
// and the type its value suits (strings as for TnefProperty).
struct TnefNamedProperty {
    std::string set;
    bool byName = false;
    uint32_t lid = 0;
    std::string name;
    uint16_t type = 0;
    PropValue value;
};

struct TnefMessage;

struct TnefAttachment {
    // UTF-8: PidTagAttachLongFilename, else attAttachTitle; may be empty.
    std::string longFilename;
    // The file's bytes (attAttachData, PidTagAttachDataBinary, or an OLE
    // object's data after its interface id); empty for an embedded message.
    std::string data;
    // attAttachCreateDate / attAttachModifyDate, overridden by
    // PidTagCreationTime / PidTagLastModificationTime in attAttachment.
    std::optional<FileTime> created;
    std::optional<FileTime> modified;
    std::string mimeTag;    // PidTagAttachMimeTag, UTF-8, may be empty
    std::string contentId;  // PidTagAttachContentId as given, may be empty
    // PidTagAttachMethod as given; ATTACH_BY_VALUE when absent, and
    // ATTACH_EMBEDDED_MSG whenever `embedded` is set.
    int32_t method = 1;
    // The embedded message, set exactly when the attachment held one
    // (an IMessage object, or method 5 with a TNEF stream as its data).
    std::unique_ptr<TnefMessage> embedded;
    // The rest of attAttachment, none of the properties above among them.
    std::vector<TnefProperty> properties;
    std::vector<TnefNamedProperty> named;
};

struct TnefMessage {
    // PidTagMessageClass from attMsgProps, else attMessageClass with the
    // legacy Microsoft Mail names read as their MAPI classes; may be empty.
    std::string messageClass;
    // PidTagSubject from attMsgProps, else attSubject; UTF-8, may be empty.
    std::string subject;
    std::string rtfCompressed;        // PidTagRtfCompressed's bytes, may be empty
    std::optional<std::string> body;  // PidTagBody, else attBody; UTF-8
    std::optional<std::string> html;  // PidTagHtml's bytes, or PidTagBodyHtml as UTF-8
    // The rest of attMsgProps, none of the properties above among them;
    // values no PropValue holds (floats, errors, objects, lists of other
    // than numbers, strings and binaries) are left out.
    std::vector<TnefProperty> properties;
    std::vector<TnefNamedProperty> named;
    // attRecipTable: one list of properties per recipient row, named ones left out.
    std::vector<std::vector<TnefProperty>> recipients;
    std::vector<TnefAttachment> attachments;  // in stream order
    uint32_t codePage = 0;                    // attOemCodepage; 0 when absent
};

// Reads a TNEF stream into `*out` (which it resets first). Returns the
// empty string, or the cause, naming the attribute or property and its
// offset in the stream, when the stream is not TNEF or does not hold
// together; `*out` then holds what was read before it and should not be
// used as the message. Every count, length and offset is checked against
// `bytes` before use, so any input is safe.
std::string DecodeTnef(std::string_view bytes, TnefMessage* out);

}  // namespace mailvane::mapi::import
