#include "mapi/pst/NdbWriter.h"

#include <algorithm>
#include <cstring>

#include "mapi/format/Coding.h"
#include "mapi/pst/Block.h"
#include "mapi/pst/Permute.h"

namespace mailvane::pst {

using namespace format;
namespace {

// Writes larger than this go out at once rather than wait in the buffer.
constexpr size_t kPendingLimit = 1 << 20;
// Gathered writes are under kPendingLimit / 4 and blocks at most
// kMaxBlockSize, both added below the limit.
constexpr size_t kPendingRoom = kPendingLimit + std::max<size_t>(kPendingLimit / 4, kMaxBlockSize);
// Count of a block that one node refers to (Outlook counts one more than the
// references; templates shared by n nodes have n + 1).
constexpr uint16_t kSingleRef = 2;
// The most sections (about 8 MB) a store grows by at once.
constexpr uint64_t kMaxGrowSections = 32;

}  // namespace

NdbWriter::NdbWriter(Sink* sink) : sink_(sink) {
    bbt_.SetReader([this](const BlockRef& where, std::vector<BbtEntry>* entries) {
        BtPageView view;
        if (!ReadLeafPage(where, kPageBbt, &view)) return false;
        *entries = std::move(view.blocks);
        return true;
    });
    nbt_.SetReader([this](const BlockRef& where, std::vector<NbtEntry>* entries) {
        BtPageView view;
        if (!ReadLeafPage(where, kPageNbt, &view)) return false;
        *entries = std::move(view.nodes);
        return true;
    });
    auto freePage = [this](const BlockRef& where) { space_.Release(where.ib, kPageSize); };
    bbt_.SetFreer(freePage);
    nbt_.SetFreer(freePage);
    space_.SetReader([this](uint64_t start, std::string* bits) { return ReadMap(start, bits); });
}

void NdbWriter::Fail(Status::Kind kind, std::string cause) {
    if (status_.ok() && !cause.empty()) status_ = Status(kind, std::move(cause));
}

std::unique_ptr<NdbWriter> NdbWriter::Create(Sink* sink, Encoding encoding) {
    std::unique_ptr<NdbWriter> w(new NdbWriter(sink));
    Header& h = w->header_;
    h.encoding = encoding;
    h.next_nid.fill(kFirstNidIndex);
    h.next_nid[kNidTypeSearchFolder] = kFirstSearchFolderNidIndex;
    h.next_nid[kNidTypeNormalMessage] = kFirstMessageNidIndex;
    h.next_nid[kNidTypeAssocMessage] = kFirstAssocMessageNidIndex;
    h.bid_next_block = kBidStep;
    h.bid_next_page = kBidStep;
    h.unique = 1;
    w->space_.StartNew();
    return w;
}

Nid NdbWriter::NewNid(uint32_t type) {
    if (type >= kNidTypeCount) {
        Fail(Status::Kind::kMisuse, "no node type " + Hex(type));
        return 0;
    }
    uint32_t index = header_.next_nid[type]++;
    FolderTablesFollow(type);
    return MakeNid(type, index);
}

void NdbWriter::ReserveNid(Nid nid) {
    uint32_t& next = header_.next_nid[NidTypeOf(nid)];
    next = std::max(next, NidIndexOf(nid) + 1);
    FolderTablesFollow(NidTypeOf(nid));
}

void NdbWriter::FolderTablesFollow(uint32_t type) {
    // A folder's three tables take its index, so their counters move with
    // the folder counter, as in every store Outlook makes.
    if (type != kNidTypeNormalFolder) return;
    for (uint32_t table :
         {kNidTypeHierarchyTable, kNidTypeContentsTable, kNidTypeAssocContentsTable})
        header_.next_nid[table] =
            std::max(header_.next_nid[table], header_.next_nid[kNidTypeNormalFolder]);
}

uint64_t NdbWriter::Allocate(uint32_t size, uint32_t align) {
    const uint64_t ib = space_.Find(size, align);
    // Nothing lands where the header on disk does not reach.
    if (const uint64_t section = SectionOf(ib); section >= space_.fileSections()) GrowFile(section);
    space_.Take(ib, size);
    return ib;
}

void NdbWriter::GrowFile(uint64_t section) {
    if (!status_.ok()) return;
    if (committed_.nbt.ib == 0) {
        // No header yet: the first checkpoint maps what was used.
        space_.Cover(section + 1);
        return;
    }
    // A file longer than its header says is one no reader trusts, so a store
    // grows a few sections at a time, each with its maps (all free), and a
    // header that covers them, before anything lands there. That costs two
    // syncs, so the step grows with the file.
    const uint64_t covered = space_.fileSections();
    uint64_t step = std::clamp<uint64_t>(covered / 16, 1, kMaxGrowSections);
    uint64_t target = std::max(section + 1, covered + step);
    uint64_t freeBytes = 0;
    const std::vector<PageAt> maps = space_.SectionMaps(covered, target, &freeBytes);
    // What waits goes to the medium first, so that the moment in which the
    // file is longer than its header (the maps written, the header not yet)
    // takes one small sync.
    FlushPending();
    if (status_.ok()) Fail(sink_->Sync());
    for (const auto& [at, page] : maps) Write(at, page);
    FlushPending();
    if (status_.ok()) Fail(sink_->Extend(SectionStart(target)));
    if (status_.ok()) Fail(sink_->Sync());
    if (!status_.ok()) return;
    Header grown = committed_;
    grown.file_eof = SectionStart(target);
    grown.amap_last = SectionStart(target - 1);
    grown.amap_free += freeBytes;
    grown.unique = ++header_.unique;
    Fail(sink_->WriteAt(0, EncodeHeader(grown)));
    if (!status_.ok()) return;
    committed_ = grown;
    space_.Cover(target);
    space_.MapsWritten(target);
}

void NdbWriter::Write(uint64_t offset, std::string_view bytes) {
    if (!status_.ok()) return;
    if (bytes.size() >= kPendingLimit / 4) {  // large: no point copying it
        FlushPending();
        if (status_.ok()) Fail(sink_->WriteAt(offset, bytes));
        return;
    }
    std::memcpy(PendingRoom(offset, bytes.size()), bytes.data(), bytes.size());
    if (pendingSize_ >= kPendingLimit) FlushPending();
}

char* NdbWriter::PendingRoom(uint64_t offset, size_t size) {
    // After a failure nothing is written: the room is only scratch.
    if (!status_.ok()) pendingSize_ = 0;
    if (pendingSize_ > 0 && offset != pendingAt_ + pendingSize_) FlushPending();
    if (!pending_) pending_ = std::make_unique_for_overwrite<char[]>(kPendingRoom);
    if (pendingSize_ == 0) pendingAt_ = offset;
    const size_t at = pendingSize_;
    pendingSize_ += size;
    return pending_.get() + at;
}

void NdbWriter::FlushPending() {
    if (pendingSize_ == 0 || !status_.ok()) return;
    Fail(sink_->WriteAt(pendingAt_, std::string_view(pending_.get(), pendingSize_)));
    pendingSize_ = 0;
}

Bid NdbWriter::WriteBlock(std::string_view payload, bool internal) {
    Bid bid = header_.bid_next_block | (internal ? kBidInternal : 0);
    header_.bid_next_block += kBidStep;
    uint32_t size = BlockFootprint(payload.size());
    uint64_t ib = Allocate(size, kBlockAlign);
    // Built where it is written from, encoded after the copy. Blocks are
    // most of a store's bytes, and a block of its own cost an allocation
    // and one more copy of each.
    char* block = PendingRoom(ib, size);
    std::memcpy(block, payload.data(), payload.size());
    if (!internal && header_.encoding == Encoding::kPermute)
        PermuteEncode({reinterpret_cast<uint8_t*>(block), payload.size()});
    SealBlock(block, payload.size(), bid, ib);
    if (pendingSize_ >= kPendingLimit) FlushPending();
    bbt_.Upsert({bid, ib, static_cast<uint16_t>(payload.size()), kSingleRef});
    return bid;
}

Bid NdbWriter::WriteLooseBlock(std::string_view payload) {
    const Bid bid = WriteBlock(payload, false);
    loose_.push_back(bid);
    return bid;
}

void NdbWriter::DropLooseBlocks() {
    for (Bid bid : loose_) Release(bid);
    loose_.clear();
}

Bid NdbWriter::WriteData(std::string_view data, std::vector<Bid>* leaves) {
    std::vector<uint32_t> sizes;
    for (size_t at = 0; at < data.size() || at == 0; at += kMaxBlockData) {
        std::string_view part = data.substr(at, kMaxBlockData);
        leaves->push_back(WriteBlock(part, false));
        sizes.push_back(static_cast<uint32_t>(part.size()));
        if (data.empty()) break;
    }
    return WriteTree(*leaves, sizes, data.size());
}

Bid NdbWriter::WriteContentData(const NodeContent& content, std::vector<Bid>* leaves) {
    if (content.blocks.empty()) return WriteData(content.data, leaves);
    uint64_t total = 0;
    std::vector<uint32_t> sizes;
    for (const DataBlock& b : content.blocks) {
        if (b.reuse) {
            uint32_t size = b.reuseSize;
            if (size == 0) {
                const BbtEntry* e = bbt_.Find(b.reuse);
                if (!e) {
                    Fail(Status::Kind::kMisuse, "reused block " + Hex(b.reuse) + " missing");
                    return 0;
                }
                size = e->cb;
            }
            sizes.push_back(size);
            AddRef(b.reuse);
            leaves->push_back(b.reuse);
        } else {
            sizes.push_back(static_cast<uint32_t>(b.bytes.size()));
            leaves->push_back(WriteBlock(b.bytes, false));
        }
        total += sizes.back();
    }
    return WriteTree(*leaves, sizes, total);
}

Bid NdbWriter::WriteTree(const std::vector<Bid>& leaves, const std::vector<uint32_t>& sizes,
                         uint64_t total) {
    if (leaves.size() == 1) return leaves.front();
    if (total > UINT32_MAX) {
        Fail(Status::Kind::kTooLarge, "node data of " + std::to_string(total) + " bytes");
        return 0;
    }
    if (leaves.size() <= kMaxXBlockEntries)
        return WriteBlock(EncodeXBlock(1, leaves, static_cast<uint32_t>(total)), true);
    std::vector<Bid> xblocks;
    for (size_t at = 0; at < leaves.size(); at += kMaxXBlockEntries) {
        size_t end = std::min(leaves.size(), at + kMaxXBlockEntries);
        std::vector<Bid> part(leaves.begin() + static_cast<std::ptrdiff_t>(at),
                              leaves.begin() + static_cast<std::ptrdiff_t>(end));
        uint64_t bytes = 0;
        for (size_t k = at; k < end; ++k) bytes += sizes[k];
        xblocks.push_back(WriteBlock(EncodeXBlock(1, part, static_cast<uint32_t>(bytes)), true));
    }
    if (xblocks.size() > kMaxXBlockEntries) {
        Fail(Status::Kind::kTooLarge, "node data of " + std::to_string(total) + " bytes");
        return 0;
    }
    return WriteBlock(EncodeXBlock(2, xblocks, static_cast<uint32_t>(total)), true);
}

Bid NdbWriter::WriteSubnodes(const std::vector<Subnode>& subnodes, PlacedBlocks* placed) {
    if (subnodes.empty()) return 0;
    std::vector<const Subnode*> sorted;
    for (const auto& s : subnodes) sorted.push_back(&s);
    std::sort(sorted.begin(), sorted.end(),
              [](const Subnode* a, const Subnode* b) { return a->nid < b->nid; });
    std::vector<SlEntry> entries;
    for (const Subnode* s : sorted) {
        std::vector<Bid> leaves;
        Bid data = WriteContentData(s->content, &leaves);
        Bid sub = WriteSubnodes(s->content.subnodes);
        entries.push_back({s->nid, data, sub});
        if (placed) placed->subnodes.emplace_back(s->nid, std::move(leaves));
    }
    if (entries.size() <= kMaxSlEntries) return WriteBlock(EncodeSlBlock(entries), true);
    std::vector<SiEntry> branches;
    for (size_t at = 0; at < entries.size(); at += kMaxSlEntries) {
        std::vector<SlEntry> part(entries.begin() + static_cast<std::ptrdiff_t>(at),
                                  entries.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                        entries.size(), at + kMaxSlEntries)));
        branches.push_back({part.front().nid, WriteBlock(EncodeSlBlock(part), true)});
    }
    if (branches.size() > kMaxSiEntries) {
        Fail(Status::Kind::kTooLarge, std::to_string(entries.size()) + " subnodes");
        return 0;
    }
    return WriteBlock(EncodeSiBlock(branches), true);
}

