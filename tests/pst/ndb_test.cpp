// The node database as a whole: nodes written through NdbWriter, read back
// after reopening the sink, against an in-memory model; failures of the
// medium; offsets past 4 GB.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <map>
#include <random>

#include "TestSinks.h"
#include "TestSupport.h"
#include "mapi/pst/Block.h"
#include "mapi/pst/NdbWriter.h"

namespace mailvane::pst {

// What only a test does to a writer.
class StoreTestAccess {
public:
    // Moves the end of allocated space forward, leaving the gap unmapped, so
    // a test reaches offsets past 4 GB without writing 4 GB.
    static void SkipTo(NdbWriter& w, uint64_t offset) {
        w.space_.eof_ = std::max(w.space_.eof_, offset);
    }
};

namespace {

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
    Status error;
    auto reader = NdbWriter::Open(sink, &error);
    ASSERT_TRUE(reader) << error.message();
    size_t nodes = 0;
    reader->ForEachNode([&](Nid, Nid) { ++nodes; });
    EXPECT_EQ(nodes, model.size());
    for (const auto& [nid, content] : model) {
        NodeContent got;
        ASSERT_TRUE(reader->ReadNode(nid, &got)) << std::hex << nid << " " << reader->status();
        ExpectSame(content, got, nid);
    }
}

// Adds `count` new nodes of `size` random bytes, to the store and the model.
void AddNodes(NdbWriter* w, Model* model, std::mt19937& rng, int count, size_t size) {
    for (int i = 0; i < count; ++i) {
        Nid nid = w->NewNid(kNidTypeNormalMessage);
        EXPECT_EQ(model->count(nid), 0u) << "an id handed out twice";
        (*model)[nid] = NodeContent{test::RandomBytes(rng, size), {}};
        w->PutNode(nid, 0x8022, (*model)[nid]);
    }
}

Header HeaderOnDisk(Sink* sink) {
    std::string raw;
    Header h;
    EXPECT_EQ(sink->ReadAt(0, kHeaderSize, &raw), "");
    EXPECT_EQ(DecodeHeader(raw, &h), "");
    return h;
}

uint64_t FreeSlotsIn(const std::string& bits) {
    uint64_t n = 0;
    for (char c : bits) n += 8 - static_cast<uint64_t>(std::popcount(static_cast<uint8_t>(c)));
    return n;
}

// The allocation bits a rebuild from the two B-trees gives, worked out here
// from the pages alone: each section's own map pages, every B-tree page and
// every block the block tree lists.
std::map<uint64_t, std::string> RebuiltMaps(Sink* sink, const Header& h) {
    std::map<uint64_t, std::string> bits;
    auto mark = [&](uint64_t ib, uint64_t size) {
        for (uint64_t at = ib; at < ib + size; at += kBlockAlign) {
            uint64_t s = (at - kFirstAMapOffset) / kAMapCoverage;
            uint64_t unit = (at - SectionStart(s)) / kBlockAlign;
            std::string& b = bits[s];
            b.resize(kPageBodySize, '\0');
            b[unit / 8] = static_cast<char>(b[unit / 8] | (0x80 >> (unit % 8)));
        }
    };
    uint64_t sections = (h.file_eof - kFirstAMapOffset) / kAMapCoverage;
    for (uint64_t s = 0; s < sections; ++s) mark(SectionStart(s), SectionReserved(s));
    for (uint64_t root : {h.nbt.ib, h.bbt.ib}) {
        EXPECT_TRUE(testing::ForEachTreePage(sink, root,
                                             [&](uint64_t ib, const BtPageView& view) {
                                                 mark(ib, kPageSize);
                                                 for (const auto& block : view.blocks)
                                                     mark(block.ib, BlockFootprint(block.cb));
                                             }))
            << std::hex << root;
    }
    return bits;
}

// The file's maps equal a rebuild from its trees: nothing reachable is free,
// nothing unreachable is taken; the header counts the free space they show,
// the file is as long as the header says, and the density list names every
// section with free space, the freest first.
void ExpectMapsMatchTheTrees(Sink* sink) {
    Header h = HeaderOnDisk(sink);
    EXPECT_EQ(h.amap_valid, kAMapValid2);
    EXPECT_EQ(sink->Size(), h.file_eof);
    std::map<uint64_t, std::string> want = RebuiltMaps(sink, h);
    uint64_t free_slots = 0;
    std::map<uint32_t, uint16_t> sections_with_room;
    for (const auto& [s, bits] : want) {
        std::string page;
        ASSERT_EQ(sink->ReadAt(SectionStart(s), kPageSize, &page), "");
        ASSERT_EQ(CheckPage(page, kPageAMap, SectionStart(s)), "") << "section " << s;
        EXPECT_TRUE(page.substr(0, kPageBodySize) == bits)
            << "section " << s << " of " << want.size();
        free_slots += FreeSlotsIn(bits);
        if (FreeSlotsIn(bits) > 0)
            sections_with_room[static_cast<uint32_t>(s)] = static_cast<uint16_t>(FreeSlotsIn(bits));
    }
    EXPECT_EQ(h.amap_free, free_slots * kBlockAlign);
    std::string raw;
    DListView dlist;
    ASSERT_EQ(sink->ReadAt(kDListOffset, kPageSize, &raw), "");
    ASSERT_EQ(DecodeDListPage(raw, &dlist), "");
    EXPECT_EQ(dlist.entries.size(), std::min(sections_with_room.size(), kMaxDListEntries));
    for (size_t i = 0; i < dlist.entries.size(); ++i) {
        EXPECT_EQ(dlist.entries[i].free_slots, sections_with_room[dlist.entries[i].page]);
        if (i > 0) {
            EXPECT_GE(dlist.entries[i - 1].free_slots, dlist.entries[i].free_slots);
        }
    }
}

bool IsMapPageOffset(uint64_t offset) {
    if (offset == kDListOffset) return true;
    if (offset < kFirstAMapOffset) return false;
    uint64_t s = (offset - kFirstAMapOffset) / kAMapCoverage;
    return offset < SectionStart(s) + SectionReserved(s);
}

// A store in memory that keeps a log of its writes and syncs, so a test can
// check their order, and checks the file against its header after every
// write.
class RecordingSink : public MemorySink {
public:
    struct Event {
        enum Kind { kWrite, kSync } kind;
        uint64_t offset = 0;
        uint64_t size = 0;
        int header_valid = -1;  // for a write of the header: its fAMapValid
    };
    std::string WriteAt(uint64_t offset, std::string_view data) override {
        Event e{Event::kWrite, offset, data.size()};
        Header h;
        if (offset == 0 && DecodeHeader(data, &h).empty()) e.header_valid = h.amap_valid;
        log.push_back(e);
        std::string err = MemorySink::WriteAt(offset, data);
        CheckLength(offset);
        return err;
    }
    std::string Sync() override {
        log.push_back({Event::kSync});
        return MemorySink::Sync();
    }

