#pragma once
// What a node holds before it is placed: its data and its subnodes, each of
// which is again data plus subnodes ([MS-PST] 2.2.2.8.3.3).
#include <string>
#include <vector>

#include "mapi/pst/Format.h"

namespace mailvane::pst {

struct Subnode;

// One block of node data given on its own: either bytes to write, or a
// block written for an earlier version of the same node and still held by
// it, which is referenced again instead of written anew.
struct DataBlock {
    Bid reuse = 0;
    std::string bytes;  // at most one block's worth
    // The size of the reused block: given by the caller, who knows it, so
    // the writer need not look the block up (its index page may long be
    // on disk only).
    uint32_t reuseSize = 0;
};

struct NodeContent {
    NodeContent() = default;
    explicit NodeContent(std::string d);
    NodeContent(std::string d, std::vector<Subnode> s);

    std::string data;               // split into blocks as it comes...
    std::vector<Subnode> subnodes;  // any order; sorted when placed
    std::vector<DataBlock> blocks;  // ...unless given block by block here
};

// Where the data blocks of a node and of its direct subnodes went, in order.
struct PlacedBlocks {
    std::vector<Bid> data;
    std::vector<std::pair<Nid, std::vector<Bid>>> subnodes;
};

struct Subnode {
    Nid nid = 0;
    NodeContent content;
};

// Defined here, where Subnode is complete, so every compiler can build the
// vector of subnodes.
inline NodeContent::NodeContent(std::string d) : data(std::move(d)) {}
inline NodeContent::NodeContent(std::string d, std::vector<Subnode> s)
    : data(std::move(d)), subnodes(std::move(s)) {}

// The direct subnode `nid` of `node`, or null.
inline const NodeContent* FindSubnode(const NodeContent& node, Nid nid) {
    for (const auto& s : node.subnodes)
        if (s.nid == nid) return &s.content;
    return nullptr;
}

}  // namespace mailvane::pst
