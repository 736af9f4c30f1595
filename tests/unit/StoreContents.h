#pragma once
// A store read back through a session of its own, for the run's tests.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "mapi/Folder.h"
#include "mapi/Session.h"
#include "mapi/Store.h"

namespace mailvane::test {

// "display name | Inbox: 2 | Inbox/Work: 1": the store's display name, then
// each of `paths` (folder names joined by "/") found in it, with the
// folder's item count; "open: cause" when the store does not open.
inline std::string StoreContents(const std::filesystem::path& path,
                                 const std::vector<std::string>& paths) {
    mapi::Session session;
    std::string cause;
    mapi::Store* store = session.AddPSTStore(path, "", &cause);
    if (!store) return "open: " + cause;
    std::string contents = store->DisplayName();
    for (const std::string& name : paths) {
        mapi::Folder* folder = &store->IPMRootFolder();
        for (std::size_t at = 0, end = 0; folder && at <= name.size(); at = end + 1) {
            end = std::min(name.find('/', at), name.size());
            folder = folder->Folders().Item(name.substr(at, end - at));
        }
        if (folder) contents += " | " + name + ": " + std::to_string(folder->Items().Count());
    }
    session.RemoveStore(store);
    session.Logoff();
    return contents;
}

}  // namespace mailvane::test
