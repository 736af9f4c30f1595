#include "mapi/pst/Bth.h"

#include <unordered_set>

#include "mapi/format/Coding.h"

namespace mailvane::pst {

using namespace format;

std::string BthHeader::Encode() const {
    std::string b;
    PutFixed8(&b, kHeapBth);
    PutFixed8(&b, cb_key);
    PutFixed8(&b, cb_data);
    PutFixed8(&b, levels);
    PutFixed32(&b, root);
    return b;
}

std::string BthHeader::DecodeFrom(std::string_view b) {
    if (b.size() != kEncodedLength) return "BTH header of " + std::to_string(b.size()) + " bytes";
    // The fields in the order Encode() writes them.
    if (static_cast<uint8_t>(b[0]) != kHeapBth) return "no BTH signature";
    cb_key = static_cast<uint8_t>(b[1]);
    cb_data = static_cast<uint8_t>(b[2]);
    levels = static_cast<uint8_t>(b[3]);
    root = DecodeFixed32(b.data() + 4);
    if (cb_key != 2 && cb_key != 4 && cb_key != 8 && cb_key != 16)
        return "BTH key of " + std::to_string(cb_key) + " bytes";
    if (cb_data == 0 || cb_data > kMaxDataSize)
        return "BTH data of " + std::to_string(cb_data) + " bytes";
    return {};
}

namespace {

Hid FillBthHeader(HeapBuilder* heap, Hid hid, uint8_t cb_key, uint8_t cb_data, uint8_t levels,
                  Hid root) {
    heap->Overwrite(hid, BthHeader{cb_key, cb_data, levels, root}.Encode());
    return hid;
}

}  // namespace

Hid ReserveBthHeader(HeapBuilder* heap) {
    return heap->Allocate(std::string(BthHeader::kEncodedLength, '\0'));
}

Hid BuildBth(HeapBuilder* heap, Hid header, uint8_t cb_key, uint8_t cb_data,
             const std::vector<std::string>& records) {
    Hid root = 0;
    uint8_t levels = 0;
    if (!records.empty()) {
        // Each level: pack records into allocations, then index their first keys.
        std::vector<std::string> level = records;
        size_t recordSize = size_t{cb_key} + cb_data;
        for (;;) {
            size_t perNode = kMaxHeapAllocation / recordSize;
            std::vector<std::string> index;
            std::vector<Hid> nodes;
            for (size_t at = 0; at < level.size(); at += perNode) {
                std::string node;
                for (size_t i = at; i < level.size() && i < at + perNode; ++i) node += level[i];
                Hid hid = heap->Allocate(node);
                std::string entry = level[at].substr(0, cb_key);
                PutFixed32(&entry, hid);
                index.push_back(std::move(entry));
                nodes.push_back(hid);
            }
            if (nodes.size() == 1) {
                root = nodes.front();
                break;
            }
            level = std::move(index);
            recordSize = size_t{cb_key} + 4;
            ++levels;
        }
    }
    return FillBthHeader(heap, header, cb_key, cb_data, levels, root);
}

Hid BuildBthOverLeaves(HeapBuilder* heap, Hid header, uint8_t cb_key, uint8_t cb_data,
                       const std::vector<std::pair<std::string, Hid>>& leaves) {
    Hid root = 0;
    uint8_t levels = 0;
    std::vector<std::pair<std::string, Hid>> level = leaves;
    const size_t perNode = kMaxHeapAllocation / (size_t{cb_key} + 4);
    while (level.size() > 1) {
        std::vector<std::pair<std::string, Hid>> up;
        for (size_t at = 0; at < level.size(); at += perNode) {
            std::string node;
            for (size_t i = at; i < level.size() && i < at + perNode; ++i) {
                node += level[i].first;
                PutFixed32(&node, level[i].second);
            }
            up.emplace_back(level[at].first, heap->Allocate(node));
        }
        level = std::move(up);
        ++levels;
    }
    if (!level.empty()) root = level.front().second;
    return FillBthHeader(heap, header, cb_key, cb_data, levels, root);
}

namespace {

struct BthReader {
    std::string_view heap_data;
    size_t cb_key, cb_data;
    std::unordered_set<Hid> seen;
    std::vector<std::string>* out;

    std::string ReadLevel(Hid hid, int level) {
        if (!seen.insert(hid).second) return "BTH reaches allocation " + Hex(hid) + " twice";
        std::string node;
        if (std::string err = HeapLookup(heap_data, hid, &node); !err.empty()) return err;
        size_t size = cb_key + (level > 0 ? 4 : cb_data);
        if (node.size() % size != 0)
            return "BTH node " + Hex(hid) + " is no whole number of records";
        for (size_t at = 0; at < node.size(); at += size) {
            if (level == 0) {
                std::string record = node.substr(at, size);
                if (!out->empty() && !KeyAbove(record, out->back()))
                    return "BTH keys out of order in " + Hex(hid);
                out->push_back(std::move(record));
            } else if (std::string err =
                           ReadLevel(DecodeFixed32(node.data() + at + cb_key), level - 1);
                       !err.empty()) {
                return err;
            }
        }
        return {};
    }

    // Keys compare as little-endian unsigned integers.
    bool KeyAbove(const std::string& a, const std::string& b) const {
        for (size_t i = cb_key; i-- > 0;)
            if (a[i] != b[i]) return static_cast<uint8_t>(a[i]) > static_cast<uint8_t>(b[i]);
        return false;
    }
};

}  // namespace

std::string ReadBth(std::string_view heap_data, Hid header, uint8_t* cb_key, uint8_t* cb_data,
                    std::vector<std::string>* records) {
    std::string bytes;
    BthHeader h;
    if (std::string err = HeapLookup(heap_data, header, &bytes); !err.empty()) return err;
    if (std::string err = h.DecodeFrom(bytes); !err.empty()) return err;
    *cb_key = h.cb_key;
    *cb_data = h.cb_data;
    records->clear();
    if (h.root == 0) return {};
    BthReader reader{heap_data, h.cb_key, h.cb_data, {header}, records};
    return reader.ReadLevel(h.root, h.levels);
}

}  // namespace mailvane::pst
