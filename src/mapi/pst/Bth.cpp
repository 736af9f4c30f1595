#include "mapi/pst/Bth.h"

#include "mapi/pst/Coding.h"

namespace mailvane::pst {

namespace {

constexpr size_t kBthHeaderSize = 8;

// The BTH header ([MS-PST] 2.3.2.1) that every tree starts from.
Hid FillBthHeader(HeapBuilder* heap, Hid hid, uint8_t cb_key, uint8_t cb_data, uint8_t levels,
                  Hid root) {
    std::string header;
    PutFixed8(&header, kHeapBth);
    PutFixed8(&header, cb_key);
    PutFixed8(&header, cb_data);
    PutFixed8(&header, levels);
    PutFixed32(&header, root);
    heap->Overwrite(hid, header);
    return hid;
}

}  // namespace

Hid ReserveBthHeader(HeapBuilder* heap) {
    return heap->Allocate(std::string(kBthHeaderSize, '\0'));
}

Hid BuildBth(HeapBuilder* heap, Hid header, uint8_t cb_key, uint8_t cb_data,
             const std::vector<std::string>& records) {
    Hid root = 0;
    uint8_t levels = 0;
    if (!records.empty()) {
        // Each level: pack records into allocations, then index their first keys.
        std::vector<std::string> level = records;
        size_t record_size = size_t{cb_key} + cb_data;
        for (;;) {
            size_t per_node = kMaxHeapAllocation / record_size;
            std::vector<std::string> index;
            std::vector<Hid> nodes;
            for (size_t at = 0; at < level.size(); at += per_node) {
                std::string node;
                for (size_t i = at; i < level.size() && i < at + per_node; ++i) node += level[i];
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
            record_size = size_t{cb_key} + 4;
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
    const size_t per_node = kMaxHeapAllocation / (size_t{cb_key} + 4);
    while (level.size() > 1) {
        std::vector<std::pair<std::string, Hid>> up;
        for (size_t at = 0; at < level.size(); at += per_node) {
            std::string node;
            for (size_t i = at; i < level.size() && i < at + per_node; ++i) {
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

bool ReadLevel(std::string_view heap_data, Hid hid, int level, size_t cb_key, size_t cb_data,
               std::vector<std::string>* out) {
    std::string node;
    if (!HeapLookup(heap_data, hid, &node)) return false;
    size_t size = cb_key + (level > 0 ? 4 : cb_data);
    if (node.size() % size != 0) return false;
    for (size_t at = 0; at < node.size(); at += size) {
        if (level == 0) {
            out->push_back(node.substr(at, size));
        } else if (!ReadLevel(heap_data, DecodeFixed32(node.data() + at + cb_key), level - 1,
                              cb_key, cb_data, out)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool ReadBth(std::string_view heap_data, Hid header, uint8_t* cb_key, uint8_t* cb_data,
             std::vector<std::string>* records) {
    std::string h;
    if (!HeapLookup(heap_data, header, &h) || h.size() != kBthHeaderSize ||
        static_cast<uint8_t>(h[0]) != kHeapBth)
        return false;
    *cb_key = static_cast<uint8_t>(h[1]);
    *cb_data = static_cast<uint8_t>(h[2]);
    Hid root = DecodeFixed32(h.data() + 4);
    records->clear();
    if (root == 0) return true;
    return ReadLevel(heap_data, root, static_cast<uint8_t>(h[3]), *cb_key, *cb_data, records);
}

}  // namespace mailvane::pst
