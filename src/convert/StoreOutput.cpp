#include "convert/StoreOutput.h"

#include <system_error>

#include "mapi/Folder.h"
#include "mapi/Session.h"
#include "mapi/Store.h"
#include "support/OutputFile.h"
#include "support/Paths.h"

namespace mailvane {

namespace fs = std::filesystem;

std::string StoreTimeStamp(std::time_t when) {
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &when);
#else
    localtime_r(&when, &local);
#endif
    char text[40];
    std::snprintf(text, sizeof text, "%d.%d.%02d %d.%d.%02d", local.tm_mday, local.tm_mon + 1,
                  local.tm_year % 100, local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

StoreOutput::StoreOutput() = default;

StoreOutput::~StoreOutput() {
    Close();
}

pst::Status StoreOutput::Open(const fs::path& path, const std::string& displayName,
                              unsigned fileMode) {
    Close();
    path_ = path;
    folders_.clear();
    gone_ = false;
    made_.clear();
    taken_.clear();
    // A store with another name too (a backup made with hard links, as
    // "cp -al" and snapshot tools make) would change under that name.
    std::error_code error;
    if (const auto links = fs::hard_link_count(path, error);
        !error && links > 1 && fs::is_regular_file(fs::symlink_status(path, error)))
        return pst::Status(pst::Status::Kind::kNotOurs,
                           "the file " + DisplayPath(path) + " has " + std::to_string(links) +
                               " names (hard links, as a backup made with links has)");
    session_ = std::make_unique<mapi::Session>();
    // A store holds the mailbox's mail: it is no more readable than the
    // mailbox, as any other output file.
    pst::Status cause;
    store_ = session_->AddPSTStore(path, displayName, fileMode, &cause);
    if (!store_) {
        // A session made for this store is released with it.
        session_.reset();
        return cause;
    }
    identity_ = IdentityOf(path);
    return {};
}

mapi::Folder* StoreOutput::AddMailboxFolder(const std::string& name, std::string& chosen,
                                            std::string& cause) {
    if (!store_) {
        cause = "the store is not open";
        return nullptr;
    }
    mapi::Folder* folder = AddSubfolder(store_->IPMRootFolder(), name, chosen, cause);
    if (!folder) return nullptr;
    folders_.push_back({chosen, 0});
    return folder;
}

mapi::Folder* StoreOutput::AddMailboxFolderPath(const std::vector<std::string>& path,
                                                std::string& chosen, std::string& cause) {
    chosen.clear();
    if (!store_ || path.empty()) {
        cause = store_ ? "no folder name" : "the store is not open";
        return nullptr;
    }
    mapi::Folder* parent = &store_->IPMRootFolder();
    std::vector<std::string> asked;
    for (std::size_t i = 0; i < path.size(); ++i) {
        asked.push_back(path[i]);
        const bool own = i + 1 == path.size();
        if (!chosen.empty()) chosen += "/";
        const auto made = made_.find(asked);
        if (made != made_.end() && !(own && taken_.count(asked))) {
            parent = made->second;
            chosen += made->second->Name();
            continue;
        }
        std::string name;
        mapi::Folder* folder = AddSubfolder(*parent, path[i], name, cause);
        if (!folder) return nullptr;
        // The first folder made for a path stays its parent for the paths
        // below it: a second one is only a mailbox given twice.
        made_.emplace(asked, folder);
        parent = folder;
        chosen += name;
    }
    taken_.insert(path);
    folders_.push_back({chosen, 0});
    return parent;
}

mapi::Folder* StoreOutput::AddSubfolder(mapi::Folder& parent, const std::string& name,
                                        std::string& chosen, std::string& cause) {
    chosen = name;
    for (int n = 2; parent.Folders().Item(chosen) != nullptr; ++n)
        chosen = name + " (" + std::to_string(n) + ")";
    mapi::Folder* folder = parent.Folders().Add(chosen);
    if (!folder)
        cause = "cannot make the folder \"" + chosen + "\" in the store " + DisplayPath(path_) +
                ": " + store_->status();
    return folder;
}

std::uint64_t StoreOutput::checkpointsWritten() const {
    return store_ ? store_->checkpointsWritten() : 0;
}

std::string StoreOutput::failure() const {
    return store_ ? store_->status() : std::string();
}

std::string StoreOutput::Close() {
    if (!session_) return {};
    std::string cause;
    // The file may have been removed, renamed or replaced while the run
    // went: then what was written is not under the name the run reports.
    const bool stillThere = !identity_ || IdentityOf(path_) == identity_;
    if (store_) cause = session_->RemoveStore(store_);
    const std::string logoff = session_->Logoff();
    if (cause.empty()) cause = logoff;
    if (cause.empty() && !stillThere) {
        gone_ = true;
        cause = "the file was removed or renamed while it was written";
    }
    store_ = nullptr;
    session_.reset();
    if (!cause.empty())
        cause = "the store " + DisplayPath(path_) + " could not be finished: " + cause;
    return cause;
}

}  // namespace mailvane