    std::vector<Event> log;
    // Writes of anything but map pages that left the file longer than the
    // header on disk said. (Growing, the new sections' maps go first, then
    // the header that covers them.)
    int past_header = 0;

private:
    void CheckLength(uint64_t offset) {
        if (IsMapPageOffset(offset)) return;
        std::string raw;
        Header h;
        if (Size() < kHeaderSize || !ReadAt(0, kHeaderSize, &raw).empty() ||
            !DecodeHeader(raw, &h).empty())
            return;
        if (Size() > h.file_eof) ++past_header;
    }
};

TEST(NdbWriter, NodesOfEverySizeSurviveReopening) {
    std::mt19937 rng(7);
    // Around one block, one data tree (XBLOCK) and two levels (XXBLOCK).
    const size_t sizes[] = {0, 1, 8175, 8176, 8177, 3 * 8176 + 5, 8176 * 1021, 8176 * 1021 + 1};
    for (Encoding encoding : {Encoding::kPermute, Encoding::kNone}) {
        MemorySink sink;
        auto w = NdbWriter::Create(&sink, encoding);
        Model model;
        for (size_t size : sizes) {
            const Nid nid = w->NewNid(kNidTypeNormalMessage);
            w->PutNode(nid, 0x8022, model[nid] = NodeContent{test::RandomBytes(rng, size), {}});
        }
        // Subnode trees of one SLBLOCK, and of several under an SIBLOCK,
        // with nested subnodes.
        for (size_t count : {size_t{3}, size_t{700}}) {
            NodeContent c{test::RandomBytes(rng, 100), {}};
            for (uint32_t i = 0; i < count; ++i) {
                NodeContent sub{test::RandomBytes(rng, i % 50 == 0 ? 9000 : i % 300), {}};
                if (i % 97 == 0) {
                    sub.subnodes.push_back(
                        {MakeNid(kNidTypeLtp, 1), NodeContent{test::RandomBytes(rng, 20), {}}});
                }
                c.subnodes.push_back({MakeNid(kNidTypeLtp, count - i), sub});
            }
            const Nid nid = w->NewNid(kNidTypeNormalMessage);
            w->PutNode(nid, 0x8022, model[nid] = c);
        }
        ASSERT_EQ(w->Checkpoint(), "");
        ExpectStoreHolds(&sink, model);
    }
}

TEST(NdbWriter, ReplacingAndSharingReleaseBlocks) {
    MemorySink sink;
    auto w = NdbWriter::Create(&sink, Encoding::kPermute);
    std::mt19937 rng(8);
    // The blocks a checkpoint's block tree lists.
    auto blocks = [&] {
        EXPECT_EQ(w->Checkpoint(), "");
        return testing::BlocksInFile(&sink);
    };
    const NodeContent store{"store", {}}, other{"other", {}};
    w->PutNode(0x21, 0, store);
    const size_t baseline = blocks();
    Nid nid = w->NewNid(kNidTypeNormalMessage);
    NodeContent big{test::RandomBytes(rng, 50000),
                    {{0x692, NodeContent{test::RandomBytes(rng, 20000), {}}}}};
    w->PutNode(nid, 0x8022, big);
    EXPECT_GT(blocks(), baseline + 8);
    w->PutNode(nid, 0x8022, NodeContent{"small", {}});
    EXPECT_EQ(blocks(), baseline + 1) << "the big node's blocks must all be gone";
    // A shared block lives until its last user goes.
    Nid twin = w->NewNid(kNidTypeNormalMessage);
    w->PutSharedNode(twin, 0x8022, nid);
    w->PutNode(nid, 0x8022, other);
    EXPECT_EQ(blocks(), baseline + 2);
    w->PutSharedNode(twin, 0x8022, 0x21);
    EXPECT_EQ(blocks(), baseline + 1);
    ExpectStoreHolds(&sink, {{0x21, store}, {nid, other}, {twin, store}});
}

// The indexes keep only their newest leaves in memory and rewrite only the
// pages that changed: random puts, replacements (some reusing a block of the
// old version) and shares all over the key space, checkpointed at random and
// reopened twice, must read back exactly as the model says.
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
                ASSERT_EQ(model.count(nid), 0u) << "an id handed out twice";
                model[nid] =
                    NodeContent{test::RandomBytes(rng, rng() % 7 == 0 ? 9000 : rng() % 300), {}};
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
                    std::string tail = test::RandomBytes(rng, 1 + rng() % 500);
                    next.blocks.push_back({known->second.front(), {}, kMaxBlockData});
                    next.blocks.push_back({0, tail, 0});
                    w->PutNode(nid, 0x8022, next, &placed);
                    want = NodeContent{want.data.substr(0, kMaxBlockData) + tail, {}};
                } else {
                    want = NodeContent{test::RandomBytes(rng, rng() % 9000), {}};
                    w->PutNode(nid, 0x8022, want, &placed);
                }
                placed_data[nid] = placed.data;
            } else {
                // A new node, or one replaced, shares another's blocks.
                Nid like = pick();
                Nid twin = op < 9 ? w->NewNid(kNidTypeNormalMessage) : pick();
                w->PutSharedNode(twin, 0x8022, like);
                model[twin] = model[like];
                placed_data.erase(twin);  // shared: never reused in place
                placed_data.erase(like);
            }
            if (rng() % 250 == 0) {
                ASSERT_EQ(w->Checkpoint(), "");
            }
        }
        ASSERT_EQ(w->Checkpoint(), "") << "round " << round;
        ExpectStoreHolds(&sink, model);
        ExpectMapsMatchTheTrees(&sink);
        Status error;
        w = NdbWriter::Open(&sink, &error);
        ASSERT_TRUE(w) << error.message();
    }
}

