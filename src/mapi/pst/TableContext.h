#pragma once
// Table context ([MS-PST] 2.3.4): column descriptions, a row index (row id
// -> position) and a row matrix, in the heap when small and in a subnode
// when it outgrows one heap allocation.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mapi/pst/Heap.h"
#include "mapi/pst/NodeContent.h"
#include "mapi/pst/Property.h"

namespace mailvane::pst {

constexpr uint32_t kTagLtpRowId = 0x67F20003;
constexpr uint32_t kTagLtpRowVer = 0x67F30003;

class TableBuilder {
public:
    // The row id and row version columns are added when missing.
    explicit TableBuilder(std::vector<uint32_t> tags);

    // Adds a row, or replaces the row with this id. Values whose tag is not a
    // column are ignored; columns without a value stay absent in the row.
    void SetRow(uint32_t row_id, const PropertyList& values);
    bool RemoveRow(uint32_t row_id);
    // The stored value of one cell, or null when the row or cell is absent.
    std::optional<std::string> Cell(uint32_t row_id, uint32_t tag) const;
    bool HasRow(uint32_t row_id) const { return position_.count(row_id) != 0; }
    size_t row_count() const { return rows_.size(); }
    const std::vector<uint32_t>& tags() const { return tags_; }

    NodeContent Build() const;

    // For a table node rewritten at every checkpoint, as a folder's contents
    // table is: builds the node reusing the blocks of the last committed
    // build that cannot have changed (full heap pages, full row-matrix
    // blocks), so that appending rows costs what the new rows take rather
    // than the whole table. Replacing or removing a row already built, or
    // adding one whose id is not above all earlier ones, starts afresh.
    // After placing the node, Commit() records where its blocks went.
    NodeContent BuildForNode();
    void Commit(const PlacedBlocks& placed);

private:
    struct Incremental;

    struct Layout {
        uint16_t offset = 0;
        uint8_t size = 0;
        uint8_t bit = 0;
    };
    // A row is kept encoded, to hold big tables in little memory: the row
    // bytes with every fixed cell and the existence bits in place, and the
    // variable cells as (column, length, bytes) records.
    struct Row {
        uint32_t id = 0;
        std::string fixed;
        std::string variable;
    };
    size_t ColumnOf(uint32_t tag) const;
    // Appends the row's bytes to *out, its variable cells placed in the heap
    // (or, when too large, in new subnodes).
    void EncodeCells(const Row& row, HeapBuilder* heap, std::vector<Subnode>* big,
                     uint32_t* next_index, std::string* out) const;

    std::vector<uint32_t> tags_;       // sorted by tag
    std::vector<Layout> layout_;       // same order as tags_
    uint16_t ends_[4] = {0, 0, 0, 0};  // end of 4/8-byte, 2-byte, 1-byte cells, row size
    std::vector<Row> rows_;
    std::map<uint32_t, size_t> position_;  // row id -> index in rows_
    std::shared_ptr<Incremental> inc_;
};

// A table read back (tests and reopen).
struct TableView {
    std::vector<uint32_t> tags;
    std::vector<uint32_t> row_ids;  // in row matrix order
    std::vector<PropertyList> rows;
};
bool ReadTable(const NodeContent& node, TableView* out);

}  // namespace mailvane::pst
