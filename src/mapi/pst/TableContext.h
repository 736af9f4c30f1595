#pragma once
// Table context ([MS-PST] 2.3.4): column descriptions, a row index (row id
// -> position) and a row matrix, in the heap when small and in a subnode
// when it outgrows one heap allocation.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mapi/format/PropTags.h"
#include "mapi/pst/Heap.h"
#include "mapi/pst/NodeContent.h"
#include "mapi/pst/Property.h"

namespace mailvane::pst {

// TCINFO ([MS-PST] 2.3.4.1): the row layout, the row index's BTH header and
// where the row matrix is (a heap id, a subnode id or 0 for no rows).
struct TcColumn {
    uint32_t tag = 0;
    uint16_t offset = 0;  // of the cell in the row
    uint8_t size = 0;     // 1, 2, 4 or 8; 4 for a reference to the value
    uint8_t bit = 0;      // in the existence bitmap
    bool operator==(const TcColumn&) const = default;
};
struct TcInfo {
    static constexpr size_t kFixedLength = 22;
    static constexpr size_t kColumnLength = 8;
    static constexpr size_t kMaxColumns = 255;  // cCols is one byte
    // rgib: where the 4- and 8-byte cells end, then the 2-byte and the
    // 1-byte cells; the last is the row size, the existence bitmap ending it.
    enum End { kEnd4b, kEnd2b, kEnd1b, kEndRow, kEnds };

    std::array<uint16_t, kEnds> ends{};
    Hid row_index = 0;
    uint32_t rowsRef = 0;
    std::vector<TcColumn> columns;  // by tag

    static size_t EncodedLength(size_t columns) { return kFixedLength + kColumnLength * columns; }
    uint16_t rowSize() const { return ends[kEndRow]; }
    uint16_t bitmapAt() const { return ends[kEnd1b]; }
    std::string Encode() const;
    // Empty, or why `bytes` are no TCINFO whose rows a reader can walk: the
    // row fits a block, every cell and existence bit lies inside the row,
    // tags ascend and the row id and version columns are there.
    std::string DecodeFrom(std::string_view bytes);
};

struct TableView;

class TableBuilder {
public:
    // The row id and row version columns are added when missing.
    // REQUIRES: at most TcInfo::kMaxColumns tags with those two.
    explicit TableBuilder(std::vector<uint32_t> tags);

    // Adds a row, or replaces the row with this id. Values whose tag is not a
    // column are ignored; columns without a value stay absent in the row.
    void SetRow(uint32_t rowId, const PropertyList& values);
    // The stored value of one cell, or null when the row or cell is absent.
    std::optional<std::string> Cell(uint32_t rowId, uint32_t tag);
    bool HasRow(uint32_t rowId) const { return Position(rowId) != nullptr; }
    size_t rowCount() const { return base_ + rows_.size(); }
    const std::vector<uint32_t>& tags() const { return tags_; }

    // Builds the whole table from rows held in memory: for tables built once
    // (recipients, attachments, templates), never given a reader.
    NodeContent Build() const;

    // The same for rows that come one by one, each id once, and never
    // change (a message's recipients and attachments): each goes into the
    // heap and the row matrix as it comes, and FinishAppended() gives the
    // node Build() would give with those rows, its heap pages as blocks of
    // their own. The table keeps no row, only 4 bytes a row for its index,
    // so a message of 300,000 recipients is not held once more as rows.
    // REQUIRES: no row set otherwise on this table.
    void AppendRow(uint32_t rowId, const PropertyList& values);
    NodeContent FinishAppended();
    // With a writer, the heap pages and row-matrix blocks of appended rows
    // are written as soon as they are final and the node gives them as
    // blocks to reuse, so not even the encoded table is held whole.
    using BlockWriter = std::function<Bid(std::string_view block)>;
    void SetBlockWriter(BlockWriter writer) { blockWriter_ = std::move(writer); }
    // Heap pages of the appended rows so far: a table past kMaxHeapPages
    // is refused before it is finished.
    size_t appendedHeapPages() const;

