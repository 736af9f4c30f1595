#pragma once
// The store a run writes PST output into: a session with one store attached,
// the folders made in it for mailboxes, and its completion.
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "mapi/pst/Status.h"
#include "support/OutputFile.h"

namespace mailvane {

namespace mapi {
class Folder;
class Session;
class Store;
}  // namespace mapi

// "6.12.26 3.8.05" for 6 December 2026 at 03:08:05 (local time): day and
// month without leading zeros, two-digit year, hour and minutes without
// leading zeros, seconds with two digits.
std::string StoreTimeStamp(std::time_t when);

class StoreOutput {
public:
    StoreOutput();
    ~StoreOutput();  // completes the store if Close() was not called
    StoreOutput(const StoreOutput&) = delete;
    StoreOutput& operator=(const StoreOutput&) = delete;

    // Creates the store at `path` under `displayName`, or reopens a store
    // this program made, to be extended. Otherwise the cause, naming the
    // file, with its kind: kNotOurs for a file that is no store of ours or
    // one with more names than one (left as it was), kDamaged for a store
    // of ours that makes no sense (left as it was), kMedium for a medium
    // that failed. `fileMode` gives the permission bits of a new store file.
    mailvane::pst::Status Open(const std::filesystem::path& path, const std::string& displayName,
                               unsigned fileMode);
    bool isOpen() const { return store_ != nullptr; }
    const std::filesystem::path& path() const { return path_; }

    // A new folder at the top of the store for one mailbox, named `name`, or
    // "name (2)", "name (3)"... when the store has that name already. Null,
    // with the cause, when it cannot be made.
    mapi::Folder* AddMailboxFolder(const std::string& name, std::string& chosen,
                                   std::string& cause);
    // The folder for one mailbox at `path` (folder names from the top of the
    // store down, none empty), its parents included. A folder this call made
    // earlier since Open() is used again, as parent; the mailbox's own one
    // only when no mailbox has it yet, so a mailbox given twice still gets
    // its own. Any other folder is made, with " (2)", " (3)"... when its
    // parent has that name already (from an earlier run, say). `chosen` is
    // the path taken, its names joined by "/".
    mapi::Folder* AddMailboxFolderPath(const std::vector<std::string>& path, std::string& chosen,
                                       std::string& cause);

    // A new folder `name` inside `parent` (a folder of this store), or
    // "name (2)", "name (3)"... when `parent` has that name already. It is
    // not listed in folders(). Null, with the cause, when it cannot be made.
    mapi::Folder* AddSubfolder(mapi::Folder& parent, const std::string& name, std::string& chosen,
                               std::string& cause);

    // Completes the file so every reader opens it, and logs off. Returns the
    // empty string or the cause. A store whose file no longer has its name
    // (removed, renamed or replaced during the run) fails, and gone() says so.
    std::string Close();
    bool gone() const { return gone_; }

    // Checkpoints of the open store that reached the file: what was saved
    // before the latest one is in the file.
    std::uint64_t checkpointsWritten() const;
    // Why the open store can take nothing more (a write that failed), or
    // the empty string.
    std::string failure() const;

    // What the store received in this run, folder by folder.
    struct FolderCount {
        std::string name;
        std::int64_t messages = 0;
    };
    std::vector<FolderCount>& folders() { return folders_; }

private:
    std::unique_ptr<mapi::Session> session_;
    mapi::Store* store_ = nullptr;
    std::filesystem::path path_;
    std::optional<FileIdentity> identity_;  // of the file opened at path_
    bool gone_ = false;
    std::vector<FolderCount> folders_;
    // Folders made by AddMailboxFolderPath, by the path asked for, and the
    // paths a mailbox has taken.
    std::map<std::vector<std::string>, mapi::Folder*> made_;
    std::set<std::vector<std::string>> taken_;
};

}  // namespace mailvane