void NdbWriter::AddRef(Bid bid) {
    if (bid == 0) return;
    if (gatherRefs_) {
        ++refDelta_[bid];
        return;
    }
    const BbtEntry* e = bbt_.Find(bid);
    if (!e) return FailMissingBlock(bid);
    BbtEntry copy = *e;
    ++copy.refs;
    bbt_.Upsert(copy);
}

void NdbWriter::Release(Bid bid) {
    if (bid == 0 || !status_.ok()) return;
    if (gatherRefs_) {
        // Taken again by the new version of the node: the count stays.
        auto it = refDelta_.find(bid);
        if (it != refDelta_.end() && it->second > 0) {
            --it->second;
            return;
        }
    }
    const BbtEntry* e = bbt_.Find(bid);
    if (!e) return FailMissingBlock(bid);
    if (e->refs > kSingleRef) {
        BbtEntry copy = *e;
        --copy.refs;
        bbt_.Upsert(copy);
        return;
    }
    const BbtEntry was = *e;  // releasing children changes the index
    InternalBlockView view;
    if (IsInternalBid(bid) && !ReadInternalBlock(bid, &view)) return;
    // Out of the index before its children go, so a damaged tree that lists
    // a block below itself ends as a missing block, not an endless descent.
    bbt_.Erase(bid);
    for (Bid child : view.bids) Release(child);
    for (const auto& l : view.leaves) {
        Release(l.data);
        Release(l.sub);
    }
    for (const auto& b : view.branches) Release(b.bid);
    // Its bytes are reused only after the next header: the one on disk may
    // still reach them.
    space_.Release(was.ib, BlockFootprint(was.cb));
}

