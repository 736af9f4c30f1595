#include "mapi/pst/Block.h"

#include "mapi/pst/Coding.h"
#include "mapi/pst/Crc.h"

namespace mailvane::pst {

std::string BuildBlock(std::string_view payload, Bid bid, uint64_t ib) {
    std::string b(payload);
    b.resize(BlockFootprint(payload.size()) - kBlockTrailerSize, '\0');
    PutFixed16(&b, static_cast<uint16_t>(payload.size()));
    PutFixed16(&b, BlockSignature(ib, bid));
    PutFixed32(&b, Crc32(payload));
    PutFixed64(&b, bid);
    return b;
}

std::string DecodeBlock(std::string_view block, Bid bid, uint64_t ib, std::string* payload) {
    if (block.size() < kBlockTrailerSize || block.size() % kBlockAlign != 0)
        return "bad block size";
    const char* t = block.data() + block.size() - kBlockTrailerSize;
    uint16_t cb = DecodeFixed16(t);
    if (BlockFootprint(cb) != block.size()) return "block size mismatch";
    if (DecodeFixed64(t + 8) != bid) return "block id mismatch";
    if (DecodeFixed16(t + 2) != BlockSignature(ib, bid)) return "block signature mismatch";
    std::string_view data = block.substr(0, cb);
    if (DecodeFixed32(t + 4) != Crc32(data)) return "block checksum mismatch";
    payload->assign(data);
    return {};
}

std::string EncodeXBlock(uint8_t level, const std::vector<Bid>& bids, uint32_t total) {
    std::string b;
    PutFixed8(&b, 0x01);
    PutFixed8(&b, level);
    PutFixed16(&b, static_cast<uint16_t>(bids.size()));
    PutFixed32(&b, total);
    for (Bid bid : bids) PutFixed64(&b, bid);
    return b;
}

std::string EncodeSlBlock(const std::vector<SlEntry>& entries) {
    std::string b;
    PutFixed8(&b, 0x02);
    PutFixed8(&b, 0);
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
    PutFixed8(&b, 0x02);
    PutFixed8(&b, 1);
    PutFixed16(&b, static_cast<uint16_t>(entries.size()));
    PutFixed32(&b, 0);
    for (const auto& e : entries) {
        PutFixed64(&b, e.nid);
        PutFixed64(&b, e.bid);
    }
    return b;
}

std::string DecodeInternalBlock(std::string_view p, InternalBlockView* out) {
    if (p.size() < 8) return "internal block too short";
    out->btype = static_cast<uint8_t>(p[0]);
    out->level = static_cast<uint8_t>(p[1]);
    uint16_t count = DecodeFixed16(p.data() + 2);
    out->bids.clear();
    out->leaves.clear();
    out->branches.clear();
    if (out->btype == 1) {
        out->total = DecodeFixed32(p.data() + 4);
        if (p.size() < 8 + size_t{count} * 8) return "data tree block truncated";
        for (uint16_t i = 0; i < count; ++i)
            out->bids.push_back(DecodeFixed64(p.data() + 8 + 8 * i));
    } else if (out->btype == 2 && out->level == 0) {
        if (p.size() < 8 + size_t{count} * 24) return "subnode block truncated";
        for (uint16_t i = 0; i < count; ++i) {
            const char* e = p.data() + 8 + 24 * i;
            out->leaves.push_back(
                {static_cast<Nid>(DecodeFixed64(e)), DecodeFixed64(e + 8), DecodeFixed64(e + 16)});
        }
    } else if (out->btype == 2) {
        if (p.size() < 8 + size_t{count} * 16) return "subnode block truncated";
        for (uint16_t i = 0; i < count; ++i) {
            const char* e = p.data() + 8 + 16 * i;
            out->branches.push_back({static_cast<Nid>(DecodeFixed64(e)), DecodeFixed64(e + 8)});
        }
    } else {
        return "unknown internal block type";
    }
    return {};
}

}  // namespace mailvane::pst
