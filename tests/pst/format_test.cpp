// NDB structures: checksums, encoding, header, pages and blocks, each built
// and read back; their bytes on disk are judged by the outside readers.
#include <gtest/gtest.h>

#include <algorithm>

#include "mapi/format/Coding.h"
#include "mapi/format/Crc.h"
#include "mapi/format/Text.h"
#include "mapi/pst/Block.h"
#include "mapi/pst/Header.h"
#include "mapi/pst/Page.h"
#include "mapi/pst/Permute.h"

namespace mailvane::pst {

using namespace format;
namespace {

TEST(Crc, IsTheReflectedCrc32WithoutInversion) {
    // The common CRC-32 check value is this CRC with both inversions added.
    EXPECT_EQ(Crc32("123456789", 0xFFFFFFFF) ^ 0xFFFFFFFF, 0xCBF43926u);
    EXPECT_EQ(Crc32(""), 0u);
    // Feeding in pieces continues the same checksum.
    EXPECT_EQ(Crc32("6789", Crc32("12345")), Crc32("123456789"));
}

// Every block passes through the vectorised forms where the processor has
// them; they must equal the byte-at-a-time forms at every length and
// alignment, tails and starting values included. The bytes take all 256
// values, so decoding giving them back shows the encoding a permutation.
TEST(Crc, FastFormsEqualTheByteAtATimeForms) {
    std::string bytes(4200, '\0');
    uint32_t x = 12345;
    for (char& c : bytes) c = static_cast<char>((x = x * 1103515245 + 12345) >> 16);
    for (size_t offset : {0, 1, 7}) {
        for (size_t n = 0; n + offset <= bytes.size(); n += n < 300 ? 1 : 97) {
            const std::string_view piece(bytes.data() + offset, n);
            for (uint32_t start : {0u, 0xFFFFFFFFu, 0x1234ABCDu})
                ASSERT_EQ(Crc32(piece, start), Crc32Table(piece, start)) << offset << " " << n;
            std::string fast(piece), slow(piece);
            PermuteEncode({reinterpret_cast<uint8_t*>(fast.data()), fast.size()});
            for (char& c : slow) PermuteEncode({reinterpret_cast<uint8_t*>(&c), 1});
            ASSERT_EQ(fast, slow) << offset << " " << n;
            PermuteDecode({reinterpret_cast<uint8_t*>(fast.data()), fast.size()});
            ASSERT_EQ(fast, piece) << offset << " " << n;
        }
    }
}

TEST(Header, RoundTripsAndRejectsDamage) {
    Header h;
    h.bid_next_block = 0x1234;
    h.bid_next_page = 0x88;
    h.file_eof = 0x1'2345'6000ULL;  // past 4 GB
    h.amap_last = 0x1'2340'0000ULL;
    h.nbt = {0x40, 0x1'0000'0200ULL};
    h.bbt = {0x44, 0x1'0000'0400ULL};
    h.next_nid[4] = 0x10020;
    h.encoding = Encoding::kNone;
    std::string bytes = EncodeHeader(h);
    ASSERT_EQ(bytes.size(), kHeaderSize);
    Header back;
    ASSERT_EQ(DecodeHeader(bytes, &back), "");
    EXPECT_EQ(back.file_eof, h.file_eof);
    EXPECT_EQ(back.nbt.ib, h.nbt.ib);
    EXPECT_EQ(back.bbt.bid, h.bbt.bid);
    EXPECT_EQ(back.next_nid[4], 0x10020u);
    EXPECT_EQ(back.encoding, Encoding::kNone);
    EXPECT_EQ(back.writer_mark, Header::kWriterMark);
    EXPECT_EQ(DecodeFixed32(bytes.data() + 20), 0u) << "reserved words stay zero";

    for (size_t at : {size_t{20}, size_t{300}, size_t{520}}) {
        std::string bad = bytes;
        bad[at] ^= 0x40;
        EXPECT_NE(DecodeHeader(bad, &back), "") << "damage at " << at;
    }
    std::string ansi = bytes;
    EncodeFixed16(ansi.data() + 10, 14);
    EXPECT_NE(DecodeHeader(ansi, &back).find("ANSI"), std::string::npos);
    EXPECT_NE(DecodeHeader("MZ not a store at all", &back), "");
}

TEST(Page, TrailerChecksAndBtreePagesRoundTrip) {
    std::vector<BbtEntry> blocks;
    for (uint64_t i = 0; i < kMaxBbtEntries; ++i)
        blocks.push_back({4 + 4 * i, 0x10000 + 64 * i, uint16_t(i), 2});
    std::string page = BuildBbtLeafPage(blocks, 0x40, 0x1'0000'4400ULL);
    ASSERT_EQ(page.size(), kPageSize);
    BtPageView view;
    ASSERT_EQ(DecodeBtPage(page, 0x1'0000'4400ULL, &view), "");
    ASSERT_EQ(view.blocks.size(), blocks.size());
    EXPECT_EQ(view.blocks.back().ib, blocks.back().ib);
    EXPECT_EQ(view.blocks[3].cb, 3);
    // A page read from the wrong place fails its signature.
    EXPECT_NE(DecodeBtPage(page, 0x1'0000'8400ULL, &view), "");
    std::string bad = page;
    bad[10] ^= 1;
    EXPECT_NE(DecodeBtPage(bad, 0x1'0000'4400ULL, &view), "");

    std::vector<NbtEntry> nodes;
    for (uint32_t i = 0; i < kMaxNbtEntries; ++i)
        nodes.push_back({0x21 + 32 * i, 8 + 4 * i, i % 2 ? Bid{0x12} : Bid{0}, 0x122});
    ASSERT_EQ(DecodeBtPage(BuildNbtLeafPage(nodes, 0x44, 0x8000), 0x8000, &view), "");
    ASSERT_EQ(view.nodes.size(), nodes.size());
    EXPECT_EQ(view.nodes[5].nid, nodes[5].nid);
    EXPECT_EQ(view.nodes[5].sub, nodes[5].sub);
    EXPECT_EQ(view.nodes[5].parent, 0x122u);

    std::vector<BtEntry> children = {{0x21, 0x48, 0x8200}, {0x8022, 0x4C, 0x8400}};
    ASSERT_EQ(
        DecodeBtPage(BuildBtIntermediatePage(kPageNbt, 1, children, 0x50, 0x8600), 0x8600, &view),
        "");
    EXPECT_EQ(view.level, 1);
    ASSERT_EQ(view.children.size(), 2u);
    EXPECT_EQ(view.children[1].key, 0x8022u);
    EXPECT_EQ(view.children[1].ib, 0x8400u);

    std::string amap = BuildMapPage(kPageAMap, std::string(kPageBodySize, '\xFF'), 0x4400);
    EXPECT_EQ(CheckPage(amap, kPageAMap, 0x4400), "");
    EXPECT_EQ(DecodeFixed64(amap.data() + 504), 0x4400u) << "a map page's id is its offset";
    EXPECT_NE(CheckPage(amap, kPagePMap, 0x4400), "");

    // The density list: a page id and signature like a B-tree page, 20-bit
    // section numbers and 12-bit slot counts packed in one word, at most as
    // many entries as fit, the rest left out.
    DListView dlist;
    dlist.current_page = 7;
    for (uint32_t i = 0; i < 130; ++i)
        dlist.entries.push_back({0xFFFFF - i, static_cast<uint16_t>(3968 - i)});
    std::string dpage = BuildDListPage(dlist, 0x17F);
    ASSERT_EQ(dpage.size(), kPageSize);
    EXPECT_EQ(static_cast<uint8_t>(dpage[0]), kDListBackfillComplete);
    EXPECT_EQ(static_cast<uint8_t>(dpage[1]), kMaxDListEntries);
    EXPECT_EQ(DecodeFixed32(dpage.data() + 8), 0xFFFFFu | (3968u << 20));
    EXPECT_EQ(DecodeFixed16(dpage.data() + 498), BlockSignature(kDListOffset, 0x17F));
    DListView back;
    ASSERT_EQ(DecodeDListPage(dpage, &back), "");
    EXPECT_EQ(back.current_page, 7u);
    ASSERT_EQ(back.entries.size(), kMaxDListEntries);
    EXPECT_TRUE(std::equal(back.entries.begin(), back.entries.end(), dlist.entries.begin()));
    dpage[20] ^= 1;
    EXPECT_NE(DecodeDListPage(dpage, &back), "") << "a damaged density list must not be used";
}

TEST(Block, SizesTrailersAndInternalBlocks) {
    EXPECT_EQ(BlockFootprint(0), 64u);
    EXPECT_EQ(BlockFootprint(48), 64u);
    EXPECT_EQ(BlockFootprint(49), 128u);
    EXPECT_EQ(BlockFootprint(kMaxBlockData), kMaxBlockSize);

    std::string payload(1000, 'q');
    std::string block = BuildBlock(payload, 0x24, 0x9000);
    ASSERT_EQ(block.size(), BlockFootprint(payload.size()));
    std::string back;
    ASSERT_EQ(DecodeBlock(block, 0x24, 0x9000, &back), "");
    EXPECT_EQ(back, payload);
    EXPECT_NE(DecodeBlock(block, 0x28, 0x9000, &back), "") << "wrong id";
    EXPECT_EQ(BlockSignature(1ULL << 32, 0), 0) << "only the low 32 bits of an offset count";
    block[5] ^= 1;
    EXPECT_NE(DecodeBlock(block, 0x24, 0x9000, &back), "") << "damaged payload";

    InternalBlockView view;
    std::vector<Bid> bids = {4, 8, 12};
    ASSERT_EQ(DecodeInternalBlock(EncodeXBlock(1, bids, 20000), &view), "");
    EXPECT_EQ(view.btype, 1);
    EXPECT_EQ(view.total, 20000u);
    EXPECT_EQ(view.bids, bids);

    std::vector<SlEntry> leaves = {{0x692, 0x10, 0}, {0x671, 0x14, 0x1A}};
    ASSERT_EQ(DecodeInternalBlock(EncodeSlBlock(leaves), &view), "");
    ASSERT_EQ(view.leaves.size(), 2u);
    EXPECT_EQ(view.leaves[1].sub, 0x1Au);
    ASSERT_EQ(DecodeInternalBlock(EncodeSiBlock({{0x25, 0x1E}}), &view), "");
    ASSERT_EQ(view.branches.size(), 1u);
    EXPECT_EQ(view.branches[0].bid, 0x1Eu);
    EXPECT_EQ(EncodeXBlock(1, std::vector<Bid>(kMaxXBlockEntries, 4), 1).size(), kMaxBlockData);
}

TEST(Text, Utf8AndUtf16RoundTrip) {
    std::string text = "Grüße, Привет, 会议, 🎉";
    std::string utf16 = Utf16FromUtf8(text);
    EXPECT_EQ(utf16.size(), 2 * 21u);  // the emoji takes a surrogate pair
    EXPECT_EQ(DecodeFixed16(utf16.data() + 38), 0xD83C);
    EXPECT_EQ(DecodeFixed16(utf16.data() + 40), 0xDF89);
    EXPECT_EQ(Utf8FromUtf16(utf16), text);
    // Broken input turns into replacement characters, not a failure.
    EXPECT_EQ(Utf8FromUtf16(Utf16FromUtf8("a\xFF"
                                          "b\xE2\x82")),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD\xEF\xBF\xBD");
    // ASCII runs are converted sixteen bytes at a time: a character of every
    // length at every place around them comes back whole.
    for (const std::string_view other : {"\xC3\xBC", "\xE4\xBC\x9A", "\xF0\x9F\x8E\x89", "\xFF"}) {
        for (size_t at = 0; at < 40; ++at) {
            std::string mixed;
            for (size_t k = 0; k < 40; ++k) mixed += static_cast<char>('A' + k % 26);
            mixed.insert(at, other);
            const std::string back = Utf8FromUtf16(Utf16FromUtf8(mixed));
            if (other == "\xFF") mixed.replace(at, 1, "\xEF\xBF\xBD");
            ASSERT_EQ(back, mixed) << at;
        }
    }
}

}  // namespace
}  // namespace mailvane::pst
