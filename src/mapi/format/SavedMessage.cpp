#include "mapi/format/SavedMessage.h"

#include <algorithm>

#include "mapi/format/Coding.h"
#include "mapi/format/FileTime.h"
#include "mapi/format/PropTags.h"

namespace mailvane::format {

using namespace mailvane::mapi;

namespace {

constexpr uint32_t kNoRenderingPosition = 0xFFFFFFFF;
// In a store an embedded message's attachment holds the message's node id
// and size (8 bytes) in PidTagAttachDataObject.
constexpr uint64_t kObjectReferenceSize = 8;

uint32_t Clamp32(uint64_t v) {
    return static_cast<uint32_t>(std::min<uint64_t>(v, UINT32_MAX));
}

}  // namespace

void FillSavedMessage(MessageContent* message, const std::function<std::string()>& newSearchKey) {
    PropertyList* props = &message->props;
    uint32_t flags =
        LongOf(*props, PidTagMessageFlags, MSGFLAG_READ) & ~uint32_t{MSGFLAG_HASATTACH};
    if (!message->attachments.empty()) flags |= MSGFLAG_HASATTACH;
    SetProperty(props, LongProperty(PidTagMessageFlags, flags));
    // Stores require both on every message; Outlook sets them on embedded
    // ones too.
    if (!FindProperty(*props, PidTagSearchKey))
        SetProperty(props, Property{PidTagSearchKey, newSearchKey()});
    SetPropertyIfAbsent(props, LongProperty(PidTagMessageStatus, 0));
    for (uint32_t tag : {PidTagCreationTime, PidTagLastModificationTime}) {
        Property now{tag, {}};
        PutFixed64(&now.value, FileTimeNow());
        SetPropertyIfAbsent(props, std::move(now));
    }
    // The code page readers take the message's 8-bit text in: the one its
    // body came in, else the form the item keeps such text in.
    SetPropertyIfAbsent(props,
                        LongProperty(PidTagMessageCodepage,
                                     LongOf(*props, PidTagInternetCodepage, kDefaultCodepage)));
    SetPropertyIfAbsent(props, LongProperty(PidTagMessageLocaleId, kDefaultLocale));
    if (!FindProperty(*props, PidTagMessageSize)) {
        uint64_t size = ValueBytes(*props);
        for (const auto& n : message->named) size += n.value.size();
        for (const auto& a : message->attachments) size += ValueBytes(a.props);
        SetProperty(props, LongProperty(PidTagMessageSize, Clamp32(size)));
    }
}

void FillSavedAttachment(PropertyList* props, const EmbeddedSummary* embedded) {
    SetPropertyIfAbsent(props, LongProperty(PidTagRenderingPosition, kNoRenderingPosition));
    if (embedded && embedded->subject) {
        // Outlook names an embedded message by its subject.
        SetPropertyIfAbsent(props, Property{PidTagDisplayName, *embedded->subject});
        SetPropertyIfAbsent(props, Property{PidTagAttachFilename, *embedded->subject});
    }
    if (!FindProperty(*props, PidTagAttachSize)) {
        uint64_t size = ValueBytes(*props) + 4;
        if (const Property* object = FindProperty(*props, PidTagAttachDataObject))
            size -= object->value.size();
        if (embedded) size += kObjectReferenceSize + embedded->size;
        SetProperty(props, LongProperty(PidTagAttachSize, Clamp32(size)));
    }
}

}  // namespace mailvane::format