void NdbWriter::FailMissingBlock(Bid bid) {
    Fail(Status::Kind::kDamaged, "block " + Hex(bid) + " missing from the block tree");
}

Status NdbWriter::CheckNode(const NodeContent& content) {
    uint64_t bytes = content.data.size();
    uint64_t blocks = (bytes + kMaxBlockData - 1) / kMaxBlockData;
    if (!content.blocks.empty()) {
        bytes = 0;
        blocks = content.blocks.size();
        for (const DataBlock& b : content.blocks)
            bytes += b.reuse ? (b.reuseSize ? b.reuseSize : kMaxBlockData) : b.bytes.size();
    }
    // A data tree has two levels of XBLOCKs at most.
    if (bytes > kMaxNodeData || blocks > kMaxXBlockEntries * kMaxXBlockEntries)
        return Status(Status::Kind::kTooLarge,
                      "a value of " + std::to_string(bytes) + " bytes, more than the " +
                          std::to_string(kMaxNodeData) + " one node of a store holds");
    if (content.subnodes.size() > kMaxSubnodes)
        return Status(Status::Kind::kTooLarge,
                      std::to_string(content.subnodes.size()) +
                          " attachments, tables and large values under one object, more than "
                          "the " +
                          std::to_string(kMaxSubnodes) + " one node of a store holds");
    for (const Subnode& s : content.subnodes)
        if (Status status = CheckNode(s.content); !status.ok()) return status;
    return {};
}

