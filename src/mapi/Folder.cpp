#include "mapi/Folder.h"

#include "mapi/MailItem.h"
#include "mapi/Store.h"
#include "mapi/format/PropTags.h"

namespace mailvane::mapi {

std::string Folder::Name() const {
    return store_->backing().FolderName(nid_);
}

Folder* FolderList::Add(const std::string& name) {
    Store& store = owner_->store();
    if (!store.status().empty()) return nullptr;
    pst::Nid nid = store.backing().CreateFolder(owner_->nid(), name, "IPF.Note");
    // 0: the store failed (its status says why).
    return nid == 0 ? nullptr : &store.FolderFor(nid);
}

Folder* FolderList::Item(const std::string& name) const {
    Store& store = owner_->store();
    auto nid = store.backing().FindFolder(owner_->nid(), name);
    return nid ? &store.FolderFor(*nid) : nullptr;
}

size_t FolderList::Count() const {
    return owner_->store().backing().Subfolders(owner_->nid()).size();
}

std::unique_ptr<MailItem> ItemList::Add() {
    auto item = std::make_unique<MailItem>(owner_);
    item->SetProperty(PidTagMessageClass, std::string("IPM.Note"));
    return item;
}

size_t ItemList::Count() const {
    return owner_->store().backing().MessageCount(owner_->nid());
}

}  // namespace mailvane::mapi
