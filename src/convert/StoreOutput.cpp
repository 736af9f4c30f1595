#include "convert/StoreOutput.h"

#include <sys/stat.h>

#include <system_error>

#include "mapi/Folder.h"
#include "mapi/Session.h"
#include "mapi/Store.h"
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

StoreOutput::OpenResult StoreOutput::Open(const fs::path& path, const std::string& displayName,
                                          unsigned fileMode, std::string& cause) {
    Close();
    path_ = path;
    folders_.clear();
    std::error_code error;
    const auto status = fs::symlink_status(path, error);
    if (fs::is_symlink(status)) {
        cause = DisplayPath(path) + " is a symbolic link; nothing is written through it";
        return OpenResult::NotOurs;
    }
    const bool existed = fs::exists(status);
    session_ = std::make_unique<mapi::Session>();
    if (cause = session_->Logon(); !cause.empty()) {
        session_.reset();
        return OpenResult::Failed;
    }
    store_ = session_->AddPSTStore(path, 1, displayName, &cause);
    if (!store_) {
        // A session made for this store is released with it.
        session_.reset();
        if (cause.empty()) cause = "the store " + DisplayPath(path) + " could not be opened";
        return existed ? OpenResult::NotOurs : OpenResult::Failed;
    }
#ifndef _WIN32
    if (!existed) {
        // A store holds the mailbox's mail: it is no more readable than the
        // mailbox, as any other output file.
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::chmod(path.c_str(), fileMode & ~mask & 0666);
    }
#else
    (void)fileMode;
#endif
    return OpenResult::Opened;
}

mapi::Folder* StoreOutput::AddMailboxFolder(const std::string& name, std::string& chosen,
                                            std::string& cause) {
    if (!store_) {
        cause = "the store is not open";
        return nullptr;
    }
    mapi::Folder& top = store_->IPMRootFolder();
    chosen = name;
    for (int n = 2; top.Folders().Item(chosen) != nullptr; ++n) {
        chosen = name + " (" + std::to_string(n) + ")";
    }
    mapi::Folder* folder = top.Folders().Add(chosen, 6);
    if (!folder) {
        cause = "cannot make the folder \"" + chosen + "\" in the store " + DisplayPath(path_) +
                ": " + store_->status();
        return nullptr;
    }
    folders_.push_back({chosen, 0});
    return folder;
}

std::string StoreOutput::Close() {
    if (!session_) return {};
    std::string cause;
    if (store_) cause = session_->RemoveStore(store_);
    const std::string logoff = session_->Logoff();
    if (cause.empty()) cause = logoff;
    store_ = nullptr;
    session_.reset();
    if (!cause.empty())
        cause = "the store " + DisplayPath(path_) + " could not be finished: " + cause;
    return cause;
}

}  // namespace mailvane
