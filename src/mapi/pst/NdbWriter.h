#pragma once
// Places blocks, pages and allocation maps in a store file and keeps the two
// B-trees that find them. Data blocks are written once and never rewritten;
// a node whose content changes gets new blocks and its old ones leave the
// block tree. Space that the next header no longer reaches (old blocks,
// superseded B-tree pages) is marked free in the maps that header's
// checkpoint writes, and taken again only after that header is on disk, so
// the maps always equal a rebuild from the B-trees.
//
// Nothing written since the last Checkpoint() is reachable from the header,
// so a reader of a file whose writer died sees exactly the last checkpoint.
// The file never grows past what the header on disk covers: new sections get
// their maps and a header that includes them before anything lands there.
// The maps are changed in place only while the header on disk marks them
// invalid ([MS-PST] 2.6.1.3.7); a store reopened in that state, or one
// whose maps differ from what its B-trees reach (a map page changed or lost
// on the medium), has its maps rebuilt from the B-trees, so no new block
// ever lands on one that a tree reaches.
//
// Errors are sticky: after the first failure every call does nothing and
// failure() keeps the first cause. A node past a limit of the format is
// caught by CheckNode() before any of it is written, so a caller can refuse
// it alone; PutNode() fails the writer with such a node only when its
// caller did not check. A store read back is checked before it
// is trusted: every page, block and tree is checked against the file and
// the header, so a damaged store fails with a cause, never a crash.
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "mapi/pst/Block.h"
#include "mapi/pst/BtreeIndex.h"
#include "mapi/pst/Header.h"
#include "mapi/pst/NodeContent.h"
#include "mapi/pst/Page.h"
#include "mapi/pst/Sink.h"
#include "mapi/pst/Status.h"

namespace mailvane::pst {

// The most one node holds: the subnodes one SIBLOCK of SLBLOCKs lists, and
// the bytes a data tree's 32-bit count gives.
constexpr size_t kMaxSubnodes = kMaxSlEntries * kMaxSiEntries;  // 173,400
constexpr uint64_t kMaxNodeData = UINT32_MAX;

class NdbWriter {
public:
    // A new store in an empty sink.
    static std::unique_ptr<NdbWriter> Create(Sink* sink, Encoding encoding);
    // A store this writer made earlier; any other file, and a store whose
    // header or B-trees are damaged, is refused with the cause in *error,
    // and nothing is written to it (CoverTail() is the first write).
    static std::unique_ptr<NdbWriter> Open(Sink* sink, Status* error);
    static std::unique_ptr<NdbWriter> Open(Sink* sink, std::string* error);

    // A node id of `type` never handed out before in this store.
    // REQUIRES: type < kNidTypeCount (else the writer fails, returning 0).
    Nid NewNid(uint32_t type);
    // Marks a fixed id as used, so NewNid never hands it out.
    void ReserveNid(Nid nid);

    // Empty, or why `content` cannot be one node with its subnodes (kind
    // kTooLarge): more than kMaxSubnodes subnodes under one node, or data
    // past kMaxNodeData bytes.
    static Status CheckNode(const NodeContent& content);

    // Writes the content as blocks and points the node at them, replacing
    // what the node held before. A node CheckNode() refuses fails the writer
    // with that cause, nothing of it written.
    void PutNode(Nid nid, Nid parent, const NodeContent& content, PlacedBlocks* placed = nullptr);
    // A block written ahead of the node that will hold it, so that a large
    // table need not be held whole in memory until it is placed: the node
    // gives it as a DataBlock to reuse. The writer holds it until
    // DropLooseBlocks(), which frees those no node took, so a node that is
    // refused in the end leaves nothing behind.
    Bid WriteLooseBlock(std::string_view payload);
    void DropLooseBlocks();
    // Makes `nid` share the blocks of `like` (template tables do this).
    // REQUIRES: `like` exists (else the writer fails).
    void PutSharedNode(Nid nid, Nid parent, Nid like);
    // A node with no data at all (the search queues of a new store).
    void PutEmptyNode(Nid nid, Nid parent);
    void DeleteNode(Nid nid);

