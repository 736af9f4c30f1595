#include "mapi/msg/CompoundRecords.h"

#include <algorithm>

#include "mapi/format/Coding.h"

namespace mailvane::msg {

using namespace format;
namespace {

constexpr char kSignature[] = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1";
constexpr uint16_t kMinorVersion = 0x003E;
constexpr uint16_t kMajorVersion = 3;
constexpr uint16_t kByteOrder = 0xFFFE;
constexpr uint16_t kSectorShift = 9;
constexpr uint16_t kMiniSectorShift = 6;
constexpr size_t kNameBytes = 64;

char16_t Capital(char16_t c) {
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

}  // namespace

void CompoundHeader::EncodeTo(std::string* out) const {
    out->append(kSignature, 8);
    out->append(16, '\0');  // class id
    PutFixed16(out, static_cast<uint16_t>(kMinorVersion));
    PutFixed16(out, static_cast<uint16_t>(kMajorVersion));
    PutFixed16(out, static_cast<uint16_t>(kByteOrder));
    PutFixed16(out, static_cast<uint16_t>(kSectorShift));
    PutFixed16(out, static_cast<uint16_t>(kMiniSectorShift));
    out->append(6, '\0');
    PutFixed32(out, 0);  // directory sectors: always 0 in version 3
    PutFixed32(out, fatSectors);
    PutFixed32(out, firstDirectorySector);
    PutFixed32(out, 0);  // transaction signature
    PutFixed32(out, kMiniStreamCutoff);
    PutFixed32(out, firstMiniFatSector);
    PutFixed32(out, miniFatSectors);
    PutFixed32(out, firstDifatSector);
    PutFixed32(out, difatSectors);
    // The 109 entries in one piece: every file has them.
    const size_t at = out->size();
    out->resize(at + 4 * difat.size());
    char* p = out->data() + at;
    for (uint32_t sector : difat)
        for (int i = 0; i < 4; ++i) *p++ = static_cast<char>(sector >> (8 * i));
}

std::string CompoundHeader::DecodeFrom(std::string_view in, CompoundHeader* header) {
    if (in.size() < kSectorSize) return "shorter than a header sector";
    if (in.substr(0, 8) != std::string_view(kSignature, 8)) return "no compound file signature";
    // Read in the order EncodeTo writes.
    const char* p = in.data() + 8 + 16;
    const auto take16 = [&p] { return DecodeFixed16((p += 2) - 2); };
    const auto take32 = [&p] { return DecodeFixed32((p += 4) - 4); };
    take16();  // minor version: any
    if (take16() != kMajorVersion) return "not a version 3 file";
    if (take16() != kByteOrder) return "unknown byte order";
    if (take16() != kSectorShift || take16() != kMiniSectorShift)
        return "sectors other than 512 and 64 bytes";
    p += 6;
    take32();  // directory sectors
    header->fatSectors = take32();
    header->firstDirectorySector = take32();
    take32();  // transaction signature
    if (take32() != kMiniStreamCutoff) return "a mini stream cutoff other than 4096";
    header->firstMiniFatSector = take32();
    header->miniFatSectors = take32();
    header->firstDifatSector = take32();
    header->difatSectors = take32();
    for (uint32_t& sector : header->difat) sector = take32();
    return {};
}

void DirectoryEntry::EncodeTo(std::string* out) const {
    // Filled in place: a message file has dozens of entries.
    char e[kDirectoryEntrySize] = {};
    const auto put = [&e](size_t at, uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) e[at + i] = static_cast<char>(v >> (8 * i));
    };
    const size_t units = std::min(name.size(), kMaxNameLength);
    for (size_t i = 0; i < units; ++i) put(2 * i, name[i], 2);
    // The length counts the terminator; an empty entry has none.
    put(64, type == EntryType::kEmpty ? 0 : 2 * (units + 1), 2);
    e[66] = static_cast<char>(type);
    e[67] = static_cast<char>(color);
    put(68, left, 4);
    put(72, right, 4);
    put(76, child, 4);
    std::copy(clsid.begin(), clsid.end(), e + 80);
    // 96: state bits, zero
    put(100, created, 8);
    put(108, modified, 8);
    put(116, startSector, 4);
    put(120, size, 8);
    out->append(e, sizeof e);
}

std::string DirectoryEntry::DecodeFrom(std::string_view in, DirectoryEntry* entry) {
    if (in.size() < kDirectoryEntrySize) return "directory entry cut short";
    const size_t nameBytes = DecodeFixed16(in.data() + 64);
    if (nameBytes > kNameBytes || nameBytes % 2 != 0)
        return "directory entry name of " + std::to_string(nameBytes) + " bytes";
    entry->name.clear();
    for (size_t at = 0; at + 2 < nameBytes; at += 2)
        entry->name.push_back(static_cast<char16_t>(DecodeFixed16(in.data() + at)));
    entry->type = static_cast<EntryType>(in[66]);
    entry->color = static_cast<EntryColor>(in[67]);
    entry->left = DecodeFixed32(in.data() + 68);
    entry->right = DecodeFixed32(in.data() + 72);
    entry->child = DecodeFixed32(in.data() + 76);
    std::copy_n(in.begin() + 80, 16, entry->clsid.begin());
    entry->created = DecodeFixed64(in.data() + 100);
    entry->modified = DecodeFixed64(in.data() + 108);
    entry->startSector = DecodeFixed32(in.data() + 116);
    entry->size = DecodeFixed64(in.data() + 120);
    return {};
}

bool CompoundNameLess(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return a.size() < b.size();
    // Names in one storage mostly share a long prefix ("__substg1.0_"):
    // equal characters are passed without folding their case.
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] == b[i]) continue;
        const char16_t x = Capital(a[i]), y = Capital(b[i]);
        if (x != y) return x < y;
    }
    return false;
}

}  // namespace mailvane::msg
