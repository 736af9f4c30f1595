#include "mapi/pst/NdbWriter.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "mapi/format/Coding.h"
#include "mapi/format/Crc.h"
#include "mapi/pst/Block.h"
#include "mapi/pst/Permute.h"

namespace mailvane::pst {

using namespace format;
namespace {

constexpr uint64_t AlignUp(uint64_t v, uint64_t a) {
    return (v + a - 1) / a * a;
}

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

bool HasPMap(uint64_t s) {
    return s % 8 == 0;
}
bool HasFMap(uint64_t s) {
    return s >= kFMapFirstSection && (s - kFMapFirstSection) % kFMapSectionStep == 0;
}
bool HasFPMap(uint64_t s) {
    return s >= kFPMapFirstSection && (s - kFPMapFirstSection) % kFPMapSectionStep == 0;
}

}  // namespace

uint64_t SectionStart(uint64_t section) {
    return kFirstAMapOffset + section * kAMapCoverage;
}

uint32_t SectionReserved(uint64_t s) {
    // Each map page has its own slot after the AMap, present or not.
    if (HasFPMap(s)) return 4 * kPageSize;
    if (HasFMap(s)) return 3 * kPageSize;
    if (HasPMap(s)) return 2 * kPageSize;
    return kPageSize;
}

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
    auto free_page = [this](const BlockRef& where) { ReleaseSpace(where.ib, kPageSize); };
    bbt_.SetFreer(free_page);
    nbt_.SetFreer(free_page);
}

void NdbWriter::Fail(Status::Kind kind, std::string cause) {
    if (status_.ok() && !cause.empty()) status_ = Status(kind, std::move(cause));
}

