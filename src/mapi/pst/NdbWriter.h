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
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "mapi/pst/Block.h"
#include "mapi/pst/BtreeIndex.h"
#include "mapi/pst/Header.h"
#include "mapi/pst/NodeContent.h"
#include "mapi/pst/Page.h"
#include "mapi/pst/Sink.h"
#include "mapi/pst/SpaceMap.h"
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
    const Header& header() const { return header_; }

private:
    friend class StoreTestAccess;  // reaches past 4 GB without writing 4 GB

    explicit NdbWriter(Sink* sink);

    void FolderTablesFollow(uint32_t type);
    Bid WriteBlock(std::string_view payload, bool internal);
    Bid WriteData(std::string_view data, std::vector<Bid>* leaves);
    Bid WriteContentData(const NodeContent& content, std::vector<Bid>* leaves);
    Bid WriteTree(const std::vector<Bid>& leaves, const std::vector<uint32_t>& sizes,
                  uint64_t total);
    Bid WriteSubnodes(const std::vector<Subnode>& subnodes, PlacedBlocks* placed = nullptr);
    void AddRef(Bid bid);
    void Release(Bid bid);
    void FailMissingBlock(Bid bid);

    // Reading back (NdbReadBack.cpp).
    bool ReadBlockPayload(Bid bid, std::string* payload);
    bool ReadInternalBlock(Bid bid, InternalBlockView* view);
    struct NodeRead;
    bool Visit(NodeRead* read, Bid bid);
    bool ReadData(NodeRead* read, Bid bid, std::string* out);
    bool ReadSubnodes(NodeRead* read, Bid bid, std::vector<Subnode>* out);
    // A leaf page of the tree of `type` written earlier, for the indexes.
    bool ReadLeafPage(const BlockRef& where, PageType type, BtPageView* view);
    // The AMap of a section whose maps are in the file, for the space map.
    bool ReadMap(uint64_t start, std::string* bits);

    uint64_t Allocate(uint32_t size, uint32_t align);
    // The steps of Checkpoint(), in order (see there why).
    void FlushTrees();
    void SetHeaderFields(uint64_t lastSection, uint64_t freeBytes);
    void CommitInOrder(const std::vector<PageAt>& maps);
    // Makes the file, and the header on disk, cover `section`.
    void GrowFile(uint64_t section);
    BlockRef WritePage(PageType type, uint8_t level, const std::vector<BbtEntry>* bbt,
                       const std::vector<NbtEntry>* nbt, const std::vector<BtEntry>* branch);
    void Write(uint64_t offset, std::string_view bytes);
    // `size` zero bytes to be written at `offset`, at the end of the
    // pending writes, for the caller to fill before the next write.
    char* PendingRoom(uint64_t offset, size_t size);
    void FlushPending();

    // Reopening (NdbReopen.cpp): the header checked against the file of
    // `size` bytes, then each tree page by page, then the maps against what
    // the trees reach.
    std::string CheckHeader(uint64_t size) const;
    struct TreeLoad;
    std::string LoadTree(const BlockRef& root, PageType type, int depth, TreeLoad* load);
    // Whether the maps in the file give exactly these bits.
    bool MapsInFileAre(const std::vector<std::string>& bits);

    Sink* sink_;
    Header header_;
    Header committed_;  // as the file's header says
    Status status_;
    SpaceMap space_;
    BtreeIndex<BbtEntry, kMaxBbtEntries> bbt_;
    // While PutNode replaces a node: references taken by the new version
    // not yet applied. A block the new version reuses and the old one
    // releases nets to nothing, so its index leaf, long on disk when a big
    // table is rewritten at a checkpoint, is not read back.
    std::unordered_map<Bid, int> refDelta_;
    bool gatherRefs_ = false;
    BtreeIndex<NbtEntry, kMaxNbtEntries> nbt_;
    std::vector<Bid> loose_;  // see WriteLooseBlock()
    // Consecutive writes gathered into one, in room allocated once: blocks
    // are built in it where they will be written from, not zeroed first.
    std::unique_ptr<char[]> pending_;
    size_t pendingSize_ = 0;
    uint64_t pendingAt_ = 0;
};

}  // namespace mailvane::pst
