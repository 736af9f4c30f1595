#pragma once
// Import of one RFC 822 message into a mail item, as [MS-OXCMAIL] 2.2 maps
// MIME to a message: envelope, recipients, bodies, attachments and embedded
// messages, with every charset read into Unicode.
#include <optional>
#include <string>
#include <string_view>

#include "mapi/PropValue.h"

namespace mailvane::mapi {

class MailItem;

// Imports `message` into `item` and returns the empty string, or the cause
// when the item could not take what was read (the item then holds what was
// set before the failure and should be dropped).
//
// REQUIRES: `message` is one message as cut from a mailbox, without its
//   separator line, with CR LF line ends (LF alone is also read).
// REQUIRES: `separatorLine` is that message's "From " line without its line
//   break, or empty when the mailbox had none; only its date is used, for
//   the delivery time of a mail that has no Received field.
// REQUIRES: `preamble` is the text before the mailbox's first separator for
//   message 1 and empty otherwise; when not empty it becomes a text
//   attachment, so nothing of the mailbox is lost.
// REQUIRES: `item` is new (no properties, recipients or attachments yet).
// `options.undatedTime` (the mailbox file's own time) dates a mail that
// carries no date at all, no Date, Received or separator date, so that none
// shows as sent at no time. With `options.keepState` the item is read,
// answered, forwarded and flagged as its mail program recorded; without,
// it is marked read.
//
// Any bytes at all are accepted: what cannot be parsed as MIME is kept as
// the plain-text body and the header fields that could be read are set.
// No property takes the time of the import when the mail carries a date.
// The bytes are only read during the call.
struct ImportOptions {
    std::optional<FileTime> undatedTime;
    bool keepState = false;
};
std::string ImportMessage(std::string_view separatorLine, std::string_view message,
                          std::string_view preamble, MailItem& item,
                          const ImportOptions& options = {});

}  // namespace mailvane::mapi
