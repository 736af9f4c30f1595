#pragma once
// Property tags (id in the high 16 bits, type in the low 16) under the names
// [MS-OXPROPS] gives them; tags only [MS-PST] names carry its names, and the
// few no document names are marked so. Header-only; the types' values are
// the ground floor's.
#include <cstdint>

#include "mapi/format/PropertyType.h"

namespace mailvane::mapi {

// Property types under the names [MS-OXPROPS] gives them (PtypXxx).
constexpr uint16_t PtypInteger32 = format::kPtLong;
constexpr uint16_t PtypBoolean = format::kPtBoolean;
constexpr uint16_t PtypObject = format::kPtObject;
constexpr uint16_t PtypInteger64 = format::kPtI8;
constexpr uint16_t PtypString = format::kPtUnicode;
constexpr uint16_t PtypTime = format::kPtSysTime;
constexpr uint16_t PtypBinary = format::kPtBinary;
constexpr uint16_t PtypMultipleInteger32 = format::kPtMultiple | format::kPtLong;
constexpr uint16_t PtypMultipleString = format::kPtMultiple | format::kPtUnicode;

// Message: class, subject, conversation, flags, size, times.
constexpr uint32_t PidTagMessageClass = 0x001A001F;
constexpr uint32_t PidTagSubject = 0x0037001F;
constexpr uint32_t PidTagSubjectPrefix = 0x003D001F;
constexpr uint32_t PidTagNormalizedSubject = 0x0E1D001F;
constexpr uint32_t PidTagConversationTopic = 0x0070001F;
constexpr uint32_t PidTagConversationIndex = 0x00710102;
constexpr uint32_t PidTagConversationId = 0x30130102;
constexpr uint32_t PidTagImportance = 0x00170003;
constexpr uint32_t PidTagPriority = 0x00260003;
constexpr uint32_t PidTagSensitivity = 0x00360003;
constexpr uint32_t PidTagMessageFlags = 0x0E070003;
constexpr uint32_t PidTagMessageStatus = 0x0E170003;
constexpr uint32_t PidTagMessageSize = 0x0E080003;
constexpr uint32_t PidTagMessageSizeExtended = 0x0E080014;
constexpr uint32_t PidTagHasAttachments = 0x0E1B000B;
constexpr uint32_t PidTagMessageToMe = 0x0057000B;
constexpr uint32_t PidTagMessageCcMe = 0x0058000B;
constexpr uint32_t PidTagReadReceiptRequested = 0x0029000B;
constexpr uint32_t PidTagOriginatorDeliveryReportRequested = 0x0023000B;
constexpr uint32_t PidTagClientSubmitTime = 0x00390040;
constexpr uint32_t PidTagMessageDeliveryTime = 0x0E060040;
constexpr uint32_t PidTagCreationTime = 0x30070040;
constexpr uint32_t PidTagLastModificationTime = 0x30080040;
constexpr uint32_t PidTagSearchKey = 0x300B0102;
constexpr uint32_t PidTagRecordKey = 0x0FF90102;
constexpr uint32_t PidTagEntryId = 0x0FFF0102;
constexpr uint32_t PidTagObjectType = 0x0FFE0003;
constexpr uint32_t PidTagDisplayName = 0x3001001F;

// Message: Internet headers.
constexpr uint32_t PidTagInternetMessageId = 0x1035001F;
constexpr uint32_t PidTagInReplyToId = 0x1042001F;
constexpr uint32_t PidTagInternetReferences = 0x1039001F;
constexpr uint32_t PidTagTransportMessageHeaders = 0x007D001F;
constexpr uint32_t PidTagInternetCodepage = 0x3FDE0003;
constexpr uint32_t PidTagMessageCodepage = 0x3FFD0003;
constexpr uint32_t PidTagMessageLocaleId = 0x3FF10003;

// Message: bodies.
constexpr uint32_t PidTagBody = 0x1000001F;
constexpr uint32_t PidTagHtml = 0x10130102;
constexpr uint32_t PidTagRtfCompressed = 0x10090102;
constexpr uint32_t PidTagRtfInSync = 0x0E1F000B;
// What Outlook shows of a message's state: last action, icon, flag.
constexpr uint32_t PidTagIconIndex = 0x10800003;
constexpr uint32_t PidTagLastVerbExecuted = 0x10810003;
constexpr uint32_t PidTagFlagStatus = 0x10900003;
constexpr uint32_t PidTagFollowupIcon = 0x10950003;
constexpr uint32_t PidTagBodyHtml = 0x1013001F;
constexpr uint32_t PidTagNativeBody = 0x10160003;

// Sender, sent-representing, reply-to and the display summaries.
constexpr uint32_t PidTagSenderName = 0x0C1A001F;
constexpr uint32_t PidTagSenderEmailAddress = 0x0C1F001F;
constexpr uint32_t PidTagSenderAddressType = 0x0C1E001F;
constexpr uint32_t PidTagSenderEntryId = 0x0C190102;
constexpr uint32_t PidTagSenderSearchKey = 0x0C1D0102;
constexpr uint32_t PidTagSenderSmtpAddress = 0x5D01001F;
constexpr uint32_t PidTagSentRepresentingName = 0x0042001F;
constexpr uint32_t PidTagSentRepresentingEmailAddress = 0x0065001F;
constexpr uint32_t PidTagSentRepresentingAddressType = 0x0064001F;
constexpr uint32_t PidTagSentRepresentingEntryId = 0x00410102;
constexpr uint32_t PidTagSentRepresentingSearchKey = 0x003B0102;
constexpr uint32_t PidTagSentRepresentingSmtpAddress = 0x5D02001F;
constexpr uint32_t PidTagReplyRecipientNames = 0x0050001F;
constexpr uint32_t PidTagReplyRecipientEntries = 0x004F0102;
constexpr uint32_t PidTagDisplayTo = 0x0E04001F;
constexpr uint32_t PidTagDisplayCc = 0x0E03001F;
constexpr uint32_t PidTagDisplayBcc = 0x0E02001F;

// Recipient rows.
constexpr uint32_t PidTagRecipientType = 0x0C150003;
constexpr uint32_t PidTagAddressType = 0x3002001F;
constexpr uint32_t PidTagEmailAddress = 0x3003001F;
constexpr uint32_t PidTagSmtpAddress = 0x39FE001F;
constexpr uint32_t PidTagDisplayType = 0x39000003;
constexpr uint32_t PidTagTransmittableDisplayName = 0x3A20001F;
constexpr uint32_t PidTagAddressBookDisplayNamePrintable = 0x39FF001F;
constexpr uint32_t PidTagSendRichInfo = 0x3A40000B;
constexpr uint32_t PidTagResponsibility = 0x0E0F000B;
constexpr uint32_t PidTagRowid = 0x30000003;
constexpr uint32_t PidTagRecipientFlags = 0x5FFD0003;
constexpr uint32_t PidTagInstanceKey = 0x0FF60102;

// Attachments.
constexpr uint32_t PidTagAttachMethod = 0x37050003;
constexpr uint32_t PidTagAttachDataBinary = 0x37010102;
constexpr uint32_t PidTagAttachDataObject = 0x3701000D;
constexpr uint32_t PidTagAttachFilename = 0x3704001F;
constexpr uint32_t PidTagAttachLongFilename = 0x3707001F;
constexpr uint32_t PidTagAttachExtension = 0x3703001F;
constexpr uint32_t PidTagAttachMimeTag = 0x370E001F;
constexpr uint32_t PidTagAttachContentId = 0x3712001F;
constexpr uint32_t PidTagAttachContentLocation = 0x3713001F;
constexpr uint32_t PidTagAttachFlags = 0x37140003;
constexpr uint32_t PidTagAttachSize = 0x0E200003;
constexpr uint32_t PidTagAttachNumber = 0x0E210003;
constexpr uint32_t PidTagRenderingPosition = 0x370B0003;
constexpr uint32_t PidTagAttachmentHidden = 0x7FFE000B;

// Folders and the store object.
constexpr uint32_t PidTagContentCount = 0x36020003;
constexpr uint32_t PidTagContentUnreadCount = 0x36030003;
constexpr uint32_t PidTagSubfolders = 0x360A000B;
constexpr uint32_t PidTagContainerClass = 0x3613001F;
constexpr uint32_t PidTagValidFolderMask = 0x35DF0003;
constexpr uint32_t PidTagIpmSubTreeEntryId = 0x35E00102;
constexpr uint32_t PidTagIpmWastebasketEntryId = 0x35E30102;
constexpr uint32_t PidTagCommonViewsEntryId = 0x35E60102;
constexpr uint32_t PidTagFinderEntryId = 0x35E70102;

// Store-internal columns and properties ([MS-PST] 2.4, 2.7).
constexpr uint32_t PidTagNameidBucketCount = 0x00010003;
constexpr uint32_t PidTagNameidStreamGuid = 0x00020102;
constexpr uint32_t PidTagNameidStreamEntry = 0x00030102;
constexpr uint32_t PidTagNameidStreamString = 0x00040102;
constexpr uint32_t PidTagParentDisplay = 0x0E05001F;
constexpr uint32_t PidTagSpoolerStatus = 0x0E100003;
constexpr uint32_t PidTagSubmitFlags = 0x0E140003;
constexpr uint32_t PidTagExchangeRemoteHeader = 0x0E2A000B;
// [MS-PST] types PidTagReplItemid as PtypInteger32; Outlook's own templates
// carry it as binary, and so does our writer.
constexpr uint32_t PidTagReplItemid = 0x0E300102;
constexpr uint32_t PidTagReplChangenum = 0x0E330014;
constexpr uint32_t PidTagReplVersionHistory = 0x0E340102;
constexpr uint32_t PidTagReplFlags = 0x0E380003;
constexpr uint32_t PidTagReplCopiedfromVersionhistory = 0x0E3C0102;
constexpr uint32_t PidTagReplCopiedfromItemid = 0x0E3D0102;
constexpr uint32_t PidTagItemTemporaryFlags = 0x10970003;
constexpr uint32_t PidTagSecureSubmitFlags = 0x65C60003;
constexpr uint32_t PidTagPstLrNoRestrictions = 0x6633000B;
constexpr uint32_t PidTagPstHiddenCount = 0x66350003;
constexpr uint32_t PidTagPstHiddenUnread = 0x66360003;
constexpr uint32_t PidTagLtpParentNid = 0x67F10003;
constexpr uint32_t PidTagLtpRowId = 0x67F20003;
constexpr uint32_t PidTagLtpRowVer = 0x67F30003;
constexpr uint32_t PidTagPstPassword = 0x67FF0003;
constexpr uint32_t PidTagOfflineAddressBookName = 0x6800001F;
constexpr uint32_t PidTagSendOutlookRecallReport = 0x6803000B;
constexpr uint32_t PidTagOfflineAddressBookTruncatedProperties = 0x68051003;
constexpr uint32_t PidTagMapiFormComposeCommand = 0x682F001F;
constexpr uint32_t PidTagViewDescriptorFlags = 0x70030003;
constexpr uint32_t PidTagViewDescriptorLinkTo = 0x70040102;
constexpr uint32_t PidTagViewDescriptorViewFolder = 0x70050102;
constexpr uint32_t PidTagViewDescriptorName = 0x7006001F;
constexpr uint32_t PidTagViewDescriptorVersion = 0x70070003;
// Columns of Outlook's templates that no document names.
constexpr uint32_t PidTagUnnamed0E31 = 0x0E310102;
constexpr uint32_t PidTagUnnamed0E37 = 0x0E370102;
constexpr uint32_t PidTagUnnamed0E3E = 0x0E3E0102;
constexpr uint32_t PidTagUnnamed6605 = 0x66050003;

// Values.
constexpr int32_t MSGFLAG_READ = 0x01;
constexpr int32_t MSGFLAG_UNMODIFIED = 0x02;
constexpr int32_t MSGFLAG_HASATTACH = 0x10;
constexpr int32_t ATTACH_BY_VALUE = 1;
constexpr int32_t ATTACH_EMBEDDED_MSG = 5;
constexpr int32_t MAPI_TO = 1;
constexpr int32_t MAPI_CC = 2;
constexpr int32_t MAPI_BCC = 3;
constexpr int32_t MAPI_MAILUSER = 6;  // PidTagObjectType
constexpr int32_t MAPI_ATTACH = 7;
constexpr int32_t recipSendable = 0x01;  // PidTagRecipientFlags

// Tags the store engineer appends go below this line.

// On the store object of every store Outlook makes: the first as the MAPI
// definitions of libfmapi name it, the second named by no document.
constexpr uint32_t PidTagLatestPstEnsure = 0x66FA0003;
constexpr uint32_t PidTagUnnamed66FC = 0x66FC0003;

}  // namespace mailvane::mapi
