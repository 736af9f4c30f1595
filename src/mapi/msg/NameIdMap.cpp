#include "mapi/msg/NameIdMap.h"

#include <algorithm>
#include <map>

#include "mapi/msg/PropertyStream.h"

namespace mailvane::msg {
namespace {

constexpr uint32_t kGuidStreamTag = 0x00020102;
constexpr uint32_t kEntryStreamTag = 0x00030102;
constexpr uint32_t kStringStreamTag = 0x00040102;
constexpr uint16_t kFirstHashStream = 0x1000;
constexpr uint32_t kHashStreamCount = 0x1F;

}  // namespace

std::vector<std::pair<std::string, std::string>> NameIdMap::Streams() const {
    format::NameTable::Streams streams = table_.Encode();
    // A message file pads a name only when another follows it.
    size_t end = 0;
    for (const auto& e : table_.entries())
        if (e.byName) end = std::max<size_t>(end, e.lid + 4 + e.name.size());
    streams.strings.resize(end);
    std::map<uint16_t, std::string> hashes;
    for (size_t i = 0; i < table_.size(); ++i)
        hashes[static_cast<uint16_t>(kFirstHashStream + table_.HashBucket(i, kHashStreamCount))] +=
            table_.HashRecord(i);
    std::vector<std::pair<std::string, std::string>> out;
    out.emplace_back(SubstreamName(kGuidStreamTag), std::move(streams.guids));
    out.emplace_back(SubstreamName(kEntryStreamTag), std::move(streams.entries));
    out.emplace_back(SubstreamName(kStringStreamTag), std::move(streams.strings));
    for (auto& [id, bytes] : hashes)
        out.emplace_back(SubstreamName((uint32_t{id} << 16) | 0x0102), std::move(bytes));
    return out;
}

std::string NameIdMap::Decode(std::string_view guids, std::string_view entries,
                              std::string_view strings, std::vector<Name>* names) {
    format::NameTable table;
    if (std::string cause = table.Decode(guids, entries, strings); !cause.empty()) return cause;
    for (const auto& e : table.entries())
        names->push_back({table.PropertySet(e), e.byName, e.byName ? 0 : e.lid, e.name});
    return {};
}

}  // namespace mailvane::msg