    bool HasNode(Nid nid) const { return nbt_.Find(nid) != nullptr; }
    // Reads a node back in full (data and subnodes). False when there is no
    // such node, or it is damaged (the writer then fails with the cause).
    bool ReadNode(Nid nid, NodeContent* out, Nid* parent = nullptr);
    template <typename Fn>
    void ForEachNode(Fn fn) const {
        nbt_.ForEach([&](const NbtEntry& e) { fn(e.nid, e.parent); });
    }

    // Writes every pending page and syncs; marks the maps invalid in the
    // header and syncs; writes the maps and the density list and syncs; then
    // writes the new header, maps valid, and syncs again. Returns the
    // failure's message, empty on success.
    std::string Checkpoint();
    // Has the header on disk cover what a writer that died growing the file
    // left past the end that header gives (nothing any header reaches), so
    // the file is no longer than its header; a checkpoint does it first.
    // Returns the failure's message, empty on success.
    std::string CoverTail();

    const Status& failure() const { return status_; }
    // The failure's message, empty while all is well.
    const std::string& status() const { return status_.message(); }
    // Stops the writer with this cause (kept only if it is the first; an
    // empty cause changes nothing).
    void Fail(Status::Kind kind, std::string cause);
    // A failure of the medium: what a Sink call returned.
    void Fail(const std::string& cause) { Fail(Status::Kind::kMedium, cause); }
    // Moves the end of allocated space forward, leaving the gap unmapped, so
    // tests reach offsets past 4 GB without writing 4 GB.
    void SkipForTesting(uint64_t offset) { eof_ = std::max(eof_, offset); }
    uint64_t allocatedEnd() const { return eof_; }
    const Header& header() const { return header_; }
    size_t blockCount() const { return bbt_.size(); }
    size_t nodeCount() const { return nbt_.size(); }

private:
    explicit NdbWriter(Sink* sink);

    void FolderTablesFollow(uint32_t type);
    Bid WriteBlock(std::string_view payload, bool internal);
    Bid WriteData(std::string_view data, std::vector<Bid>* leaves = nullptr);
    Bid WriteContentData(const NodeContent& content, std::vector<Bid>* leaves);
    Bid WriteTree(const std::vector<Bid>& leaves, const std::vector<uint32_t>& sizes,
                  uint64_t total);
    Bid WriteSubnodes(const std::vector<Subnode>& subnodes, PlacedBlocks* placed = nullptr);
    void AddRef(Bid bid);
    void Release(Bid bid);
    void FailMissingBlock(Bid bid);
    bool ReadBlockPayload(Bid bid, std::string* payload);
    bool ReadInternalBlock(Bid bid, InternalBlockView* view);
    struct NodeRead;
    bool Visit(NodeRead* read, Bid bid);
    bool ReadData(NodeRead* read, Bid bid, std::string* out);
    bool ReadSubnodes(NodeRead* read, Bid bid, std::vector<Subnode>* out);

