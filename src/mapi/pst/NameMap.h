#pragma once
// The store's name-to-id map ([MS-PST] 2.4.7): the named properties of the
// whole store (format::NameTable) as the properties of one node, the three
// streams and the hash buckets.
#include <cstdint>
#include <string>
#include <string_view>

#include "mapi/format/NameTable.h"
#include "mapi/pst/Property.h"

namespace mailvane::pst {

using format::ParseGuid;

class NameMap {
public:
    static constexpr uint32_t kBuckets = 251;
    static constexpr size_t kMaxNames = format::NameTable::kMaxNames;

    // The id of a named property, assigned on first use; 0 for a name not
    // given before once the map is full() (see format::NameTable).
    uint16_t IdFor(std::string_view guid, uint32_t lid) { return table_.IdFor(guid, lid); }
    uint16_t IdFor(std::string_view guid, std::string_view nameUtf8) {
        return table_.IdFor(guid, nameUtf8);
    }
    bool full() const { return table_.full(); }

    // The properties of the map's node: bucket count, the three streams and
    // the hash buckets.
    PropertyList Properties() const;
    // Takes the map back from those properties (reopening a store): the
    // empty string, or why they hold no name map.
    std::string Load(const PropertyList& props);

    size_t size() const { return table_.size(); }
    // Names were given since the map was last written (names are only
    // ever added).
    bool dirty() const { return table_.size() != written_; }
    void ClearDirty() { written_ = table_.size(); }

private:
    format::NameTable table_;
    size_t written_ = 0;  // names the map held when last written
};

}  // namespace mailvane::pst
