#include "mapi/pst/Block.h"

#include <cstring>

#include "mapi/format/Coding.h"
#include "mapi/format/Crc.h"

namespace mailvane::pst {

using namespace format;

std::string BuildBlock(std::string_view payload, Bid bid, uint64_t ib) {
    std::string b(BlockFootprint(payload.size()), '\0');
    payload.copy(b.data(), payload.size());
    SealBlock(b.data(), payload.size(), bid, ib);
    return b;
}

void SealBlock(char* block, size_t cb, Bid bid, uint64_t ib) {
    char* trailer = block + BlockFootprint(cb) - kBlockTrailerSize;
    std::memset(block + cb, 0, trailer - block - cb);
    EncodeFixed16(trailer, static_cast<uint16_t>(cb));
    EncodeFixed16(trailer + 2, BlockSignature(ib, bid));
    EncodeFixed32(trailer + 4, Crc32(std::string_view(block, cb)));
    EncodeFixed64(trailer + 8, bid);
}

std::string DecodeBlock(std::string_view block, Bid bid, uint64_t ib, std::string* payload) {
    if (block.size() < kBlockTrailerSize || block.size() % kBlockAlign != 0)
        return "bad block size";
    const char* t = block.data() + block.size() - kBlockTrailerSize;
    uint16_t cb = DecodeFixed16(t);
    if (BlockFootprint(cb) != block.size()) return "block size mismatch";
    if (DecodeFixed64(t + 8) != bid) return "block id mismatch";
    if (kCheckIntegrity && DecodeFixed16(t + 2) != BlockSignature(ib, bid))
        return "block signature mismatch";
    std::string_view data = block.substr(0, cb);
    if (kCheckIntegrity && DecodeFixed32(t + 4) != Crc32(data)) return "block checksum mismatch";
    payload->assign(data);
    return {};
}

std::string EncodeXBlock(uint8_t level, const std::vector<Bid>& bids, uint32_t total) {
    std::string b;
    PutFixed8(&b, kBlockTypeDataTree);
    PutFixed8(&b, level);
    PutFixed16(&b, static_cast<uint16_t>(bids.size()));
    PutFixed32(&b, total);
    for (Bid bid : bids) PutFixed64(&b, bid);
    return b;
}

std::string EncodeSlBlock(const std::vector<SlEntry>& entries) {
    std::string b;
    PutFixed8(&b, kBlockTypeSubnodeTree);
    PutFixed8(&b, kSubnodeLeafLevel);
    PutFixed16(&b, static_cast<uint16_t>(entries.size()));
    PutFixed32(&b, 0);
    for (const auto& e : entries) {
        PutFixed64(&b, e.nid);
        PutFixed64(&b, e.data);
        PutFixed64(&b, e.sub);
    }
    return b;
}

std::string EncodeSiBlock(const std::vector<SiEntry>& entries) {
    std::string b;
    PutFixed8(&b, kBlockTypeSubnodeTree);
    PutFixed8(&b, kSubnodeBranchLevel);
    PutFixed16(&b, static_cast<uint16_t>(entries.size()));
    PutFixed32(&b, 0);
    for (const auto& e : entries) {
        PutFixed64(&b, e.nid);
        PutFixed64(&b, e.bid);
    }
    return b;
}

std::string DecodeInternalBlock(std::string_view p, InternalBlockView* out) {
    if (p.size() < kInternalBlockHeader) return "internal block too short";
    out->btype = static_cast<uint8_t>(p[0]);
    out->level = static_cast<uint8_t>(p[1]);
    const size_t count = DecodeFixed16(p.data() + 2);
    out->bids.clear();
    out->leaves.clear();
    out->branches.clear();
    const char* entries = p.data() + kInternalBlockHeader;
    auto fits = [&](size_t entrySize, size_t max) {
        return count <= max && p.size() >= kInternalBlockHeader + count * entrySize;
    };
    if (out->btype == kBlockTypeDataTree) {
        if (out->level != kXBlockLevel && out->level != kXXBlockLevel)
            return "data tree block of level " + std::to_string(out->level);
        out->total = DecodeFixed32(p.data() + 4);
        if (!fits(8, kMaxXBlockEntries)) return "data tree block truncated";
        for (size_t i = 0; i < count; ++i) out->bids.push_back(DecodeFixed64(entries + 8 * i));
    } else if (out->btype == kBlockTypeSubnodeTree && out->level == kSubnodeLeafLevel) {
        if (!fits(24, kMaxSlEntries)) return "subnode block truncated";
        for (size_t i = 0; i < count; ++i) {
            const char* e = entries + 24 * i;
            out->leaves.push_back(
                {static_cast<Nid>(DecodeFixed64(e)), DecodeFixed64(e + 8), DecodeFixed64(e + 16)});
        }
    } else if (out->btype == kBlockTypeSubnodeTree && out->level == kSubnodeBranchLevel) {
        if (!fits(16, kMaxSiEntries)) return "subnode block truncated";
        for (size_t i = 0; i < count; ++i) {
            const char* e = entries + 16 * i;
            out->branches.push_back({static_cast<Nid>(DecodeFixed64(e)), DecodeFixed64(e + 8)});
        }
    } else {
        return "unknown internal block type " + std::to_string(out->btype) + " level " +
               std::to_string(out->level);
    }
    return {};
}

}  // namespace mailvane::pst
