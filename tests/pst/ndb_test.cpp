// The node database as a whole: nodes written through NdbWriter, read back
// after reopening the sink, against an in-memory model; failures of the
// medium; offsets past 4 GB.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "mapi/pst/NdbWriter.h"

namespace mailvane::pst {
namespace {

std::string Bytes(std::mt19937& rng, size_t n) {
    std::string s(n, '\0');
    uint32_t x = rng();
    for (auto& c : s) c = static_cast<char>(x = x * 1103515245u + 12345u);
    return s;
}

using Model = std::map<Nid, NodeContent>;

void ExpectSame(const NodeContent& want, const NodeContent& got, Nid nid) {
    EXPECT_EQ(got.data, want.data) << std::hex << nid;
    ASSERT_EQ(got.subnodes.size(), want.subnodes.size()) << std::hex << nid;
    std::map<Nid, const NodeContent*> subs;
    for (const auto& s : got.subnodes) subs[s.nid] = &s.content;
    for (const auto& s : want.subnodes) {
        ASSERT_TRUE(subs.count(s.nid)) << std::hex << nid << "/" << s.nid;
        ExpectSame(s.content, *subs[s.nid], s.nid);
    }
}

void ExpectStoreHolds(Sink* sink, const Model& model) {
    std::string error;
    auto reader = NdbWriter::Open(sink, &error);
    ASSERT_TRUE(reader) << error;
    EXPECT_EQ(reader->nodeCount(), model.size());
    for (const auto& [nid, content] : model) {
        NodeContent got;
        ASSERT_TRUE(reader->ReadNode(nid, &got)) << std::hex << nid << " " << reader->status();
        ExpectSame(content, got, nid);
    }
}

TEST(NdbWriter, NodesOfEverySizeSurviveReopening) {
    std::mt19937 rng(7);
    // Around one block, one data tree (XBLOCK) and two levels (XXBLOCK).
    const size_t sizes[] = {0, 1, 8175, 8176, 8177, 3 * 8176 + 5, 8176 * 1021, 8176 * 1021 + 1};
    for (Encoding encoding : {Encoding::kPermute, Encoding::kNone}) {
        MemorySink sink;
        auto w = NdbWriter::Create(&sink, encoding);
        Model model;
        for (size_t size : sizes) {
            NodeContent c{Bytes(rng, size), {}};
            Nid nid = w->NewNid(kNidTypeNormalMessage);
            w->PutNode(nid, 0x8022, c);
            model[nid] = c;
        }
        // Subnode trees of one SLBLOCK, and of several under an SIBLOCK,
        // with nested subnodes.
        for (size_t count : {size_t{3}, size_t{700}}) {
            NodeContent c{Bytes(rng, 100), {}};
            for (uint32_t i = 0; i < count; ++i) {
                NodeContent sub{Bytes(rng, i % 50 == 0 ? 9000 : i % 300), {}};
                if (i % 97 == 0) {
                    sub.subnodes.push_back(
                        {MakeNid(kNidTypeLtp, 1), NodeContent{Bytes(rng, 20), {}}});
                }
                c.subnodes.push_back({MakeNid(kNidTypeLtp, count - i), sub});
            }
            Nid nid = w->NewNid(kNidTypeNormalMessage);
            w->PutNode(nid, 0x8022, c);
            model[nid] = c;
        }
        ASSERT_EQ(w->Checkpoint(), "");
        ExpectStoreHolds(&sink, model);
    }
}

TEST(NdbWriter, ReplacingAndDeletingReleaseBlocks) {
    MemorySink sink;
    auto w = NdbWriter::Create(&sink, Encoding::kPermute);
    std::mt19937 rng(8);
    w->PutNode(0x21, 0, NodeContent{"store", {}});
    size_t baseline = w->blockCount();
    Nid nid = w->NewNid(kNidTypeNormalMessage);
    NodeContent big{Bytes(rng, 50000), {{0x692, NodeContent{Bytes(rng, 20000), {}}}}};
    w->PutNode(nid, 0x8022, big);
    EXPECT_GT(w->blockCount(), baseline + 8);
    NodeContent small{"small", {}};
    w->PutNode(nid, 0x8022, small);
    EXPECT_EQ(w->blockCount(), baseline + 1) << "the big node's blocks must all be gone";
    // A shared block lives until its last user goes.
    Nid twin = w->NewNid(kNidTypeNormalMessage);
    w->PutSharedNode(twin, 0x8022, nid);
    w->DeleteNode(nid);
    EXPECT_EQ(w->blockCount(), baseline + 1);
    w->DeleteNode(twin);
    EXPECT_EQ(w->blockCount(), baseline);
    ASSERT_EQ(w->Checkpoint(), "");
    ExpectStoreHolds(&sink, {{0x21, NodeContent{"store", {}}}});
}

TEST(NdbWriter, AppendsAfterReopeningAcrossManyCheckpoints) {
    MemorySink sink;
    Model model;
    std::mt19937 rng(9);
    {
        auto w = NdbWriter::Create(&sink, Encoding::kPermute);
        for (int i = 0; i < 3000; ++i) {
            Nid nid = w->NewNid(kNidTypeNormalMessage);
            model[nid] = NodeContent{Bytes(rng, rng() % 3000), {}};
            w->PutNode(nid, 0x8022, model[nid]);
            if (i % 500 == 0) {
                ASSERT_EQ(w->Checkpoint(), "");
            }
        }
        ASSERT_EQ(w->Checkpoint(), "");
    }
    std::string error;
    auto w = NdbWriter::Open(&sink, &error);
    ASSERT_TRUE(w) << error;
    uint64_t old_end = w->allocatedEnd();
    Nid fresh = w->NewNid(kNidTypeNormalMessage);
    EXPECT_EQ(model.count(fresh), 0u) << "reopened writer reuses an id";
    model[fresh] = NodeContent{"after reopening", {}};
    w->PutNode(fresh, 0x8022, model[fresh]);
    EXPECT_GE(w->allocatedEnd(), old_end);
    ASSERT_EQ(w->Checkpoint(), "");
    EXPECT_GT(sink.Size(), 3 * kAMapCoverage) << "test should span several allocation maps";
    ExpectStoreHolds(&sink, model);
}

// The indexes keep only their newest leaves in memory and rewrite only the
// pages that changed: random puts, replacements (some reusing a block of the
// old version), shares and deletes all over the key space, checkpointed at
// random and reopened twice, must read back exactly as the model says.
TEST(NdbWriter, RandomChangesAllOverTheTreesSurviveCheckpointsAndReopening) {
    MemorySink sink;
    Model model;
    std::map<Nid, std::vector<Bid>> placed_data;  // a node's data blocks, when known
    std::mt19937 rng(11);
    auto pick = [&]() {
        auto it = model.begin();
        std::advance(it, static_cast<std::ptrdiff_t>(rng() % model.size()));
        return it->first;
    };
    std::unique_ptr<NdbWriter> w = NdbWriter::Create(&sink, Encoding::kPermute);
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 3000; ++i) {
            uint32_t op = rng() % 10;
            if (op < 5 || model.size() < 10) {
                // New ids of three types interleave, so leaves split mid-tree.
                static const uint32_t kTypes[] = {kNidTypeNormalMessage, kNidTypeNormalFolder,
                                                  kNidTypeAssocMessage};
                Nid nid = w->NewNid(kTypes[rng() % 3]);
                model[nid] = NodeContent{Bytes(rng, rng() % 7 == 0 ? 9000 : rng() % 300), {}};
                PlacedBlocks placed;
                w->PutNode(nid, 0x8022, model[nid], &placed);
                placed_data[nid] = placed.data;
            } else if (op < 8) {
                Nid nid = pick();
                NodeContent& want = model[nid];
                auto known = placed_data.find(nid);
                PlacedBlocks placed;
                if (known != placed_data.end() && want.data.size() > kMaxBlockData && rng() % 2) {
                    NodeContent next;
                    std::string tail = Bytes(rng, 1 + rng() % 500);
                    next.blocks.push_back({known->second.front(), {}, kMaxBlockData});
                    next.blocks.push_back({0, tail, 0});
                    w->PutNode(nid, 0x8022, next, &placed);
                    want = NodeContent{want.data.substr(0, kMaxBlockData) + tail, {}};
                } else {
                    want = NodeContent{Bytes(rng, rng() % 9000), {}};
                    w->PutNode(nid, 0x8022, want, &placed);
                }
                placed_data[nid] = placed.data;
            } else if (op < 9) {
                Nid like = pick();
                Nid twin = w->NewNid(kNidTypeNormalMessage);
                w->PutSharedNode(twin, 0x8022, like);
                model[twin] = model[like];
                placed_data.erase(twin);  // shared: never reused in place
                placed_data.erase(like);
            } else {
                Nid nid = pick();
                w->DeleteNode(nid);
                model.erase(nid);
                placed_data.erase(nid);
            }
            if (rng() % 250 == 0) {
                ASSERT_EQ(w->Checkpoint(), "");
            }
        }
        ASSERT_EQ(w->Checkpoint(), "") << "round " << round;
        ExpectStoreHolds(&sink, model);
        std::string error;
        w = NdbWriter::Open(&sink, &error);
        ASSERT_TRUE(w) << error;
    }
}

