#pragma once
// The named-property mapping storage ([MS-OXMSG] 2.2.3): the ids a message
// file gives the named properties of the message, its recipients,
// attachments and embedded messages, and the streams that map ids to names
// and names back to ids.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mailvane::msg {

class NameIdMap {
public:
    static constexpr uint16_t kFirstId = 0x8000;

    // The id of a named property; the same name always gets the same id.
    // 0 when `propertySet` is not 16 bytes or every id is taken.
    // `name` is UTF-8.
    uint16_t IdFor(std::string_view propertySet, uint32_t lid);
    uint16_t IdFor(std::string_view propertySet, std::string_view name);
    size_t size() const { return entries_.size(); }

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
    // The names in id order from the three id-to-name streams; false when an
    // index or offset points outside them.
    static bool Decode(std::string_view guids, std::string_view entries, std::string_view strings,
                       std::vector<Name>* names);

private:
    struct Entry {
        uint16_t guidIndex;  // 1 PS_MAPI, 2 PS_PUBLIC_STRINGS, 3 + index
        bool byName;
        uint32_t lid;
        std::string name;  // UTF-16LE
        uint32_t hashKey;  // the number, or the CRC of the name
    };
    uint16_t Add(std::string key, Entry entry);
    uint16_t GuidIndex(std::string_view propertySet);

    std::vector<std::string> guids_;
    std::vector<Entry> entries_;
    std::map<std::string, uint16_t> ids_;
};

}  // namespace mailvane::msg
