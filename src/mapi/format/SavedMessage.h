#pragma once
// What saving a message gives it, in a store and in a message file alike,
// so that both hold the same message.
#include <cstdint>
#include <functional>
#include <string>

#include "mapi/format/MessageContent.h"

namespace mailvane::format {

// What a message gets when it names no code page or locale: UTF-8 (the form
// the item keeps 8-bit text in) and US English.
constexpr uint32_t kDefaultCodepage = 65001;
constexpr uint32_t kDefaultLocale = 1033;

// Message flags that tell whether it has attachments (read unless the
// message says otherwise) and, where the message has none of its own, a
// search key from `newSearchKey` (16 bytes no other message has), a status
// of 0, creation and modification times of now, a code page (that of its
// Internet text, else kDefaultCodepage), a locale and a size: the bytes of
// its values, named ones included, and of its attachments' values as given.
void FillSavedMessage(MessageContent* message, const std::function<std::string()>& newSearchKey);

// An embedded message as its attachment shows it, once the message is
// filled in: its subject, if it has one (as stored, UTF-16LE), and its
// PidTagMessageSize.
struct EmbeddedSummary {
    const std::string* subject = nullptr;
    uint32_t size = 0;
};

// Where the attachment has none of its own: no rendering position, an
// embedded message's subject as its display and file name, and a size: the
// bytes of its values but PidTagAttachDataObject, four bytes and, for an
// embedded message, the object's reference (8 bytes) and the message's size.
void FillSavedAttachment(PropertyList* props, const EmbeddedSummary* embedded);

}  // namespace mailvane::format
