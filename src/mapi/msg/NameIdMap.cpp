#include "mapi/msg/NameIdMap.h"

#include "mapi/format/Coding.h"
#include "mapi/format/Crc.h"
#include "mapi/format/Text.h"
#include "mapi/msg/PropertyStream.h"

namespace mailvane::msg {

using namespace format;
namespace {

constexpr uint32_t kGuidStreamTag = 0x00020102;
constexpr uint32_t kEntryStreamTag = 0x00030102;
constexpr uint32_t kStringStreamTag = 0x00040102;
constexpr uint16_t kFirstHashStream = 0x1000;
constexpr uint32_t kHashStreamCount = 0x1F;
constexpr uint16_t kFirstStoredGuid = 3;

// Property sets as stored (the first three fields little-endian).
constexpr char kPsMapi[] = "\x28\x03\x02\x00\x00\x00\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x46";
constexpr char kPsPublicStrings[] =
    "\x29\x03\x02\x00\x00\x00\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x46";
constexpr char kPsInternetHeaders[] =
    "\x86\x03\x02\x00\x00\x00\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x46";

std::string_view Guid(const char (&bytes)[17]) {
    return {bytes, 16};
}

uint32_t IndexAndKind(uint16_t propertyIndex, uint16_t guidIndex, bool byName) {
    return (uint32_t{propertyIndex} << 16) | (uint32_t{guidIndex} << 1) | (byName ? 1u : 0u);
}

uint16_t HashStreamId(uint32_t key, uint16_t guidIndex, bool byName) {
    const uint32_t mixed = key ^ ((uint32_t{guidIndex} << 1) | (byName ? 1u : 0u));
    return static_cast<uint16_t>(kFirstHashStream + mixed % kHashStreamCount);
}

}  // namespace

uint16_t NameIdMap::GuidIndex(std::string_view propertySet) {
    if (propertySet == Guid(kPsMapi)) return 1;
    if (propertySet == Guid(kPsPublicStrings)) return 2;
    for (size_t i = 0; i < guids_.size(); ++i)
        if (guids_[i] == propertySet) return static_cast<uint16_t>(kFirstStoredGuid + i);
    guids_.emplace_back(propertySet);
    return static_cast<uint16_t>(kFirstStoredGuid + guids_.size() - 1);
}

uint16_t NameIdMap::Add(std::string key, Entry entry) {
    if (auto it = ids_.find(key); it != ids_.end()) return it->second;
    if (entries_.size() >= 0xFFFF - kFirstId) return 0;
    const auto id = static_cast<uint16_t>(kFirstId + entries_.size());
    entries_.push_back(std::move(entry));
    ids_.emplace(std::move(key), id);
    return id;
}

uint16_t NameIdMap::IdFor(std::string_view propertySet, uint32_t lid) {
    if (propertySet.size() != 16) return 0;
    std::string key = std::string(propertySet) + 'N';
    PutFixed32(&key, lid);
    return Add(std::move(key), Entry{GuidIndex(propertySet), false, lid, {}, lid});
}

uint16_t NameIdMap::IdFor(std::string_view propertySet, std::string_view name) {
    if (propertySet.size() != 16) return 0;
    // Header names are compared without case, and Outlook keeps and hashes
    // them in lower case, so that any spelling finds the same property.
    std::string folded(name);
    if (propertySet == Guid(kPsInternetHeaders))
        for (char& c : folded)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    std::string utf16 = Utf16FromUtf8(folded);
    const uint32_t crc = Crc32(utf16);
    std::string key = std::string(propertySet) + 'S' + utf16;
    return Add(std::move(key), Entry{GuidIndex(propertySet), true, 0, std::move(utf16), crc});
}

std::vector<std::pair<std::string, std::string>> NameIdMap::Streams() const {
    std::string guids, entries, strings;
    std::map<uint16_t, std::string> hashes;
    for (const auto& g : guids_) guids += g;
    for (size_t i = 0; i < entries_.size(); ++i) {
        const Entry& e = entries_[i];
        const uint32_t indexAndKind = IndexAndKind(static_cast<uint16_t>(i), e.guidIndex, e.byName);
        if (e.byName) {
            // Each name starts on a 4-byte boundary.
            strings.append((4 - strings.size() % 4) % 4, '\0');
            PutFixed32(&entries, static_cast<uint32_t>(strings.size()));
            PutFixed32(&strings, static_cast<uint32_t>(e.name.size()));
            strings += e.name;
        } else {
            PutFixed32(&entries, e.lid);
        }
        PutFixed32(&entries, indexAndKind);
        std::string& hash = hashes[HashStreamId(e.hashKey, e.guidIndex, e.byName)];
        PutFixed32(&hash, e.hashKey);
        PutFixed32(&hash, indexAndKind);
    }
    std::vector<std::pair<std::string, std::string>> streams;
    streams.emplace_back(SubstreamName(kGuidStreamTag), std::move(guids));
    streams.emplace_back(SubstreamName(kEntryStreamTag), std::move(entries));
    streams.emplace_back(SubstreamName(kStringStreamTag), std::move(strings));
    for (auto& [id, bytes] : hashes)
        streams.emplace_back(SubstreamName((uint32_t{id} << 16) | 0x0102), std::move(bytes));
    return streams;
}

bool NameIdMap::Decode(std::string_view guids, std::string_view entries, std::string_view strings,
                       std::vector<Name>* names) {
    if (guids.size() % 16 != 0 || entries.size() % 8 != 0) return false;
    for (size_t at = 0; at < entries.size(); at += 8) {
        const uint32_t first = DecodeFixed32(entries.data() + at);
        const uint32_t indexAndKind = DecodeFixed32(entries.data() + at + 4);
        const uint16_t guidIndex = (indexAndKind >> 1) & 0x7FFF;
        Name n;
        n.byName = indexAndKind & 1;
        if ((indexAndKind >> 16) != at / 8) return false;
        if (guidIndex == 1) {
            n.propertySet = Guid(kPsMapi);
        } else if (guidIndex == 2) {
            n.propertySet = Guid(kPsPublicStrings);
        } else {
            const size_t g = size_t{guidIndex} - kFirstStoredGuid;
            if (guidIndex < kFirstStoredGuid || g >= guids.size() / 16) return false;
            n.propertySet = guids.substr(16 * g, 16);
        }
        if (n.byName) {
            if (first > strings.size() || strings.size() - first < 4) return false;
            const uint32_t length = DecodeFixed32(strings.data() + first);
            if (length > strings.size() - first - 4) return false;
            n.name = strings.substr(first + 4, length);
        } else {
            n.lid = first;
        }
        names->push_back(std::move(n));
    }
    return true;
}

}  // namespace mailvane::msg
