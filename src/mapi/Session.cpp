#include "mapi/Session.h"

#include "mapi/Folder.h"

namespace mailvane::mapi {

Store* Session::AddPSTStore(const std::filesystem::path& path, const std::string& displayName,
                            unsigned fileMode, pst::Status* error) {
    // Two writers on one file would ruin it.
    std::error_code ec;
    for (const auto& s : stores_) {
        if (!s->removed() && std::filesystem::equivalent(s->path(), path, ec)) {
            *error = pst::Status(pst::Status::Kind::kMisuse,
                                 "The store " + path.string() + " is attached already");
            return nullptr;
        }
    }
    auto store = Store::Attach(path, displayName, fileMode, error);
    if (!store) return nullptr;
    stores_.push_back(std::move(store));
    return stores_.back().get();
}

std::vector<Store*> Session::Stores() const {
    std::vector<Store*> out;
    for (const auto& s : stores_)
        if (!s->removed()) out.push_back(s.get());
    return out;
}

std::string Session::RemoveStore(Store* store) {
    for (auto it = stores_.begin(); it != stores_.end(); ++it)
        if (it->get() == store) {
            std::string err = store->Remove();
            stores_.erase(it);
            return err;
        }
    return "store is not attached to this session";
}

Folder* Session::GetFolderFromPath(const std::string& path) {
    if (path.rfind("\\\\", 0) != 0) return nullptr;
    std::vector<std::string> parts;
    size_t at = 2;
    while (at <= path.size()) {
        size_t end = path.find('\\', at);
        if (end == std::string::npos) end = path.size();
        parts.push_back(path.substr(at, end - at));
        at = end + 1;
    }
    if (parts.empty()) return nullptr;
    for (const auto& s : stores_) {
        if (s->removed() || s->DisplayName() != parts[0]) continue;
        Folder* folder = &s->IPMRootFolder();
        for (size_t i = 1; folder && i < parts.size(); ++i) {
            if (parts[i].empty()) continue;
            folder = folder->Folders().Item(parts[i]);
        }
        if (folder) return folder;
    }
    return nullptr;
}

std::string Session::Logoff() {
    std::string first;
    for (auto& s : stores_) {
        std::string err = s->Remove();
        if (first.empty()) first = err;
    }
    stores_.clear();
    return first;
}

}  // namespace mailvane::mapi