    // With a reader of the node last placed from BuildForNode(), Commit()
    // drops from memory the rows that sit in full row-matrix blocks on disk,
    // so a folder's table costs memory for its newest rows only (and 8 bytes
    // a row for the row index). A dropped row that is needed again (looked
    // up, replaced) brings the dropped rows back through the reader; they
    // are dropped again at the next Commit().
    using Reader = std::function<bool(TableView*)>;
    void SetReader(Reader reader) { reader_ = std::move(reader); }
    // For a table read back on reopening a store: keeps only the row ids
    // (in row-matrix order) and leaves every row on disk. Call on an empty
    // table with `view` read from its node, and set the reader before any
    // row is needed.
    void SetRowsOnDisk(const TableView& view);

    // How large the node BuildForNode() makes grows with one more row of
    // `values`: the values too long for the heap (a subnode each) and the
    // pages of the heap. A table past kMaxSubnodes subnodes or
    // kMaxHeapPages pages cannot be written, so a row that would take it
    // there is refused before it is set. Rows replaced still count: the
    // figures may err high, never low.
    struct Extent {
        size_t long_values = 0;
        size_t heap_pages = 0;
    };
    Extent ExtentWith(const PropertyList& values) const;

    // For a table node rewritten at every checkpoint, as a folder's contents
    // table is: builds the node reusing the blocks of the last committed
    // build that cannot have changed (full heap pages, full row-matrix
    // blocks), so that appending rows costs what the new rows take rather
    // than the whole table. Replacing a row already built, or adding one
    // whose id is not above all earlier ones, starts afresh.
    // After placing the node, Commit() records where its blocks went.
    NodeContent BuildForNode();
    void Commit(const PlacedBlocks& placed);

private:
    struct Incremental;
    struct Appended;

    // A row is kept encoded, to hold big tables in little memory: the row
    // bytes with every fixed cell and the existence bits in place, and the
    // variable cells as (column, length, bytes) records.
    struct Row {
        uint32_t id = 0;
        std::string fixed;
        std::string variable;
    };
    size_t ColumnOf(uint32_t tag) const;
    size_t InfoSize() const;
    std::string EncodeInfo(Hid row_index, uint32_t rowsRef) const;
    size_t rowSize() const { return ends_[TcInfo::kEndRow]; }
    size_t bitmapAt() const { return ends_[TcInfo::kEnd1b]; }
    Row EncodeRow(uint32_t rowId, const PropertyList& values) const;
    const uint32_t* Position(uint32_t rowId) const;
    // Brings back every dropped row; false (the reader failed) leaves them
    // dropped.
    bool Reload();
    // Appends the row's bytes to *out, its variable cells placed in the heap
    // (or, when too large, in new subnodes).
    void EncodeCells(const Row& row, HeapBuilder* heap, std::vector<Subnode>* big,
                     uint32_t* nextIndex, std::string* out) const;

    std::vector<uint32_t> tags_;    // sorted by tag
    std::vector<TcColumn> layout_;  // same order as tags_
    std::array<uint16_t, TcInfo::kEnds> ends_{};
    std::vector<Row> rows_;  // the rows from position base_ on
    size_t base_ = 0;        // rows before it are dropped (see SetReader)
    // (row id, position) sorted by row id.
    std::vector<std::pair<uint32_t, uint32_t>> index_;
    std::shared_ptr<Incremental> inc_;
    std::shared_ptr<Appended> app_;
    Reader reader_;
    BlockWriter blockWriter_;
    // The heap of BuildForNode() followed allocation by allocation, for
    // ExtentWith(): every row set so far, in order.
    struct HeapFill {
        size_t page = 0, items = 0, bytes = 0;
        size_t long_values = 0, rows = 0;
        void Add(size_t size);
    };
    void Follow(const Row& row, HeapFill* fill) const;
    HeapFill fill_;
};

// A table read back (tests and reopen).
struct TableView {
    std::vector<uint32_t> tags;
    std::vector<uint32_t> row_ids;  // in row matrix order
    std::vector<PropertyList> rows;
};
// The empty string, or why the node is no table whose rows can be read.
std::string ReadTable(const NodeContent& node, TableView* out);

}  // namespace mailvane::pst