// A store written in three checkpoints: a new store; growth by a few
// sections, its maps then changed in place; replacements, some by less.
struct ThreeCheckpoints {
    std::vector<Model> models;    // what each checkpoint holds
    std::vector<Header> headers;  // each one's header, when it succeeded
    size_t done = 0;              // checkpoints that succeeded
    bool sticky = true;           // none succeeded after one failed
};

ThreeCheckpoints WriteThreeCheckpoints(Sink* sink) {
    ThreeCheckpoints run;
    std::mt19937 rng(10);
    auto w = NdbWriter::Create(sink, Encoding::kPermute);
    Model model;
    auto checkpoint = [&] {
        const bool ok = w->Checkpoint().empty();
        if (ok && run.done < run.models.size()) run.sticky = false;
        if (ok) ++run.done;
        run.models.push_back(model);
        run.headers.push_back(w->header());
    };
    AddNodes(w.get(), &model, rng, 20, 2000);
    checkpoint();
    AddNodes(w.get(), &model, rng, 60, 5000);
    checkpoint();
    std::vector<Nid> nids;
    for (const auto& entry : model) nids.push_back(entry.first);
    for (size_t i = 0; i < nids.size(); i += 4) {
        model[nids[i]] = NodeContent{test::RandomBytes(rng, 2000), {}};
        w->PutNode(nids[i], 0x8022, model[nids[i]]);
    }
    for (size_t i = 1; i < nids.size(); i += 5) {
        model[nids[i]] = NodeContent{"short", {}};
        w->PutNode(nids[i], 0x8022, model[nids[i]]);
    }
    checkpoint();
    return run;
}

