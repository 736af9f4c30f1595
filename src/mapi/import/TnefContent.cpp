// A TNEF stream (winmail.dat) made into what it holds.
#include <algorithm>
#include <iterator>

#include "mapi/format/PropTags.h"
#include "mapi/import/Import.h"
#include "mapi/import/Names.h"
#include "mapi/import/Tnef.h"

namespace mailvane::mapi::import {
namespace {

// What a TNEF stream (winmail.dat) gives the item it came with, as Outlook
// reads it on receipt: its class, subject and bodies where the MIME mail
// gave none (the RTF body always: it is the sender's own), the properties
// a meeting or form needs (the named ones, and these), its recipients for
// an embedded message, and its files. The store and the MIME header give
// the rest, such as sizes, flags and dates.
constexpr uint32_t kTnefKept[] = {PidTagImportance,
                                  PidTagPriority,
                                  PidTagSensitivity,
                                  PidTagConversationTopic,
                                  PidTagConversationIndex,
                                  0x00600040 /* PidTagStartDate */,
                                  0x00610040 /* PidTagEndDate */,
                                  0x00620003 /* PidTagOwnerAppointmentId */,
                                  0x0063000B /* PidTagResponseRequested */,
                                  PidTagIconIndex};

}  // namespace

void FillFromTnef(const TnefMessage& tnef, MailItem& item, bool embedded, std::string* error) {
    PropertyWriter out(item, error);
    if (!tnef.messageClass.empty() && (embedded || tnef.messageClass != "IPM.Note"))
        out.SetText(PidTagMessageClass, tnef.messageClass);
    if (embedded && tnef.messageClass.empty()) out.SetText(PidTagMessageClass, "IPM.Note");
    if (!tnef.subject.empty() && !item.GetProperty(PidTagSubject)) {
        SubjectParts parts = SplitSubject(tnef.subject);
        out.SetText(PidTagSubject, tnef.subject);
        out.SetText(PidTagSubjectPrefix, parts.prefix);
        out.SetText(PidTagNormalizedSubject, parts.normalized);
    }
    if (tnef.body && !item.GetProperty(PidTagBody)) out.SetText(PidTagBody, *tnef.body);
    if (tnef.html && !item.GetProperty(PidTagHtml)) out.Set(PidTagHtml, Binary{*tnef.html});
    if (!tnef.rtfCompressed.empty()) {
        out.Set(PidTagRtfCompressed, Binary{tnef.rtfCompressed});
        out.Set(PidTagRtfInSync, true);
        if (!item.GetProperty(PidTagHtml)) out.Set(PidTagNativeBody, int32_t{2});
    }
    for (const TnefProperty& p : tnef.properties)
        if (std::find(std::begin(kTnefKept), std::end(kTnefKept), p.tag) != std::end(kTnefKept))
            out.Set(p.tag, p.value);
    for (const TnefNamedProperty& n : tnef.named)
        if (n.byName)
            item.SetNamedProperty(n.set, n.name, n.type, n.value);
        else
            item.SetNamedProperty(n.set, n.lid, n.type, n.value);
    if (embedded) {
        for (const std::vector<TnefProperty>& row : tnef.recipients) {
            PropertyWriter recipient(item.AddRecipient(), error);
            for (const TnefProperty& p : row) recipient.Set(p.tag, p.value);
        }
        const int files = AddTnefContent(tnef, item, 0, error);
        out.Set(PidTagMessageFlags, MSGFLAG_READ | (files > 0 ? MSGFLAG_HASATTACH : 0));
    }
}

// The files and embedded messages of a TNEF stream as attachments of
// `item`, unnamed ones numbered after `numbered`; returns how many.
int AddTnefContent(const TnefMessage& tnef, MailItem& item, int numbered, std::string* error) {
    int added = 0;
    for (const TnefAttachment& file : tnef.attachments) {
        ++added;
        if (file.embedded) {
            Attachment& attachment = item.AddAttachment();
            PropertyWriter out(attachment, error);
            const std::string& name =
                file.longFilename.empty() ? file.embedded->subject : file.longFilename;
            out.SetText(PidTagDisplayName, name);
            out.SetText(PidTagAttachMimeTag, "message/rfc822");
            out.Set(PidTagRenderingPosition, int32_t{-1});
            FillFromTnef(*file.embedded, attachment.EmbeddedMessage(), true, error);
            continue;
        }
        const std::string mimeType =
            file.mimeTag.empty() ? "application/octet-stream" : file.mimeTag;
        Attachment& attachment = AddFileAttachment(item, numbered + added, file.longFilename,
                                                   mimeType, file.data, error);
        PropertyWriter out(attachment, error);
        if (file.created) out.Set(PidTagCreationTime, *file.created);
        if (file.modified) out.Set(PidTagLastModificationTime, *file.modified);
        if (!file.contentId.empty())
            out.SetText(PidTagAttachContentId, StripAngles(file.contentId));
    }
    return added;
}

}  // namespace mailvane::mapi::import
