// Reading back what the store holds: nodes for the messaging layer, leaf
// pages for the indexes, allocation maps for the space map. Whatever is read
// is checked against the file first, so a damaged store fails the writer
// with a cause, never a crash.
#include <algorithm>
#include <unordered_set>

#include "mapi/format/Coding.h"
#include "mapi/pst/NdbWriter.h"
#include "mapi/pst/Permute.h"

namespace mailvane::pst {

using namespace format;

bool NdbWriter::ReadLeafPage(const BlockRef& where, PageType type, BtPageView* view) {
    if (!status_.ok()) return false;
    FlushPending();
    std::string raw;
    std::string err = sink_->ReadAt(where.ib, kPageSize, &raw);
    // A page that cannot be read is the medium's failure, not the store's.
    const Status::Kind kind = err.empty() ? Status::Kind::kDamaged : Status::Kind::kMedium;
    if (err.empty()) err = DecodeBtPage(raw, where.ib, view);
    if (err.empty() && (view->type != type || view->level != 0))
        err = "B-tree leaf page of the wrong kind";
    if (!err.empty())
        Fail(kind, "B-tree page " + Hex(where.bid) + " at " + Hex(where.ib) + ": " + err);
    return err.empty() && status_.ok();
}

bool NdbWriter::ReadMap(uint64_t start, std::string* bits) {
    std::string raw;
    FlushPending();
    std::string err = sink_->ReadAt(start, kPageSize, &raw);
    const Status::Kind kind = err.empty() ? Status::Kind::kDamaged : Status::Kind::kMedium;
    if (err.empty()) err = CheckPage(raw, kPageAMap, start);
    if (err.empty()) {
        *bits = raw.substr(0, kPageBodySize);
        return true;
    }
    Fail(kind, "allocation map at " + Hex(start) + ": " + err);
    return false;
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
        where.ib + BlockFootprint(where.cb) > std::max(space_.end(), committed_.file_eof)) {
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

}  // namespace mailvane::pst
