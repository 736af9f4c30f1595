#include "mapi/Store.h"

#include <system_error>
#include <utility>

#include "mapi/Folder.h"

namespace mailvane::mapi {

std::unique_ptr<Store> Store::Attach(const std::filesystem::path& path,
                                     const std::string& displayName, unsigned fileMode,
                                     pst::Status* error) {
    std::unique_ptr<Store> store(new Store());
    store->path_ = path;
    pst::Status cause;
    // The kind stays what the store layer said: the run decides on it.
    const auto fail = [&](const char* doing) {
        *error = pst::Status(cause.kind(), doing + path.string() + ": " + cause.message());
        return nullptr;
    };
    std::error_code ec;
    // Whatever is at the path, a dangling link too, is reopened or refused;
    // only a free path gets a new file.
    if (std::filesystem::symlink_status(path, ec).type() != std::filesystem::file_type::not_found) {
        auto sink = pst::FileSink::Open(path, &cause);
        if (sink) {
            store->backing_ = pst::MessageStore::Open(sink.get(), &cause);
            store->sink_ = std::move(sink);
        }
        if (!store->backing_) return fail("Cannot add to the store ");
        return store;
    }
    auto sink = pst::FileSink::Create(path, fileMode, &cause);
    if (!sink) return fail("Cannot create the store ");
    pst::FileSink* file = sink.get();
    store->sink_ = std::move(sink);
    store->backing_ = pst::MessageStore::Create(store->sink_.get(), displayName);
    if (cause = store->backing_->failure(); !cause.ok()) return fail("Cannot create the store ");
    // Only a store that opens takes its name: the empty store is complete
    // and synced by now.
    if (std::string published = file->Publish(); !published.empty()) {
        cause = pst::Status(pst::Status::Kind::kMedium, published);
        return fail("Cannot create the store ");
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
    ++unsavedItems_;
    if (unsavedItems_ >= checkpointItems_ ||
        std::chrono::steady_clock::now() - lastCheckpoint_ >= checkpointInterval_)
        return Checkpoint();
    return {};
}

std::string Store::Checkpoint() {
    std::string err = backing_->Checkpoint();
    if (err.empty()) ++checkpointsWritten_;
    unsavedItems_ = 0;
    lastCheckpoint_ = std::chrono::steady_clock::now();
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
