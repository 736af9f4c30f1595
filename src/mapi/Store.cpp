#include "mapi/Store.h"

#include <system_error>
#include <utility>

namespace mailvane::mapi {

std::unique_ptr<Store> Store::Attach(const std::filesystem::path& path,
                                     const std::string& display_name, unsigned file_mode,
                                     std::string* error) {
    std::unique_ptr<Store> store(new Store());
    store->path_ = path;
    std::string cause;
    std::error_code ec;
    // Whatever is at the path, a dangling link too, is reopened or refused;
    // only a free path gets a new file.
    if (std::filesystem::symlink_status(path, ec).type() != std::filesystem::file_type::not_found) {
        auto sink = pst::FileSink::Open(path, &cause);
        if (sink) {
            store->backing_ = pst::MessageStore::Open(sink.get(), &cause);
            store->sink_ = std::move(sink);
        }
        if (!store->backing_) {
            *error = "Cannot add to the store " + path.string() + ": " + cause;
            return nullptr;
        }
        return store;
    }
    auto sink = pst::FileSink::Create(path, file_mode, &cause);
    if (!sink) {
        *error = "Cannot create the store " + path.string() + ": " + cause;
        return nullptr;
    }
    pst::FileSink* file = sink.get();
    store->sink_ = std::move(sink);
    store->backing_ = pst::MessageStore::Create(store->sink_.get(), display_name);
    if (!store->backing_->status().empty()) {
        *error = "Cannot create the store " + path.string() + ": " + store->backing_->status();
        return nullptr;
    }
    // Only a store that opens takes its name: the empty store is complete
    // and synced by now.
    if (std::string cause = file->Publish(); !cause.empty()) {
        *error = "Cannot create the store " + path.string() + ": " + cause;
        return nullptr;
    }
    return store;
}

Store::~Store() {
    if (!removed_ && backing_) Remove();
}

std::string Store::status() const {
    if (removed_) return "store was removed";
    return backing_->status();
}

Folder& Store::FolderFor(pst::Nid nid) {
    auto& slot = folders_[nid];
    if (!slot) slot = std::make_unique<Folder>(this, nid);
    return *slot;
}

std::string Store::SaveItem(Folder& folder, pst::MessageContent content, pst::Nid* nid) {
    if (!status().empty()) return status();
    // A message the store cannot hold is refused alone: the store goes on.
    pst::Status refused;
    if (*nid == 0)
        *nid = backing_->AddMessage(folder.nid(), std::move(content), &refused);
    else
        backing_->UpdateMessage(*nid, folder.nid(), std::move(content), &refused);
    if (!backing_->status().empty()) return backing_->status();
    if (!refused.ok()) return refused.message();
    ++unsaved_items_;
    if (unsaved_items_ >= checkpoint_items_ ||
        std::chrono::steady_clock::now() - last_checkpoint_ >= checkpoint_interval_)
        return Checkpoint();
    return {};
}

std::string Store::Checkpoint() {
    std::string err = backing_->Checkpoint();
    if (err.empty()) ++checkpoints_written_;
    unsaved_items_ = 0;
    last_checkpoint_ = std::chrono::steady_clock::now();
    return err;
}

std::string Store::Remove() {
    if (removed_) return {};
    std::string err = Checkpoint();
    removed_ = true;
    folders_.clear();
    backing_.reset();
    sink_.reset();
    return err;
}

}  // namespace mailvane::mapi
