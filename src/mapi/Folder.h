#pragma once
// A folder of a store, its subfolders and its items.
#include <memory>
#include <string>
#include <vector>

#include "mapi/pst/Format.h"

namespace mailvane::mapi {

class Store;
class Folder;
class MailItem;

class FolderList {
public:
    explicit FolderList(Folder* owner) : owner_(owner) {}
    // A new mail folder inside this one.
    Folder* Add(const std::string& name);
    Folder* Item(const std::string& name) const;
    size_t Count() const;

private:
    Folder* owner_;
};

class ItemList {
public:
    explicit ItemList(Folder* owner) : owner_(owner) {}
    // A new, unsaved mail item of the folder.
    std::unique_ptr<MailItem> Add();
    size_t Count() const;

private:
    Folder* owner_;
};

class Folder {
public:
    Folder(Store* store, pst::Nid nid) : store_(store), nid_(nid), folders_(this), items_(this) {}
    std::string Name() const;
    FolderList& Folders() { return folders_; }
    ItemList& Items() { return items_; }
    Store& store() { return *store_; }
    pst::Nid nid() const { return nid_; }

private:
    Store* store_;
    pst::Nid nid_;
    FolderList folders_;
    ItemList items_;
};

}  // namespace mailvane::mapi