    uint64_t Allocate(uint32_t size, uint32_t align);
    void MarkAllocated(uint64_t begin, uint64_t end);
    void ClearAllocated(uint64_t begin, uint64_t end);
    void SetBits(uint64_t begin, uint64_t end, bool allocated);
    std::string& SectionBits(uint64_t section);
    // Space no longer reached once the next header is written.
    void ReleaseSpace(uint64_t ib, uint64_t size);
    // Space that can be written over now.
    void AddFree(uint64_t ib, uint64_t size);
    void EraseFree(std::map<uint64_t, uint64_t>::iterator it);
    bool TakeFree(uint32_t size, uint32_t align, uint64_t* pos);
    void AddFreeRuns(uint64_t section, const std::string& bits, uint64_t limit);
    std::string BuildDList(uint64_t last_section);
    // The steps of Checkpoint(), in order (see there why).
    void FlushTrees();
    std::vector<std::pair<uint64_t, std::string>> MapPages(uint64_t last_section,
                                                           uint64_t* free_bytes);
    void SetHeaderFields(uint64_t last_section, uint64_t free_bytes);
    void CommitInOrder(const std::vector<std::pair<uint64_t, std::string>>& maps);
    // The map pages of section `s` with these allocation bits.
    static void AppendMapPages(uint64_t s, const std::string& bits,
                               std::vector<std::pair<uint64_t, std::string>>* maps);
    // Makes the file, and the header on disk, cover `section`.
    void GrowFile(uint64_t section);
    BlockRef WritePage(PageType type, uint8_t level, const std::vector<BbtEntry>* bbt,
                       const std::vector<NbtEntry>* nbt, const std::vector<BtEntry>* branch);
    void Write(uint64_t offset, std::string_view bytes);
    // `size` zero bytes to be written at `offset`, at the end of the
    // pending writes, for the caller to fill before the next write.
    char* PendingRoom(uint64_t offset, size_t size);
    void FlushPending();
    // Reopening: the header checked against the file of `size` bytes, then
    // each tree page by page, then the maps against what the trees reach.
    std::string CheckHeader(uint64_t size) const;
    struct TreeLoad {
        // Per section, the allocation bits a rebuild from the trees gives:
        // its own map pages, then every page and block the trees reach.
        std::vector<std::string> reached;
        std::unordered_set<uint64_t> seen;
        uint8_t level = 0;  // of the page above
        bool any = false;   // a leaf entry was met; the last key is then
        uint64_t last_key = 0;
    };
    std::string LoadTree(const BlockRef& root, PageType type, int depth, TreeLoad* load);
    // Marks `size` bytes at `ib` reached; why they cannot be, or empty.
    std::string Reach(uint64_t ib, uint64_t size, TreeLoad* load) const;
    // Whether the maps in the file give exactly these bits.
    bool MapsInFileAre(const std::vector<std::string>& bits);
    // Takes these bits as the maps of every section the header covers;
    // `rewrite` writes each section's maps at the next checkpoint.
    void TakeMaps(std::vector<std::string> bits, bool rewrite);
    // A leaf page of the tree of `type` written earlier, for the indexes.
    bool ReadLeafPage(const BlockRef& where, PageType type, BtPageView* view);

    Sink* sink_;
    Header header_;
    Header committed_;  // as the file's header says
    Status status_;
    uint64_t eof_ = kFirstAMapOffset;  // end of allocated space
    // Allocation bits of sections touched since the last checkpoint.
    std::map<uint64_t, std::string> sections_;
    uint64_t closed_free_ = 0;            // free bytes in sections no longer held
    uint64_t mapped_sections_ = 0;        // sections whose maps are in the file
    uint64_t file_sections_ = 0;          // sections the file and its header cover
    std::vector<uint16_t> section_free_;  // free slots per section, as written
    // Released since the last checkpoint: (offset, bytes).
    std::vector<std::pair<uint64_t, uint64_t>> released_;
    // Free for reuse, coalesced: offset -> bytes, and (bytes, offset).
    std::map<uint64_t, uint64_t> free_;
    std::set<std::pair<uint64_t, uint64_t>> free_by_size_;
    BtreeIndex<BbtEntry, kMaxBbtEntries> bbt_;
    // While PutNode replaces a node: references taken by the new version
    // not yet applied. A block the new version reuses and the old one
    // releases nets to nothing, so its index leaf, long on disk when a big
    // table is rewritten at a checkpoint, is not read back.
    std::unordered_map<Bid, int> ref_delta_;
    bool gather_refs_ = false;
    BtreeIndex<NbtEntry, kMaxNbtEntries> nbt_;
    std::vector<Bid> loose_;  // see WriteLooseBlock()
    // Consecutive writes gathered into one, in room allocated once: blocks
    // are built in it where they will be written from, not zeroed first.
    std::unique_ptr<char[]> pending_;
    size_t pending_size_ = 0;
    uint64_t pending_at_ = 0;
};

// Offset of the AMap page of `section` and the bytes its map pages take.
uint64_t SectionStart(uint64_t section);
uint32_t SectionReserved(uint64_t section);

}  // namespace mailvane::pst
