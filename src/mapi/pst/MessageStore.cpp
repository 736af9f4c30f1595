#include "mapi/pst/MessageStore.h"

#include <algorithm>
#include <chrono>
#include <random>
#include <utility>

#include "mapi/PropTags.h"
#include "mapi/format/Coding.h"
#include "mapi/format/FileTime.h"
#include "mapi/format/Text.h"
#include "mapi/pst/PropertyContext.h"

namespace mailvane::pst {

using namespace format;
namespace {

constexpr size_t kGuidSize = 16;

// Tags by their documented names.
using namespace mailvane::mapi;

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

// Attachment subnodes are numbered from 0x8025, as Outlook numbers them.
constexpr uint32_t kFirstAttachmentIndex = 0x8025 >> 5;
// The message flags the store reads and sets.
constexpr uint32_t kMsgFlagRead = mapi::MSGFLAG_READ;
constexpr uint32_t kMsgFlagHasAttach = mapi::MSGFLAG_HASATTACH;
// What a message gets when it names no code page or locale: UTF-8 and US
// English.
constexpr uint32_t kDefaultCodepage = 65001;
constexpr uint32_t kDefaultLocale = 1033;

constexpr Nid kNidRecipientTableSub = kNidRecipientTableTemplate;    // 0x692
constexpr Nid kNidAttachmentTableSub = kNidAttachmentTableTemplate;  // 0x671
constexpr Nid kNidCommonViews = 0x8082;

Property Long(uint32_t tag, uint32_t v) {
    Property p{tag, {}};
    PutFixed32(&p.value, v);
    return p;
}
Property Bool(uint32_t tag, bool v) {
    return Property{tag, std::string(1, v ? '\1' : '\0')};
}
Property Text(uint32_t tag, const std::string& utf8) {
    return Property{tag, Utf16FromUtf8(utf8)};
}

const Property* FindProp(const PropertyList& props, uint32_t tag) {
    for (auto it = props.rbegin(); it != props.rend(); ++it)
        if (it->tag == tag) return &*it;
    return nullptr;
}

void SetProp(PropertyList* props, Property p) {
    for (auto& q : *props)
        if (PropIdOf(q.tag) == PropIdOf(p.tag)) {
            q = std::move(p);
            return;
        }
    props->push_back(std::move(p));
}

uint32_t LongOf(const PropertyList& props, uint32_t tag, uint32_t fallback) {
    const Property* p = FindProp(props, tag);
    return (p && p->value.size() >= 4) ? DecodeFixed32(p->value.data()) : fallback;
}

// Subjects are stored with the length of their prefix in front ("\1\5RE: x"
// for "RE: x"), as [MS-PST] 2.5.3.1.1.1 describes: readers take the marker
// for granted. The prefix is one to three characters, neither space nor
// digit, then a colon and any spaces.
std::string MarkSubject(const std::string& utf16) {
    auto unit = [&](size_t i) -> uint16_t { return DecodeFixed16(utf16.data() + 2 * i); };
    size_t n = utf16.size() / 2;
    if (n > 0 && unit(0) == 1) return utf16;
    size_t prefix = 0;
    for (size_t i = 0; i < n && i < 4; ++i) {
        uint16_t c = unit(i);
        if (c == ':' && i > 0) {
            size_t end = i + 1;
            while (end < n && unit(end) == ' ') ++end;
            prefix = end;
            break;
        }
        if (c == ' ' || (c >= '0' && c <= '9')) break;
    }
    std::string out;
    PutFixed16(&out, 1);
    PutFixed16(&out, static_cast<uint16_t>(prefix + 1));
    return out + utf16;
}

// A stored subject without the prefix-length marker MarkSubject adds.
std::string UnmarkedSubject(const std::string& utf16) {
    if (utf16.size() >= 4 && DecodeFixed16(utf16.data()) == 1) return utf16.substr(4);
    return utf16;
}

NodeContent EmptyTable(const std::vector<uint32_t>& columns) {
    return TableBuilder(columns).Build();
}

}  // namespace

std::unique_ptr<MessageStore> MessageStore::Create(Sink* sink, const std::string& display_name,
                                                   Encoding encoding) {
    std::unique_ptr<MessageStore> store(new MessageStore(NdbWriter::Create(sink, encoding)));
    store->BuildNewStore(display_name);
    store->Checkpoint();
    return store;
}

std::string MessageStore::EntryId(Nid nid) const {
    std::string id(4, '\0');  // flags
    id += record_key_;
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

std::string MessageStore::NewSearchKey() {
    std::string key;
    PutFixed64(&key, key_source_());
    PutFixed64(&key, key_source_());
    return key;
}

void MessageStore::BuildNewStore(const std::string& display_name) {
    display_name_ = display_name;
    std::random_device random;
    for (int i = 0; i < 4; ++i) PutFixed32(&record_key_, random());

    PropertyList store = {
        Property{PidTagRecordKey, record_key_},
        Text(PidTagDisplayName, display_name),
        // Valid folders: subtree, wastebasket, common views, finder.
        Long(PidTagValidFolderMask, 0xC9),
        Property{PidTagIpmSubTreeEntryId, EntryId(kNidIpmSubtree)},
        Property{PidTagIpmWastebasketEntryId, EntryId(kNidDeletedItems)},
        Property{PidTagCommonViewsEntryId, EntryId(kNidCommonViews)},
        Property{PidTagFinderEntryId, EntryId(kNidSearchRoot)},
        Bool(PidTagPstLrNoRestrictions, true),
        Long(PidTagPstPassword, 0),  // no password
        Property{PidTagReplVersionHistory, ReplVersionHistory()},
        Long(PidTagReplFlags, 0),
        Long(PidTagLatestPstEnsure, 0x000E0011),  // what every Outlook store carries
        // Undocumented; its value differs between Outlook's stores and no
        // reader interprets it.
        Long(PidTagUnnamed66FC, 0),
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

MessageStore::Folder& MessageStore::AddFolderObject(Nid nid, Nid parent, const std::string& name,
                                                    const std::string& cls) {
    Folder& f = folders_[nid];
    f.nid = nid;
    f.parent = parent;
    f.name = name;
    f.search = NidTypeOf(nid) == kNidTypeSearchFolder;
    f.props = {Text(PidTagDisplayName, name)};
    if (!cls.empty()) f.props.push_back(Text(PidTagContainerClass, cls));
    f.hierarchy = std::make_unique<TableBuilder>(kHierarchyColumns);
    f.contents =
        std::make_unique<TableBuilder>(f.search ? kSearchContentsColumns : kContentsColumns);
    f.assoc = std::make_unique<TableBuilder>(kAssocColumns);
    AttachTableReaders(f);
    if (parent != nid) {
        Folder& p = folders_[parent];
        p.children.push_back(nid);
        p.pc_dirty = true;
        p.hierarchy_dirty = true;
    }
    return f;
}

void MessageStore::AttachTableReaders(Folder& f) {
    // A folder's tables keep only their newest rows in memory and read the
    // rest back from their last placed node when an older row is needed.
    auto attach = [this](TableBuilder& table, Nid table_nid) {
        table.SetReader([this, table_nid](TableView* view) {
            // A damaged node has failed the writer already; Fail keeps that
            // first cause.
            NodeContent node;
            std::string err = ndb_->ReadNode(table_nid, &node) ? ReadTable(node, view) : "missing";
            if (err.empty()) return true;
            ndb_->Fail(Status::Kind::kDamaged, "folder table " + Hex(table_nid) + ": " + err);
            return false;
        });
    };
    if (f.search) {
        attach(*f.contents, WithType(f.nid, kNidTypeSearchContentsTable));
        return;
    }
    attach(*f.hierarchy, WithType(f.nid, kNidTypeHierarchyTable));
    attach(*f.contents, WithType(f.nid, kNidTypeContentsTable));
    attach(*f.assoc, WithType(f.nid, kNidTypeAssocContentsTable));
}

PropertyList MessageStore::FolderProps(const Folder& f) const {
    PropertyList props = f.props;
    SetProp(&props, Long(PidTagContentCount, f.count));
    SetProp(&props, Long(PidTagContentUnreadCount, f.unread));
    SetProp(&props, Bool(PidTagSubfolders, !f.children.empty()));
    return props;
}

MessageStore::Folder* MessageStore::FolderFor(Nid nid, const char* call) {
    auto it = folders_.find(nid);
    if (it != folders_.end()) return &it->second;
    ndb_->Fail(Status::Kind::kMisuse, std::string(call) + ": no folder " + Hex(nid));
    return nullptr;
}

Nid MessageStore::CreateFolder(Nid parent, const std::string& name, const std::string& cls) {
    if (!status().empty()) return 0;
    const Folder* p = FolderFor(parent, "CreateFolder");
    if (!p) return 0;
    if (p->search) {
        ndb_->Fail(Status::Kind::kMisuse,
                   "CreateFolder: folder " + Hex(parent) + " is a search folder");
        return 0;
    }
    Nid nid = ndb_->NewNid(kNidTypeNormalFolder);
    AddFolderObject(nid, parent, name, cls);
    return nid;
}

std::optional<Nid> MessageStore::FindFolder(Nid parent, const std::string& name) const {
    auto it = folders_.find(parent);
    if (it == folders_.end()) return std::nullopt;
    for (Nid child : it->second.children)
        if (folders_.at(child).name == name) return child;
    return std::nullopt;
}

std::vector<Nid> MessageStore::Subfolders(Nid parent) const {
    auto it = folders_.find(parent);
    return it == folders_.end() ? std::vector<Nid>{} : it->second.children;
}

std::string MessageStore::FolderName(Nid folder) const {
    auto it = folders_.find(folder);
    return it == folders_.end() ? std::string() : it->second.name;
}

size_t MessageStore::MessageCount(Nid folder) const {
    auto it = folders_.find(folder);
    return it == folders_.end() ? 0 : it->second.count;
}

NodeContent MessageStore::BuildMessage(MessageContent m, uint32_t* next_index, PropertyList* stored,
                                       int depth, std::string* refused) {
    auto refuse = [&](std::string cause) {
        if (refused->empty()) *refused = std::move(cause);
        return NodeContent{};
    };
    if (depth > kMaxEmbeddingDepth)
        return refuse("embedded messages nested more than " + std::to_string(kMaxEmbeddingDepth) +
                      " deep");
    // Checked before anything is built: each attachment is a subnode of the
    // message, beside its two tables.
    if (m.attachments.size() + 2 > kMaxSubnodes)
        return refuse(std::to_string(m.attachments.size()) + " attachments, more than the " +
                      std::to_string(kMaxSubnodes - 2) + " a message of a store holds");
    auto unnamed = [](const PropertyList& props) {
        return std::any_of(props.begin(), props.end(),
                           [](const Property& p) { return PropIdOf(p.tag) == 0; });
    };
    bool without_id = unnamed(m.props);
    for (const auto& r : m.recipients) without_id = without_id || unnamed(r);
    for (uint32_t tag : m.more_recipients.tags) without_id = without_id || PropIdOf(tag) == 0;
    for (const auto& a : m.attachments) without_id = without_id || unnamed(a.props);
    if (without_id)
        return refuse("a named property has no id: the store's " +
                      std::to_string(NameMap::kMaxNames) + " named property ids are all taken");
    PropertyList props = std::move(m.props);
    uint32_t flags = LongOf(props, PidTagMessageFlags, kMsgFlagRead) & ~kMsgFlagHasAttach;
    if (!m.attachments.empty()) flags |= kMsgFlagHasAttach;
    SetProp(&props, Long(PidTagMessageFlags, flags));
    // [MS-PST] 2.4.5 requires both on every message; Outlook sets them on
    // embedded ones too.
    if (!FindProp(props, PidTagSearchKey))
        SetProp(&props, Property{PidTagSearchKey, NewSearchKey()});
    if (!FindProp(props, PidTagMessageStatus)) SetProp(&props, Long(PidTagMessageStatus, 0));
    // The code page readers take the message's 8-bit text in: the one its
    // body came in, else UTF-8, the form an item keeps such text in. A
    // message file gets the same (msg::WriteMsg).
    if (!FindProp(props, PidTagMessageCodepage))
        SetProp(&props, Long(PidTagMessageCodepage,
                             LongOf(props, PidTagInternetCodepage, kDefaultCodepage)));
    if (!FindProp(props, PidTagMessageLocaleId))
        SetProp(&props, Long(PidTagMessageLocaleId, kDefaultLocale));
    // Creation and modification times default to the moment of writing.
    for (uint32_t tag : {PidTagCreationTime, PidTagLastModificationTime}) {
        if (FindProp(props, tag)) continue;
        Property now{tag, {}};
        PutFixed64(&now.value, FileTimeNow());
        props.push_back(std::move(now));
    }
    if (!FindProp(props, PidTagMessageSize)) {
        size_t size = 0;
        for (const auto& p : props) size += p.value.size();
        for (const auto& a : m.attachments)
            for (const auto& p : a.props) size += p.value.size();
        SetProp(&props,
                Long(PidTagMessageSize, static_cast<uint32_t>(std::min<size_t>(size, UINT32_MAX))));
    }
    // Marked after the size is taken, so that a message file of the same
    // message gets the same size (msg::WriteMsg).
    for (auto& p : props)
        if (p.tag == PidTagSubject) p.value = MarkSubject(p.value);
    // The contents row needs only its columns; every other value goes into
    // the node uncopied (a body, the transport headers).
    stored->clear();
    for (const auto& p : props)
        if (std::find(kContentsColumns.begin(), kContentsColumns.end(), p.tag) !=
            kContentsColumns.end())
            stored->push_back(p);
    NodeContent node = BuildPropertyContext(std::move(props), next_index);

    // Each tag once: a message of 300,000 recipients has some ten tags, not
    // three million.
    std::vector<uint32_t> columns = kRecipientColumns;
    columns.push_back(PidTagRowid);
    auto add_column = [&](uint32_t tag) {
        if (columns.size() <= TcInfo::kMaxColumns &&
            std::find(columns.begin(), columns.end(), tag) == columns.end())
            columns.push_back(tag);
    };
    for (const auto& r : m.recipients)
        for (const auto& p : r) add_column(p.tag);
    for (uint32_t tag : m.more_recipients.tags) add_column(tag);
    TableBuilder recipients(columns);
    const auto loose = [this](std::string_view block) { return ndb_->WriteLooseBlock(block); };
    recipients.SetBlockWriter(loose);
    // Each property a recipient has is a column, and a table has at most
    // 255 of them.
    if (recipients.tags().size() > TcInfo::kMaxColumns)
        return refuse("recipients with " + std::to_string(recipients.tags().size()) +
                      " different properties, more than the " +
                      std::to_string(TcInfo::kMaxColumns) + " columns a table holds");
    // A table's heap holds its row index and every value of a row; very
    // many recipients with long values need more pages than a heap has.
    // Counted as the rows come, so such a table is not built whole first.
    auto table_fits = [&](size_t pages, const char* rows) {
        if (pages > kMaxHeapPages)
            refuse(std::string(rows) + " take " + std::to_string(pages) +
                   " pages of a table's heap, more than the " + std::to_string(kMaxHeapPages) +
                   " it holds");
        return pages <= kMaxHeapPages;
    };
    auto pages_of = [](const NodeContent& table) {
        return table.blocks.empty() ? HeapBuilder::PagesIn(table.data.size()) : table.blocks.size();
    };
    // Each recipient is let go once its row is in the table.
    const size_t first_later = m.recipients.size();
    for (size_t i = 0; i < first_later + m.more_recipients.count; ++i) {
        PropertyList row =
            i < first_later ? std::move(m.recipients[i]) : m.more_recipients.take(i - first_later);
        row.push_back(Long(PidTagRowid, static_cast<uint32_t>(i)));
        recipients.AppendRow(static_cast<uint32_t>(i), row);
        if (!table_fits(recipients.appendedHeapPages(), "the recipients")) return {};
    }
    m.recipients = {};
    node.subnodes.push_back({kNidRecipientTableSub, recipients.FinishAppended()});
    if (!table_fits(pages_of(node.subnodes.back().content), "the recipients")) return {};

    if (!m.attachments.empty()) {
        TableBuilder table(kAttachmentColumns);
        table.SetBlockWriter(loose);
        for (size_t i = 0; i < m.attachments.size(); ++i) {
            AttachmentContent& a = m.attachments[i];
            // Above every recipient row id: readers that look both up by id
            // would otherwise take a recipient for an attachment.
            Nid nid = MakeNid(kNidTypeAttachment, kFirstAttachmentIndex + static_cast<uint32_t>(i));
            PropertyList props = std::move(a.props);
            uint32_t index = 1;
            std::vector<Subnode> extra;
            uint32_t embedded_size = 0;
            if (a.embedded) {
                Nid inner = MakeNid(kNidTypeNormalMessage, index++);
                uint32_t inner_index = 1;
                PropertyList inner_props;
                // Taken over unless someone else holds it too.
                NodeContent message =
                    BuildMessage(a.embedded.use_count() == 1 ? std::move(*a.embedded) : *a.embedded,
                                 &inner_index, &inner_props, depth + 1, refused);
                if (!refused->empty()) return {};
                embedded_size = LongOf(inner_props, PidTagMessageSize, 0);
                // The second half is the message's size, as Outlook writes it,
                // not the length of its node.
                Property object{PidTagAttachDataObject, {}};
                PutFixed32(&object.value, inner);
                PutFixed32(&object.value, embedded_size);
                SetProp(&props, object);
                extra.push_back({inner, std::move(message)});
                // Outlook names an embedded message by its subject.
                if (const Property* subject = FindProp(inner_props, PidTagSubject)) {
                    std::string name = UnmarkedSubject(subject->value);
                    if (!FindProp(props, PidTagDisplayName))
                        SetProp(&props, Property{PidTagDisplayName, name});
                    if (!FindProp(props, PidTagAttachFilename))
                        SetProp(&props, Property{PidTagAttachFilename, name});
                }
            }
            if (!FindProp(props, PidTagRenderingPosition))
                SetProp(&props, Long(PidTagRenderingPosition, 0xFFFFFFFF));
            if (!FindProp(props, PidTagAttachSize)) {
                // The size of the attachment object: its properties and, for
                // an embedded message, that message's size.
                size_t size = embedded_size + 4;
                for (const auto& p : props) size += p.value.size();
                SetProp(&props, Long(PidTagAttachSize,
                                     static_cast<uint32_t>(std::min<size_t>(size, UINT32_MAX))));
            }
            table.AppendRow(nid, props);
            if (!table_fits(table.appendedHeapPages(), "the attachments")) return {};
            NodeContent attachment = BuildPropertyContext(std::move(props), &index);
            for (auto& s : extra) attachment.subnodes.push_back(std::move(s));
            node.subnodes.push_back({nid, std::move(attachment)});
        }
        m.attachments = {};
        node.subnodes.push_back({kNidAttachmentTableSub, table.FinishAppended()});
        if (!table_fits(pages_of(node.subnodes.back().content), "the attachments")) return {};
    }
    return node;
}

Nid MessageStore::AddMessage(Nid folder_nid, MessageContent message, Status* refused) {
    if (!status().empty()) return 0;
    Folder* f = FolderFor(folder_nid, "AddMessage");
    if (!f) return 0;
    Nid nid = ndb_->NewNid(kNidTypeNormalMessage);
    Status written = WriteMessage(nid, *f, std::move(message), false);
    if (refused) *refused = written;
    return written.ok() ? nid : 0;
}

bool MessageStore::UpdateMessage(Nid nid, Nid folder_nid, MessageContent message, Status* refused) {
    if (!status().empty()) return false;
    Folder* f = FolderFor(folder_nid, "UpdateMessage");
    if (!f) return false;
    if (!f->contents->HasRow(nid)) {
        ndb_->Fail(Status::Kind::kMisuse,
                   "UpdateMessage: message " + Hex(nid) + " is not in folder " + Hex(folder_nid));
        return false;
    }
    Status written = WriteMessage(nid, *f, std::move(message), true);
    if (refused) *refused = written;
    return written.ok();
}

Status MessageStore::WriteMessage(Nid nid, Folder& f, MessageContent message, bool replace) {
    uint32_t index = 1;
    // The contents row copies the message's own columns.
    PropertyList stored;
    std::string refused;
    // Blocks written ahead for its tables are the node's once it is placed,
    // and go if it is not.
    struct DropLoose {
        NdbWriter* ndb;
        ~DropLoose() { ndb->DropLooseBlocks(); }
    } dropLoose{ndb_.get()};
    NodeContent node = BuildMessage(std::move(message), &index, &stored, 0, &refused);
    // Whatever limit the message is past is found here, before any of it
    // is placed: the store has nothing to undo (the blocks written ahead
    // are let go) and goes on.
    if (!refused.empty()) return Status(Status::Kind::kTooLarge, refused);
    if (Status fits = NdbWriter::CheckNode(node); !fits.ok()) return fits;
    // The folder's contents table takes the message's row at the next
    // checkpoint, too late to refuse it: a folder of some million messages
    // fills its heap, one of many long recipient lists its subnodes.
    const TableBuilder::Extent table = f.contents->ExtentWith(stored);
    if (table.long_values + 1 > kMaxSubnodes || table.heap_pages > kMaxHeapPages)
        return Status(Status::Kind::kTooLarge,
                      "the folder holds " + std::to_string(f.contents->rowCount()) +
                          " messages, as many as its contents table can list");
    ndb_->PutNode(nid, f.nid, node);
    if (!status().empty()) return failure();
    if (replace) {
        std::optional<std::string> old = f.contents->Cell(nid, PidTagMessageFlags);
        bool was_unread = !old || old->size() < 4 || !(DecodeFixed32(old->data()) & kMsgFlagRead);
        --f.count;
        if (was_unread) --f.unread;
    }
    f.contents->SetRow(nid, stored);
    ++f.count;
    if (!(LongOf(stored, PidTagMessageFlags, 0) & kMsgFlagRead)) ++f.unread;
    f.pc_dirty = true;
    f.contents_dirty = true;
    return {};
}

void MessageStore::WriteTable(Nid nid, TableBuilder& table, Nid template_nid) {
    // An empty table with the template's columns shares the template's
    // blocks, as a new store made by Outlook does.
    const std::vector<uint32_t>* columns = nullptr;
    switch (template_nid) {
        case kNidHierarchyTableTemplate:
            columns = &kHierarchyColumns;
            break;
        case kNidContentsTableTemplate:
            columns = &kContentsColumns;
            break;
        case kNidAssocContentsTableTemplate:
            columns = &kAssocColumns;
            break;
        default:
            columns = &kSearchContentsColumns;
            break;
    }
    if (table.rowCount() == 0 && table.tags() == TableBuilder(*columns).tags()) {
        ndb_->PutSharedNode(nid, 0, template_nid);
        return;
    }
    PlacedBlocks placed;
    const NodeContent node = table.BuildForNode();
    // Messages are refused before their folder's table gets there (see
    // WriteMessage); a heap past its pages would name the wrong values.
    if (node.blocks.size() > kMaxHeapPages)
        return ndb_->Fail(Status::Kind::kTooLarge, "folder table " + Hex(nid) + ": " +
                                                       std::to_string(table.rowCount()) +
                                                       " rows, more than its heap holds");
    ndb_->PutNode(nid, 0, node, &placed);
    table.Commit(placed);
}

void MessageStore::WriteFolder(Folder& f) {
    uint32_t index = 1;
    if (f.pc_dirty) ndb_->PutNode(f.nid, f.parent, BuildPropertyContext(FolderProps(f), &index));
    if (f.search) {
        if (f.contents_dirty)
            WriteTable(WithType(f.nid, kNidTypeSearchContentsTable), *f.contents,
                       kNidSearchContentsTableTemplate);
    } else {
        if (f.hierarchy_dirty)
            WriteTable(WithType(f.nid, kNidTypeHierarchyTable), *f.hierarchy,
                       kNidHierarchyTableTemplate);
        if (f.contents_dirty)
            WriteTable(WithType(f.nid, kNidTypeContentsTable), *f.contents,
                       kNidContentsTableTemplate);
        if (f.assoc_dirty)
            WriteTable(WithType(f.nid, kNidTypeAssocContentsTable), *f.assoc,
                       kNidAssocContentsTableTemplate);
    }
    f.pc_dirty = f.hierarchy_dirty = f.contents_dirty = f.assoc_dirty = false;
}

bool MessageStore::CanName(std::string_view guid) {
    if (guid.size() != kGuidSize) {
        ndb_->Fail(Status::Kind::kMisuse,
                   "NamedPropertyId: a property set of " + std::to_string(guid.size()) + " bytes");
        return false;
    }
    return status().empty();
}

uint16_t MessageStore::NamedPropertyId(std::string_view guid, uint32_t lid) {
    return CanName(guid) ? names_.IdFor(guid, lid) : 0;
}

uint16_t MessageStore::NamedPropertyId(std::string_view guid, std::string_view name) {
    // Header names are compared without case (see format::NameTable).
    return CanName(guid) ? names_.IdFor(guid, name) : 0;
}

std::string MessageStore::Checkpoint() {
    if (names_.dirty()) {
        uint32_t index = 1;
        ndb_->PutNode(kNidNameToIdMap, 0, BuildPropertyContext(names_.Properties(), &index));
        names_.ClearDirty();
    }
    // A folder whose object changed changes its row in its parent's
    // hierarchy table too.
    for (auto& [nid, f] : folders_) {
        if (!f.pc_dirty || f.parent == nid) continue;
        // Every folder's parent is there: CreateFolder and reopening see to it.
        Folder& parent = folders_.at(f.parent);
        PropertyList row = FolderProps(f);
        parent.hierarchy->SetRow(nid, row);
        parent.hierarchy_dirty = true;
    }
    for (auto& [nid, f] : folders_) WriteFolder(f);
    return ndb_->Checkpoint();
}

std::unique_ptr<MessageStore> MessageStore::Open(Sink* sink, Status* error) {
    std::unique_ptr<NdbWriter> ndb = NdbWriter::Open(sink, error);
    if (!ndb) return nullptr;
    std::unique_ptr<MessageStore> store(new MessageStore(std::move(ndb)));
    if (!store->LoadFolders(error)) return nullptr;
    // Only a store taken is written to.
    if (!store->ndb_->CoverTail().empty()) {
        *error = store->failure();
        return nullptr;
    }
    return store;
}

std::unique_ptr<MessageStore> MessageStore::Open(Sink* sink, std::string* error) {
    Status status;
    auto store = Open(sink, &status);
    if (!store) *error = status.message();
    return store;
}

bool MessageStore::ReadProperties(Nid nid, const char* what, PropertyList* props, Status* error) {
    NodeContent node;
    std::string err;
    if (!ndb_->ReadNode(nid, &node))
        err = ndb_->status().empty() ? "missing" : ndb_->status();
    else
        err = ReadPropertyContext(node, props);
    if (err.empty()) return true;
    *error = Status(ndb_->failure().ok() ? Status::Kind::kDamaged : ndb_->failure().kind(),
                    std::string(what) + " " + Hex(nid) + ": " + err);
    return false;
}

bool MessageStore::LoadFolders(Status* error) {
    PropertyList props;
    if (!ReadProperties(kNidMessageStore, "store object", &props, error)) return false;
    if (const Property* p = FindProp(props, PidTagRecordKey)) record_key_ = p->value;
    if (const Property* p = FindProp(props, PidTagDisplayName))
        display_name_ = Utf8FromUtf16(p->value);
    PropertyList names;
    if (!ReadProperties(kNidNameToIdMap, "name-to-id map", &names, error)) return false;
    if (std::string err = names_.Load(names); !err.empty()) {
        *error =
            Status(Status::Kind::kDamaged, "name-to-id map " + Hex(kNidNameToIdMap) + ": " + err);
        return false;
    }
    std::vector<std::pair<Nid, Nid>> found;
    ndb_->ForEachNode([&](Nid nid, Nid parent) {
        uint32_t type = NidTypeOf(nid);
        if (type == kNidTypeNormalFolder || type == kNidTypeSearchFolder)
            found.emplace_back(nid, parent);
    });
    for (auto [nid, parent] : found) {
        Folder& f = folders_[nid];
        f.nid = nid;
        f.parent = parent;
        f.search = NidTypeOf(nid) == kNidTypeSearchFolder;
        if (!ReadProperties(nid, "folder", &props, error)) return false;
        f.count = LongOf(props, PidTagContentCount, 0);
        f.unread = LongOf(props, PidTagContentUnreadCount, 0);
        for (const auto& p : props) {
            if (p.tag == PidTagContentCount || p.tag == PidTagContentUnreadCount ||
                p.tag == PidTagSubfolders)
                continue;
            f.props.push_back(p);
            if (p.tag == PidTagDisplayName) f.name = Utf8FromUtf16(p.value);
        }
        const Nid folderNid = nid;  // clang 14 cannot capture a structured binding
        std::string table_error;
        auto load = [&](uint32_t type, const std::vector<uint32_t>& columns) {
            // A table the folder never had (a search folder's hierarchy)
            // starts empty; one that is there has to read back.
            const Nid table_nid = WithType(folderNid, type);
            auto builder = std::make_unique<TableBuilder>(columns);
            if (!ndb_->HasNode(table_nid)) return builder;
            TableView view;
            NodeContent table;
            std::string err =
                ndb_->ReadNode(table_nid, &table) ? ReadTable(table, &view) : ndb_->status();
            if (!err.empty()) {
                if (table_error.empty())
                    table_error = "folder table " + Hex(table_nid) + ": " + err;
                return builder;
            }
            // The rows stay on disk until one is needed (see
            // AttachTableReaders, below).
            builder = std::make_unique<TableBuilder>(view.tags);
            builder->SetRowsOnDisk(view);
            return builder;
        };
        f.hierarchy = load(kNidTypeHierarchyTable, kHierarchyColumns);
        f.contents = f.search ? load(kNidTypeSearchContentsTable, kSearchContentsColumns)
                              : load(kNidTypeContentsTable, kContentsColumns);
        f.assoc = load(kNidTypeAssocContentsTable, kAssocColumns);
        if (!table_error.empty()) {
            *error = Status(Status::Kind::kDamaged, table_error);
            return false;
        }
        AttachTableReaders(f);
        f.pc_dirty = f.hierarchy_dirty = f.contents_dirty = f.assoc_dirty = false;
    }
    // Every folder hangs below the root, which the object model and the
    // next checkpoint rely on.
    for (Nid must : {kNidRootFolder, kNidIpmSubtree}) {
        if (!folders_.count(must)) {
            *error = Status(Status::Kind::kDamaged, "folder " + Hex(must) + " missing");
            return false;
        }
    }
    for (auto& [nid, f] : folders_) {
        Nid up = nid;
        for (size_t steps = 0; up != kNidRootFolder; ++steps) {
            auto it = folders_.find(folders_.at(up).parent);
            if (it == folders_.end() || steps > folders_.size()) {
                *error = Status(Status::Kind::kDamaged,
                                "folder " + Hex(nid) + " does not lie below the root folder");
                return false;
            }
            up = it->first;
        }
        if (f.parent != nid) folders_.at(f.parent).children.push_back(nid);
    }
    if (!ndb_->failure().ok()) {
        *error = ndb_->failure();
        return false;
    }
    return true;
}

}  // namespace mailvane::pst