void NdbWriter::PutNode(Nid nid, Nid parent, const NodeContent& content, PlacedBlocks* placed) {
    if (!status_.ok()) return;
    if (Status refused = CheckNode(content); !refused.ok())
        return Fail(refused.kind(), "node " + Hex(nid) + ": " + refused.message());
    refDelta_.clear();
    gatherRefs_ = true;
    std::vector<Bid> leaves;
    Bid data = content.data.empty() && content.blocks.empty() && !content.subnodes.empty()
                   ? 0
                   : WriteContentData(content, &leaves);
    Bid sub = WriteSubnodes(content.subnodes, placed);
    if (placed) placed->data = std::move(leaves);
    if (const NbtEntry* old = nbt_.Find(nid)) {
        NbtEntry was = *old;
        Release(was.data);
        Release(was.sub);
    }
    gatherRefs_ = false;
    for (const auto& [bid, count] : refDelta_)
        for (int k = 0; k < count; ++k) AddRef(bid);
    refDelta_.clear();
    nbt_.Upsert({nid, data, sub, parent});
}

void NdbWriter::PutSharedNode(Nid nid, Nid parent, Nid like) {
    if (!status_.ok()) return;
    const NbtEntry* source = nbt_.Find(like);
    if (!source) return Fail(Status::Kind::kMisuse, "node " + Hex(like) + " to share missing");
    NbtEntry e = *source;
    AddRef(e.data);
    AddRef(e.sub);
    if (const NbtEntry* old = nbt_.Find(nid)) {
        NbtEntry was = *old;
        Release(was.data);
        Release(was.sub);
    }
    nbt_.Upsert({nid, e.data, e.sub, parent});
}

void NdbWriter::PutEmptyNode(Nid nid, Nid parent) {
    if (!status_.ok()) return;
    nbt_.Upsert({nid, 0, 0, parent});
}

