// The compound-file writer: what it lays down is read back by libgsf's
// reader stream for stream, and its directory keeps the rules a reader may
// rely on (siblings in a red-black search tree, chains that end) at sizes
// around the mini-stream cutoff and past the header's 109 table sectors.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "mapi/format/Coding.h"
#include "mapi/msg/CompoundFile.h"
#include "mapi/msg/CompoundRecords.h"
#include "msg/CompoundReader.h"

namespace mailvane::msg {

using namespace format;
namespace {

std::string Pattern(size_t size, int seed) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + seed * 7) >> 3);
    return s;
}

// The directory as stored, read through the header's tables.
std::vector<DirectoryEntry> Directory(const std::string& file) {
    CompoundHeader header;
    EXPECT_EQ(CompoundHeader::DecodeFrom(file, &header), "");
    auto sector = [&](uint32_t n) {
        return std::string_view(file).substr(kSectorSize * (n + 1), kSectorSize);
    };
    std::vector<uint32_t> fatSectors(
        header.difat.begin(),
        header.difat.begin() + std::min<size_t>(header.fatSectors, kHeaderDifatEntries));
    for (uint32_t d = header.firstDifatSector; d != kEndOfChain;) {
        for (size_t i = 0; i + 1 < kSectorEntries && fatSectors.size() < header.fatSectors; ++i)
            fatSectors.push_back(DecodeFixed32(sector(d).data() + 4 * i));
        d = DecodeFixed32(sector(d).data() + kSectorSize - 4);
    }
    std::vector<uint32_t> fat;
    for (uint32_t s : fatSectors)
        for (size_t i = 0; i < kSectorEntries; ++i)
            fat.push_back(DecodeFixed32(sector(s).data() + 4 * i));
    EXPECT_GE(fat.size(), file.size() / kSectorSize - 1);  // every sector is in the table
    std::vector<DirectoryEntry> entries;
    size_t steps = 0;
    for (uint32_t s = header.firstDirectorySector; s != kEndOfChain; s = fat.at(s)) {
        EXPECT_LT(steps++, fat.size()) << "the directory's chain does not end";
        if (steps > fat.size()) break;
        for (size_t i = 0; i < kSectorSize / kDirectoryEntrySize; ++i) {
            DirectoryEntry e;
            EXPECT_EQ(DirectoryEntry::DecodeFrom(sector(s).substr(i * kDirectoryEntrySize), &e),
                      "");
            entries.push_back(e);
        }
    }
    return entries;
}

// Walks one storage's sibling tree: its names in order, and the number of
// black entries on every path (-1 when paths differ or a red has a red child).
int BlackHeight(const std::vector<DirectoryEntry>& dir, uint32_t at, bool parentRed,
                std::vector<std::u16string>* names) {
    if (at == kNoStream) return 0;
    const DirectoryEntry& e = dir.at(at);
    const bool red = e.color == EntryColor::kRed;
    const int left = BlackHeight(dir, e.left, red, names);
    names->push_back(e.name);
    const int right = BlackHeight(dir, e.right, red, names);
    if (left < 0 || right < 0 || left != right || (red && parentRed)) return -1;
    return left + (red ? 0 : 1);
}

TEST(CompoundFile, EveryStreamReadsBackAndEverySiblingTreeIsARedBlackSearchTree) {
    const std::vector<size_t> sizes = {0, 1, 63, 64, 65, 4095, 4096, 4097, 10000};
    for (size_t siblings : {1u, 2u, 3u, 4u, 6u, 7u, 8u, 100u, 300u}) {
        std::string bytes;
        std::map<std::string, std::string> expected;
        {
            CompoundWriter file(Sink::Memory(&bytes), std::string(16, '\x11'),
                                0x01D0000000000000ULL);
            Storage root = file.Root();
            Storage inner = root.AddStorage("__recip_version1.0_#00000000");
            for (size_t i = 0; i < siblings; ++i) {
                // Names of different lengths and letter cases, added out of order.
                const std::string name =
                    (i % 2 ? "s" : "Stream_") + std::to_string((i * 37) % 1000);
                const std::string data = Pattern(sizes[i % sizes.size()], static_cast<int>(i));
                root.AddStream(name, data);
                expected[name] = data;
            }
            inner.AddStream("__properties_version1.0", Pattern(8, 3));
            expected["__recip_version1.0_#00000000/__properties_version1.0"] = Pattern(8, 3);
            inner.Close();
            root.Close();
            ASSERT_EQ(file.Finish(), "");
        }
        ASSERT_EQ(bytes.size() % kSectorSize, 0u);
        const testing::CompoundTree tree = testing::ReadCompound(bytes);
        ASSERT_TRUE(tree.ok) << siblings;
        EXPECT_EQ(tree.rootClass, std::string(16, '\x11'));
        EXPECT_EQ(tree.streams, expected) << siblings;

        const std::vector<DirectoryEntry> dir = Directory(bytes);
        ASSERT_FALSE(dir.empty());
        std::vector<std::u16string> names;
        EXPECT_GT(BlackHeight(dir, dir[0].child, false, &names), 0) << siblings;
        EXPECT_EQ(names.size(), siblings + 1);
        EXPECT_TRUE(std::is_sorted(names.begin(), names.end(), CompoundNameLess)) << siblings;
    }
}

TEST(CompoundFile, AFileBeyondTheHeadersTableSectorsChainsItsTableThroughDifatSectors) {
    // 109 table sectors cover about 7 MB, each DIFAT sector lists 127 more:
    // 20 MB takes two DIFAT sectors and the link between them.
    const std::string big = Pattern(20u << 20, 5);
    std::string bytes;
    {
        CompoundWriter file(Sink::Memory(&bytes), std::string(16, '\0'), 0);
        Storage root = file.Root();
        root.AddStream("__substg1.0_37010102", big);
        root.AddStream("__properties_version1.0", Pattern(32, 1));
        root.Close();
        ASSERT_EQ(file.Finish(), "");
    }
    CompoundHeader header;
    ASSERT_EQ(CompoundHeader::DecodeFrom(bytes, &header), "");
    EXPECT_EQ(header.difatSectors, 2u);
    const testing::CompoundTree tree = testing::ReadCompound(bytes);
    ASSERT_TRUE(tree.ok);
    EXPECT_TRUE(tree.streams.at("__substg1.0_37010102") == big);
    EXPECT_EQ(tree.streams.at("__properties_version1.0"), Pattern(32, 1));
}

TEST(CompoundFile, NamesAFileCannotHoldFailTheFile) {
    const std::vector<std::vector<std::string>> bad = {
        {std::string(32, 'a')}, {""}, {"a/b"}, {"caf\xC3\xA9"},
        {"Same", "SAME"},  // names differ only in case: the same name
    };
    for (const auto& names : bad) {
        std::string bytes;
        CompoundWriter file(Sink::Memory(&bytes), std::string(16, '\0'), 0);
        {
            Storage root = file.Root();
            for (const std::string& name : names) root.AddStream(name, "x");
        }
        EXPECT_NE(file.Finish(), "") << names.back();
        EXPECT_TRUE(bytes.empty());
    }
}

}  // namespace
}  // namespace mailvane::msg
