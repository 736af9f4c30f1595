#pragma once
// Reads a compound file back through libgsf's reader (not its writer, which
// the message file writer uses): every storage and stream by path.
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

CompoundTree ReadCompound(const std::string& bytes);

}  // namespace mailvane::msg::testing
