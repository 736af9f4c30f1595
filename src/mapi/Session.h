#pragma once
// A session: the stores attached to it and the folder paths that reach into
// them ("\\Display name\Folder\Subfolder").
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "mapi/Store.h"

namespace mailvane::mapi {

class Session {
public:
    ~Session() { Logoff(); }

    // Creates the store file at `path`, or opens one this program made and
    // adds to it; every store is Unicode. A new file
    // gets the permission bits `fileMode` (0666 when not given) less the
    // umask. A symbolic link at `path` is refused, never written through;
    // so is any file this program did not make, which is left as it was.
    // Null on failure, with the cause (naming the file, and of the kinds
    // Store::Attach gives) in *error.
    Store* AddPSTStore(const std::filesystem::path& path, const std::string& displayName,
                       unsigned fileMode, pst::Status* error);
    Store* AddPSTStore(const std::filesystem::path& path, const std::string& displayName,
                       unsigned fileMode, std::string* error) {
        pst::Status status;
        Store* store = AddPSTStore(path, displayName, fileMode, &status);
        *error = status.message();
        return store;
    }
    Store* AddPSTStore(const std::filesystem::path& path, const std::string& displayName,
                       std::string* error) {
        return AddPSTStore(path, displayName, 0666, error);
    }
    std::vector<Store*> Stores() const;
    // Detaches a store after completing its file.
    std::string RemoveStore(Store* store);

    // "\\" + display name + "\" + folder names below the top of the store.
    Folder* GetFolderFromPath(const std::string& path);

    // Completes and detaches every store still attached.
    std::string Logoff();

private:
    std::vector<std::unique_ptr<Store>> stores_;
};

}  // namespace mailvane::mapi
