#pragma once
// Shared helpers of the store tests: the B-trees of a store file, and the
// scratch folders and random bytes of all tests.
#include <string>
#include <vector>

#include "../common/TestFiles.h"
#include "mapi/pst/NdbWriter.h"

namespace mailvane::pst::testing {

// Calls fn(ib, view) for each page of the B-tree whose root is at `root`;
// false when a page does not read back.
template <typename Fn>
bool ForEachTreePage(Sink* sink, uint64_t root, Fn fn) {
    std::string raw;
    for (std::vector<uint64_t> pages = {root}; !pages.empty();) {
        const uint64_t ib = pages.back();
        pages.pop_back();
        BtPageView view;
        if (!sink->ReadAt(ib, kPageSize, &raw).empty() || !DecodeBtPage(raw, ib, &view).empty())
            return false;
        fn(ib, view);
        for (const auto& child : view.children) pages.push_back(child.ib);
    }
    return true;
}

// How many blocks the block tree of the last checkpoint in `sink` lists.
inline size_t BlocksInFile(Sink* sink) {
    std::string raw;
    Header h;
    size_t blocks = 0;
    if (sink->ReadAt(0, kHeaderSize, &raw).empty() && DecodeHeader(raw, &h).empty())
        ForEachTreePage(sink, h.bbt.ib,
                        [&](uint64_t, const BtPageView& view) { blocks += view.blocks.size(); });
    return blocks;
}

}  // namespace mailvane::pst::testing
