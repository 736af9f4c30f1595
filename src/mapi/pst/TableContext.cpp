#include "mapi/pst/TableContext.h"

#include <algorithm>
#include <cstddef>

#include "mapi/format/Coding.h"
#include "mapi/pst/Bth.h"
#include "mapi/pst/Heap.h"

namespace mailvane::pst {

using namespace format;
namespace {

// Bytes a cell takes in the row: fixed values up to eight bytes in place,
// everything else as a 4-byte reference.
uint8_t CellSize(uint16_t type) {
    size_t f = FixedSize(type);
    return (f == 0 || f > 8) ? 4 : static_cast<uint8_t>(f);
}

// The subnode holding a large row matrix.
constexpr Nid kRowMatrixNid = MakeNid(kNidTypeLtp, 1);
constexpr uint32_t kFirstCellNidIndex = 2;
// Row id and row version lead every row, four bytes each.
constexpr uint16_t kRowIdAt = 0, kRowVerAt = 4, kRowHeader = 8;
// The row index maps a 4-byte row id to a 4-byte position; its leaves are
// heap allocations of as many records as one holds.
constexpr uint8_t kRowIndexKeySize = 4, kRowIndexDataSize = 4;
constexpr size_t kRowIndexRecordSize = kRowIndexKeySize + kRowIndexDataSize;
constexpr size_t kRowIndexRecordsPerLeaf = kMaxHeapAllocation / kRowIndexRecordSize;

// The existence bitmap starts at `bitmapAt`; its bits run from the high
// bit of each byte.
bool CellExists(std::string_view row, size_t bitmapAt, uint8_t bit) {
    return (static_cast<uint8_t>(row[bitmapAt + bit / 8]) & (0x80 >> (bit % 8))) != 0;
}
void MarkCell(std::string* row, size_t bitmapAt, uint8_t bit) {
    char& byte = (*row)[bitmapAt + bit / 8];
    byte = static_cast<char>(byte | (0x80 >> (bit % 8)));
}

// Where TCINFO's fields sit (Encode() writes them in this order), and
// those of each column description (TCOLDESC) after them.
constexpr size_t kInfoSignatureAt = 0, kInfoColumnCountAt = 1, kInfoEndsAt = 2,
                 kInfoRowIndexAt = 10, kInfoRowsAt = 14;
constexpr size_t kColumnTagAt = 0, kColumnOffsetAt = 4, kColumnSizeAt = 6, kColumnBitAt = 7;

size_t BitmapBytes(size_t columns) {
    return (columns + 7) / 8;
}

}  // namespace

std::string TcInfo::Encode() const {
    std::string b;
    PutFixed8(&b, kHeapTableContext);
    PutFixed8(&b, static_cast<uint8_t>(columns.size()));
    for (uint16_t e : ends) PutFixed16(&b, e);
    PutFixed32(&b, row_index);
    PutFixed32(&b, rowsRef);
    PutFixed32(&b, 0);  // hidIndex, deprecated
    for (const TcColumn& c : columns) {
        PutFixed32(&b, c.tag);
        PutFixed16(&b, c.offset);
        PutFixed8(&b, c.size);
        PutFixed8(&b, c.bit);
    }
    return b;
}

std::string TcInfo::DecodeFrom(std::string_view b) {
    if (b.size() < kFixedLength) return "table info too short";
    if (static_cast<uint8_t>(b[kInfoSignatureAt]) != kHeapTableContext)
        return "no table info signature";
    const size_t count = static_cast<uint8_t>(b[kInfoColumnCountAt]);
    if (b.size() != EncodedLength(count))
        return "table info of " + std::to_string(b.size()) + " bytes for " + std::to_string(count) +
               " columns";
    for (size_t i = 0; i < kEnds; ++i) ends[i] = DecodeFixed16(b.data() + kInfoEndsAt + 2 * i);
    row_index = DecodeFixed32(b.data() + kInfoRowIndexAt);
    rowsRef = DecodeFixed32(b.data() + kInfoRowsAt);
    const std::string layout = "table row layout: ";
    for (size_t i = 1; i < kEnds; ++i)
        if (ends[i] < ends[i - 1]) return layout + "cell groups out of order";
    if (rowSize() == 0 || rowSize() > kMaxBlockData)
        return layout + "rows of " + std::to_string(rowSize()) + " bytes";
    if (size_t{bitmapAt()} + BitmapBytes(count) > rowSize())
        return layout + "existence bitmap past the row";
    columns.clear();
    bool rowId = false, rowVer = false;
    for (size_t i = 0; i < count; ++i) {
        const char* c = b.data() + kFixedLength + kColumnLength * i;
        TcColumn col{DecodeFixed32(c + kColumnTagAt), DecodeFixed16(c + kColumnOffsetAt),
                     static_cast<uint8_t>(c[kColumnSizeAt]), static_cast<uint8_t>(c[kColumnBitAt])};
        const std::string what = layout + "column " + Hex(col.tag);
        if (!columns.empty() && col.tag <= columns.back().tag) return what + " out of order";
        size_t fixed = FixedSize(PropTypeOf(col.tag));
        size_t want = (fixed == 0 || fixed > 8) ? 4 : fixed;
        if (col.size != want) return what + " of " + std::to_string(col.size) + " bytes";
        if (size_t{col.offset} + col.size > bitmapAt()) return what + " past the cells";
        if (col.bit / 8 >= BitmapBytes(count)) return what + " past the existence bitmap";
        rowId = rowId || col.tag == mapi::PidTagLtpRowId;
        rowVer = rowVer || col.tag == mapi::PidTagLtpRowVer;
        columns.push_back(col);
    }
    if (!rowId || !rowVer) return layout + "no row id or version column";
    return {};
}

TableBuilder::TableBuilder(std::vector<uint32_t> tags) : tags_(std::move(tags)) {
    for (uint32_t must : {mapi::PidTagLtpRowId, mapi::PidTagLtpRowVer})
        if (std::find(tags_.begin(), tags_.end(), must) == tags_.end()) tags_.push_back(must);
    std::sort(tags_.begin(), tags_.end());
    tags_.erase(std::unique(tags_.begin(), tags_.end()), tags_.end());
    layout_.resize(tags_.size());
    // Row id and version lead the row; then cells by falling size.
    uint16_t at = kRowHeader;
    uint8_t bit = 2;
    for (size_t i = 0; i < tags_.size(); ++i) {
        if (tags_[i] == mapi::PidTagLtpRowId) layout_[i] = {tags_[i], kRowIdAt, 4, 0};
        if (tags_[i] == mapi::PidTagLtpRowVer) layout_[i] = {tags_[i], kRowVerAt, 4, 1};
    }
    for (uint8_t size : {8, 4, 2, 1}) {
        for (size_t i = 0; i < tags_.size(); ++i) {
            if (tags_[i] == mapi::PidTagLtpRowId || tags_[i] == mapi::PidTagLtpRowVer) continue;
            if (CellSize(PropTypeOf(tags_[i])) != size) continue;
            layout_[i] = {tags_[i], at, size, bit++};
            at = static_cast<uint16_t>(at + size);
        }
        if (size == 4) ends_[TcInfo::kEnd4b] = at;
        if (size == 2) ends_[TcInfo::kEnd2b] = at;
        if (size == 1) ends_[TcInfo::kEnd1b] = at;
    }
    ends_[TcInfo::kEndRow] = static_cast<uint16_t>(at + BitmapBytes(tags_.size()));
    // BuildForNode() starts its heap with these two.
    fill_.Add(BthHeader::kEncodedLength);
    fill_.Add(InfoSize());
}

void TableBuilder::HeapFill::Add(size_t size) {
    if (!HeapBuilder::Fits(page, items, bytes, size)) {
        ++page;
        items = bytes = 0;
    }
    ++items;
    bytes += size;
}

void TableBuilder::Follow(const Row& row, HeapFill* fill) const {
    // As BuildForNode() allocates: the row's values, in the heap or past
    // it, then a full leaf of the row index every so many rows.
    for (size_t at = 0; at < row.variable.size();) {
        uint32_t len = DecodeFixed32(row.variable.data() + at + 1);
        at += 5 + len;
        if (len > kMaxHeapAllocation)
            ++fill->long_values;
        else if (len > 0)
            fill->Add(len);
    }
    if (++fill->rows % kRowIndexRecordsPerLeaf == 0)
        fill->Add(kRowIndexRecordsPerLeaf * kRowIndexRecordSize);
}

TableBuilder::Extent TableBuilder::ExtentWith(const PropertyList& values) const {
    HeapFill fill = fill_;
    Follow(EncodeRow(0, values), &fill);
    // What each build adds after the lasting heap: the last row-index leaf
    // and the levels above the leaves.
    size_t leaves = fill.rows / kRowIndexRecordsPerLeaf + 1;
    if (fill.rows % kRowIndexRecordsPerLeaf != 0)
        fill.Add(fill.rows % kRowIndexRecordsPerLeaf * kRowIndexRecordSize);
    while (leaves > 1) {
        const size_t perNode = kMaxHeapAllocation / (kRowIndexKeySize + 4);
        for (size_t left = leaves; left > 0; left -= std::min(left, perNode))
            fill.Add(std::min(left, perNode) * (kRowIndexKeySize + 4));
        leaves = (leaves + perNode - 1) / perNode;
    }
    return {fill.long_values, fill.page + 1};
}

struct TableBuilder::Incremental {
    HeapBuilder heap{kHeapTableContext};  // allocations that stay, only
    Hid indexHeader = 0;                  // the row index's BTH header
    Hid info = 0;                         // TCINFO
    std::vector<Bid> pageBids;            // per heap page: its block, once final
    size_t rows = 0;                      // rows encoded so far
    uint32_t lastId = 0;
    std::vector<Bid> matrixBids;  // full row-matrix blocks written
    std::string tail;             // encoded rows after the last full block
    size_t tailRows = 0;
    std::vector<std::pair<std::string, Hid>> indexLeaves;  // full row-index leaves
    std::string indexPending;       // row-index records not yet in a full leaf
    std::vector<Subnode> bigCells;  // cells too large for the heap
    uint32_t nextIndex = kFirstCellNidIndex;
    size_t newFullBlocks = 0;  // of the build awaiting Commit()
    size_t heapPagesBuilt = 0;
};

size_t TableBuilder::ColumnOf(uint32_t tag) const {
    auto it = std::lower_bound(tags_.begin(), tags_.end(), tag);
    return (it != tags_.end() && *it == tag) ? static_cast<size_t>(it - tags_.begin())
                                             : tags_.size();
}

const uint32_t* TableBuilder::Position(uint32_t rowId) const {
    auto it = std::lower_bound(index_.begin(), index_.end(), std::make_pair(rowId, uint32_t{0}));
    return (it != index_.end() && it->first == rowId) ? &it->second : nullptr;
}

TableBuilder::Row TableBuilder::EncodeRow(uint32_t rowId, const PropertyList& values) const {
    Row row;
    row.id = rowId;
    row.fixed.assign(rowSize(), '\0');
    auto mark = [&](size_t col) { MarkCell(&row.fixed, bitmapAt(), layout_[col].bit); };
    for (size_t col = 0; col < tags_.size(); ++col) {
        if (tags_[col] == mapi::PidTagLtpRowId) {
            EncodeFixed32(row.fixed.data() + layout_[col].offset, rowId);
            mark(col);
        } else if (tags_[col] == mapi::PidTagLtpRowVer) {
            EncodeFixed32(row.fixed.data() + layout_[col].offset, 1);
            mark(col);
        }
    }
    for (const auto& v : values) {
        size_t col = ColumnOf(v.tag);
        if (col == tags_.size() || v.tag == mapi::PidTagLtpRowId || v.tag == mapi::PidTagLtpRowVer)
            continue;
        size_t fixed = FixedSize(PropTypeOf(v.tag));
        if (fixed != 0 && fixed <= 8) {
            std::string cell = v.value;
            cell.resize(layout_[col].size, '\0');
            std::memcpy(row.fixed.data() + layout_[col].offset, cell.data(), layout_[col].size);
        } else {
            PutFixed8(&row.variable, static_cast<uint8_t>(col));
            PutFixed32(&row.variable, static_cast<uint32_t>(v.value.size()));
            row.variable += v.value;
        }
        mark(col);
    }
    return row;
}

void TableBuilder::SetRow(uint32_t rowId, const PropertyList& values) {
    Row row = EncodeRow(rowId, values);
    Follow(row, &fill_);
    auto it = std::lower_bound(index_.begin(), index_.end(), std::make_pair(rowId, uint32_t{0}));
    if (it != index_.end() && it->first == rowId) {
        size_t pos = it->second;
        if (pos < base_ && !Reload()) return;
        if (inc_ && pos < inc_->rows) inc_.reset();
        rows_[pos - base_] = std::move(row);
        return;
    }
    index_.insert(it, {rowId, static_cast<uint32_t>(rowCount())});
    rows_.push_back(std::move(row));
}

void TableBuilder::SetRowsOnDisk(const TableView& view) {
    index_.clear();
    for (size_t pos = 0; pos < view.row_ids.size(); ++pos) {
        index_.emplace_back(view.row_ids[pos], static_cast<uint32_t>(pos));
        Follow(EncodeRow(view.row_ids[pos], view.rows[pos]), &fill_);
    }
    std::sort(index_.begin(), index_.end());
    rows_.clear();
    base_ = view.row_ids.size();
    inc_.reset();
}

bool TableBuilder::Reload() {
    if (base_ == 0) return true;
    TableView view;
    if (!reader_ || !reader_(&view) || view.tags != tags_ || view.row_ids.size() < base_)
        return false;
    std::vector<Row> all;
    all.reserve(base_ + rows_.size());
    for (size_t pos = 0; pos < base_; ++pos) {
        const uint32_t* at = Position(view.row_ids[pos]);
        if (!at || *at != pos) return false;  // not the node this table placed
        all.push_back(EncodeRow(view.row_ids[pos], view.rows[pos]));
    }
    for (Row& row : rows_) all.push_back(std::move(row));
    rows_ = std::move(all);
    base_ = 0;
    return true;
}

std::optional<std::string> TableBuilder::Cell(uint32_t rowId, uint32_t tag) {
    const uint32_t* pos = Position(rowId);
    size_t col = ColumnOf(tag);
    if (!pos || col == tags_.size()) return std::nullopt;
    if (*pos < base_ && !Reload()) return std::nullopt;
    const Row& row = rows_[*pos - base_];
    const TcColumn& l = layout_[col];
    if (!CellExists(row.fixed, bitmapAt(), l.bit)) return std::nullopt;
    for (size_t at = 0; at < row.variable.size();) {
        size_t c = static_cast<uint8_t>(row.variable[at]);
        uint32_t len = DecodeFixed32(row.variable.data() + at + 1);
        if (c == col) return row.variable.substr(at + 5, len);
        at += 5 + len;
    }
    return row.fixed.substr(l.offset, l.size);
}

NodeContent TableBuilder::Build() const {
    NodeContent node;
    HeapBuilder heap(kHeapTableContext);
    const Hid indexHeader = ReserveBthHeader(&heap);
    const Hid info = heap.Allocate(std::string(InfoSize(), '\0'));
    uint32_t nextIndex = kFirstCellNidIndex;
    const size_t rowBytes = rowSize();

    std::string matrix;
    const size_t rowsPerBlock = kMaxBlockData / rowBytes;
    matrix.reserve(rows_.size() * rowBytes);
    for (size_t r = 0; r < rows_.size(); ++r) {
        const Row& row = rows_[r];
        // Rows never straddle a block: each block starts with a whole row
        // and is padded out to its full size.
        if (r > 0 && r % rowsPerBlock == 0) matrix.resize(r / rowsPerBlock * kMaxBlockData, '\0');
        EncodeCells(row, &heap, &node.subnodes, &nextIndex, &matrix);
    }

    uint32_t rowsRef = 0;
    if (matrix.empty()) {
        rowsRef = 0;
    } else if (matrix.size() <= kMaxHeapAllocation) {
        rowsRef = heap.Allocate(matrix);
    } else {
        node.subnodes.push_back({kRowMatrixNid, NodeContent{matrix, {}}});
        rowsRef = kRowMatrixNid;
    }

    std::vector<std::string> records;
    for (const auto& [id, pos] : index_) {
        std::string rec;
        PutFixed32(&rec, id);
        PutFixed32(&rec, pos);
        records.push_back(std::move(rec));
    }
    Hid row_index = BuildBth(&heap, indexHeader, kRowIndexKeySize, kRowIndexDataSize, records);
    heap.Overwrite(info, EncodeInfo(row_index, rowsRef));
    heap.SetUserRoot(info);
    node.data = heap.Finish();
    return node;
}

struct TableBuilder::Appended {
    HeapBuilder heap{kHeapTableContext};
    Hid indexHeader = 0, info = 0;
    std::vector<DataBlock> full;  // row-matrix blocks, padded
    std::string tail;             // the rows of the block still filling
    size_t tailRows = 0;
    std::vector<Subnode> bigCells;
    uint32_t nextIndex = kFirstCellNidIndex;
    std::vector<uint32_t> ids;
    std::vector<Bid> pageBids;  // per heap page: its block once written
    size_t pagesDone = 0;       // pages before it are written or kept
};

void TableBuilder::AppendRow(uint32_t rowId, const PropertyList& values) {
    if (!app_) {
        // Allocated first, as Build() does.
        app_ = std::make_shared<Appended>();
        app_->indexHeader = ReserveBthHeader(&app_->heap);
        app_->info = app_->heap.Allocate(std::string(InfoSize(), '\0'));
    }
    Appended& a = *app_;
    // A block is padded out once the next row starts another (Build()).
    if (a.tailRows == kMaxBlockData / rowSize()) {
        a.tail.resize(kMaxBlockData, '\0');
        if (blockWriter_)
            a.full.push_back({blockWriter_(a.tail), {}, static_cast<uint32_t>(kMaxBlockData)});
        else
            a.full.push_back({0, std::move(a.tail), 0});
        a.tail.clear();
        a.tailRows = 0;
    }
    EncodeCells(EncodeRow(rowId, values), &a.heap, &a.bigCells, &a.nextIndex, &a.tail);
    ++a.tailRows;
    a.ids.push_back(rowId);
    if (!blockWriter_) return;
    // Every page before the last is full; those that list no later page
    // are final.
    for (; a.pagesDone + 1 < a.heap.pageCount(); ++a.pagesDone) {
        const size_t i = a.pagesDone;
        if (HeapBuilder::ListsLaterPages(i)) continue;
        a.pageBids.resize(i + 1);
        a.pageBids[i] = blockWriter_(a.heap.PageBlock(i));
        a.heap.DropPage(i);
    }
}

size_t TableBuilder::appendedHeapPages() const {
    return app_ ? app_->heap.pageCount() : 1;
}

NodeContent TableBuilder::FinishAppended() {
    if (!app_) return Build();
    Appended& a = *app_;
    NodeContent node;
    node.subnodes = std::move(a.bigCells);
    uint32_t rowsRef = 0;
    if (a.full.empty() && a.tail.size() <= kMaxHeapAllocation) {
        rowsRef = a.heap.Allocate(a.tail);
    } else {
        NodeContent matrix;
        matrix.blocks = std::move(a.full);
        matrix.blocks.push_back({0, std::move(a.tail), 0});
        node.subnodes.push_back({kRowMatrixNid, std::move(matrix)});
        rowsRef = kRowMatrixNid;
    }
    // The row index's leaves, then the levels above them, as BuildBth()
    // packs them.
    // Ids come ascending (recipients, attachments); any others are sorted.
    std::vector<uint32_t> positions;
    if (!std::is_sorted(a.ids.begin(), a.ids.end())) {
        positions.resize(a.ids.size());
        for (size_t pos = 0; pos < positions.size(); ++pos)
            positions[pos] = static_cast<uint32_t>(pos);
        std::sort(positions.begin(), positions.end(),
                  [&](uint32_t x, uint32_t y) { return a.ids[x] < a.ids[y]; });
    }
    std::vector<std::pair<std::string, Hid>> leaves;
    std::string leaf;
    for (size_t k = 0; k < a.ids.size(); ++k) {
        const uint32_t pos = positions.empty() ? static_cast<uint32_t>(k) : positions[k];
        PutFixed32(&leaf, a.ids[pos]);
        PutFixed32(&leaf, pos);
        if (leaf.size() == kRowIndexRecordsPerLeaf * kRowIndexRecordSize || k + 1 == a.ids.size()) {
            leaves.emplace_back(leaf.substr(0, kRowIndexKeySize), a.heap.Allocate(leaf));
            leaf.clear();
        }
    }
    Hid row_index =
        BuildBthOverLeaves(&a.heap, a.indexHeader, kRowIndexKeySize, kRowIndexDataSize, leaves);
    a.heap.Overwrite(a.info, EncodeInfo(row_index, rowsRef));
    a.heap.SetUserRoot(a.info);
    if (a.heap.pageCount() == 1) {
        node.data = a.heap.Finish();
    } else {
        // Page by page, each dropped once it is a block: the heap is not
        // held twice.
        for (size_t i = 0; i < a.heap.pageCount(); ++i) {
            if (i < a.pageBids.size() && a.pageBids[i]) {
                node.blocks.push_back({a.pageBids[i], {}, static_cast<uint32_t>(kMaxBlockData)});
                continue;
            }
            node.blocks.push_back({0, a.heap.PageBlock(i), 0});
            a.heap.DropPage(i);
        }
    }
    app_.reset();
    return node;
}

size_t TableBuilder::InfoSize() const {
    return TcInfo::EncodedLength(tags_.size());
}

std::string TableBuilder::EncodeInfo(Hid row_index, uint32_t rowsRef) const {
    TcInfo info;
    info.ends = ends_;
    info.row_index = row_index;
    info.rowsRef = rowsRef;
    info.columns = layout_;
    return info.Encode();
}

void TableBuilder::EncodeCells(const Row& row, HeapBuilder* heap, std::vector<Subnode>* big,
                               uint32_t* nextIndex, std::string* out) const {
    size_t base = out->size();
    *out += row.fixed;
    for (size_t at = 0; at < row.variable.size();) {
        size_t col = static_cast<uint8_t>(row.variable[at]);
        uint32_t len = DecodeFixed32(row.variable.data() + at + 1);
        std::string_view value(row.variable.data() + at + 5, len);
        at += 5 + len;
        uint32_t ref = 0;
        if (value.empty()) {
            ref = 0;
        } else if (value.size() <= kMaxHeapAllocation) {
            ref = heap->Allocate(value);
        } else {
            Nid nid = MakeNid(kNidTypeLtp, (*nextIndex)++);
            big->push_back({nid, NodeContent{std::string(value), {}}});
            ref = nid;
        }
        EncodeFixed32(out->data() + base + layout_[col].offset, ref);
    }
}

NodeContent TableBuilder::BuildForNode() {
    // New rows must extend the row index at its end.
    if (inc_) {
        uint32_t last = inc_->lastId;
        for (size_t r = inc_->rows; r < rowCount(); ++r) {
            uint32_t id = rows_[r - base_].id;
            if (r > 0 && id <= last) {
                inc_.reset();
                break;
            }
            last = id;
        }
    }
    // Starting afresh encodes every row; the reader has failed the store
    // when it cannot bring the dropped ones back.
    if (!inc_ && !Reload()) return {};
    if (!inc_) {
        inc_ = std::make_shared<Incremental>();
        // Both stay first in the heap's first page, which is rebuilt every
        // time, so readers find them where Outlook puts them.
        inc_->indexHeader = ReserveBthHeader(&inc_->heap);
        inc_->info = inc_->heap.Allocate(std::string(InfoSize(), '\0'));
    }
    Incremental& s = *inc_;
    const size_t rowBytes = rowSize();
    const size_t rowsPerBlock = kMaxBlockData / rowBytes;
    const size_t recordSize = kRowIndexRecordSize;
    const size_t recordsPerLeaf = kRowIndexRecordsPerLeaf;

    std::vector<std::string> newFull;
    for (; s.rows < rowCount(); ++s.rows) {
        const Row& row = rows_[s.rows - base_];
        EncodeCells(row, &s.heap, &s.bigCells, &s.nextIndex, &s.tail);
        if (++s.tailRows == rowsPerBlock) {
            s.tail.resize(kMaxBlockData, '\0');
            newFull.push_back(std::move(s.tail));
            s.tail.clear();
            s.tailRows = 0;
        }
        PutFixed32(&s.indexPending, row.id);
        PutFixed32(&s.indexPending, static_cast<uint32_t>(s.rows));
        if (s.indexPending.size() == recordsPerLeaf * recordSize) {
            s.indexLeaves.emplace_back(s.indexPending.substr(0, 4),
                                       s.heap.Allocate(s.indexPending));
            s.indexPending.clear();
        }
        s.lastId = row.id;
    }

    // What changes with every build goes into a copy, after the rest.
    HeapBuilder heap = s.heap;
    std::vector<std::pair<std::string, Hid>> leaves = s.indexLeaves;
    if (!s.indexPending.empty())
        leaves.emplace_back(s.indexPending.substr(0, 4), heap.Allocate(s.indexPending));
    Hid row_index =
        BuildBthOverLeaves(&heap, s.indexHeader, kRowIndexKeySize, kRowIndexDataSize, leaves);

    NodeContent node;
    node.subnodes = s.bigCells;
    uint32_t rowsRef = 0;
    if (s.matrixBids.empty() && newFull.empty() && s.tail.size() <= kMaxHeapAllocation) {
        rowsRef = s.tail.empty() ? 0 : heap.Allocate(s.tail);
    } else {
        NodeContent matrix;
        // Full row-matrix blocks are padded to the full block size.
        for (Bid bid : s.matrixBids) matrix.blocks.push_back({bid, {}, kMaxBlockData});
        for (auto& block : newFull) matrix.blocks.push_back({0, std::move(block), 0});
        if (!s.tail.empty()) matrix.blocks.push_back({0, s.tail, 0});
        node.subnodes.push_back({kRowMatrixNid, std::move(matrix)});
        rowsRef = kRowMatrixNid;
    }
    s.newFullBlocks = newFull.size();
    heap.Overwrite(s.info, EncodeInfo(row_index, rowsRef));
    heap.SetUserRoot(s.info);
    for (size_t i = 0; i < heap.pageCount(); ++i) {
        if (i < s.pageBids.size() && s.pageBids[i] != 0)
            node.blocks.push_back({s.pageBids[i], {}, kMaxBlockData});  // never the last
        else
            node.blocks.push_back({0, heap.PageBlock(i), 0});
    }
    s.heapPagesBuilt = s.heap.pageCount();
    return node;
}

void TableBuilder::Commit(const PlacedBlocks& placed) {
    if (!inc_) return;
    Incremental& s = *inc_;
    // Every page of the lasting heap but the first and the last is full and
    // stays as written; the first holds the header, the last still fills.
    s.pageBids.resize(s.heapPagesBuilt, 0);
    for (size_t i = 1; i + 1 < s.heapPagesBuilt && i < placed.data.size(); ++i) {
        if (s.pageBids[i] == 0) {
            s.pageBids[i] = placed.data[i];
            s.heap.DropPage(i);
        }
    }
    for (const auto& [nid, leaves] : placed.subnodes) {
        if (nid != kRowMatrixNid) continue;
        size_t first = s.matrixBids.size();
        for (size_t k = 0; k < s.newFullBlocks && first + k < leaves.size(); ++k)
            s.matrixBids.push_back(leaves[first + k]);
    }
    s.newFullBlocks = 0;
    if (!reader_) return;
    // Rows in full row-matrix blocks are on disk for good (and their heap
    // cells in full heap pages, dropped above): they are never encoded
    // again unless a row before them changes.
    size_t onDisk = std::min(s.matrixBids.size() * (kMaxBlockData / rowSize()), s.rows);
    if (onDisk <= base_) return;
    rows_.erase(rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(onDisk - base_));
    base_ = onDisk;
    if (rows_.capacity() > 2 * rows_.size() + 64) rows_.shrink_to_fit();
}

namespace {

// A cell's value: in the row, in the heap, or in a subnode.
std::string ReadCell(const NodeContent& node, const TcColumn& c, std::string_view row,
                     std::string* value) {
    std::string_view cell = row.substr(c.offset, c.size);
    size_t fixed = FixedSize(PropTypeOf(c.tag));
    if (fixed != 0 && fixed <= 8) {
        value->assign(cell);
        return {};
    }
    uint32_t ref = DecodeFixed32(cell.data());
    if (ref == 0) return {};
    if (IsHid(ref)) return HeapLookup(node.data, ref, value);
    const NodeContent* sub = FindSubnode(node, ref);
    if (!sub) return "subnode " + Hex(ref) + " missing";
    *value = sub->data;
    return {};
}

}  // namespace

std::string ReadTable(const NodeContent& node, TableView* out) {
    uint8_t client = 0;
    Hid root = 0;
    if (std::string err = HeapHeader(node.data, &client, &root); !err.empty()) return err;
    if (client != kHeapTableContext) return "heap of client " + Hex(client) + ", not a table";
    std::string bytes;
    TcInfo info;
    if (std::string err = HeapLookup(node.data, root, &bytes); !err.empty()) return err;
    if (std::string err = info.DecodeFrom(bytes); !err.empty()) return err;
    out->tags.clear();
    for (const TcColumn& c : info.columns) out->tags.push_back(c.tag);
    uint8_t cb_key = 0, cb_data = 0;
    std::vector<std::string> index;
    if (std::string err = ReadBth(node.data, info.row_index, &cb_key, &cb_data, &index);
        !err.empty())
        return "row index: " + err;
    if (cb_key != kRowIndexKeySize || cb_data != kRowIndexDataSize)
        return "row index records of " + std::to_string(cb_key) + "+" + std::to_string(cb_data) +
               " bytes";
    std::string matrix;
    if (info.rowsRef == 0) {
    } else if (IsHid(info.rowsRef)) {
        if (std::string err = HeapLookup(node.data, info.rowsRef, &matrix); !err.empty())
            return "row matrix: " + err;
    } else if (const NodeContent* sub = FindSubnode(node, info.rowsRef)) {
        matrix = sub->data;
    } else {
        return "row matrix subnode " + Hex(info.rowsRef) + " missing";
    }
    const size_t rowSize = info.rowSize();
    const size_t perBlock = kMaxBlockData / rowSize;
    const size_t count = index.size();
    out->row_ids.assign(count, 0);
    out->rows.assign(count, {});
    std::vector<bool> taken(count, false);
    for (const auto& rec : index) {
        uint32_t id = DecodeFixed32(rec.data());
        uint32_t pos = DecodeFixed32(rec.data() + kRowIndexKeySize);
        const std::string what = "row " + Hex(id);
        if (pos >= count || taken[pos])
            return what + ": position " + std::to_string(pos) + " taken or past the rows";
        taken[pos] = true;
        size_t at = (pos / perBlock) * kMaxBlockData + (pos % perBlock) * rowSize;
        if (at + rowSize > matrix.size()) return what + " past the row matrix";
        std::string_view row(matrix.data() + at, rowSize);
        out->row_ids[pos] = id;
        for (const TcColumn& c : info.columns) {
            if (!CellExists(row, info.bitmapAt(), c.bit)) continue;
            Property p{c.tag, {}};
            if (std::string err = ReadCell(node, c, row, &p.value); !err.empty())
                return what + ", column " + Hex(c.tag) + ": " + err;
            out->rows[pos].push_back(std::move(p));
        }
    }
    return {};
}

}  // namespace mailvane::pst
