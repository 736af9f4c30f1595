// The folders of a store: their objects, their hierarchy, contents and
// FAI tables kept in step with the messages, and loading them on reopening.
#include <memory>

#include "mapi/pst/MessageStore.h"
#include "mapi/pst/PropertyContext.h"
#include "mapi/pst/StoreCommon.h"

namespace mailvane::pst {

using namespace format;
using namespace mailvane::mapi;  // tags by their documented names
using namespace store;

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
        p.pcDirty = true;
        p.hierarchyDirty = true;
    }
    return f;
}

void MessageStore::AttachTableReaders(Folder& f) {
    // A folder's tables keep only their newest rows in memory and read the
    // rest back from their last placed node when an older row is needed.
    auto attach = [this](TableBuilder& table, Nid tableNid) {
        table.SetReader([this, tableNid](TableView* view) {
            // A damaged node has failed the writer already; Fail keeps that
            // first cause.
            NodeContent node;
            std::string err = ndb_->ReadNode(tableNid, &node) ? ReadTable(node, view) : "missing";
            if (err.empty()) return true;
            ndb_->Fail(Status::Kind::kDamaged, "folder table " + Hex(tableNid) + ": " + err);
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
    SetProperty(&props, LongProperty(PidTagContentCount, f.count));
    SetProperty(&props, LongProperty(PidTagContentUnreadCount, f.unread));
    SetProperty(&props, Bool(PidTagSubfolders, !f.children.empty()));
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

void MessageStore::WriteTable(Nid nid, TableBuilder& table, Nid templateNid) {
    // An empty table with the template's columns shares the template's
    // blocks, as a new store made by Outlook does.
    const std::vector<uint32_t>* columns = nullptr;
    switch (templateNid) {
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
        ndb_->PutSharedNode(nid, 0, templateNid);
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
    if (f.pcDirty) ndb_->PutNode(f.nid, f.parent, BuildPropertyContext(FolderProps(f), &index));
    if (f.search) {
        if (f.contentsDirty)
            WriteTable(WithType(f.nid, kNidTypeSearchContentsTable), *f.contents,
                       kNidSearchContentsTableTemplate);
    } else {
        if (f.hierarchyDirty)
            WriteTable(WithType(f.nid, kNidTypeHierarchyTable), *f.hierarchy,
                       kNidHierarchyTableTemplate);
        if (f.contentsDirty)
            WriteTable(WithType(f.nid, kNidTypeContentsTable), *f.contents,
                       kNidContentsTableTemplate);
        if (f.assocDirty)
            WriteTable(WithType(f.nid, kNidTypeAssocContentsTable), *f.assoc,
                       kNidAssocContentsTableTemplate);
    }
    f.pcDirty = f.hierarchyDirty = f.contentsDirty = f.assocDirty = false;
}

void MessageStore::WriteFolders() {
    // A folder whose object changed changes its row in its parent's
    // hierarchy table too.
    for (auto& [nid, f] : folders_) {
        if (!f.pcDirty || f.parent == nid) continue;
        // Every folder's parent is there: CreateFolder and reopening see to it.
        Folder& parent = folders_.at(f.parent);
        PropertyList row = FolderProps(f);
        parent.hierarchy->SetRow(nid, row);
        parent.hierarchyDirty = true;
    }
    for (auto& [nid, f] : folders_) WriteFolder(f);
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
    if (const Property* p = FindProperty(props, PidTagRecordKey)) recordKey_ = p->value;
    if (const Property* p = FindProperty(props, PidTagDisplayName))
        displayName_ = Utf8FromUtf16(p->value);
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
        std::string tableError;
        auto load = [&](uint32_t type, const std::vector<uint32_t>& columns) {
            // A table the folder never had (a search folder's hierarchy)
            // starts empty; one that is there has to read back.
            const Nid tableNid = WithType(folderNid, type);
            auto builder = std::make_unique<TableBuilder>(columns);
            if (!ndb_->HasNode(tableNid)) return builder;
            TableView view;
            NodeContent table;
            std::string err =
                ndb_->ReadNode(tableNid, &table) ? ReadTable(table, &view) : ndb_->status();
            if (!err.empty()) {
                if (tableError.empty()) tableError = "folder table " + Hex(tableNid) + ": " + err;
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
        if (!tableError.empty()) {
            *error = Status(Status::Kind::kDamaged, tableError);
            return false;
        }
        AttachTableReaders(f);
        f.pcDirty = f.hierarchyDirty = f.contentsDirty = f.assocDirty = false;
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
