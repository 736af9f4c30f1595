#include "mapi/pst/PropertyContext.h"

#include <map>

#include "mapi/format/Coding.h"
#include "mapi/pst/Bth.h"
#include "mapi/pst/Heap.h"

namespace mailvane::pst {

using namespace format;
namespace {

// A record: property id and type, then the value or where it is.
constexpr uint8_t kRecordKeySize = 2;
constexpr uint8_t kRecordDataSize = 6;

bool StoredInRecord(uint16_t type) {
    return FixedSize(type) != 0 && FixedSize(type) <= 4;
}

}  // namespace

NodeContent BuildPropertyContext(PropertyList props, uint32_t* nextIndex) {
    std::map<uint16_t, Property*> byId;
    for (auto& p : props) byId[PropIdOf(p.tag)] = &p;
    NodeContent node;
    HeapBuilder heap(kHeapPropertyContext);
    const Hid header = ReserveBthHeader(&heap);
    std::vector<std::string> records;
    for (const auto& [id, p] : byId) {
        uint16_t type = PropTypeOf(p->tag);
        uint32_t value = 0;
        if (StoredInRecord(type)) {
            char buf[4] = {0, 0, 0, 0};
            std::memcpy(buf, p->value.data(), std::min<size_t>(p->value.size(), 4));
            value = DecodeFixed32(buf);
        } else if (p->value.empty()) {
            value = 0;  // empty values have no allocation
        } else if (p->value.size() <= kMaxHeapAllocation) {
            value = heap.Allocate(p->value);
        } else {
            Nid nid = MakeNid(kNidTypeLtp, (*nextIndex)++);
            node.subnodes.push_back({nid, NodeContent{std::move(p->value), {}}});
            value = nid;
        }
        std::string r;
        PutFixed16(&r, id);
        PutFixed16(&r, type);
        PutFixed32(&r, value);
        records.push_back(std::move(r));
    }
    heap.SetUserRoot(BuildBth(&heap, header, kRecordKeySize, kRecordDataSize, records));
    node.data = heap.Finish();
    return node;
}

std::string ReadPropertyContext(const NodeContent& node, PropertyList* props) {
    uint8_t client = 0;
    Hid root = 0;
    if (std::string err = HeapHeader(node.data, &client, &root); !err.empty()) return err;
    if (client != kHeapPropertyContext) return "heap of client " + Hex(client) + ", not properties";
    uint8_t cb_key = 0, cb_data = 0;
    std::vector<std::string> records;
    if (std::string err = ReadBth(node.data, root, &cb_key, &cb_data, &records); !err.empty())
        return err;
    if (cb_key != kRecordKeySize || cb_data != kRecordDataSize)
        return "property records of " + std::to_string(cb_key) + "+" + std::to_string(cb_data) +
               " bytes";
    props->clear();
    for (const auto& r : records) {
        uint16_t id = DecodeFixed16(r.data());
        uint16_t type = DecodeFixed16(r.data() + 2);
        uint32_t hnid = DecodeFixed32(r.data() + 4);
        Property p{MakeTag(id, type), {}};
        if (StoredInRecord(type)) {
            p.value = r.substr(4, FixedSize(type));
        } else if (hnid == 0) {
        } else if (IsHid(hnid)) {
            if (std::string err = HeapLookup(node.data, hnid, &p.value); !err.empty())
                return "property " + Hex(p.tag) + ": " + err;
        } else if (const NodeContent* sub = FindSubnode(node, hnid)) {
            p.value = sub->data;
        } else {
            return "property " + Hex(p.tag) + ": subnode " + Hex(hnid) + " missing";
        }
        props->push_back(std::move(p));
    }
    return {};
}

}  // namespace mailvane::pst
