// Heaps, BTrees on heaps, property and table contexts: built, then read back
// through the test-side readers and compared with what went in, with sizes
// chosen around the heap (3,580) and block (8,176) limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "TestSinks.h"
#include "TestSupport.h"
#include "mapi/format/Coding.h"
#include "mapi/format/PropTags.h"
#include "mapi/pst/Bth.h"
#include "mapi/pst/Heap.h"
#include "mapi/pst/NameMap.h"
#include "mapi/pst/NdbWriter.h"
#include "mapi/pst/PropertyContext.h"
#include "mapi/pst/TableContext.h"

namespace mailvane::pst {

using namespace format;
namespace {

TEST(Heap, ManyPagesKeepEveryAllocation) {
    std::mt19937 rng(1);
    HeapBuilder heap(kHeapPropertyContext);
    std::vector<std::pair<Hid, std::string>> items;
    // Enough for well over eight pages, so a bitmap page header occurs.
    for (int i = 0; i < 400; ++i) {
        size_t size = (i % 10 == 0) ? kMaxHeapAllocation : rng() % 1500;
        std::string item = test::RandomBytes(rng, size);
        items.emplace_back(heap.Allocate(item), item);
    }
    heap.SetUserRoot(items[7].first);
    std::string data = heap.Finish();
    EXPECT_GT(data.size(), 9 * kMaxBlockData) << "test needs more than nine pages";
    uint8_t client = 0;
    Hid root = 0;
    ASSERT_EQ(HeapHeader(data, &client, &root), "");
    EXPECT_EQ(client, kHeapPropertyContext);
    EXPECT_EQ(root, items[7].first);
    for (const auto& [hid, bytes] : items) {
        std::string got;
        ASSERT_EQ(HeapLookup(data, hid, &got), "") << std::hex << hid;
        EXPECT_EQ(got, bytes);
        EXPECT_LT(hid >> 16, data.size() / kMaxBlockData + 1);
    }
}

TEST(Bth, SortedRecordsComeBackAtEveryDepth) {
    for (size_t count :
         {size_t{0}, size_t{1}, size_t{447}, size_t{448}, size_t{5000}, size_t{250000}}) {
        HeapBuilder heap(kHeapTableContext);
        std::vector<std::string> records;
        for (uint32_t i = 0; i < count; ++i) {
            std::string r;
            PutFixed32(&r, i * 3 + 1);
            PutFixed32(&r, ~i);
            records.push_back(r);
        }
        Hid header = BuildBth(&heap, ReserveBthHeader(&heap), 4, 4, records);
        std::string data = heap.Finish();
        uint8_t ck = 0, cd = 0;
        std::vector<std::string> back;
        ASSERT_EQ(ReadBth(data, header, &ck, &cd, &back), "") << count;
        EXPECT_EQ(ck, 4);
        EXPECT_EQ(cd, 4);
        EXPECT_EQ(back, records) << count;
    }
}

// Properties as (tag, value) pairs, in their order; sorted by tag.
using Pairs = std::vector<std::pair<uint32_t, std::string>>;
Pairs InOrder(const PropertyList& props) {
    Pairs out;
    for (const auto& p : props) out.emplace_back(p.tag, p.value);
    return out;
}
Pairs Sorted(const PropertyList& props) {
    Pairs out = InOrder(props);
    std::sort(out.begin(), out.end());
    return out;
}

// A node's bytes, given as data or as blocks (those written ahead looked up
// in `written`), then its subnodes' by id.
std::string Flattened(const NodeContent& node, const std::map<Bid, std::string>& written = {}) {
    std::string out = node.data;
    for (const DataBlock& b : node.blocks) out += b.reuse ? written.at(b.reuse) : b.bytes;
    std::map<Nid, const NodeContent*> subnodes;
    for (const Subnode& s : node.subnodes) subnodes[s.nid] = &s.content;
    for (const auto& [nid, content] : subnodes)
        out += "|" + std::to_string(nid) + ":" + Flattened(*content, written);
    return out;
}

// Outlook puts the BTH header first in every context heap (HID 0x20), the
// TCINFO of a table second; a reader that looks nowhere else hangs.
void ExpectBthHeaderFirst(const std::string& heap_data, uint8_t client) {
    uint8_t got_client = 0;
    Hid root = 0;
    ASSERT_EQ(HeapHeader(heap_data, &got_client, &root), "");
    EXPECT_EQ(got_client, client);
    EXPECT_EQ(root, client == kHeapPropertyContext ? 0x20u : 0x40u);
    std::string first;
    ASSERT_EQ(HeapLookup(heap_data, 0x20, &first), "");
    ASSERT_EQ(first.size(), 8u);
    EXPECT_EQ(static_cast<uint8_t>(first[0]), kHeapBth);
}

TEST(PropertyContext, ValuesLiveInRecordHeapOrSubnode) {
    std::mt19937 rng(2);
    for (int round = 0; round < 30; ++round) {
        PropertyList props;
        std::map<uint16_t, bool> used;
        int count = 1 + static_cast<int>(rng() % 120);
        for (int i = 0; i < count; ++i) {
            uint16_t id = static_cast<uint16_t>(0x0100 + rng() % 0x7000);
            if (used[id]) continue;
            used[id] = true;
            static const uint16_t kTypes[] = {kPtLong,   kPtBoolean,           kPtShort,
                                              kPtI8,     kPtSysTime,           kPtUnicode,
                                              kPtBinary, kPtMultiple | kPtLong};
            uint16_t type = kTypes[rng() % 8];
            size_t size = FixedSize(type);
            if (size == 0) {
                static const size_t kSizes[] = {0, 1, 2, 100, 3579, 3580, 3581, 8176, 8177, 40000};
                size = kSizes[rng() % 10] / 2 * 2;
            }
            props.push_back({MakeTag(id, type), test::RandomBytes(rng, size)});
        }
        uint32_t next = 1;
        NodeContent node = BuildPropertyContext(props, &next);
        for (const auto& p : props) {
            if (p.value.size() > kMaxHeapAllocation) {
                EXPECT_TRUE(
                    std::any_of(node.subnodes.begin(), node.subnodes.end(),
                                [&](const Subnode& s) { return s.content.data == p.value; }));
            }
        }
        ExpectBthHeaderFirst(node.data, kHeapPropertyContext);
        PropertyList back;
        ASSERT_EQ(ReadPropertyContext(node, &back), "");
        EXPECT_EQ(InOrder(back), Sorted(props)) << "round " << round;
    }
}

TEST(TableContext, RowsInHeapOrBlocksComeBackWhole) {
    std::mt19937 rng(3);
    const std::vector<uint32_t> columns = {
        mapi::PidTagSubject,     mapi::PidTagMessageFlags,      mapi::PidTagMessageDeliveryTime,
        mapi::PidTagMessageToMe, mapi::PidTagConversationIndex, mapi::PidTagItemTemporaryFlags,
        mapi::PidTagRowid};
    for (size_t rows : {size_t{0}, size_t{1}, size_t{20}, size_t{70}, size_t{71}, size_t{1000}}) {
        TableBuilder table(columns);
        std::map<uint32_t, PropertyList> model;
        std::vector<uint32_t> order;
        for (size_t r = 0; r < rows; ++r) {
            uint32_t id = 0x200004 + 32 * static_cast<uint32_t>(rng() % 100000);
            if (model.count(id)) continue;
            PropertyList cells;
            for (uint32_t tag : columns) {
                if (rng() % 4 == 0) continue;  // absent cell
                size_t size = FixedSize(PropTypeOf(tag));
                if (size == 0) size = (rng() % 7 == 0) ? 5000 : rng() % 80 * 2;
                cells.push_back({tag, test::RandomBytes(rng, size)});
            }
            table.SetRow(id, cells);
            model[id] = cells;
            order.push_back(id);
        }
        TableView view;
        NodeContent built = table.Build();
        ExpectBthHeaderFirst(built.data, kHeapTableContext);
        // Rows appended as they come make the same node, page by page,
        // and so do they with each final block written ahead.
        TableBuilder appended(columns), ahead(columns);
        std::map<Bid, std::string> written;
        ahead.SetBlockWriter([&](std::string_view block) {
            const Bid bid = 4 * (written.size() + 1);
            written[bid] = std::string(block);
            return bid;
        });
        for (uint32_t id : order) appended.AppendRow(id, model[id]);
        for (uint32_t id : order) ahead.AppendRow(id, model[id]);
        EXPECT_EQ(Flattened(appended.FinishAppended()), Flattened(built)) << rows;
        EXPECT_EQ(Flattened(ahead.FinishAppended(), written), Flattened(built)) << rows;
        if (rows == 1000) {
            EXPECT_FALSE(written.empty()) << "heap pages and rows written ahead";
        }
        ASSERT_EQ(ReadTable(built, &view), "") << rows;
        EXPECT_EQ(view.tags.size(), columns.size() + 2) << "row id and version columns are added";
        ASSERT_EQ(view.row_ids, order);
        for (size_t r = 0; r < order.size(); ++r) {
            PropertyList got = view.rows[r];
            std::erase_if(got, [](const Property& p) {
                return p.tag == mapi::PidTagLtpRowId || p.tag == mapi::PidTagLtpRowVer;
            });
            EXPECT_EQ(Sorted(got), Sorted(model[order[r]])) << "row " << r;
        }
    }
}

TEST(TableContext, GrowingTableReusesItsBlocksAndStaysWhole) {
    // A contents table rewritten after every batch of rows, as checkpoints
    // do: each version must read back whole, later versions must not
    // rewrite what earlier ones wrote, and the table foresees its size.
    std::mt19937 rng(4);
    MemorySink sink;
    auto ndb = NdbWriter::Create(&sink, Encoding::kPermute);
    const std::vector<uint32_t> columns = {mapi::PidTagSubject, mapi::PidTagMessageFlags,
                                           mapi::PidTagMessageDeliveryTime,
                                           mapi::PidTagMessageClass};
    TableBuilder table(columns);
    std::map<uint32_t, PropertyList> model;
    std::vector<uint32_t> order;
    const Nid nid = 0x802E;
    uint32_t id = 0x200004;
    std::set<Bid> placed_before;
    for (int batch = 0; batch < 12; ++batch) {
        for (int i = 0; i < 400; ++i, id += 32) {
            std::string flags;
            PutFixed32(&flags, id);
            PropertyList cells = {
                {mapi::PidTagSubject, test::RandomBytes(rng, 20 + rng() % 60 * 2)},
                {mapi::PidTagMessageFlags, flags},
                {mapi::PidTagMessageClass, std::string("I\0P\0M\0", 6)}};
            if (i == 7)
                cells.push_back(
                    {mapi::PidTagSubject, test::RandomBytes(rng, 4000)});  // too big for the heap
            table.SetRow(id, cells);
            model[id] = cells;
            order.push_back(id);
        }
        if (batch == 5) {
            // Saving an early message again rebuilds from scratch.
            PropertyList again = {{mapi::PidTagSubject, std::string("s\0", 2)}};
            table.SetRow(order[3], again);
            model[order[3]] = again;
        }
        PlacedBlocks placed;
        const NodeContent node = table.BuildForNode();
        // What the table foresees for one more row is what it takes: a
        // subnode per value too long for the heap (and the row matrix), and
        // the heap's pages, at most one more.
        const TableBuilder::Extent extent = table.ExtentWith({});
        EXPECT_EQ(extent.long_values + 1, node.subnodes.size());
        EXPECT_GE(extent.heap_pages, node.blocks.size());
        EXPECT_LE(extent.heap_pages, node.blocks.size() + 1);
        ndb->PutNode(nid, 0, node, &placed);
        table.Commit(placed);
        ASSERT_EQ(ndb->status(), "");
        std::set<Bid> placed_now(placed.data.begin(), placed.data.end());
        for (const auto& [sub, leaves] : placed.subnodes)
            placed_now.insert(leaves.begin(), leaves.end());
        // Blocks of the last version taken over; a rebuild takes none.
        size_t fresh = 0;
        for (Bid bid : placed_now) fresh += placed_before.count(bid) == 0;
        if (batch > 6) {
            EXPECT_LT(fresh, placed_now.size() / 2) << "batch " << batch << " rewrote old blocks";
        }
        placed_before = std::move(placed_now);

        NodeContent back;
        ASSERT_TRUE(ndb->ReadNode(nid, &back));
        ExpectBthHeaderFirst(back.data, kHeapTableContext);
        TableView view;
        ASSERT_EQ(ReadTable(back, &view), "") << batch;
        ASSERT_EQ(view.row_ids, order);
        TableBuilder reopened(view.tags);
        reopened.SetRowsOnDisk(view);
        EXPECT_EQ(reopened.ExtentWith({}).long_values, extent.long_values);
        EXPECT_GE(reopened.ExtentWith({}).heap_pages, node.blocks.size());
        for (size_t r = 0; r < order.size(); ++r) {
            std::map<uint32_t, std::string> got;
            for (const auto& p : view.rows[r]) got[p.tag] = p.value;
            std::map<uint32_t, std::string> want;
            for (const auto& p : model[order[r]]) want[p.tag] = p.value;
            for (const auto& [tag, value] : want) EXPECT_EQ(got[tag], value) << "row " << r;
        }
    }
}

TEST(NameMap, IdsAreStableAndSurviveReloading) {
    const std::string common = ParseGuid("{00062008-0000-0000-C000-000000000046}");
    const std::string headers = ParseGuid("{00020386-0000-0000-C000-000000000046}");
    const std::string mapi = ParseGuid("{00020328-0000-0000-C000-000000000046}");
    ASSERT_EQ(common.size(), 16u);
    EXPECT_EQ(common.substr(0, 4), std::string("\x08\x20\x06\x00", 4))
        << "first field little-endian";
    EXPECT_EQ(ParseGuid("not a guid"), "");

    NameMap map;
    EXPECT_EQ(map.IdFor(common, 0x8554), 0x8000);
    EXPECT_EQ(map.IdFor(headers, "x-list-id"), 0x8001);
    EXPECT_EQ(map.IdFor(mapi, 0x0037), 0x8002);
    EXPECT_EQ(map.IdFor(common, "x-list-id"), 0x8003) << "another set is another name";

    PropertyList props = map.Properties();
    std::map<uint32_t, std::string> by_tag;
    for (const auto& p : props) by_tag[p.tag] = p.value;
    EXPECT_EQ(DecodeFixed32(by_tag[mapi::PidTagNameidBucketCount].data()), 251u);
    EXPECT_EQ(by_tag[mapi::PidTagNameidStreamGuid].size(), 32u)
        << "two GUIDs of their own; PS_MAPI has a fixed reference";
    const std::string& entries = by_tag[mapi::PidTagNameidStreamEntry];
    ASSERT_EQ(entries.size(), 4 * 8u);
    EXPECT_EQ(DecodeFixed16(entries.data() + 8 + 4), (4 << 1) | 1) << "second GUID, by name";
    EXPECT_EQ(DecodeFixed16(entries.data() + 16 + 4), 1 << 1) << "PS_MAPI";
    // Each entry sits in the bucket its key and kind select.
    uint32_t key = 0x8554 ^ (3 << 1);
    EXPECT_TRUE(by_tag.count(MakeTag(static_cast<uint16_t>(0x1000 + key % 251), kPtBinary)));

    NameMap again;
    ASSERT_EQ(again.Load(props), "");
    EXPECT_EQ(again.size(), 4u);
    EXPECT_FALSE(again.dirty());
    EXPECT_EQ(again.IdFor(common, 0x8554), 0x8000);
    EXPECT_EQ(again.IdFor(headers, "x-list-id"), 0x8001);
    EXPECT_FALSE(again.dirty()) << "nothing new was named";
    EXPECT_EQ(again.IdFor(headers, "x-other"), 0x8004);
}

}  // namespace
}  // namespace mailvane::pst
