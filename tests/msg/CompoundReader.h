#pragma once
// Reads a compound file back through libgsf's reader (not its writer, which
// the message file writer uses): every storage and stream by path.
#include <gsf/gsf.h>

#include <map>
#include <set>
#include <string>

namespace mailvane::msg::testing {

struct CompoundTree {
    bool ok = false;
    std::string rootClass;                       // 16 bytes as stored
    std::set<std::string> storages;              // "a/b", the root as ""
    std::map<std::string, std::string> streams;  // path -> bytes
};

inline void ReadStorage(GsfInfile* dir, const std::string& path, CompoundTree* tree) {
    tree->storages.insert(path);
    for (int i = 0; i < gsf_infile_num_children(dir); ++i) {
        GsfInput* child = gsf_infile_child_by_index(dir, i);
        const std::string name = gsf_infile_name_by_index(dir, i);
        const std::string at = path.empty() ? name : path + "/" + name;
        if (GSF_IS_INFILE(child) && gsf_infile_num_children(GSF_INFILE(child)) >= 0) {
            ReadStorage(GSF_INFILE(child), at, tree);
        } else {
            const auto size = static_cast<size_t>(gsf_input_size(child));
            const guint8* data = size ? gsf_input_read(child, size, nullptr) : nullptr;
            tree->streams[at] = data ? std::string(reinterpret_cast<const char*>(data), size) : "";
        }
        g_object_unref(child);
    }
}

inline CompoundTree ReadCompound(const std::string& bytes) {
    CompoundTree tree;
    GsfInput* input = gsf_input_memory_new(reinterpret_cast<const guint8*>(bytes.data()),
                                           static_cast<gsf_off_t>(bytes.size()), FALSE);
    GError* error = nullptr;
    GsfInfile* ole = gsf_infile_msole_new(input, &error);
    g_object_unref(input);
    if (!ole) {
        if (error) g_error_free(error);
        return tree;
    }
    guint8 clsid[16];
    if (gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(ole), clsid))
        tree.rootClass.assign(reinterpret_cast<const char*>(clsid), 16);
    ReadStorage(ole, "", &tree);
    g_object_unref(ole);
    tree.ok = true;
    return tree;
}

}  // namespace mailvane::msg::testing
