#pragma once
// The name-to-id map ([MS-PST] 2.4.7): named properties (a property set
// GUID with a number or a name) get ids from 0x8000 up, the same id for the
// same name everywhere in the store.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "mapi/pst/Property.h"

namespace mailvane::pst {

// "{00062008-0000-0000-C000-000000000046}" as the 16 bytes stored (the
// first three fields little-endian). Empty when malformed.
std::string ParseGuid(std::string_view text);

class NameMap {
public:
    static constexpr uint32_t kBuckets = 251;
    // Named ids run from 0x8000 to 0xFFFE.
    static constexpr size_t kMaxNames = 0x7FFF;

    // The id of a named property, assigned on first use; 0 for a name not
    // given before once the map is full().
    // REQUIRES: `guid` is 16 bytes (see ParseGuid).
    uint16_t IdFor(std::string_view guid, uint32_t lid);
    uint16_t IdFor(std::string_view guid, std::string_view name_utf8);
    bool full() const { return entries_.size() >= kMaxNames; }

    // The properties of the map's node: bucket count, the three streams and
    // the hash buckets.
    PropertyList Properties() const;
    // Takes the map back from those properties (reopening a store): the
    // empty string, or why they hold no name map.
    std::string Load(const PropertyList& props);

    size_t size() const { return entries_.size(); }
    bool dirty() const { return dirty_; }
    void ClearDirty() { dirty_ = false; }

private:
    struct Entry {
        uint16_t guid_ref;  // wGuid: 1, 2, or 3 + index into guids_
        bool is_name;
        uint32_t lid;      // number, or offset into the string stream
        std::string name;  // UTF-16, when is_name
    };
    uint16_t GuidRef(std::string_view guid);
    bool HasGuid(std::string_view guid) const;
    uint16_t Add(Entry e);

    std::vector<std::string> guids_;
    std::string strings_;
    std::vector<Entry> entries_;
    std::map<std::tuple<uint16_t, bool, uint32_t, std::string>, uint16_t> index_;
    bool dirty_ = false;
};

}  // namespace mailvane::pst
