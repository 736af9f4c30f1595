#pragma once
// A store read back through a session of its own, for the run's tests.
#include <filesystem>
#include <initializer_list>
#include <string>

#include "mapi/Folder.h"
#include "mapi/Session.h"
#include "mapi/Store.h"

namespace mailvane::test {

// "display name | Inbox: 2 | Inbox (2): 1": the store's display name, then
// each of `names` found among its top folders with the folder's item count.
// "open: cause" when the store does not open.
inline std::string StoreContents(const std::filesystem::path& path,
                                 std::initializer_list<const char*> names) {
    mapi::Session session;
    std::string cause;
    mapi::Store* store = session.AddPSTStore(path, "", &cause);
    if (!store) return "open: " + cause;
    std::string contents = store->DisplayName();
    mapi::FolderList& top = store->IPMRootFolder().Folders();
    for (const char* name : names) {
        if (mapi::Folder* folder = top.Item(name)) {
            contents += std::string(" | ") + name + ": " + std::to_string(folder->Items().Count());
        }
    }
    session.RemoveStore(store);
    session.Logoff();
    return contents;
}

}  // namespace mailvane::test
