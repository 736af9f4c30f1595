#pragma once
// Writes a message as a Unicode Outlook message file ([MS-OXMSG] on
// [MS-CFB]), laid out as Outlook lays out the received mail it saves.
//
// The file holds the message's properties and, as a store would, what a
// message gets when it is saved: message flags that tell whether it has
// attachments, and where missing a search key, a status, creation and
// modification times, sizes, a code page (PidTagInternetCodepage, else
// 65001) and a locale (1033); each attachment a rendering position, and an
// embedded message's attachment the message's subject as its name. Beyond
// those, it adds what Outlook's files carry: PidTagStoreSupportMask marking
// Unicode on the message and every embedded message; on each recipient a
// row id, an instance key and, where missing, object type 6; on each
// attachment a number, object type 7 and the number as its record key.
// Every string is written as PtypString, named properties get the file's
// own ids (header names in lower case), and values that do not fit in a
// property stream entry get streams of their own.
//
// A message file holds at most 2048 recipients and 2048 attachments per
// message, embedded ones included: a message with more fails the write
// before anything is written, as does nesting past kMaxEmbeddingDepth.
#include <string>

#include "mapi/format/MessageContent.h"
#include "mapi/msg/CompoundFile.h"

namespace mailvane::msg {

constexpr size_t kMaxRecipients = 2048;
constexpr size_t kMaxAttachments = 2048;
using format::kMaxEmbeddingDepth;

// Returns the empty string, or the cause of the failure.
std::string WriteMsg(format::MessageContent message, const Sink& sink);

// Why one message (not counting those embedded in it) with these counts
// does not fit a message file, or the empty string; a caller may ask before
// it builds the message.
std::string CountsPastLimits(size_t recipients, size_t attachments);

}  // namespace mailvane::msg
