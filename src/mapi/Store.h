#pragma once
// One store file attached to a session. Items saved into it reach the file
// at checkpoints: every 500 items, every 5 seconds of saving, and at
// Remove(), which completes the file and detaches it.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "mapi/pst/MessageStore.h"
#include "mapi/pst/Sink.h"

namespace mailvane::mapi {

class Folder;

class Store {
public:
    // Creates the file (exclusively, with the permission bits `fileMode`
    // less the umask) or reopens one this program made; never through a
    // symbolic link. Returns null with the cause, naming the file, in *error;
    // a file it refuses is left as it was. The cause's kind tells a file
    // that is no store of ours (kNotOurs) from a damaged store of ours
    // (kDamaged) and a medium that failed (kMedium).
    static std::unique_ptr<Store> Attach(const std::filesystem::path& path,
                                         const std::string& displayName, unsigned fileMode,
                                         pst::Status* error);
    ~Store();

    Folder& IPMRootFolder() { return FolderFor(backing_->ipmSubtree()); }
    std::string DisplayName() const { return backing_->displayName(); }
    const std::filesystem::path& path() const { return path_; }
    // Finishes the file; the store is unusable afterwards.
    std::string Remove();
    bool removed() const { return removed_; }
    std::string status() const;

    // For folders and items.
    pst::MessageStore& backing() { return *backing_; }
    Folder& FolderFor(pst::Nid nid);
    // The empty string, or the cause: a message past a limit of the format
    // is refused alone (nothing of it written, *nid unchanged) and later
    // items save as before; any other cause has stopped the store.
    std::string SaveItem(Folder& folder, pst::MessageContent content, pst::Nid* nid);
    std::string Checkpoint();
    // Checkpoints that reached the file: an item saved before the latest of
    // them is in the file whatever happens next.
    std::uint64_t checkpointsWritten() const { return checkpointsWritten_; }

    // How often saving checkpoints by itself (at most 500 items and 5 s by
    // default); tests that control checkpoints themselves raise both.
    void SetCheckpointPolicy(int items, std::chrono::milliseconds interval) {
        checkpointItems_ = items;
        checkpointInterval_ = interval;
    }

private:
    Store() = default;
    std::filesystem::path path_;
    std::unique_ptr<pst::Sink> sink_;
    std::unique_ptr<pst::MessageStore> backing_;
    std::map<pst::Nid, std::unique_ptr<Folder>> folders_;
    int unsavedItems_ = 0;
    int checkpointItems_ = 500;
    std::chrono::milliseconds checkpointInterval_{5000};
    std::chrono::steady_clock::time_point lastCheckpoint_ = std::chrono::steady_clock::now();
    std::uint64_t checkpointsWritten_ = 0;
    bool removed_ = false;
};

}  // namespace mailvane::mapi
