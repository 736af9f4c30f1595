// Creating and opening a store, writing messages into its folders, named
// property ids and the checkpoint.
#include "mapi/pst/MessageStore.h"

#include <utility>

#include "mapi/pst/PropertyContext.h"
#include "mapi/pst/StoreCommon.h"

namespace mailvane::pst {

using namespace format;
using namespace mailvane::mapi;  // tags by their documented names
using namespace store;
namespace {

constexpr size_t kGuidSize = 16;

}  // namespace

std::unique_ptr<MessageStore> MessageStore::Create(Sink* sink, const std::string& displayName,
                                                   Encoding encoding) {
    std::unique_ptr<MessageStore> store(new MessageStore(NdbWriter::Create(sink, encoding)));
    store->BuildNewStore(displayName);
    store->Checkpoint();
    return store;
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

Nid MessageStore::AddMessage(Nid folderNid, MessageContent message, Status* refused) {
    if (!status().empty()) return 0;
    Folder* f = FolderFor(folderNid, "AddMessage");
    if (!f) return 0;
    Nid nid = ndb_->NewNid(kNidTypeNormalMessage);
    Status written = WriteMessage(nid, *f, std::move(message), false);
    if (refused) *refused = written;
    return written.ok() ? nid : 0;
}

bool MessageStore::UpdateMessage(Nid nid, Nid folderNid, MessageContent message, Status* refused) {
    if (!status().empty()) return false;
    Folder* f = FolderFor(folderNid, "UpdateMessage");
    if (!f) return false;
    if (!f->contents->HasRow(nid)) {
        ndb_->Fail(Status::Kind::kMisuse,
                   "UpdateMessage: message " + Hex(nid) + " is not in folder " + Hex(folderNid));
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
        bool wasUnread = !old || old->size() < 4 || !(DecodeFixed32(old->data()) & kMsgFlagRead);
        --f.count;
        if (wasUnread) --f.unread;
    }
    f.contents->SetRow(nid, stored);
    ++f.count;
    if (!(LongOf(stored, PidTagMessageFlags, 0) & kMsgFlagRead)) ++f.unread;
    f.pcDirty = true;
    f.contentsDirty = true;
    return {};
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
    WriteFolders();
    return ndb_->Checkpoint();
}

}  // namespace mailvane::pst
