#include "mapi/pst/NameMap.h"

#include <algorithm>

#include "mapi/PropTags.h"
#include "mapi/format/Coding.h"
#include "mapi/format/Crc.h"
#include "mapi/format/Text.h"

namespace mailvane::pst {

using namespace format;
namespace {

// Tags by their documented names.
using namespace mailvane::mapi;

constexpr uint16_t kFirstBucket = 0x1000;
constexpr uint16_t kFirstNamedId = 0x8000;
constexpr size_t kGuidSize = 16;
constexpr size_t kEntrySize = 8;
// wGuid: 1 and 2 stand for the two sets below, from 3 on the GUID stream.
constexpr uint16_t kGuidRefPsMapi = 1, kGuidRefPublicStrings = 2, kFirstOwnGuidRef = 3;

// The two property sets with a reference of their own.
const std::string kPsMapi = ParseGuid("{00020328-0000-0000-C000-000000000046}");
const std::string kPsPublicStrings = ParseGuid("{00020329-0000-0000-C000-000000000046}");

int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string ParseGuid(std::string_view text) {
    if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
    if (text.size() != 36) return {};
    std::string digits;
    for (size_t i = 0; i < text.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') return {};
            continue;
        }
        digits.push_back(text[i]);
    }
    std::string bytes;
    for (size_t i = 0; i < 32; i += 2) {
        int hi = Hex(digits[i]), lo = Hex(digits[i + 1]);
        if (hi < 0 || lo < 0) return {};
        bytes.push_back(static_cast<char>(hi * 16 + lo));
    }
    // Data1, Data2 and Data3 are stored little-endian.
    std::swap(bytes[0], bytes[3]);
    std::swap(bytes[1], bytes[2]);
    std::swap(bytes[4], bytes[5]);
    std::swap(bytes[6], bytes[7]);
    return bytes;
}

uint16_t NameMap::GuidRef(std::string_view guid) {
    if (guid == kPsMapi) return kGuidRefPsMapi;
    if (guid == kPsPublicStrings) return kGuidRefPublicStrings;
    for (size_t i = 0; i < guids_.size(); ++i)
        if (guids_[i] == guid) return static_cast<uint16_t>(kFirstOwnGuidRef + i);
    guids_.emplace_back(guid);
    dirty_ = true;
    return static_cast<uint16_t>(kFirstOwnGuidRef + guids_.size() - 1);
}

bool NameMap::HasGuid(std::string_view guid) const {
    return guid == kPsMapi || guid == kPsPublicStrings ||
           std::find(guids_.begin(), guids_.end(), guid) != guids_.end();
}

uint16_t NameMap::Add(Entry e) {
    auto key = std::make_tuple(e.guid_ref, e.is_name, e.is_name ? 0u : e.lid, e.name);
    auto it = index_.find(key);
    if (it != index_.end()) return it->second;
    if (full()) return 0;
    if (e.is_name) {
        e.lid = static_cast<uint32_t>(strings_.size());
        PutFixed32(&strings_, static_cast<uint32_t>(e.name.size()));
        strings_ += e.name;
        strings_.resize((strings_.size() + 3) / 4 * 4, '\0');
    }
    auto id = static_cast<uint16_t>(kFirstNamedId + entries_.size());
    entries_.push_back(std::move(e));
    index_[key] = id;
    dirty_ = true;
    return id;
}

uint16_t NameMap::IdFor(std::string_view guid, uint32_t lid) {
    // A full map takes no new set either: no entry would name it.
    if (full() && !HasGuid(guid)) return 0;
    return Add(Entry{GuidRef(guid), false, lid, {}});
}

uint16_t NameMap::IdFor(std::string_view guid, std::string_view name_utf8) {
    if (full() && !HasGuid(guid)) return 0;
    return Add(Entry{GuidRef(guid), true, 0, Utf16FromUtf8(name_utf8)});
}

PropertyList NameMap::Properties() const {
    std::string guids, entries;
    for (const auto& g : guids_) guids += g;
    std::map<uint16_t, std::string> buckets;
    for (size_t i = 0; i < entries_.size(); ++i) {
        const Entry& e = entries_[i];
        uint16_t kind = static_cast<uint16_t>((e.guid_ref << 1) | (e.is_name ? 1 : 0));
        PutFixed32(&entries, e.lid);
        PutFixed16(&entries, kind);
        PutFixed16(&entries, static_cast<uint16_t>(i));
        // In a bucket a name is known by its checksum, not its offset.
        uint32_t key = e.is_name ? Crc32(e.name) : e.lid;
        std::string& bucket =
            buckets[static_cast<uint16_t>(kFirstBucket + (key ^ kind) % kBuckets)];
        PutFixed32(&bucket, key);
        PutFixed16(&bucket, kind);
        PutFixed16(&bucket, static_cast<uint16_t>(i));
    }
    PropertyList props;
    std::string count;
    PutFixed32(&count, kBuckets);
    props.push_back({PidTagNameidBucketCount, count});
    props.push_back({PidTagNameidStreamGuid, guids});
    props.push_back({PidTagNameidStreamEntry, entries});
    props.push_back({PidTagNameidStreamString, strings_});
    for (auto& [id, bytes] : buckets) props.push_back({MakeTag(id, kPtBinary), bytes});
    return props;
}

std::string NameMap::Load(const PropertyList& props) {
    const std::string* guids = nullptr;
    const std::string* entries = nullptr;
    const std::string* strings = nullptr;
    for (const auto& p : props) {
        if (p.tag == PidTagNameidStreamGuid) guids = &p.value;
        if (p.tag == PidTagNameidStreamEntry) entries = &p.value;
        if (p.tag == PidTagNameidStreamString) strings = &p.value;
    }
    if (!guids || !entries || !strings) return "name map without its streams";
    if (guids->size() % kGuidSize || entries->size() % kEntrySize)
        return "name map streams of odd sizes";
    if (entries->size() / kEntrySize > kMaxNames) return "name map of too many names";
    guids_.clear();
    entries_.clear();
    index_.clear();
    for (size_t at = 0; at < guids->size(); at += kGuidSize)
        guids_.push_back(guids->substr(at, kGuidSize));
    strings_ = *strings;
    for (size_t at = 0; at < entries->size(); at += kEntrySize) {
        Entry e;
        e.lid = DecodeFixed32(entries->data() + at);
        uint16_t kind = DecodeFixed16(entries->data() + at + 4);
        e.is_name = kind & 1;
        e.guid_ref = static_cast<uint16_t>(kind >> 1);
        const std::string what = "name map entry " + std::to_string(at / kEntrySize);
        if (e.guid_ref < kGuidRefPsMapi || e.guid_ref >= kFirstOwnGuidRef + guids_.size())
            return what + ": unknown property set";
        if (e.is_name) {
            size_t from = e.lid;
            if (from + 4 > strings_.size()) return what + ": name past the string stream";
            size_t len = DecodeFixed32(strings_.data() + from);
            if (len > strings_.size() - from - 4) return what + ": name past the string stream";
            e.name = strings_.substr(from + 4, len);
        }
        auto key = std::make_tuple(e.guid_ref, e.is_name, e.is_name ? 0u : e.lid, e.name);
        index_[key] = static_cast<uint16_t>(kFirstNamedId + entries_.size());
        entries_.push_back(std::move(e));
    }
    dirty_ = false;
    return {};
}

}  // namespace mailvane::pst
