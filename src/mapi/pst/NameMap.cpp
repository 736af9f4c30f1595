#include "mapi/pst/NameMap.h"

#include <map>

#include "mapi/format/Coding.h"
#include "mapi/format/PropTags.h"

namespace mailvane::pst {

using namespace format;
namespace {

// Tags by their documented names.
using namespace mailvane::mapi;

constexpr uint16_t kFirstBucket = 0x1000;

}  // namespace

PropertyList NameMap::Properties() const {
    const NameTable::Streams streams = table_.Encode();
    std::map<uint16_t, std::string> buckets;
    for (size_t i = 0; i < table_.size(); ++i)
        buckets[static_cast<uint16_t>(kFirstBucket + table_.HashBucket(i, kBuckets))] +=
            table_.HashRecord(i);
    PropertyList props;
    std::string count;
    PutFixed32(&count, kBuckets);
    props.push_back({PidTagNameidBucketCount, count});
    props.push_back({PidTagNameidStreamGuid, streams.guids});
    props.push_back({PidTagNameidStreamEntry, streams.entries});
    props.push_back({PidTagNameidStreamString, streams.strings});
    for (auto& [id, bytes] : buckets) props.push_back({MakeTag(id, kPtBinary), bytes});
    return props;
}

std::string NameMap::Load(const PropertyList& props) {
    const std::string* guids = nullptr;
    const std::string* entries = nullptr;
    const std::string* strings = nullptr;
    for (const auto& p : props) {
        if (p.tag == PidTagNameidStreamGuid) guids = &p.value;
        if (p.tag == PidTagNameidStreamEntry) entries = &p.value;
        if (p.tag == PidTagNameidStreamString) strings = &p.value;
    }
    if (!guids || !entries || !strings) return "name map without its streams";
    if (std::string cause = table_.Decode(*guids, *entries, *strings); !cause.empty()) return cause;
    written_ = table_.size();
    return {};
}

}  // namespace mailvane::pst
