#include "mapi/format/MessageContent.h"

#include "mapi/format/Coding.h"
#include "mapi/format/PropertyType.h"

namespace mailvane::format {

const Property* FindProperty(const PropertyList& props, uint32_t tag) {
    for (auto it = props.rbegin(); it != props.rend(); ++it)
        if (it->tag == tag) return &*it;
    return nullptr;
}

void SetProperty(PropertyList* props, Property p) {
    for (auto& q : *props)
        if (PropIdOf(q.tag) == PropIdOf(p.tag)) {
            q = std::move(p);
            return;
        }
    props->push_back(std::move(p));
}

void SetPropertyIfAbsent(PropertyList* props, Property p) {
    for (const auto& q : *props)
        if (PropIdOf(q.tag) == PropIdOf(p.tag)) return;
    props->push_back(std::move(p));
}

uint32_t LongOf(const PropertyList& props, uint32_t tag, uint32_t fallback) {
    const Property* p = FindProperty(props, tag);
    return p && p->value.size() >= 4 ? DecodeFixed32(p->value.data()) : fallback;
}

Property LongProperty(uint32_t tag, uint32_t value) {
    Property p{tag, {}};
    PutFixed32(&p.value, value);
    return p;
}

uint64_t ValueBytes(const PropertyList& props) {
    uint64_t size = 0;
    for (const auto& p : props) size += p.value.size();
    return size;
}

}  // namespace mailvane::format
