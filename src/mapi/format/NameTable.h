#pragma once
// The named properties of a store or a message file ([MS-PST] 2.4.7,
// [MS-OXMSG] 2.2.3.1): each name, a property set with a number or a string,
// gets an id from 0x8000 in the order of first use, and keeps it. Both
// formats write the same three streams (property sets, entries, strings)
// and key their hash records alike; where the records go differs, and is
// the caller's.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace mailvane::format {

// "{00062008-0000-0000-C000-000000000046}" as the 16 bytes stored (the
// first three fields little-endian). Empty when malformed.
std::string ParseGuid(std::string_view text);

class NameTable {
public:
    static constexpr uint16_t kFirstId = 0x8000;
    // Named ids run from 0x8000 to 0xFFFE.
    static constexpr size_t kMaxNames = 0x7FFF;

    struct Entry {
        uint16_t guidIndex = 0;  // 1 PS_MAPI, 2 PS_PUBLIC_STRINGS, 3 + index of a set
        bool byName = false;
        uint32_t lid = 0;  // the number, or the name's offset in the string stream
        std::string name;  // UTF-16LE, when byName
        // What both formats' hash records are keyed by: the number, or the
        // CRC-32 of the name.
        uint32_t HashKey() const;
        // wGuid and the name bit, as the entry and hash records hold them.
        uint16_t Kind() const { return static_cast<uint16_t>((guidIndex << 1) | (byName ? 1 : 0)); }
    };

    // The id of a named property, given on first use; 0 when `guid` is not
    // 16 bytes, or for a new name once the table is full(). Names in
    // PS_INTERNET_HEADERS are header names, kept in lower case so that any
    // spelling finds the same property. `name` is UTF-8.
    uint16_t IdFor(std::string_view guid, uint32_t lid);
    uint16_t IdFor(std::string_view guid, std::string_view name);
    // The name a property of set `guid` is known by: a header name in
    // lower case, any other as given.
    static std::string KeptName(std::string_view guid, std::string_view name);
    bool full() const { return entries_.size() >= kMaxNames; }
    size_t size() const { return entries_.size(); }
    const std::vector<Entry>& entries() const { return entries_; }
    // The 16 bytes of an entry's property set.
    std::string PropertySet(const Entry& entry) const;

    struct Streams {
        std::string guids, entries, strings;  // each name padded to 4 bytes
    };
    Streams Encode() const;
    // The hash record of entry `index`: its key, its kind and its index;
    // and which of `buckets` holds it (the key mixed with the kind).
    std::string HashRecord(size_t index) const;
    uint32_t HashBucket(size_t index, uint32_t buckets) const {
        return (entries_[index].HashKey() ^ entries_[index].Kind()) % buckets;
    }
    // Takes a table back from its three streams: the empty string, or why
    // they hold none.
    std::string Decode(std::string_view guids, std::string_view entries, std::string_view strings);

private:
    uint16_t GuidIndex(std::string_view guid);
    bool HasGuid(std::string_view guid) const;
    uint16_t Add(Entry entry);
    static std::string KeyOf(const Entry& entry);

    std::vector<std::string> guids_;
    std::string strings_;
    std::vector<Entry> entries_;
    std::map<std::string, uint16_t> ids_;  // by set, kind and number or name
};

}  // namespace mailvane::format