// The medium fails between any two writes of those checkpoints: full (what
// it took stays, as after SIGKILL), by a power cut (what was not synced is
// lost), or by a power cut after the disk wrote its newest write first. The
// store left holds exactly its last synced checkpoint (or, when the newest
// write that landed was a header, the checkpoint that header ends), and a
// writer that reopens it adds to it with maps that match its trees.
TEST(NdbWriter, FailingMediumLeavesTheLastCheckpoint) {
    RecordingSink recorder;
    const ThreeCheckpoints dry = WriteThreeCheckpoints(&recorder);
    ASSERT_EQ(dry.done, 3u);
    std::vector<uint64_t> cuts = {0};
    for (const auto& event : recorder.log)
        if (event.kind == RecordingSink::Event::kWrite) cuts.push_back(cuts.back() + event.size);
    using Failure = FailingSink::Failure;
    const std::pair<Failure, const char*> failures[] = {
        {Failure::kFull, "full"},
        {Failure::kPowerCut, "power cut"},
        {Failure::kPowerCutNewestLanded, "power cut, newest write landed"}};
    for (const auto& [failure, name] : failures) {
        for (size_t cut = 0; cut < cuts.size(); ++cut) {
            SCOPED_TRACE(std::string(name) + " after write " + std::to_string(cut) + " of " +
                         std::to_string(cuts.size() - 1));
            MemorySink disk;
            FailingSink sink(&disk, cuts[cut], failure);
            const ThreeCheckpoints run = WriteThreeCheckpoints(&sink);
            EXPECT_TRUE(run.sticky);
            EXPECT_EQ(sink.failed(), run.done < 3);
            // Which checkpoint the header on the medium ends, by its trees'
            // page ids (never reused); -1 for none.
            int held = -1;
            std::string raw;
            Header h;
            if (disk.ReadAt(0, kHeaderSize, &raw).empty() && DecodeHeader(raw, &h).empty()) {
                for (size_t i = 0; i < dry.headers.size(); ++i)
                    if (h.nbt.bid == dry.headers[i].nbt.bid && h.bbt.bid == dry.headers[i].bbt.bid)
                        held = static_cast<int>(i);
                ASSERT_GE(held, 0) << "a header of no checkpoint";
            }
            const int synced = static_cast<int>(run.done) - 1;
            if (failure == Failure::kPowerCutNewestLanded)
                ASSERT_TRUE(held == synced || held == synced + 1) << held << " " << synced;
            else
                ASSERT_EQ(held, synced);
            Status error;
            if (held < 0) {
                EXPECT_FALSE(NdbWriter::Open(&disk, &error)) << "no checkpoint, yet a store opened";
                continue;
            }
            Model model = run.models[held];
            auto w = NdbWriter::Open(&disk, &error);
            ASSERT_TRUE(w) << error.message();
            std::mt19937 rng(17);
            AddNodes(w.get(), &model, rng, 10, 2000);
            ASSERT_EQ(w->Checkpoint(), "");
            ExpectStoreHolds(&disk, model);
            ExpectMapsMatchTheTrees(&disk);
            if (HasFatalFailure() || HasNonfatalFailure()) return;
        }
    }
}

