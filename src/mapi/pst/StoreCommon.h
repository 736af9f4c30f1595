#pragma once
// What the parts of the message store share (MessageStore.cpp, the new
// store's templates, message nodes and folders): the columns its tables
// start with, and small helpers on property lists.
#include <cstdint>
#include <string>
#include <vector>

#include "mapi/format/Coding.h"
#include "mapi/format/PropTags.h"
#include "mapi/format/Text.h"
#include "mapi/pst/Property.h"

namespace mailvane::pst::store {

// The columns of the templates every folder's tables start from, and of a
// message's recipient and attachment tables (StoreTemplates.cpp).
extern const std::vector<uint32_t> kHierarchyColumns;
extern const std::vector<uint32_t> kContentsColumns;
extern const std::vector<uint32_t> kAssocColumns;
extern const std::vector<uint32_t> kSearchContentsColumns;
extern const std::vector<uint32_t> kRecipientColumns;
extern const std::vector<uint32_t> kAttachmentColumns;

// The message flags the store reads and sets.
constexpr uint32_t kMsgFlagRead = mapi::MSGFLAG_READ;
constexpr uint32_t kMsgFlagHasAttach = mapi::MSGFLAG_HASATTACH;

inline Property Bool(uint32_t tag, bool v) {
    return Property{tag, std::string(1, v ? '\1' : '\0')};
}
inline Property Text(uint32_t tag, const std::string& utf8) {
    return Property{tag, format::Utf16FromUtf8(utf8)};
}

}  // namespace mailvane::pst::store
