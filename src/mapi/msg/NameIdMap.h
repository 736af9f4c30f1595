#pragma once
// The named-property mapping storage ([MS-OXMSG] 2.2.3): the ids a message
// file gives the named properties of the message, its recipients,
// attachments and embedded messages (format::NameTable), and the streams
// that map ids to names and names back to ids.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mapi/format/NameTable.h"

namespace mailvane::msg {

class NameIdMap {
public:
    static constexpr uint16_t kFirstId = format::NameTable::kFirstId;

    // The id of a named property; the same name always gets the same id.
    // 0 when `propertySet` is not 16 bytes or every id is taken.
    // `name` is UTF-8.
    uint16_t IdFor(std::string_view propertySet, uint32_t lid) {
        return table_.IdFor(propertySet, lid);
    }
    uint16_t IdFor(std::string_view propertySet, std::string_view name) {
        return table_.IdFor(propertySet, name);
    }
    size_t size() const { return table_.size(); }

    // The storage's streams by name: the GUID, entry and string streams
    // (present even when empty), then every name-to-id stream with entries.
    std::vector<std::pair<std::string, std::string>> Streams() const;

    // One name as the streams give it back.
    struct Name {
        std::string propertySet;  // 16 bytes
        bool byName = false;
        uint32_t lid = 0;
        std::string name;  // UTF-16LE
    };
    // The names in id order from the three id-to-name streams: the empty
    // string, or why they hold none (an index or offset outside them).
    static std::string Decode(std::string_view guids, std::string_view entries,
                              std::string_view strings, std::vector<Name>* names);

private:
    format::NameTable table_;
};

}  // namespace mailvane::msg
