// The fixed objects of a new store: the store object, the name-to-id map,
// the table templates, the search queues and the folders every store has.
#include <random>

#include "mapi/pst/MessageStore.h"
#include "mapi/pst/PropertyContext.h"
#include "mapi/pst/StoreCommon.h"

namespace mailvane::pst {

using namespace format;
using namespace mailvane::mapi;  // tags by their documented names

namespace store {

// Columns every new table of a kind starts with: those [MS-PST] 2.4.4.4.1,
// 2.4.4.5.1, 2.4.4.6.1, 2.4.8.6.2.1, 2.4.5.3.1 and 2.4.6.1.1 require, plus
// the few that a store made by Outlook adds to its templates.
const std::vector<uint32_t> kHierarchyColumns = {
    PidTagReplItemid,     PidTagReplChangenum,  PidTagReplVersionHistory, PidTagReplFlags,
    PidTagDisplayName,    PidTagContentCount,   PidTagContentUnreadCount, PidTagSubfolders,
    PidTagContainerClass, PidTagPstHiddenCount, PidTagPstHiddenUnread};
const std::vector<uint32_t> kContentsColumns = {PidTagImportance,
                                                PidTagMessageClass,
                                                PidTagSensitivity,
                                                PidTagSubject,
                                                PidTagClientSubmitTime,
                                                PidTagSentRepresentingName,
                                                PidTagMessageToMe,
                                                PidTagMessageCcMe,
                                                PidTagConversationTopic,
                                                PidTagConversationIndex,
                                                PidTagDisplayCc,
                                                PidTagDisplayTo,
                                                PidTagMessageDeliveryTime,
                                                PidTagMessageFlags,
                                                PidTagMessageSize,
                                                PidTagMessageStatus,
                                                PidTagReplItemid,
                                                PidTagReplChangenum,
                                                PidTagReplVersionHistory,
                                                PidTagReplFlags,
                                                PidTagReplCopiedfromVersionhistory,
                                                PidTagReplCopiedfromItemid,
                                                PidTagItemTemporaryFlags,
                                                PidTagLastModificationTime,
                                                PidTagConversationId,
                                                PidTagSecureSubmitFlags};
const std::vector<uint32_t> kAssocColumns = {PidTagMessageClass,
                                             PidTagMessageFlags,
                                             PidTagMessageStatus,
                                             PidTagDisplayName,
                                             PidTagOfflineAddressBookName,
                                             PidTagSendOutlookRecallReport,
                                             PidTagOfflineAddressBookTruncatedProperties,
                                             PidTagMapiFormComposeCommand,
                                             PidTagViewDescriptorFlags,
                                             PidTagViewDescriptorLinkTo,
                                             PidTagViewDescriptorViewFolder,
                                             PidTagViewDescriptorName,
                                             PidTagViewDescriptorVersion};
const std::vector<uint32_t> kSearchContentsColumns = {PidTagImportance,
                                                      PidTagMessageClass,
                                                      PidTagSensitivity,
                                                      PidTagSubject,
                                                      PidTagSentRepresentingName,
                                                      PidTagMessageToMe,
                                                      PidTagMessageCcMe,
                                                      PidTagDisplayCc,
                                                      PidTagDisplayTo,
                                                      PidTagParentDisplay,
                                                      PidTagMessageDeliveryTime,
                                                      PidTagMessageFlags,
                                                      PidTagMessageSize,
                                                      PidTagMessageStatus,
                                                      PidTagExchangeRemoteHeader,
                                                      PidTagLastModificationTime,
                                                      PidTagLtpParentNid};
const std::vector<uint32_t> kRecipientColumns = {PidTagRecipientType,
                                                 PidTagResponsibility,
                                                 PidTagRecordKey,
                                                 PidTagObjectType,
                                                 PidTagEntryId,
                                                 PidTagDisplayName,
                                                 PidTagAddressType,
                                                 PidTagEmailAddress,
                                                 PidTagSearchKey,
                                                 PidTagDisplayType,
                                                 PidTagAddressBookDisplayNamePrintable,
                                                 PidTagSendRichInfo};
const std::vector<uint32_t> kAttachmentColumns = {PidTagAttachSize, PidTagAttachFilename,
                                                  PidTagAttachMethod, PidTagRenderingPosition};

}  // namespace store

using namespace store;
namespace {

const std::vector<uint32_t> kReceiveFolderColumns = {PidTagMessageClass, PidTagUnnamed6605};
const std::vector<uint32_t> kOutgoingQueueColumns = {PidTagClientSubmitTime, PidTagSpoolerStatus,
                                                     PidTagSubmitFlags};
// Three more empty tables a new store carries (node types 0x16 to 0x18),
// with the columns they have in stores Outlook makes.
constexpr Nid kNidExtraTable1 = 0x6B6, kNidExtraTable2 = 0x6D7, kNidExtraTable3 = 0x6F8;
const std::vector<uint32_t> kExtraTable1Columns = {PidTagReplChangenum, PidTagUnnamed0E37,
                                                   PidTagReplFlags};
const std::vector<uint32_t> kExtraTable2Columns = {
    PidTagMessageClass,       PidTagReplItemid, PidTagUnnamed0E31, PidTagReplChangenum,
    PidTagReplVersionHistory, PidTagReplFlags,  PidTagUnnamed0E3E};
const std::vector<uint32_t> kExtraTable3Columns = {PidTagReplChangenum, PidTagCreationTime};

constexpr Nid kNidCommonViews = 0x8082;

NodeContent EmptyTable(const std::vector<uint32_t>& columns) {
    return TableBuilder(columns).Build();
}

}  // namespace

std::string MessageStore::EntryId(Nid nid) const {
    std::string id(4, '\0');  // flags
    id += recordKey_;
    PutFixed32(&id, nid);
    return id;
}

std::string MessageStore::ReplVersionHistory() {
    // One entry: a replica GUID of this store and version 1.
    std::string history;
    PutFixed32(&history, 1);
    history += NewSearchKey();
    PutFixed32(&history, 1);
    return history;
}

void MessageStore::BuildNewStore(const std::string& displayName) {
    displayName_ = displayName;
    std::random_device random;
    for (int i = 0; i < 4; ++i) PutFixed32(&recordKey_, random());

    PropertyList store = {
        Property{PidTagRecordKey, recordKey_},
        Text(PidTagDisplayName, displayName),
        // Valid folders: subtree, wastebasket, common views, finder.
        LongProperty(PidTagValidFolderMask, 0xC9),
        Property{PidTagIpmSubTreeEntryId, EntryId(kNidIpmSubtree)},
        Property{PidTagIpmWastebasketEntryId, EntryId(kNidDeletedItems)},
        Property{PidTagCommonViewsEntryId, EntryId(kNidCommonViews)},
        Property{PidTagFinderEntryId, EntryId(kNidSearchRoot)},
        Bool(PidTagPstLrNoRestrictions, true),
        LongProperty(PidTagPstPassword, 0),  // no password
        Property{PidTagReplVersionHistory, ReplVersionHistory()},
        LongProperty(PidTagReplFlags, 0),
        LongProperty(PidTagLatestPstEnsure, 0x000E0011),  // what every Outlook store carries
        // Undocumented; its value differs between Outlook's stores and no
        // reader interprets it.
        LongProperty(PidTagUnnamed66FC, 0),
    };
    uint32_t index = 1;
    ndb_->PutNode(kNidMessageStore, 0, BuildPropertyContext(store, &index));

    // Readers insist on a name-to-id map with at least one entry, so it
    // starts with the one named property every message client sets:
    // PidLidCurrentVersionName of PSETID_Common, as 0x8000.
    names_.IdFor(ParseGuid("{00062008-0000-0000-C000-000000000046}"), 0x8554);
    names_.IdFor(ParseGuid("{00020386-0000-0000-C000-000000000046}"), "content-class");
    index = 1;
    ndb_->PutNode(kNidNameToIdMap, 0, BuildPropertyContext(names_.Properties(), &index));
    names_.ClearDirty();

    ndb_->PutNode(kNidHierarchyTableTemplate, 0, EmptyTable(kHierarchyColumns));
    ndb_->PutNode(kNidContentsTableTemplate, 0, EmptyTable(kContentsColumns));
    ndb_->PutNode(kNidAssocContentsTableTemplate, 0, EmptyTable(kAssocColumns));
    ndb_->PutNode(kNidSearchContentsTableTemplate, 0, EmptyTable(kSearchContentsColumns));
    ndb_->PutNode(kNidReceiveFolderTable, 0, EmptyTable(kReceiveFolderColumns));
    ndb_->PutNode(kNidOutgoingQueueTable, 0, EmptyTable(kOutgoingQueueColumns));
    ndb_->PutNode(kNidExtraTable1, 0, EmptyTable(kExtraTable1Columns));
    ndb_->PutNode(kNidExtraTable2, 0, EmptyTable(kExtraTable2Columns));
    ndb_->PutNode(kNidExtraTable3, 0, EmptyTable(kExtraTable3Columns));
    ndb_->PutNode(kNidAttachmentTableTemplate, 0, EmptyTable(kAttachmentColumns));
    ndb_->PutNode(kNidRecipientTableTemplate, 0, EmptyTable(kRecipientColumns));
    ndb_->PutEmptyNode(kNidSearchManagementQueue, 0);
    // The folders whose searches run: the spam folder's ([MS-PST] 2.4.8.4.2).
    std::string activity;
    PutFixed32(&activity, kNidSpamSearchFolder);
    ndb_->PutNode(kNidSearchActivityList, 0, NodeContent{activity});
    ndb_->PutEmptyNode(kNidSearchDomainObject, 0);

    AddFolderObject(kNidRootFolder, kNidRootFolder, "", "");
    AddFolderObject(kNidIpmSubtree, kNidRootFolder, "Top of Personal Folders", "");
    AddFolderObject(kNidSearchRoot, kNidRootFolder, "Search Root", "");
    Folder& spam =
        AddFolderObject(kNidSpamSearchFolder, kNidRootFolder, "SPAM Search Folder 2", "");
    spam.search = true;
    AddFolderObject(kNidDeletedItems, kNidIpmSubtree, "Deleted Items", "IPF.Note");
    AddFolderObject(kNidCommonViews, kNidRootFolder, "IPM_COMMON_VIEWS", "");
    ndb_->PutEmptyNode(WithType(kNidSpamSearchFolder, kNidTypeSearchUpdateQueue), 0);
    for (Nid nid : {kNidRootFolder, kNidIpmSubtree, kNidSearchRoot, kNidDeletedItems,
                    kNidCommonViews, kNidSpamSearchFolder})
        ndb_->ReserveNid(nid);
}

}  // namespace mailvane::pst
