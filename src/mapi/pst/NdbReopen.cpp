// Reopening a store this program made: its header checked against the
// file, each tree page by page, then its maps against what the trees reach.
// Nothing is written to it here.
#include <unordered_set>

#include "mapi/format/Coding.h"
#include "mapi/pst/NdbWriter.h"

namespace mailvane::pst {

using namespace format;

struct NdbWriter::TreeLoad {
    explicit TreeLoad(uint64_t fileEnd) : reached(fileEnd) {}
    // The allocation bits a rebuild from the trees gives.
    ReachedSpace reached;
    std::unordered_set<uint64_t> seen;
    uint8_t level = 0;    // of the page above
    bool any = false;     // a leaf entry was met; the last key is then
    bool unread = false;  // a page could not be read: the medium failed
    uint64_t lastKey = 0;
};

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
    if (std::string err = sink_->ReadAt(root.ib, kPageSize, &raw); !err.empty()) {
        load->unread = true;
        return what + err;
    }
    BtPageView view;
    if (std::string err = DecodeBtPage(raw, root.ib, &view); !err.empty()) return what + err;
    if (view.type != type) return what + "B-tree page of the wrong kind";
    // Levels fall by one on the way down, and keys ascend across the leaves.
    if (depth > 0 && view.level + 1 != load->level) return what + "level out of step";
    if (std::string err = load->reached.Reach(root.ib, kPageSize); !err.empty()) return what + err;
    if (view.level == 0) {
        uint64_t first = type == kPageBbt ? (view.blocks.empty() ? 0 : view.blocks.front().bid)
                                          : (view.nodes.empty() ? 0 : view.nodes.front().nid);
        size_t count = type == kPageBbt ? view.blocks.size() : view.nodes.size();
        if (count > 0 && load->any && first <= load->lastKey) return what + "keys out of order";
        if (count > 0) {
            load->any = true;
            load->lastKey = type == kPageBbt ? view.blocks.back().bid : view.nodes.back().nid;
        }
        for (const BbtEntry& e : view.blocks) {
            const std::string block = what + "block " + Hex(e.bid) + " at " + Hex(e.ib) + ": ";
            if ((e.bid & ~kBidInternal) >= header_.bid_next_block)
                return block + "not yet handed out";
            if (e.cb > kMaxBlockData) return block + std::to_string(e.cb) + " bytes";
            if (std::string err = load->reached.Reach(e.ib, BlockFootprint(e.cb)); !err.empty())
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
    // As [MS-PST] 2.6.1.3.7 rebuilds them: every section empty but for its
    // own maps, then whatever the two trees reach.
    TreeLoad load(w->header_.file_eof);
    // A page that cannot be read is the medium's failure, not the store's.
    const auto treeKind = [&] {
        return load.unread ? Status::Kind::kMedium : Status::Kind::kDamaged;
    };
    if (std::string err = w->LoadTree(w->header_.nbt, kPageNbt, 0, &load); !err.empty())
        return refuse(treeKind(), "node tree: " + err);
    load.any = false;
    if (std::string err = w->LoadTree(w->header_.bbt, kPageBbt, 0, &load); !err.empty())
        return refuse(treeKind(), "block tree: " + err);
    w->committed_ = w->header_;
    // Maps the header calls valid are trusted only when they say what the
    // trees say: space they call free that a tree reaches would be written
    // over.
    const bool rebuild =
        w->header_.amap_valid == kAMapInvalid || !w->MapsInFileAre(load.reached.bits());
    w->space_.LoadMaps(load.reached.TakeBits(), rebuild);
    return w;
}

}  // namespace mailvane::pst
