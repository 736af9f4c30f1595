#pragma once
// The records of a compound file ([MS-CFB], version 3): the 512-byte header
// and the 128-byte directory entry, each with its encoder and decoder.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace mailvane::msg {

// Sector numbers with a meaning of their own.
constexpr uint32_t kMaxRegularSector = 0xFFFFFFFA;
constexpr uint32_t kDifatSector = 0xFFFFFFFC;
constexpr uint32_t kFatSector = 0xFFFFFFFD;
constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kFreeSector = 0xFFFFFFFF;
constexpr uint32_t kNoStream = 0xFFFFFFFF;

constexpr size_t kSectorSize = 512;
constexpr size_t kMiniSectorSize = 64;
// Streams shorter than this live in the mini stream.
constexpr size_t kMiniStreamCutoff = 4096;
constexpr size_t kDirectoryEntrySize = 128;
constexpr size_t kSectorEntries = kSectorSize / 4;  // FAT, mini FAT, DIFAT
constexpr size_t kHeaderDifatEntries = 109;
// A directory entry's name, in UTF-16 code units, without its terminator.
constexpr size_t kMaxNameLength = 31;

struct CompoundHeader {
    uint32_t fatSectors = 0;
    uint32_t firstDirectorySector = kEndOfChain;
    uint32_t firstMiniFatSector = kEndOfChain;
    uint32_t miniFatSectors = 0;
    uint32_t firstDifatSector = kEndOfChain;
    uint32_t difatSectors = 0;
    std::array<uint32_t, kHeaderDifatEntries> difat;

    CompoundHeader() { difat.fill(kFreeSector); }
    void EncodeTo(std::string* out) const;
    // The empty string, or why `in` does not start with a version 3 header
    // of 512-byte sectors.
    static std::string DecodeFrom(std::string_view in, CompoundHeader* header);
};

enum class EntryType : uint8_t { kEmpty = 0, kStorage = 1, kStream = 2, kRoot = 5 };
enum class EntryColor : uint8_t { kRed = 0, kBlack = 1 };

struct DirectoryEntry {
    std::u16string name;
    EntryType type = EntryType::kEmpty;
    EntryColor color = EntryColor::kBlack;
    uint32_t left = kNoStream;
    uint32_t right = kNoStream;
    uint32_t child = kNoStream;
    std::array<uint8_t, 16> clsid{};
    uint64_t created = 0;   // FILETIME
    uint64_t modified = 0;  // FILETIME
    uint32_t startSector = kEndOfChain;
    uint64_t size = 0;

    void EncodeTo(std::string* out) const;
    // The empty string, or why `in` does not hold 128 bytes with a name of
    // at most 31 units.
    static std::string DecodeFrom(std::string_view in, DirectoryEntry* entry);
};

// The order of names among siblings: shorter first, then by code unit with
// ASCII letters compared as capitals (the only letters our names use).
bool CompoundNameLess(std::u16string_view a, std::u16string_view b);

}  // namespace mailvane::msg