TEST(NdbWriter, FailingMediumLeavesTheLastCheckpoint) {
    std::mt19937 rng(10);
    // Two checkpoints; the medium fails somewhere along the way.
    for (uint64_t budget : {uint64_t{1000}, uint64_t{20000}, uint64_t{60000}, uint64_t{150000},
                            uint64_t{260000}, uint64_t{400000}, uint64_t{1} << 40}) {
        MemorySink disk;
        FailingSink sink(&disk, budget);
        auto w = NdbWriter::Create(&sink, Encoding::kPermute);
        Model first, second;
        for (int i = 0; i < 40; ++i) {
            Nid nid = w->NewNid(kNidTypeNormalMessage);
            first[nid] = NodeContent{Bytes(rng, 1000 + rng() % 4000), {}};
            w->PutNode(nid, 0x8022, first[nid]);
        }
        bool first_done = w->Checkpoint().empty();
        second = first;
        for (int i = 0; i < 40; ++i) {
            Nid nid = w->NewNid(kNidTypeNormalMessage);
            second[nid] = NodeContent{Bytes(rng, 1000 + rng() % 4000), {}};
            w->PutNode(nid, 0x8022, second[nid]);
        }
        bool second_done = w->Checkpoint().empty();
        EXPECT_EQ(sink.failed(), !second_done);
        if (!second_done) {
            // Sticky: nothing after the failure succeeds or writes.
            uint64_t size = disk.Size();
            w->PutNode(w->NewNid(kNidTypeNormalMessage), 0x8022, NodeContent{"late", {}});
            EXPECT_NE(w->Checkpoint(), "");
            EXPECT_EQ(disk.Size(), size);
        }
        if (second_done) {
            ExpectStoreHolds(&disk, second);
        } else if (first_done) {
            ExpectStoreHolds(&disk, first);
        } else {
            std::string error;
            EXPECT_FALSE(NdbWriter::Open(&disk, &error)) << "no checkpoint, yet a store opened";
        }
    }
}