// Replaced blocks and superseded B-tree pages are freed once no header
// reaches them, and taken again: rewriting the same nodes over and over
// keeps the file near twice what they hold, and the maps exact.
TEST(NdbWriter, SpaceLeftBehindIsTakenAgain) {
    MemorySink sink;
    Model model;
    std::mt19937 rng(12);
    auto w = NdbWriter::Create(&sink, Encoding::kPermute);
    std::vector<Nid> nids;
    for (int i = 0; i < 200; ++i) nids.push_back(w->NewNid(kNidTypeNormalMessage));
    const size_t live = 200 * 6000;
    for (int round = 0; round < 40; ++round) {
        for (Nid nid : nids) {
            model[nid] = NodeContent{test::RandomBytes(rng, 4000 + rng() % 4000), {}};
            w->PutNode(nid, 0x8022, model[nid]);
        }
        ASSERT_EQ(w->Checkpoint(), "") << "round " << round;
    }
    // Without reuse the file would hold all 40 versions (some 48 MB).
    EXPECT_LT(sink.Size(), 4 * live);
    ExpectStoreHolds(&sink, model);
    ExpectMapsMatchTheTrees(&sink);
}

// Maps rewritten in place are first marked invalid in the header, and that
// header is on the medium before the first map page changes; the new
// header, valid again, follows the last map page after a sync. Everything
// else the new header reaches is written before the maps are marked
// invalid, and the file, growing a few sections at a time (a node may span
// several), is never longer than its header says.
TEST(NdbWriter, MapsChangeInPlaceOnlyWhileTheHeaderMarksThemInvalid) {
    RecordingSink sink;
    std::mt19937 rng(13);
    auto w = NdbWriter::Create(&sink, Encoding::kPermute);
    Model model;
    AddNodes(w.get(), &model, rng, 300, 3000);
    std::vector<Nid> nids;
    for (const auto& entry : model) nids.push_back(entry.first);
    ASSERT_EQ(w->Checkpoint(), "");
    uint64_t old_eof = HeaderOnDisk(&sink).file_eof;
    sink.log.clear();
    // Replace some nodes (freeing space in the old sections), and add
    // enough to grow the file by several sections.
    for (int i = 0; i < 300; i += 3) w->PutNode(nids[i], 0x8022, NodeContent{"short", {}});
    for (int i = 1; i < 300; i += 7) w->PutSharedNode(nids[i], 0x8022, nids[0]);
    AddNodes(w.get(), &model, rng, 400, 6000);
    AddNodes(w.get(), &model, rng, 2, 3 * kAMapCoverage);  // each over several sections
    EXPECT_EQ(sink.Size(), HeaderOnDisk(&sink).file_eof) << "grown past its header";
    ASSERT_EQ(w->Checkpoint(), "");
    EXPECT_GT(HeaderOnDisk(&sink).file_eof, old_eof + 4 * kAMapCoverage);

    using Event = RecordingSink::Event;
    const auto& log = sink.log;
    auto in_place = [&](const Event& e) {
        return e.kind == Event::kWrite && IsMapPageOffset(e.offset) && e.offset < old_eof;
    };
    auto first_in_place = std::find_if(log.begin(), log.end(), in_place) - log.begin();
    ASSERT_LT(first_in_place, static_cast<long>(log.size())) << "no map was changed in place";
    long invalid = -1, synced = -1, last_map = -1, valid = -1;
    for (long i = 0; i < static_cast<long>(log.size()); ++i) {
        const Event& e = log[i];
        if (e.header_valid == kAMapInvalid && invalid < 0) invalid = i;
        if (e.kind == Event::kSync && invalid >= 0 && synced < 0) synced = i;
        if (e.kind == Event::kWrite && IsMapPageOffset(e.offset)) last_map = i;
        if (e.header_valid == kAMapValid2) valid = i;
    }
    ASSERT_GE(invalid, 0) << "maps changed with the header still calling them valid";
    EXPECT_LT(synced, first_in_place)
        << "the invalid header was not synced before the maps changed";
    ASSERT_GT(valid, last_map);
    EXPECT_TRUE(std::any_of(log.begin() + last_map, log.begin() + valid, [](const Event& e) {
        return e.kind == Event::kSync;
    })) << "the valid header went out before the maps were synced";
    for (long i = invalid + 1; i < valid; ++i)
        EXPECT_TRUE(log[i].kind != Event::kWrite || IsMapPageOffset(log[i].offset))
            << "data written at " << std::hex << log[i].offset << " while the maps were invalid";
    long last_data = -1;
    for (long i = 0; i < invalid; ++i)
        if (log[i].kind == Event::kWrite && log[i].offset != 0) last_data = i;
    EXPECT_TRUE(std::any_of(log.begin() + last_data, log.begin() + invalid, [](const Event& e) {
        return e.kind == Event::kSync;
    })) << "the maps were marked invalid before the data was synced";
    EXPECT_EQ(sink.past_header, 0) << "the file outgrew its header between checkpoints";
    ExpectMapsMatchTheTrees(&sink);
}

