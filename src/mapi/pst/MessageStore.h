#pragma once
// The messaging layer of a store file: the store object, its fixed folders,
// templates and queues, user folders with their hierarchy, contents and FAI
// tables kept in step, and messages with recipients and attachments.
//
// Messages are written to the file as they are added; folder objects and
// their tables, which change with every message, are written at each
// checkpoint. Only a checkpoint makes added messages visible to readers.
//
// A call whose precondition (REQUIRES) is not met fails the store with a
// cause of kind kMisuse and changes nothing; like every failure it is
// sticky, and later calls do nothing. A message past a limit of the format
// is refused alone, before any of it is written: the store goes on.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "mapi/pst/NameMap.h"
#include "mapi/pst/NdbWriter.h"
#include "mapi/pst/Property.h"
#include "mapi/pst/TableContext.h"

namespace mailvane::pst {

// What a message is written from: the same a message file is written from.
using format::AttachmentContent;
using format::kMaxEmbeddingDepth;
using format::MessageContent;

class MessageStore {
public:
    // A new store in an empty sink.
    static std::unique_ptr<MessageStore> Create(Sink* sink, const std::string& displayName,
                                                Encoding encoding = Encoding::kPermute);
    // A store this program made; anything else, and a store of ours whose
    // content is damaged, is refused (*error says why) and left untouched.
    static std::unique_ptr<MessageStore> Open(Sink* sink, Status* error);

    Nid ipmSubtree() const { return kNidIpmSubtree; }
    std::string displayName() const { return displayName_; }

    // A new mail folder under `parent`; 0 when the store has failed.
    // REQUIRES: `parent` is a folder of this store, and no search folder.
    Nid CreateFolder(Nid parent, const std::string& name,
                     const std::string& containerClass = "IPF.Note");
    std::optional<Nid> FindFolder(Nid parent, const std::string& name) const;
    std::vector<Nid> Subfolders(Nid parent) const;
    std::string FolderName(Nid folder) const;
    size_t MessageCount(Nid folder) const;

    // Writes a message into `folder` and returns its id (0 on failure).
    // A message the format cannot hold is refused: 0, and *refused (when
    // given) says why, with kind kTooLarge. Refused are more attachments,
    // tables and large values under one object than kMaxSubnodes, a value
    // past kMaxNodeData bytes, recipients or attachments that need more
    // than 255 table columns or kMaxHeapPages heap pages, embedding nested
    // past kMaxEmbeddingDepth, a named property given no id (the store's
    // named ids are all taken), and a row the folder's contents table has
    // no room for.
    // REQUIRES: `folder` is a folder of this store.
    // Taken by value: a message handed over whole (moved) is not copied.
    Nid AddMessage(Nid folder, MessageContent message, Status* refused = nullptr);
    // Replaces a message written earlier (saving an item twice); a refused
    // one leaves the earlier version.
    // REQUIRES: `message` was added to `folder`.
    bool UpdateMessage(Nid message, Nid folder, MessageContent content, Status* refused = nullptr);

    // The id (0x8000 and up) of a named property: a property set GUID (16
    // bytes, see ParseGuid) with a number or a name; 0 on failure, and for
    // a new name once 32,767 are taken (a message given it is refused).
    // REQUIRES: `guid` is 16 bytes.
    uint16_t NamedPropertyId(std::string_view guid, uint32_t lid);
    uint16_t NamedPropertyId(std::string_view guid, std::string_view name);

    std::string Checkpoint();
    // The first failure, and its message (empty while all is well).
    const Status& failure() const { return ndb_->failure(); }
    const std::string& status() const { return ndb_->status(); }
    NdbWriter* ndb() { return ndb_.get(); }

private:
    struct Folder {
        Nid nid = 0;
        Nid parent = 0;
        bool search = false;
        PropertyList props;  // everything but the counts
        std::string name;
        std::unique_ptr<TableBuilder> hierarchy, contents, assoc;
        uint32_t count = 0, unread = 0;
        bool pcDirty = true, hierarchyDirty = true, contentsDirty = true, assocDirty = true;
        std::vector<Nid> children;
    };

    explicit MessageStore(std::unique_ptr<NdbWriter> ndb) : ndb_(std::move(ndb)) {}
    // Ok, or why the message was refused (nothing of it written).
    Status WriteMessage(Nid nid, Folder& f, MessageContent message, bool replace);
    bool CanName(std::string_view guid);

    // The fixed objects of a new store (StoreTemplates.cpp).
    void BuildNewStore(const std::string& displayName);
    std::string EntryId(Nid nid) const;
    std::string ReplVersionHistory();

    // The message's node at `depth` levels of embedding; `stored` receives
    // those of its properties, as stored, that a contents row lists, and
    // *refused the first limit it is past (MessageNode.cpp).
    NodeContent BuildMessage(MessageContent m, uint32_t* nextIndex, PropertyList* stored, int depth,
                             std::string* refused);
    // 16 bytes no other message of the store has (PidTagSearchKey).
    std::string NewSearchKey();

    // Folders (StoreFolders.cpp).
    Folder& AddFolderObject(Nid nid, Nid parent, const std::string& name, const std::string& cls);
    void AttachTableReaders(Folder& f);
    PropertyList FolderProps(const Folder& f) const;
    // Every changed folder object and table, at a checkpoint.
    void WriteFolders();
    void WriteFolder(Folder& f);
    void WriteTable(Nid nid, TableBuilder& table, Nid templateNid);
    bool LoadFolders(Status* error);
    bool ReadProperties(Nid nid, const char* what, PropertyList* props, Status* error);
    // The folder, or null after failing the store as `call` misused.
    Folder* FolderFor(Nid nid, const char* call);

    std::unique_ptr<NdbWriter> ndb_;
    std::string displayName_;
    std::string recordKey_;  // 16 bytes
    std::map<Nid, Folder> folders_;
    NameMap names_;
    std::mt19937_64 keySource_{std::random_device{}()};
};

}  // namespace mailvane::pst