TEST(NdbWriter, OffsetsPastFourGigabytes) {
    MemorySink sink;
    Model model;
    std::mt19937 rng(11);
    {
        auto w = NdbWriter::Create(&sink, Encoding::kPermute);
        w->PutNode(0x21, 0, NodeContent{"below", {}});
        model[0x21] = NodeContent{"below", {}};
        w->SkipForTesting((uint64_t{5} << 30) + 12345);
        for (int i = 0; i < 50; ++i) {
            Nid nid = w->NewNid(kNidTypeNormalMessage);
            model[nid] =
                NodeContent{Bytes(rng, 20000), {{0x692, NodeContent{Bytes(rng, 9000), {}}}}};
            w->PutNode(nid, 0x8022, model[nid]);
        }
        ASSERT_EQ(w->Checkpoint(), "");
        EXPECT_GT(w->header().nbt.ib, uint64_t{1} << 32);
        EXPECT_GT(w->header().file_eof, uint64_t{5} << 30);
    }
    EXPECT_LT(sink.ResidentBytes(), size_t{64} << 20) << "the sparse sink should hold little";
    ExpectStoreHolds(&sink, model);
}

TEST(NdbWriter, MapPagesSitAtTheirFixedPlaces) {
    // Sections 128 (first FMap) and 8192 (first FPMap, past 2 GB) reached
    // through a sparse sink; every section's AMap maps its own map pages.
    MemorySink sink;
    auto w = NdbWriter::Create(&sink, Encoding::kPermute);
    w->PutNode(0x21, 0, NodeContent{"first section", {}});
    for (uint64_t section : {uint64_t{128}, uint64_t{8192}}) {
        w->SkipForTesting(SectionStart(section) + 100);
        w->PutNode(w->NewNid(kNidTypeNormalMessage), 0x8022,
                   NodeContent{std::string(30000, 'm'), {}});
    }
    ASSERT_EQ(w->Checkpoint(), "");
    auto page = [&](uint64_t ib) {
        std::string p;
        EXPECT_EQ(sink.ReadAt(ib, kPageSize, &p), "");
        return p;
    };
    EXPECT_EQ(SectionStart(0), 0x4400u);
    EXPECT_EQ(CheckPage(page(0x4400), kPageAMap, 0x4400), "");
    EXPECT_EQ(CheckPage(page(0x4600), kPagePMap, 0x4600), "");
    uint64_t s128 = SectionStart(128);
    EXPECT_EQ(CheckPage(page(s128), kPageAMap, s128), "");
    EXPECT_EQ(CheckPage(page(s128 + 0x200), kPagePMap, s128 + 0x200), "");
    EXPECT_EQ(CheckPage(page(s128 + 0x400), kPageFMap, s128 + 0x400), "");
    uint64_t s8192 = SectionStart(8192);
    EXPECT_GT(s8192, uint64_t{2'000'000'000});  // "2 GB": 8192 sections of 253,952 bytes
    EXPECT_EQ(CheckPage(page(s8192 + 0x600), kPageFPMap, s8192 + 0x600), "");
    // The first four pages of section 128 are taken (AMap, PMap, FMap and
    // the FPMap slot), then the data starts.
    std::string bits = page(s128).substr(0, kPageBodySize);
    EXPECT_EQ(static_cast<uint8_t>(bits[0]), 0xFF);
    EXPECT_EQ(static_cast<uint8_t>(bits[1]), 0xFF);
    EXPECT_EQ(static_cast<uint8_t>(bits[2]), 0xFF);
    EXPECT_EQ(SectionReserved(1), kPageSize) << "an ordinary section holds only its AMap";
    EXPECT_EQ(w->header().amap_last, s8192);
}

}  // namespace
}  // namespace mailvane::pst