// A store in memory that, once armed, fails every call from the first
// header write or, with `at_extend`, from the first time the file is
// extended, until disarmed: a writer that died growing the file, its new
// sections' maps written and its header not.
class DiesGrowing : public MemorySink {
public:
    explicit DiesGrowing(bool at_extend) : at_extend_(at_extend) {}
    void Arm(bool armed) {
        armed_ = armed;
        dead_ = false;
    }
    std::string WriteAt(uint64_t offset, std::string_view data) override {
        if (armed_ && !at_extend_ && offset == 0) dead_ = true;
        return dead_ ? "medium failed" : MemorySink::WriteAt(offset, data);
    }
    std::string Extend(uint64_t size) override {
        if (armed_ && at_extend_) dead_ = true;
        return dead_ ? "medium failed" : MemorySink::Extend(size);
    }
    std::string Sync() override { return dead_ ? "medium failed" : MemorySink::Sync(); }
    bool dead() const { return dead_; }

private:
    bool at_extend_;
    bool armed_ = false;
    bool dead_ = false;
};

// The sections such a writer left past its header's end, whole or not, are
// taken over by the next writer, which covers them with a header before it
// writes anything else.
TEST(NdbWriter, AWriterKilledWhileGrowingLeavesATailTheNextOneTakesOver) {
    for (bool at_extend : {false, true}) {
        DiesGrowing disk(at_extend);
        std::mt19937 rng(16);
        Model model;
        auto w = NdbWriter::Create(&disk, Encoding::kPermute);
        AddNodes(w.get(), &model, rng, 100, 3000);
        ASSERT_EQ(w->Checkpoint(), "");
        disk.Arm(true);
        Model lost = model;
        AddNodes(w.get(), &lost, rng, 200, 5000);
        ASSERT_TRUE(disk.dead()) << "the file never grew";
        disk.Arm(false);
        // Some of a section more, as a write cut short leaves it.
        if (at_extend) disk.WriteAt(disk.Size(), std::string(100, 'x'));
        ASSERT_GT(disk.Size(), HeaderOnDisk(&disk).file_eof);
        ExpectStoreHolds(&disk, model);

        Status error;
        w = NdbWriter::Open(&disk, &error);
        ASSERT_TRUE(w) << error.message();
        ASSERT_EQ(w->CoverTail(), "");
        EXPECT_EQ(disk.Size(), HeaderOnDisk(&disk).file_eof);
        AddNodes(w.get(), &model, rng, 10, 2000);
        ASSERT_EQ(w->Checkpoint(), "");
        ExpectStoreHolds(&disk, model);
        ExpectMapsMatchTheTrees(&disk);
    }
}

