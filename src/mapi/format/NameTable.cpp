#include "mapi/format/NameTable.h"

#include <algorithm>

#include "mapi/format/Coding.h"
#include "mapi/format/Crc.h"
#include "mapi/format/Text.h"

namespace mailvane::format {
namespace {

constexpr size_t kGuidSize = 16;
constexpr size_t kEntrySize = 8;
// wGuid: 1 and 2 stand for the two sets below, from 3 on the GUID stream.
constexpr uint16_t kGuidPsMapi = 1, kGuidPublicStrings = 2, kFirstOwnGuid = 3;

const std::string kPsMapi = ParseGuid("{00020328-0000-0000-C000-000000000046}");
const std::string kPsPublicStrings = ParseGuid("{00020329-0000-0000-C000-000000000046}");
const std::string kPsInternetHeaders = ParseGuid("{00020386-0000-0000-C000-000000000046}");

int HexDigit(char c) {
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
        int hi = HexDigit(digits[i]), lo = HexDigit(digits[i + 1]);
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

// What tells names apart: the set and kind, and the number or the name.
std::string NameTable::KeyOf(const Entry& entry) {
    std::string key;
    PutFixed16(&key, entry.Kind());
    if (entry.byName)
        key += entry.name;
    else
        PutFixed32(&key, entry.lid);
    return key;
}

uint32_t NameTable::Entry::HashKey() const {
    return byName ? Crc32(name) : lid;
}

uint16_t NameTable::GuidIndex(std::string_view guid) {
    if (guid == kPsMapi) return kGuidPsMapi;
    if (guid == kPsPublicStrings) return kGuidPublicStrings;
    for (size_t i = 0; i < guids_.size(); ++i)
        if (guids_[i] == guid) return static_cast<uint16_t>(kFirstOwnGuid + i);
    guids_.emplace_back(guid);
    return static_cast<uint16_t>(kFirstOwnGuid + guids_.size() - 1);
}

bool NameTable::HasGuid(std::string_view guid) const {
    return guid == kPsMapi || guid == kPsPublicStrings ||
           std::find(guids_.begin(), guids_.end(), guid) != guids_.end();
}

std::string NameTable::PropertySet(const Entry& entry) const {
    if (entry.guidIndex == kGuidPsMapi) return kPsMapi;
    if (entry.guidIndex == kGuidPublicStrings) return kPsPublicStrings;
    return guids_.at(entry.guidIndex - kFirstOwnGuid);
}

uint16_t NameTable::Add(Entry entry) {
    std::string key = KeyOf(entry);
    if (auto it = ids_.find(key); it != ids_.end()) return it->second;
    if (full()) return 0;
    if (entry.byName) {
        entry.lid = static_cast<uint32_t>(strings_.size());
        PutFixed32(&strings_, static_cast<uint32_t>(entry.name.size()));
        strings_ += entry.name;
        strings_.resize((strings_.size() + 3) / 4 * 4, '\0');
    }
    const auto id = static_cast<uint16_t>(kFirstId + entries_.size());
    entries_.push_back(std::move(entry));
    ids_.emplace(std::move(key), id);
    return id;
}

uint16_t NameTable::IdFor(std::string_view guid, uint32_t lid) {
    // A full table takes no new set either: no entry would name it.
    if (guid.size() != kGuidSize || (full() && !HasGuid(guid))) return 0;
    Entry entry;
    entry.guidIndex = GuidIndex(guid);
    entry.lid = lid;
    return Add(std::move(entry));
}

uint16_t NameTable::IdFor(std::string_view guid, std::string_view name) {
    if (guid.size() != kGuidSize || (full() && !HasGuid(guid))) return 0;
    Entry entry;
    entry.guidIndex = GuidIndex(guid);
    entry.byName = true;
    entry.name = Utf16FromUtf8(KeptName(guid, name));
    return Add(std::move(entry));
}

std::string NameTable::KeptName(std::string_view guid, std::string_view name) {
    std::string kept(name);
    if (guid == kPsInternetHeaders)
        for (char& c : kept)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return kept;
}

NameTable::Streams NameTable::Encode() const {
    Streams out;
    for (const auto& g : guids_) out.guids += g;
    for (size_t i = 0; i < entries_.size(); ++i) {
        PutFixed32(&out.entries, entries_[i].lid);
        PutFixed16(&out.entries, entries_[i].Kind());
        PutFixed16(&out.entries, static_cast<uint16_t>(i));
    }
    out.strings = strings_;
    return out;
}

std::string NameTable::HashRecord(size_t index) const {
    std::string record;
    PutFixed32(&record, entries_[index].HashKey());
    PutFixed16(&record, entries_[index].Kind());
    PutFixed16(&record, static_cast<uint16_t>(index));
    return record;
}

std::string NameTable::Decode(std::string_view guids, std::string_view entries,
                              std::string_view strings) {
    if (guids.size() % kGuidSize || entries.size() % kEntrySize)
        return "name map streams of odd sizes";
    if (entries.size() / kEntrySize > kMaxNames) return "name map of too many names";
    NameTable table;
    for (size_t at = 0; at < guids.size(); at += kGuidSize)
        table.guids_.emplace_back(guids.substr(at, kGuidSize));
    table.strings_ = strings;
    for (size_t at = 0; at < entries.size(); at += kEntrySize) {
        Entry e;
        e.lid = DecodeFixed32(entries.data() + at);
        const uint16_t kind = DecodeFixed16(entries.data() + at + 4);
        e.byName = kind & 1;
        e.guidIndex = static_cast<uint16_t>(kind >> 1);
        const std::string what = "name map entry " + std::to_string(at / kEntrySize);
        if (DecodeFixed16(entries.data() + at + 6) != at / kEntrySize)
            return what + ": out of order";
        if (e.guidIndex < kGuidPsMapi || e.guidIndex >= kFirstOwnGuid + table.guids_.size())
            return what + ": unknown property set";
        if (e.byName) {
            const size_t from = e.lid;
            if (from > strings.size() || strings.size() - from < 4)
                return what + ": name past the string stream";
            const size_t length = DecodeFixed32(strings.data() + from);
            if (length > strings.size() - from - 4) return what + ": name past the string stream";
            e.name = std::string(strings.substr(from + 4, length));
        }
        table.ids_.emplace(KeyOf(e), static_cast<uint16_t>(kFirstId + table.entries_.size()));
        table.entries_.push_back(std::move(e));
    }
    *this = std::move(table);
    return {};
}

}  // namespace mailvane::format