bool NdbWriter::ReadLeafPage(const BlockRef& where, PageType type, BtPageView* view) {
    if (!status_.ok()) return false;
    FlushPending();
    std::string raw;
    std::string err = sink_->ReadAt(where.ib, kPageSize, &raw);
    if (err.empty()) err = DecodeBtPage(raw, where.ib, view);
    if (err.empty() && (view->type != type || view->level != 0))
        err = "B-tree leaf page of the wrong kind";
    if (!err.empty())
        Fail(Status::Kind::kDamaged,
             "B-tree page " + Hex(where.bid) + " at " + Hex(where.ib) + ": " + err);
    return err.empty() && status_.ok();
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
    w->SectionBits(0);
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

namespace {

// An allocation map has one bit per 64-byte slot, the first slot in the
// high bit of the first byte.
uint64_t FreeSlots(const std::string& bits) {
    uint64_t zeros = 0;
    for (char c : bits) zeros += 8 - static_cast<uint64_t>(std::popcount(static_cast<uint8_t>(c)));
    return zeros;
}

bool SlotTaken(const std::string& bits, uint64_t unit) {
    return (static_cast<uint8_t>(bits[unit / 8]) & (0x80 >> (unit % 8))) != 0;
}

// Marks slots [first, end) taken or free.
void SetSlots(std::string* bits, uint64_t first, uint64_t end, bool taken) {
    for (uint64_t unit = first; unit < end; ++unit) {
        auto mask = static_cast<uint8_t>(0x80 >> (unit % 8));
        auto byte = static_cast<uint8_t>((*bits)[unit / 8]);
        (*bits)[unit / 8] = static_cast<char>(taken ? (byte | mask) : (byte & ~mask));
    }
}

uint64_t SectionOf(uint64_t ib) {
    return (ib - kFirstAMapOffset) / kAMapCoverage;
}

}  // namespace

std::string& NdbWriter::SectionBits(uint64_t section) {
    auto it = sections_.find(section);
    if (it != sections_.end()) return it->second;
    std::string& bits = sections_[section];
    if (section < mapped_sections_) {
        // Its map is in the file: space is being freed or reused there.
        uint64_t start = SectionStart(section);
        std::string raw;
        FlushPending();
        std::string err = sink_->ReadAt(start, kPageSize, &raw);
        if (err.empty()) err = CheckPage(raw, kPageAMap, start);
        if (err.empty()) {
            bits = raw.substr(0, kPageBodySize);
            closed_free_ -= std::min(closed_free_, FreeSlots(bits) * kBlockAlign);
            return bits;
        }
        Fail(Status::Kind::kDamaged, "allocation map at " + Hex(start) + ": " + err);
    }
    bits.assign(kPageBodySize, '\0');
    // The map pages "map themselves".
    SetSlots(&bits, 0, SectionReserved(section) / kBlockAlign, true);
    return bits;
}

void NdbWriter::SetBits(uint64_t begin, uint64_t end, bool allocated) {
    // Callers never cross a section, so one map serves the whole range.
    uint64_t section = SectionOf(begin);
    uint64_t start = SectionStart(section);
    SetSlots(&SectionBits(section), (begin - start) / kBlockAlign,
             (end - start + kBlockAlign - 1) / kBlockAlign, allocated);
}

void NdbWriter::MarkAllocated(uint64_t begin, uint64_t end) {
    SetBits(begin, end, true);
}

void NdbWriter::ClearAllocated(uint64_t begin, uint64_t end) {
    SetBits(begin, end, false);
}

void NdbWriter::ReleaseSpace(uint64_t ib, uint64_t size) {
    released_.emplace_back(ib, size);
}

void NdbWriter::EraseFree(std::map<uint64_t, uint64_t>::iterator it) {
    free_by_size_.erase({it->second, it->first});
    free_.erase(it);
}

void NdbWriter::AddFree(uint64_t ib, uint64_t size) {
    if (size == 0) return;
    // Neighbours merge; map pages are never free, so no run crosses a
    // section's maps.
    auto next = free_.lower_bound(ib);
    if (next != free_.end() && next->first == ib + size) {
        size += next->second;
        EraseFree(next);
    }
    auto prev = free_.lower_bound(ib);
    if (prev != free_.begin()) {
        --prev;
        if (prev->first + prev->second == ib) {
            ib = prev->first;
            size += prev->second;
            EraseFree(prev);
        }
    }
    free_[ib] = size;
    free_by_size_.insert({size, ib});
}

bool NdbWriter::TakeFree(uint32_t size, uint32_t align, uint64_t* pos) {
    // The smallest runs that fit, the first few of them, so a page (512
    // aligned) does not search every run of 64-byte slots.
    auto it = free_by_size_.lower_bound({size, 0});
    for (int tries = 0; it != free_by_size_.end() && tries < 8; ++it, ++tries) {
        auto [run, ib] = *it;
        uint64_t at = AlignUp(ib, align);
        if (at + size > ib + run) continue;
        EraseFree(free_.find(ib));
        AddFree(ib, at - ib);
        AddFree(at + size, ib + run - at - size);
        *pos = at;
        return true;
    }
    return false;
}

void NdbWriter::AddFreeRuns(uint64_t section, const std::string& bits, uint64_t limit) {
    uint64_t start = SectionStart(section);
    uint64_t units = std::min<uint64_t>(uint64_t{kPageBodySize} * 8,
                                        (std::max(limit, start) - start) / kBlockAlign);
    for (uint64_t unit = 0; unit < units;) {
        if (SlotTaken(bits, unit)) {
            ++unit;
            continue;
        }
        uint64_t end = unit;
        while (end < units && !SlotTaken(bits, end)) ++end;
        AddFree(start + unit * kBlockAlign, (end - unit) * kBlockAlign);
        unit = end;
    }
}

uint64_t NdbWriter::Allocate(uint32_t size, uint32_t align) {
    uint64_t reused = 0;
    if (TakeFree(size, align, &reused)) {
        MarkAllocated(reused, reused + size);
        return reused;
    }
    uint64_t pos = AlignUp(eof_, align);
    for (;;) {
        uint64_t section = SectionOf(pos);
        uint64_t start = SectionStart(section);
        uint64_t data_begin = start + SectionReserved(section);
        if (pos < data_begin) pos = AlignUp(data_begin, align);
        if (pos + size <= start + kAMapCoverage) break;
        // Never straddle the next section's maps; what is left of this one
        // was never reachable, so it can be taken at once.
        uint64_t end = start + kAMapCoverage;
        if (eof_ >= data_begin && eof_ < end) AddFree(eof_, end - eof_);
        pos = end;
    }
    uint64_t section = SectionOf(pos);
    if (section >= file_sections_) GrowFile(section);
    MarkAllocated(pos, pos + size);
    eof_ = pos + size;
    return pos;
}

void NdbWriter::AppendMapPages(uint64_t s, const std::string& bits,
                               std::vector<std::pair<uint64_t, std::string>>* maps) {
    uint64_t start = SectionStart(s);
    maps->emplace_back(start, BuildMapPage(kPageAMap, bits, start));
    // Free pages are found through the density list, so no PMap advertises
    // one, and no FMap or FPMap a free run.
    if (HasPMap(s))
        maps->emplace_back(
            start + kPageSize,
            BuildMapPage(kPagePMap, std::string(kPageBodySize, '\xFF'), start + kPageSize));
    if (HasFMap(s))
        maps->emplace_back(
            start + 2 * kPageSize,
            BuildMapPage(kPageFMap, std::string(kPageBodySize, '\0'), start + 2 * kPageSize));
    if (HasFPMap(s))
        maps->emplace_back(
            start + 3 * kPageSize,
            BuildMapPage(kPageFPMap, std::string(kPageBodySize, '\0'), start + 3 * kPageSize));
}

void NdbWriter::GrowFile(uint64_t section) {
    if (!status_.ok()) return;
    if (committed_.nbt.ib == 0) {
        // No header yet: the first checkpoint maps what was used.
        file_sections_ = section + 1;
        return;
    }
    // A file longer than its header says is one no reader trusts, so a store
    // grows a few sections at a time, each with its maps (all free), and a
    // header that covers them, before anything lands there. That costs two
    // syncs, so the step grows with the file.
    uint64_t step = std::clamp<uint64_t>(file_sections_ / 16, 1, kMaxGrowSections);
    uint64_t target = std::max(section + 1, file_sections_ + step);
    std::vector<std::pair<uint64_t, std::string>> maps;
    uint64_t free_bytes = 0;
    for (uint64_t s = file_sections_; s < target; ++s) {
        const std::string& bits = SectionBits(s);
        AppendMapPages(s, bits, &maps);
        free_bytes += FreeSlots(bits) * kBlockAlign;
    }
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
    grown.amap_free += free_bytes;
    grown.unique = ++header_.unique;
    Fail(sink_->WriteAt(0, EncodeHeader(grown)));
    if (!status_.ok()) return;
    committed_ = grown;
    file_sections_ = target;
    mapped_sections_ = std::max(mapped_sections_, target);
}

void NdbWriter::Write(uint64_t offset, std::string_view bytes) {
    if (!status_.ok()) return;
    if (bytes.size() >= kPendingLimit / 4) {  // large: no point copying it
        FlushPending();
        if (status_.ok()) Fail(sink_->WriteAt(offset, bytes));
        return;
    }
    std::memcpy(PendingRoom(offset, bytes.size()), bytes.data(), bytes.size());
    if (pending_size_ >= kPendingLimit) FlushPending();
}

char* NdbWriter::PendingRoom(uint64_t offset, size_t size) {
    // After a failure nothing is written: the room is only scratch.
    if (!status_.ok()) pending_size_ = 0;
    if (pending_size_ > 0 && offset != pending_at_ + pending_size_) FlushPending();
    if (!pending_) pending_ = std::make_unique_for_overwrite<char[]>(kPendingRoom);
    if (pending_size_ == 0) pending_at_ = offset;
    const size_t at = pending_size_;
    pending_size_ += size;
    return pending_.get() + at;
}

void NdbWriter::FlushPending() {
    if (pending_size_ == 0 || !status_.ok()) return;
    Fail(sink_->WriteAt(pending_at_, std::string_view(pending_.get(), pending_size_)));
    pending_size_ = 0;
}

Bid NdbWriter::WriteBlock(std::string_view payload, bool internal) {
    Bid bid = header_.bid_next_block | (internal ? kBidInternal : 0);
    header_.bid_next_block += kBidStep;
    uint32_t size = BlockFootprint(payload.size());
    uint64_t ib = Allocate(size, kBlockAlign);
    // Built where it is written from: payload, padding, trailer; encoded
    // after the copy. Blocks are most of a store's bytes, and a block of
    // its own cost an allocation and one more copy of each.
    char* block = PendingRoom(ib, size);
    std::memcpy(block, payload.data(), payload.size());
    char* trailer = block + size - kBlockTrailerSize;
    std::memset(block + payload.size(), 0, trailer - block - payload.size());
    if (!internal && header_.encoding == Encoding::kPermute)
        PermuteEncode({reinterpret_cast<uint8_t*>(block), payload.size()});
    EncodeFixed16(trailer, static_cast<uint16_t>(payload.size()));
    EncodeFixed16(trailer + 2, BlockSignature(ib, bid));
    EncodeFixed32(trailer + 4, Crc32(std::string_view(block, payload.size())));
    EncodeFixed64(trailer + 8, bid);
    if (pending_size_ >= kPendingLimit) FlushPending();
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
    std::vector<Bid> own;
    if (!leaves) leaves = &own;
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
            uint32_t size = b.reuse_size;
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
    if (gather_refs_) {
        ++ref_delta_[bid];
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
    if (gather_refs_) {
        // Taken again by the new version of the node: the count stays.
        auto it = ref_delta_.find(bid);
        if (it != ref_delta_.end() && it->second > 0) {
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
    ReleaseSpace(was.ib, BlockFootprint(was.cb));
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
            bytes += b.reuse ? (b.reuse_size ? b.reuse_size : kMaxBlockData) : b.bytes.size();
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
    ref_delta_.clear();
    gather_refs_ = true;
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
    gather_refs_ = false;
    for (const auto& [bid, count] : ref_delta_)
        for (int k = 0; k < count; ++k) AddRef(bid);
    ref_delta_.clear();
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

void NdbWriter::DeleteNode(Nid nid) {
    if (!status_.ok()) return;
    const NbtEntry* e = nbt_.Find(nid);
    if (!e) return;
    NbtEntry was = *e;
    Release(was.data);
    Release(was.sub);
    nbt_.Erase(nid);
}

bool NdbWriter::ReadBlockPayload(Bid bid, std::string* payload) {
    if (!status_.ok()) return false;
    const BbtEntry* e = bbt_.Find(bid);
    if (!e) {
        FailMissingBlock(bid);
        return false;
    }
    const BbtEntry where = *e;
    // Named in a cause only; most reads succeed.
    const auto what = [&] { return "block " + Hex(bid) + " at " + Hex(where.ib) + ": "; };
    if (where.cb > kMaxBlockData || where.ib < kFirstAMapOffset ||
        where.ib + BlockFootprint(where.cb) > std::max(eof_, committed_.file_eof)) {
        Fail(Status::Kind::kDamaged, what() + "outside the file");
        return false;
    }
    FlushPending();
    std::string raw;
    if (std::string err = sink_->ReadAt(where.ib, BlockFootprint(where.cb), &raw); !err.empty()) {
        Fail(what() + err);
        return false;
    }
    if (std::string err = DecodeBlock(raw, bid, where.ib, payload); !err.empty()) {
        Fail(Status::Kind::kDamaged, what() + err);
        return false;
    }
    if (!IsInternalBid(bid) && header_.encoding == Encoding::kPermute)
        PermuteDecode({reinterpret_cast<uint8_t*>(payload->data()), payload->size()});
    return true;
}

bool NdbWriter::ReadInternalBlock(Bid bid, InternalBlockView* view) {
    std::string payload;
    if (!ReadBlockPayload(bid, &payload)) return false;
    if (std::string err = DecodeInternalBlock(payload, view); !err.empty()) {
        Fail(Status::Kind::kDamaged, "block " + Hex(bid) + ": " + err);
        return false;
    }
    return true;
}

// Reading a node back visits each block once: a damaged tree that lists a
// block twice, or below itself, could otherwise make a few bytes of file
// stand for gigabytes of data, or never end.
struct NdbWriter::NodeRead {
    Nid nid;
    std::unordered_set<Bid> seen;
};

bool NdbWriter::Visit(NodeRead* read, Bid bid) {
    if (read->seen.insert(bid).second) return true;
    Fail(Status::Kind::kDamaged,
         "node " + Hex(read->nid) + " reaches block " + Hex(bid) + " twice");
    return false;
}

bool NdbWriter::ReadData(NodeRead* read, Bid bid, std::string* out) {
    out->clear();
    if (bid == 0) return true;
    if (!Visit(read, bid)) return false;
    if (!IsInternalBid(bid)) return ReadBlockPayload(bid, out);
    InternalBlockView view;
    if (!ReadInternalBlock(bid, &view)) return false;
    if (view.btype != kBlockTypeDataTree) {
        Fail(Status::Kind::kDamaged, "block " + Hex(bid) + " is no data tree");
        return false;
    }
    for (Bid child : view.bids) {
        // An XXBLOCK lists XBLOCKs, an XBLOCK data blocks.
        if (IsInternalBid(child) != (view.level == kXXBlockLevel)) {
            Fail(Status::Kind::kDamaged, "data tree " + Hex(bid) + " lists " + Hex(child));
            return false;
        }
        std::string part;
        if (!ReadData(read, child, &part)) return false;
        out->append(part);
    }
    if (out->size() != view.total) {
        Fail(Status::Kind::kDamaged, "data tree " + Hex(bid) + " holds " +
                                         std::to_string(out->size()) + " bytes, not " +
                                         std::to_string(view.total));
        return false;
    }
    return true;
}

bool NdbWriter::ReadSubnodes(NodeRead* read, Bid bid, std::vector<Subnode>* out) {
    if (bid == 0) return true;
    InternalBlockView view;
    if (!Visit(read, bid) || !ReadInternalBlock(bid, &view)) return false;
    if (view.btype != kBlockTypeSubnodeTree) {
        Fail(Status::Kind::kDamaged, "block " + Hex(bid) + " is no subnode tree");
        return false;
    }
    for (const auto& b : view.branches)
        if (!ReadSubnodes(read, b.bid, out)) return false;
    for (const auto& l : view.leaves) {
        Subnode s;
        s.nid = l.nid;
        if (!ReadData(read, l.data, &s.content.data) ||
            !ReadSubnodes(read, l.sub, &s.content.subnodes))
            return false;
        out->push_back(std::move(s));
    }
    return true;
}

bool NdbWriter::ReadNode(Nid nid, NodeContent* out, Nid* parent) {
    const NbtEntry* e = nbt_.Find(nid);
    if (!e) return false;
    NbtEntry copy = *e;
    if (parent) *parent = copy.parent;
    out->subnodes.clear();
    NodeRead read{nid, {}};
    return ReadData(&read, copy.data, &out->data) && ReadSubnodes(&read, copy.sub, &out->subnodes);
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
//  2. MapPages: the allocation maps the new header will reach, with the
//     space it no longer reaches marked free, and the free-space counts.
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
    file_sections_ = std::max<uint64_t>(file_sections_, 1);
    const uint64_t last_section = file_sections_ - 1;
    uint64_t free_bytes = 0;
    std::vector<std::pair<uint64_t, std::string>> maps = MapPages(last_section, &free_bytes);
    SetHeaderFields(last_section, free_bytes);
    maps.emplace_back(kDListOffset, BuildDList(last_section));
    CommitInOrder(maps);
    if (!status_.ok()) return status_.message();
    mapped_sections_ = std::max(mapped_sections_, last_section + 1);
    for (const auto& [ib, size] : released_) AddFree(ib, size);
    released_.clear();
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

std::vector<std::pair<uint64_t, std::string>> NdbWriter::MapPages(uint64_t last_section,
                                                                  uint64_t* free_bytes) {
    // What the header on disk reaches and this one will not is free in the
    // maps this checkpoint writes.
    for (const auto& [ib, size] : released_) ClearAllocated(ib, ib + size);
    SectionBits(last_section);
    if (section_free_.size() <= last_section) section_free_.resize(last_section + 1, 0);
    std::vector<std::pair<uint64_t, std::string>> maps;
    *free_bytes = closed_free_;
    for (auto it = sections_.begin(); it != sections_.end();) {
        uint64_t s = it->first;
        AppendMapPages(s, it->second, &maps);
        uint64_t zeros = FreeSlots(it->second);
        section_free_[s] = static_cast<uint16_t>(zeros);
        *free_bytes += zeros * kBlockAlign;
        // Sections behind the last are only touched again to free or reuse
        // space, and are read back then.
        if (s < last_section) {
            closed_free_ += zeros * kBlockAlign;
            it = sections_.erase(it);
        } else {
            ++it;
        }
    }
    return maps;
}

void NdbWriter::SetHeaderFields(uint64_t last_section, uint64_t free_bytes) {
    header_.amap_last = SectionStart(last_section);
    header_.file_eof = SectionStart(last_section) + kAMapCoverage;
    header_.amap_free = free_bytes;
    header_.pmap_free = 0;
}

void NdbWriter::CommitInOrder(const std::vector<std::pair<uint64_t, std::string>>& maps) {
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

std::string NdbWriter::BuildDList(uint64_t last_section) {
    DListView dlist;
    dlist.backfill_complete = true;
    dlist.current_page =
        static_cast<uint32_t>(free_.empty() ? last_section : SectionOf(free_.begin()->first));
    for (uint64_t s = 0; s < section_free_.size(); ++s)
        if (section_free_[s] > 0)
            dlist.entries.push_back({static_cast<uint32_t>(s), section_free_[s]});
    std::stable_sort(
        dlist.entries.begin(), dlist.entries.end(),
        [](const DListEntry& a, const DListEntry& b) { return a.free_slots > b.free_slots; });
    // Outlook gives it the next page id without taking it.
    return BuildDListPage(dlist, header_.bid_next_page);
}

std::string NdbWriter::LoadTree(const BlockRef& root, PageType type, int depth, TreeLoad* load) {
    const std::string what = "page " + Hex(root.bid) + " at " + Hex(root.ib) + ": ";
    if (depth > kMaxBtreeDepth) return what + "B-tree too deep";
    // A page reached twice would be a loop, or a tree whose pages are
    // shared, and could make a few pages stand for billions.
    if (!load->seen.insert(root.ib).second) return what + "reached twice";
    if (root.ib < kFirstAMapOffset || root.ib % kPageSize != 0 ||
        root.ib + kPageSize > header_.file_eof)
        return what + "outside the file";
    if (root.bid >= header_.bid_next_page) return what + "id not yet handed out";
    std::string raw;
    if (std::string err = sink_->ReadAt(root.ib, kPageSize, &raw); !err.empty()) return what + err;
    BtPageView view;
    if (std::string err = DecodeBtPage(raw, root.ib, &view); !err.empty()) return what + err;
    if (view.type != type) return what + "B-tree page of the wrong kind";
    // Levels fall by one on the way down, and keys ascend across the leaves.
    if (depth > 0 && view.level + 1 != load->level) return what + "level out of step";
    if (std::string err = Reach(root.ib, kPageSize, load); !err.empty()) return what + err;
    if (view.level == 0) {
        uint64_t first = type == kPageBbt ? (view.blocks.empty() ? 0 : view.blocks.front().bid)
                                          : (view.nodes.empty() ? 0 : view.nodes.front().nid);
        size_t count = type == kPageBbt ? view.blocks.size() : view.nodes.size();
        if (count > 0 && load->any && first <= load->last_key) return what + "keys out of order";
        if (count > 0) {
            load->any = true;
            load->last_key = type == kPageBbt ? view.blocks.back().bid : view.nodes.back().nid;
        }
        for (const BbtEntry& e : view.blocks) {
            const std::string block = what + "block " + Hex(e.bid) + " at " + Hex(e.ib) + ": ";
            if ((e.bid & ~kBidInternal) >= header_.bid_next_block)
                return block + "not yet handed out";
            if (e.cb > kMaxBlockData) return block + std::to_string(e.cb) + " bytes";
            if (std::string err = Reach(e.ib, BlockFootprint(e.cb), load); !err.empty())
                return block + err;
        }
        if (type == kPageBbt)
            bbt_.AdoptLeaf(view.blocks, root);
        else
            nbt_.AdoptLeaf(view.nodes, root);
        return {};
    }
    if (type == kPageBbt)
        bbt_.AdoptUpperPage(root);
    else
        nbt_.AdoptUpperPage(root);
    for (const auto& child : view.children) {
        load->level = view.level;
        if (std::string err = LoadTree({child.bid, child.ib}, type, depth + 1, load); !err.empty())
            return err;
    }
    return {};
}

std::string NdbWriter::Reach(uint64_t ib, uint64_t size, TreeLoad* load) const {
    // Nothing reached may lie past the file's end, across a section's end or
    // over anything else reached (a map page too): a new block could then
    // land on it, or it on another.
    if (ib < kFirstAMapOffset || ib % kBlockAlign != 0 || ib + size > header_.file_eof)
        return "past the end of the file";
    const uint64_t section = SectionOf(ib), start = SectionStart(section);
    if (ib + size > start + kAMapCoverage) return "across the end of its section";
    std::string& bits = load->reached[section];
    const uint64_t first = (ib - start) / kBlockAlign, end = first + size / kBlockAlign;
    for (uint64_t unit = first; unit < end; ++unit)
        if (SlotTaken(bits, unit)) return "over a map page, or a page or block met before";
    SetSlots(&bits, first, end, true);
    return {};
}

bool NdbWriter::MapsInFileAre(const std::vector<std::string>& bits) {
    for (uint64_t s = 0; s < bits.size(); ++s) {
        const uint64_t start = SectionStart(s);
        std::string raw;
        if (!sink_->ReadAt(start, kPageSize, &raw).empty() ||
            !CheckPage(raw, kPageAMap, start).empty() ||
            std::string_view(raw).substr(0, kPageBodySize) != bits[s])
            return false;
    }
    return true;
}

void NdbWriter::TakeMaps(std::vector<std::string> bits, bool rewrite) {
    const uint64_t last = bits.size() - 1;
    section_free_.assign(last + 1, 0);
    closed_free_ = 0;
    for (uint64_t s = 0; s <= last; ++s) {
        const uint64_t start = SectionStart(s);
        const uint64_t slots = FreeSlots(bits[s]);
        section_free_[s] = static_cast<uint16_t>(slots);
        if (s < last) {
            AddFreeRuns(s, bits[s], start + kAMapCoverage);
            // Sections behind the last are read back when touched, unless
            // the file's maps are wrong: then every one is written afresh.
            if (rewrite)
                sections_[s] = std::move(bits[s]);
            else
                closed_free_ += slots * kBlockAlign;
            continue;
        }
        // Continue after the last allocated unit of the last section.
        uint64_t end = start + SectionReserved(s);
        for (uint64_t unit = 0; unit < uint64_t{kPageBodySize} * 8; ++unit)
            if (SlotTaken(bits[s], unit)) end = std::max(end, start + (unit + 1) * kBlockAlign);
        eof_ = end;
        AddFreeRuns(s, bits[s], end);
        sections_[s] = std::move(bits[s]);
    }
    mapped_sections_ = last + 1;
    file_sections_ = last + 1;
}

std::string NdbWriter::CoverTail() {
    // Growing covers sections this way: maps afresh, then a header that
    // includes them. A file longer than its header is one no reader trusts.
    const uint64_t size = sink_->Size();
    if (status_.ok() && committed_.nbt.ib != 0 && size > SectionStart(file_sections_))
        GrowFile((size - kFirstAMapOffset - 1) / kAMapCoverage);
    return status_.message();
}

std::string NdbWriter::CheckHeader(uint64_t size) const {
    const Header& h = header_;
    if (h.file_eof > size) return "file is shorter than its header says (truncated)";
    // What the header says is used to size arrays and walk the file: it has
    // to describe a file of whole sections that holds its two trees.
    if (h.file_eof < kFirstAMapOffset + kAMapCoverage ||
        (h.file_eof - kFirstAMapOffset) % kAMapCoverage != 0 ||
        h.amap_last != h.file_eof - kAMapCoverage)
        return "header gives a file end or last map that are not section bounds";
    if (h.amap_valid != kAMapInvalid && h.amap_valid != kAMapValid2)
        return "header's map state " + std::to_string(h.amap_valid) + " is unknown";
    if (h.nbt.ib == 0 || h.bbt.ib == 0) return "header reaches no B-tree";
    return {};
}

std::unique_ptr<NdbWriter> NdbWriter::Open(Sink* sink, Status* error) {
    auto refuse = [&](Status::Kind kind, std::string cause) {
        *error = Status(kind, std::move(cause));
        return nullptr;
    };
    std::string raw;
    if (sink->Size() < kHeaderSize)
        return refuse(Status::Kind::kNotOurs, "file too short to be a personal store");
    if (std::string err = sink->ReadAt(0, kHeaderSize, &raw); !err.empty())
        return refuse(Status::Kind::kMedium, err);
    std::unique_ptr<NdbWriter> w(new NdbWriter(sink));
    if (std::string err = DecodeHeader(raw, &w->header_); !err.empty())
        return refuse(Status::Kind::kNotOurs, err);
    if (w->header_.writer_mark != Header::kWriterMark)
        return refuse(Status::Kind::kNotOurs, "store was not made by this program");
    if (std::string err = w->CheckHeader(sink->Size()); !err.empty())
        return refuse(Status::Kind::kDamaged, err);
    TreeLoad load;
    // As [MS-PST] 2.6.1.3.7 rebuilds them: every section empty but for its
    // own maps, then whatever the two trees reach.
    load.reached.resize(SectionOf(w->header_.amap_last) + 1);
    for (uint64_t s = 0; s < load.reached.size(); ++s) {
        load.reached[s].assign(kPageBodySize, '\0');
        SetSlots(&load.reached[s], 0, SectionReserved(s) / kBlockAlign, true);
    }
    if (std::string err = w->LoadTree(w->header_.nbt, kPageNbt, 0, &load); !err.empty())
        return refuse(Status::Kind::kDamaged, "node tree: " + err);
    load.any = false;
    if (std::string err = w->LoadTree(w->header_.bbt, kPageBbt, 0, &load); !err.empty())
        return refuse(Status::Kind::kDamaged, "block tree: " + err);
    w->committed_ = w->header_;
    // Maps the header calls valid are trusted only when they say what the
    // trees say: space they call free that a tree reaches would be written
    // over.
    const bool rebuild = w->header_.amap_valid == kAMapInvalid || !w->MapsInFileAre(load.reached);
    w->TakeMaps(std::move(load.reached), rebuild);
    return w;
}

std::unique_ptr<NdbWriter> NdbWriter::Open(Sink* sink, std::string* error) {
    Status status;
    auto w = Open(sink, &status);
    if (!w) *error = status.message();
    return w;
}

}  // namespace mailvane::pst