// Sections 128 (the first with an FMap) and 8192 (the first with an FPMap,
// past 2 GB), and offsets past 4 GB, reached through a sparse sink: every
// section's AMap maps its own map pages, which sit at their fixed places,
// and the nodes written there survive reopening.
TEST(NdbWriter, MapPagesAndNodesFarIntoTheFile) {
    MemorySink sink;
    Model model;
    std::mt19937 rng(11);
    auto w = NdbWriter::Create(&sink, Encoding::kPermute);
    model[0x21] = NodeContent{"below", {}};
    w->PutNode(0x21, 0, model[0x21]);
    const uint64_t s128 = SectionStart(128), s8192 = SectionStart(8192), far = 5ULL << 30;
    for (uint64_t offset : {s128 + 100, s8192 + 100, far}) {
        StoreTestAccess::SkipTo(*w, offset);
        for (int i = 0; i < 20; ++i) {
            Nid nid = w->NewNid(kNidTypeNormalMessage);
            model[nid] = NodeContent{test::RandomBytes(rng, 20000),
                                     {{0x692, NodeContent{test::RandomBytes(rng, 9000), {}}}}};
            w->PutNode(nid, 0x8022, model[nid]);
        }
    }
    ASSERT_EQ(w->Checkpoint(), "");
    const Header& h = w->header();
    EXPECT_GT(h.nbt.ib, 1ULL << 32);
    EXPECT_GT(h.file_eof, far);
    EXPECT_LT(sink.ResidentBytes(), size_t{64} << 20) << "the sparse sink should hold little";
    ExpectStoreHolds(&sink, model);

    auto page = [&](uint64_t ib) {
        std::string p;
        EXPECT_EQ(sink.ReadAt(ib, kPageSize, &p), "");
        return p;
    };
    EXPECT_EQ(CheckPage(page(0x4400), kPageAMap, 0x4400), "");
    EXPECT_EQ(CheckPage(page(0x4600), kPagePMap, 0x4600), "");
    EXPECT_EQ(CheckPage(page(s128), kPageAMap, s128), "");
    EXPECT_EQ(CheckPage(page(s128 + 0x200), kPagePMap, s128 + 0x200), "");
    EXPECT_EQ(CheckPage(page(s128 + 0x400), kPageFMap, s128 + 0x400), "");
    EXPECT_GT(s8192, uint64_t{2'000'000'000});  // "2 GB": 8192 sections of 253,952 bytes
    EXPECT_EQ(CheckPage(page(s8192 + 0x600), kPageFPMap, s8192 + 0x600), "");
    // The first four pages of section 128 are taken (AMap, PMap, FMap and
    // the FPMap slot), then the data starts.
    EXPECT_EQ(page(s128).substr(0, 3), std::string(3, '\xFF'));
    EXPECT_EQ(SectionReserved(1), kPageSize) << "an ordinary section holds only its AMap";
    EXPECT_EQ(h.amap_last, h.file_eof - kAMapCoverage) << "the last section's AMap";
}

}  // namespace
}  // namespace mailvane::pst
