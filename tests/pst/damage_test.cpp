// Damaged and crafted stores: every decoder refuses bytes that make no sense
// with a cause, and a store of ours damaged in place (checksums written
// afresh, so only the content is wrong) is refused on reopening, or fails
// with a cause, and is never written to when refused.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <map>

#include "TestSinks.h"
#include "mapi/format/Coding.h"
#include "mapi/format/PropTags.h"
#include "mapi/pst/Block.h"
#include "mapi/pst/Bth.h"
#include "mapi/pst/MessageStore.h"
#include "mapi/pst/NameMap.h"
#include "mapi/pst/NdbWriter.h"
#include "mapi/pst/Page.h"
#include "mapi/pst/Permute.h"
#include "mapi/pst/PropertyContext.h"
#include "mapi/pst/TableContext.h"

namespace mailvane::pst {

using namespace format;
namespace {

// A table node whose TCINFO is `info` (a row index of one row, at position
// 0, and a row matrix of `matrix` in the heap).
NodeContent TableWithInfo(const std::function<std::string(Hid row_index, Hid rows)>& info,
                          const std::string& matrix) {
    HeapBuilder heap(kHeapTableContext);
    Hid header = ReserveBthHeader(&heap);
    Hid info_hid = heap.Allocate(std::string(info(0, 0).size(), '\0'));
    Hid rows = heap.Allocate(matrix);
    std::string record;
    PutFixed32(&record, 0x24);
    PutFixed32(&record, 0);
    Hid index = BuildBth(&heap, header, 4, 4, {record});
    heap.Overwrite(info_hid, info(index, rows));
    heap.SetUserRoot(info_hid);
    return NodeContent{heap.Finish()};
}

// TCINFO bytes: row size `row`, 1-byte cells from `ceb`, then the columns
// (tag, offset, size, bit).
std::string Info(Hid index, Hid rows, uint16_t ceb, uint16_t row,
                 const std::vector<std::tuple<uint32_t, uint16_t, uint8_t, uint8_t>>& columns) {
    std::string b;
    PutFixed8(&b, kHeapTableContext);
    PutFixed8(&b, static_cast<uint8_t>(columns.size()));
    for (uint16_t end : {uint16_t{8}, ceb, ceb, row}) PutFixed16(&b, end);
    PutFixed32(&b, index);
    PutFixed32(&b, rows);
    PutFixed32(&b, 0);
    for (const auto& [tag, offset, size, bit] : columns) {
        PutFixed32(&b, tag);
        PutFixed16(&b, offset);
        PutFixed8(&b, size);
        PutFixed8(&b, bit);
    }
    return b;
}

using Column = std::tuple<uint32_t, uint16_t, uint8_t, uint8_t>;
const Column kRowId{mapi::PidTagLtpRowId, 0, 4, 0};
const Column kRowVer{mapi::PidTagLtpRowVer, 4, 4, 1};

// A heap whose user root is a BTH header with these sizes, levels and root.
std::string BthHeap(uint8_t cb_key, uint8_t cb_data, uint8_t levels, bool root_is_itself) {
    HeapBuilder heap(kHeapPropertyContext);
    Hid header = ReserveBthHeader(&heap);
    Hid node = heap.Allocate(std::string(16, '\x20'));
    std::string h;
    PutFixed8(&h, kHeapBth);
    PutFixed8(&h, cb_key);
    PutFixed8(&h, cb_data);
    PutFixed8(&h, levels);
    PutFixed32(&h, root_is_itself ? header : node);
    heap.Overwrite(header, h);
    heap.SetUserRoot(header);
    return heap.Finish();
}

// Each fixture is a structure that once crashed a decoder, hung it or went
// unnoticed; each must be refused.
TEST(Decoders, CraftedStructuresAreRefused) {
    struct Case {
        const char* name;
        std::function<std::string()> decode;  // the decoder's cause
    };
    auto table = [](uint16_t ceb, uint16_t row, std::vector<Column> columns) {
        return [=] {
            NodeContent node = TableWithInfo(
                [&](Hid i, Hid r) { return Info(i, r, ceb, row, columns); }, std::string(64, 'x'));
            TableView view;
            return ReadTable(node, &view);
        };
    };
    auto bth = [](uint8_t key, uint8_t data, uint8_t levels, bool loop) {
        return [=] {
            uint8_t k = 0, d = 0;
            std::vector<std::string> records;
            return ReadBth(BthHeap(key, data, levels, loop), 0x20, &k, &d, &records);
        };
    };
    const Case cases[] = {
        {"row larger than a block", table(8, 8300, {kRowId, kRowVer})},
        {"cell past the row", table(9, 10, {kRowId, kRowVer, {0x0E070003, 900, 4, 2}})},
        {"existence bits past the row", table(200, 10, {kRowId, kRowVer})},
        {"reference cell of one byte", table(9, 10, {kRowId, kRowVer, {0x0037001F, 8, 1, 2}})},
        {"existence bit past the bitmap", table(8, 9, {kRowId, {mapi::PidTagLtpRowVer, 4, 4, 40}})},
        {"table without row id column", table(8, 9, {kRowVer})},
        {"BTH records of no size", bth(0, 0, 0, false)},
        {"BTH key of three bytes", bth(3, 4, 0, false)},
        {"BTH index pointing at itself", bth(2, 6, 200, true)},
        {"name map string past its stream",
         [] {
             NameMap map;
             std::string entry;
             PutFixed32(&entry, 0xFFFFFFFE);
             PutFixed16(&entry, (3 << 1) | 1);
             PutFixed16(&entry, 0);
             return map.Load({{mapi::PidTagNameidStreamGuid, std::string(16, 'g')},
                              {mapi::PidTagNameidStreamEntry, entry},
                              {mapi::PidTagNameidStreamString, std::string(8, '\0')}});
         }},
        {"name map of an unknown property set",
         [] {
             NameMap map;
             std::string entry;
             PutFixed32(&entry, 0x8554);
             PutFixed16(&entry, 9 << 1);
             PutFixed16(&entry, 0);
             return map.Load({{mapi::PidTagNameidStreamGuid, std::string(16, 'g')},
                              {mapi::PidTagNameidStreamEntry, entry},
                              {mapi::PidTagNameidStreamString, ""}});
         }},
        {"B-tree entries of two bytes",
         [] {
             std::string body(kPageBodySize, '\x11');
             body[kBtEntriesArea] = static_cast<char>(244);  // count
             body[kBtEntriesArea + 2] = 2;                   // entry size
             body[kBtEntriesArea + 3] = 0;                   // leaf
             BtPageView view;
             return DecodeBtPage(BuildPage(kPageNbt, body, 4, 0x4600), 0x4600, &view);
         }},
        {"data tree block of level 7",
         [] {
             InternalBlockView view;
             return DecodeInternalBlock(EncodeXBlock(7, {4}, 10), &view);
         }},
    };
    for (const Case& c : cases) EXPECT_NE(c.decode(), "") << c.name;
}

// The store `pst_write_sample small` writes: one folder of ten messages.
// Ten messages, with bodies of `body` bytes.
std::string SmallStore(Nid* inbox, size_t body = 0) {
    MemorySink sink;
    auto store = MessageStore::Create(&sink, "Small");
    *inbox = store->CreateFolder(store->ipmSubtree(), "Inbox");
    for (int n = 0; n < 10; ++n) {
        MessageContent m;
        m.props = {{mapi::PidTagSubject, std::string("S\0u\0b\0", 6) + char('0' + n) + '\0'},
                   {mapi::PidTagMessageClass, std::string("I\0P\0M\0", 6)}};
        if (body) m.props.push_back({mapi::PidTagBody, std::string(body, 'a')});
        m.recipients = {{{mapi::PidTagDisplayName, std::string("P\0", 2)}}};
        store->AddMessage(*inbox, m);
    }
    EXPECT_EQ(store->Checkpoint(), "");
    return sink.Contents();
}

// Finds a key in a B-tree of the file by walking its pages.
template <typename Leaf>
bool FindInTree(const std::string& file, uint64_t root_ib, uint64_t key, Leaf* out) {
    std::string_view page = std::string_view(file).substr(root_ib, kPageSize);
    BtPageView view;
    if (!DecodeBtPage(page, root_ib, &view).empty()) return false;
    for (size_t i = 0; i < view.children.size(); ++i)
        if (i + 1 == view.children.size() || view.children[i + 1].key > key)
            return FindInTree(file, view.children[i].ib, key, out);
    if constexpr (std::is_same_v<Leaf, NbtEntry>) {
        for (const auto& e : view.nodes)
            if (e.nid == key) return (*out = e), true;
    } else {
        for (const auto& e : view.blocks)
            if (e.bid == key) return (*out = e), true;
    }
    return false;
}

// The first data block of node `nid` in the store file: where it is and its
// payload, decoded.
bool NodeBlock(const std::string& file, Nid nid, BbtEntry* block, std::string* payload) {
    Header h;
    NbtEntry node;
    if (!DecodeHeader(file, &h).empty() || !FindInTree(file, h.nbt.ib, nid, &node) ||
        IsInternalBid(node.data) || !FindInTree(file, h.bbt.ib, node.data, block))
        return false;
    std::string_view raw = std::string_view(file).substr(block->ib, BlockFootprint(block->cb));
    if (!DecodeBlock(raw, block->bid, block->ib, payload).empty()) return false;
    PermuteDecode({reinterpret_cast<uint8_t*>(payload->data()), payload->size()});
    return true;
}

// Changes one byte of a heap, in the first allocations (the heap, BTH and
// table headers), writes the block's checksum afresh and reopens: the store
// is refused with a cause and left as it was, or it opens, its header
// covering the whole file, and takes a new folder and message, succeeding
// or failing with a cause; never a crash.
TEST(DamagedStore, ChangedHeapBytesAreRefusedOrCarriedNeverACrash) {
    Nid inbox = 0;
    const std::string pristine = SmallStore(&inbox);
    const Nid nodes[] = {kNidMessageStore,
                         kNidNameToIdMap,
                         inbox,
                         WithType(inbox, kNidTypeContentsTable),
                         WithType(inbox, kNidTypeHierarchyTable),
                         WithType(kNidIpmSubtree, kNidTypeHierarchyTable)};
    int refused = 0, opened = 0;
    for (Nid nid : nodes) {
        BbtEntry block;
        std::string payload;
        ASSERT_TRUE(NodeBlock(pristine, nid, &block, &payload)) << std::hex << nid;
        // The heap header, BTH header and TCINFO fields byte by byte, the
        // column descriptions a few bytes apart; flips of the low bit, the
        // high bit or all bits in turn.
        const size_t span = std::min<size_t>(payload.size(), 12 + 8 + 22 + 8 * 28);
        for (size_t at = 0; at < span; at += at < 42 ? 1 : 3) {
            const uint8_t flip = std::array<uint8_t, 3>{0xFF, 0x01, 0x80}[at % 3];
            SCOPED_TRACE(testing::Message() << "node " << std::hex << nid << " byte " << std::dec
                                            << at << " ^ " << int(flip));
            std::string damaged = payload;
            damaged[at] = static_cast<char>(damaged[at] ^ flip);
            PermuteEncode({reinterpret_cast<uint8_t*>(damaged.data()), damaged.size()});
            MemorySink sink;
            sink.WriteAt(0, pristine);
            sink.WriteAt(block.ib, BuildBlock(damaged, block.bid, block.ib));
            // What a writer killed growing the file leaves past its end:
            // covered by a header only once the store is taken.
            sink.WriteAt(pristine.size(), std::string(100, 't'));
            const std::string before = sink.Contents();
            Status error;
            auto store = MessageStore::Open(&sink, &error);
            if (!store) {
                ++refused;
                EXPECT_EQ(error.kind(), Status::Kind::kDamaged) << error.message();
                EXPECT_NE(error.message().find("0x"), std::string::npos)
                    << "names no object: " << error.message();
                EXPECT_TRUE(sink.Contents() == before) << "a refused store was written to";
                continue;
            }
            ++opened;
            Header h;
            EXPECT_EQ(DecodeHeader(sink.Contents(), &h), "");
            EXPECT_EQ(h.file_eof, sink.Size()) << "the tail is not covered";
            Nid folder = store->CreateFolder(store->ipmSubtree(), "More");
            MessageContent m;
            m.props = {{mapi::PidTagSubject, std::string("x\0", 2)}};
            store->AddMessage(folder, m);
            store->AddMessage(inbox, m);
            std::string err = store->Checkpoint();
            EXPECT_EQ(err, store->status());
            if (!err.empty()) {
                EXPECT_EQ(store->failure().kind(), Status::Kind::kDamaged) << err;
            }
        }
    }
    EXPECT_GT(refused, 0);
    EXPECT_GT(opened, 0) << "some bytes (names, counts) are not checked by anything";
}

// The data of every message node of a store file.
std::map<Nid, std::string> Messages(const std::string& file) {
    MemorySink sink;
    sink.WriteAt(0, file);
    Status error;
    auto ndb = NdbWriter::Open(&sink, &error);
    std::map<Nid, std::string> out;
    if (!ndb) return out;
    std::vector<Nid> nids;
    ndb->ForEachNode([&](Nid nid, Nid) {
        if (NidTypeOf(nid) == kNidTypeNormalMessage) nids.push_back(nid);
    });
    for (Nid nid : nids) {
        NodeContent node;
        if (ndb->ReadNode(nid, &node)) out[nid] = node.data;
    }
    return out;
}

// Maps or a block tree changed where every checksum still holds (a bad
// sector, another program): maps that disagree with the trees are rebuilt
// from them, and a tree that reaches past the file's end or over something
// else is refused. Either way nothing in the store is written over: after
// more messages are added, every old one reads as before.
// A store of ours on a medium that fails its reads is refused as the
// medium's failure, not as a damaged store, and left as it was.
TEST(DamagedStore, AReadThatFailsIsTheMediumsFailure) {
    MemorySink made;
    ASSERT_EQ(MessageStore::Create(&made, "S")->Checkpoint(), "");
    struct Unreadable : MemorySink {
        std::string ReadAt(uint64_t offset, size_t length, std::string* out) override {
            if (offset >= kHeaderSize) return "Input/output error";
            return MemorySink::ReadAt(offset, length, out);
        }
    } sink;
    sink.WriteAt(0, made.Contents());
    Status error;
    EXPECT_FALSE(MessageStore::Open(&sink, &error));
    EXPECT_EQ(error.kind(), Status::Kind::kMedium) << error.message();
    EXPECT_NE(error.message().find("Input/output error"), std::string::npos);
    EXPECT_EQ(sink.Contents(), made.Contents());
}

TEST(DamagedStore, MapsAndBlockTreeThatDisagreeAreNeverWrittenOver) {
    Nid inbox = 0;
    // Past the first map's section, so that its map is not the last one,
    // which is always written anew.
    const std::string pristine = SmallStore(&inbox, 30000);
    ASSERT_GT(pristine.size(), kFirstAMapOffset + kAMapCoverage);
    Header h;
    ASSERT_EQ(DecodeHeader(pristine, &h), "");
    const std::map<Nid, std::string> before = Messages(pristine);
    ASSERT_EQ(before.size(), 10u);
    const size_t reserved = SectionReserved(0) / kBlockAlign / 8;  // bytes of map slots
    auto amap = [](std::function<void(std::string*)> change) {
        return [=](std::string* file) {
            std::string bits = file->substr(kFirstAMapOffset, kPageBodySize);
            change(&bits);
            file->replace(kFirstAMapOffset, kPageSize,
                          BuildMapPage(kPageAMap, bits, kFirstAMapOffset));
        };
    };
    auto first_leaf = [&](std::function<void(std::vector<BbtEntry>*)> change) {
        return [=](std::string* file) {
            BlockRef at = h.bbt;
            BtPageView view;
            while (DecodeBtPage(file->substr(at.ib, kPageSize), at.ib, &view).empty() &&
                   view.level > 0)
                at = {view.children.front().bid, view.children.front().ib};
            ASSERT_EQ(view.level, 0);
            ASSERT_GE(view.blocks.size(), 2u);
            change(&view.blocks);
            file->replace(at.ib, kPageSize, BuildBbtLeafPage(view.blocks, at.bid, at.ib));
        };
    };
    struct Case {
        const char* name;
        std::function<void(std::string*)> damage;
        const char* refused;  // words of the cause; null when the store opens
    };
    const Case cases[] = {
        {"live blocks marked free", amap([&](std::string* bits) {
             bits->replace(reserved, bits->npos, bits->size() - reserved, '\0');
         }),
         nullptr},
        {"allocation map unreadable",
         [](std::string* file) { file->replace(kFirstAMapOffset, kPageSize, kPageSize, '\0'); },
         nullptr},
        {"block past the end of the file",
         first_leaf([&](std::vector<BbtEntry>* blocks) { blocks->front().ib = h.file_eof; }),
         "past the end of the file"},
        {"block over another",
         first_leaf([](std::vector<BbtEntry>* blocks) { (*blocks)[1].ib = (*blocks)[0].ib; }),
         "met before"},
        {"block over the allocation map",
         first_leaf([](std::vector<BbtEntry>* blocks) { blocks->front().ib = kFirstAMapOffset; }),
         "over a map page"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string damaged = pristine;
        c.damage(&damaged);
        MemorySink sink;
        sink.WriteAt(0, damaged);
        Status error;
        auto store = MessageStore::Open(&sink, &error);
        if (c.refused) {
            ASSERT_FALSE(store);
            EXPECT_EQ(error.kind(), Status::Kind::kDamaged);
            EXPECT_NE(error.message().find(c.refused), std::string::npos) << error.message();
            EXPECT_TRUE(sink.Contents() == damaged) << "a refused store was written to";
            continue;
        }
        ASSERT_TRUE(store) << error.message();
        for (int n = 0; n < 10; ++n) {
            MessageContent m;
            m.props = {{mapi::PidTagSubject, std::string("n\0e\0w\0", 6)},
                       {mapi::PidTagBody, std::string(3000 + 500 * n, 'b')}};
            EXPECT_NE(store->AddMessage(inbox, m), 0u);
        }
        ASSERT_EQ(store->Checkpoint(), "");
        store.reset();
        std::map<Nid, std::string> after = Messages(sink.Contents());
        EXPECT_EQ(after.size(), 20u);
        for (const auto& [nid, props] : before)
            EXPECT_TRUE(after[nid] == props) << "message " << Hex(nid) << " was written over";
        // The map on disk is mended too: another program trusting it would
        // write over what it called free.
        const std::string file = sink.Contents();
        Header now;
        ASSERT_EQ(DecodeHeader(file, &now), "");
        std::function<void(uint64_t)> walk = [&](uint64_t ib) {
            BtPageView view;
            ASSERT_EQ(DecodeBtPage(file.substr(ib, kPageSize), ib, &view), "");
            for (const auto& child : view.children) walk(child.ib);
            for (const BbtEntry& block : view.blocks) {
                if (block.ib >= SectionStart(1)) continue;
                const uint64_t unit = (block.ib - kFirstAMapOffset) / kBlockAlign;
                EXPECT_TRUE(file[kFirstAMapOffset + unit / 8] & (0x80 >> (unit % 8)))
                    << "the map calls block " << Hex(block.bid) << " free";
            }
        };
        walk(now.bbt.ib);
    }
}

}  // namespace
}  // namespace mailvane::pst
