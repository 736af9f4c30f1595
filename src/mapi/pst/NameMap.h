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
    uint16_t IdFor(std::string_view guid, uint32_t lid) { return Changed(table_.IdFor(guid, lid)); }
    uint16_t IdFor(std::string_view guid, std::string_view name_utf8) {
        return Changed(table_.IdFor(guid, name_utf8));
    }
    bool full() const { return table_.full(); }

    // The properties of the map's node: bucket count, the three streams and
    // the hash buckets.
    PropertyList Properties() const;
    // Takes the map back from those properties (reopening a store): the
    // empty string, or why they hold no name map.
    std::string Load(const PropertyList& props);

    size_t size() const { return table_.size(); }
    bool dirty() const { return dirty_; }
    void ClearDirty() { dirty_ = false; }

private:
    // A name given for the first time is to be written.
    uint16_t Changed(uint16_t id) {
        if (table_.size() != written_) {
            dirty_ = true;
            written_ = table_.size();
        }
        return id;
    }

    format::NameTable table_;
    size_t written_ = 0;  // names when last marked dirty
    bool dirty_ = false;
};

}  // namespace mailvane::pst