BlockRef NdbWriter::WritePage(PageType type, uint8_t level, const std::vector<BbtEntry>* bbt,
                              const std::vector<NbtEntry>* nbt,
                              const std::vector<BtEntry>* branch) {
    Bid bid = header_.bid_next_page;
    header_.bid_next_page += kBidStep;
    uint64_t ib = Allocate(kPageSize, kPageSize);
    if (branch)
        Write(ib, BuildBtIntermediatePage(type, level, *branch, bid, ib));
    else if (bbt)
        Write(ib, BuildBbtLeafPage(*bbt, bid, ib));
    else
        Write(ib, BuildNbtLeafPage(*nbt, bid, ib));
    return {bid, ib};
}

// A checkpoint goes in steps whose order keeps the store whole at whatever
// moment the medium fails:
//  1. FlushTrees: changed B-tree pages go to new places, never over a page
//     the header on disk reaches, so that header's trees stay intact.
//  2. MapsForCheckpoint: the allocation maps the new header will reach,
//     with the space it no longer reaches marked free, and the free-space
//     counts.
//  3. SetHeaderFields: file end, last map and free bytes for the new header.
//  4. CommitInOrder: sync what the new header reaches, so no header ever
//     points at bytes not yet on the medium; mark the maps invalid in the
//     header on disk and sync, since they now change in place; write the
//     maps and sync; then write the new header (maps valid) and sync. That
//     last write is the commit point.
// Only then is space released before this checkpoint taken again: the old
// header could reach it until the new one was on the medium.
std::string NdbWriter::Checkpoint() {
    if (!CoverTail().empty()) return status_.message();
    FlushTrees();
    if (!status_.ok()) return status_.message();
    SpaceMap::Checkpoint space = space_.MapsForCheckpoint();
    SetHeaderFields(space.lastSection, space.freeBytes);
    // Outlook gives the density list the next page id without taking it.
    space.maps.emplace_back(kDListOffset,
                            space_.DensityList(space.lastSection, header_.bid_next_page));
    CommitInOrder(space.maps);
    if (!status_.ok()) return status_.message();
    space_.Committed(space.lastSection);
    return {};
}

void NdbWriter::FlushTrees() {
    // The node tree first: writing pages moves no block, so the block tree
    // written after it is complete.
    header_.nbt = nbt_.Flush(
        [&](uint8_t level, const std::vector<NbtEntry>* leaf, const std::vector<BtEntry>* branch) {
            return WritePage(kPageNbt, level, nullptr, leaf, branch);
        });
    header_.bbt = bbt_.Flush(
        [&](uint8_t level, const std::vector<BbtEntry>* leaf, const std::vector<BtEntry>* branch) {
            return WritePage(kPageBbt, level, leaf, nullptr, branch);
        });
}

void NdbWriter::SetHeaderFields(uint64_t lastSection, uint64_t freeBytes) {
    header_.amap_last = SectionStart(lastSection);
    header_.file_eof = SectionStart(lastSection) + kAMapCoverage;
    header_.amap_free = freeBytes;
    header_.pmapFree = 0;
}

void NdbWriter::CommitInOrder(const std::vector<PageAt>& maps) {
    // Everything the new header reaches is on the medium before the maps
    // change, so the window in which they are marked invalid stays short.
    FlushPending();
    if (status_.ok()) Fail(sink_->Sync());
    // [MS-PST] 2.6.1.3.7: the maps change in place only while the header on
    // disk says they cannot be trusted; a new store has nothing to protect.
    if (status_.ok() && committed_.nbt.ib != 0 && committed_.amap_valid != kAMapInvalid) {
        Header invalid = committed_;
        invalid.amap_valid = kAMapInvalid;
        invalid.unique = ++header_.unique;
        Fail(sink_->WriteAt(0, EncodeHeader(invalid)));
        if (status_.ok()) Fail(sink_->Sync());
        if (status_.ok()) committed_ = invalid;
    }
    for (const auto& [at, page] : maps) Write(at, page);
    FlushPending();
    if (status_.ok()) Fail(sink_->Extend(header_.file_eof));
    if (status_.ok()) Fail(sink_->Sync());
    if (!status_.ok()) return;
    header_.amap_valid = kAMapValid2;
    ++header_.unique;
    Fail(sink_->WriteAt(0, EncodeHeader(header_)));
    if (status_.ok()) Fail(sink_->Sync());
    if (status_.ok()) committed_ = header_;
}

std::string NdbWriter::CoverTail() {
    // Growing covers sections this way: maps afresh, then a header that
    // includes them. A file longer than its header is one no reader trusts.
    const uint64_t size = sink_->Size();
    if (status_.ok() && committed_.nbt.ib != 0 && size > SectionStart(space_.fileSections()))
        GrowFile((size - kFirstAMapOffset - 1) / kAMapCoverage);
    return status_.message();
}

}  // namespace mailvane::pst
