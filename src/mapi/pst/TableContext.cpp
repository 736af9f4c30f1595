#include "mapi/pst/TableContext.h"

#include <algorithm>
#include <cstddef>

#include "mapi/pst/Bth.h"
#include "mapi/pst/Coding.h"
#include "mapi/pst/Heap.h"

namespace mailvane::pst {
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

}  // namespace

TableBuilder::TableBuilder(std::vector<uint32_t> tags) : tags_(std::move(tags)) {
    for (uint32_t must : {mapi::PidTagLtpRowId, mapi::PidTagLtpRowVer})
        if (std::find(tags_.begin(), tags_.end(), must) == tags_.end()) tags_.push_back(must);
    std::sort(tags_.begin(), tags_.end());
    tags_.erase(std::unique(tags_.begin(), tags_.end()), tags_.end());
    layout_.resize(tags_.size());
    // Row id and version lead the row; then cells by falling size.
    uint16_t at = 8;
    uint8_t bit = 2;
    for (size_t i = 0; i < tags_.size(); ++i) {
        if (tags_[i] == mapi::PidTagLtpRowId) layout_[i] = {0, 4, 0};
        if (tags_[i] == mapi::PidTagLtpRowVer) layout_[i] = {4, 4, 1};
    }
    for (uint8_t size : {8, 4, 2, 1}) {
        for (size_t i = 0; i < tags_.size(); ++i) {
            if (tags_[i] == mapi::PidTagLtpRowId || tags_[i] == mapi::PidTagLtpRowVer) continue;
            if (CellSize(PropTypeOf(tags_[i])) != size) continue;
            layout_[i] = {at, size, bit++};
            at = static_cast<uint16_t>(at + size);
        }
        if (size == 4) ends_[0] = at;
        if (size == 2) ends_[1] = at;
        if (size == 1) ends_[2] = at;
    }
    ends_[3] = static_cast<uint16_t>(at + (tags_.size() + 7) / 8);
}

struct TableBuilder::Incremental {
    HeapBuilder heap{kHeapTableContext};  // allocations that stay, only
    Hid index_header = 0;                 // the row index's BTH header
    Hid info = 0;                         // TCINFO
    std::vector<Bid> page_bids;           // per heap page: its block, once final
    size_t rows = 0;                      // rows encoded so far
    uint32_t last_id = 0;
    std::vector<Bid> matrix_bids;  // full row-matrix blocks written
    std::string tail;              // encoded rows after the last full block
    size_t tail_rows = 0;
    std::vector<std::pair<std::string, Hid>> index_leaves;  // full row-index leaves
    std::string index_pending;       // row-index records not yet in a full leaf
    std::vector<Subnode> big_cells;  // cells too large for the heap
    uint32_t next_index = kFirstCellNidIndex;
    size_t new_full_blocks = 0;  // of the build awaiting Commit()
    size_t heap_pages_built = 0;
};

size_t TableBuilder::ColumnOf(uint32_t tag) const {
    auto it = std::lower_bound(tags_.begin(), tags_.end(), tag);
    return (it != tags_.end() && *it == tag) ? static_cast<size_t>(it - tags_.begin())
                                             : tags_.size();
}

const uint32_t* TableBuilder::Position(uint32_t row_id) const {
    auto it = std::lower_bound(index_.begin(), index_.end(), std::make_pair(row_id, uint32_t{0}));
    return (it != index_.end() && it->first == row_id) ? &it->second : nullptr;
}

TableBuilder::Row TableBuilder::EncodeRow(uint32_t row_id, const PropertyList& values) const {
    Row row;
    row.id = row_id;
    row.fixed.assign(ends_[3], '\0');
    auto mark = [&](size_t col) {
        size_t ceb = ends_[2] + layout_[col].bit / 8;
        row.fixed[ceb] = static_cast<char>(row.fixed[ceb] | (0x80 >> (layout_[col].bit % 8)));
    };
    for (size_t col = 0; col < tags_.size(); ++col) {
        if (tags_[col] == mapi::PidTagLtpRowId) {
            EncodeFixed32(row.fixed.data() + layout_[col].offset, row_id);
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

void TableBuilder::SetRow(uint32_t row_id, const PropertyList& values) {
    Row row = EncodeRow(row_id, values);
    auto it = std::lower_bound(index_.begin(), index_.end(), std::make_pair(row_id, uint32_t{0}));
    if (it != index_.end() && it->first == row_id) {
        size_t pos = it->second;
        if (pos < base_ && !Reload()) return;
        if (inc_ && pos < inc_->rows) inc_.reset();
        rows_[pos - base_] = std::move(row);
        return;
    }
    index_.insert(it, {row_id, static_cast<uint32_t>(rowCount())});
    rows_.push_back(std::move(row));
}

bool TableBuilder::RemoveRow(uint32_t row_id) {
    auto it = std::lower_bound(index_.begin(), index_.end(), std::make_pair(row_id, uint32_t{0}));
    if (it == index_.end() || it->first != row_id || !Reload()) return false;
    inc_.reset();
    uint32_t pos = it->second;
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(pos));
    index_.erase(it);
    for (auto& entry : index_)
        if (entry.second > pos) --entry.second;
    return true;
}

void TableBuilder::SetRowsOnDisk(const std::vector<uint32_t>& row_ids) {
    index_.clear();
    for (size_t pos = 0; pos < row_ids.size(); ++pos)
        index_.emplace_back(row_ids[pos], static_cast<uint32_t>(pos));
    std::sort(index_.begin(), index_.end());
    rows_.clear();
    base_ = row_ids.size();
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

std::optional<std::string> TableBuilder::Cell(uint32_t row_id, uint32_t tag) {
    const uint32_t* pos = Position(row_id);
    size_t col = ColumnOf(tag);
    if (!pos || col == tags_.size()) return std::nullopt;
    if (*pos < base_ && !Reload()) return std::nullopt;
    const Row& row = rows_[*pos - base_];
    const Layout& l = layout_[col];
    if (!(static_cast<uint8_t>(row.fixed[ends_[2] + l.bit / 8]) & (0x80 >> (l.bit % 8))))
        return std::nullopt;
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
    const Hid index_header = ReserveBthHeader(&heap);
    const Hid info = heap.Allocate(std::string(InfoSize(), '\0'));
    uint32_t next_index = kFirstCellNidIndex;
    const size_t row_size = ends_[3];

    std::string matrix;
    const size_t rows_per_block = kMaxBlockData / row_size;
    matrix.reserve(rows_.size() * row_size);
    for (size_t r = 0; r < rows_.size(); ++r) {
        const Row& row = rows_[r];
        // Rows never straddle a block: each block starts with a whole row
        // and is padded out to its full size.
        if (r > 0 && r % rows_per_block == 0)
            matrix.resize(r / rows_per_block * kMaxBlockData, '\0');
        EncodeCells(row, &heap, &node.subnodes, &next_index, &matrix);
    }

    uint32_t rows_ref = 0;
    if (matrix.empty()) {
        rows_ref = 0;
    } else if (matrix.size() <= kMaxHeapAllocation) {
        rows_ref = heap.Allocate(matrix);
    } else {
        node.subnodes.push_back({kRowMatrixNid, NodeContent{matrix, {}}});
        rows_ref = kRowMatrixNid;
    }

    std::vector<std::string> records;
    for (const auto& [id, pos] : index_) {
        std::string rec;
        PutFixed32(&rec, id);
        PutFixed32(&rec, pos);
        records.push_back(std::move(rec));
    }
    Hid row_index = BuildBth(&heap, index_header, 4, 4, records);
    heap.Overwrite(info, EncodeInfo(row_index, rows_ref));
    heap.SetUserRoot(info);
    node.data = heap.Finish();
    return node;
}

size_t TableBuilder::InfoSize() const {
    return 22 + 8 * tags_.size();
}

std::string TableBuilder::EncodeInfo(Hid row_index, uint32_t rows_ref) const {
    std::string info;
    PutFixed8(&info, kHeapTableContext);
    PutFixed8(&info, static_cast<uint8_t>(tags_.size()));
    for (uint16_t e : ends_) PutFixed16(&info, e);
    PutFixed32(&info, row_index);
    PutFixed32(&info, rows_ref);
    PutFixed32(&info, 0);  // hidIndex, deprecated
    for (size_t i = 0; i < tags_.size(); ++i) {
        PutFixed32(&info, tags_[i]);
        PutFixed16(&info, layout_[i].offset);
        PutFixed8(&info, layout_[i].size);
        PutFixed8(&info, layout_[i].bit);
    }
    return info;
}

void TableBuilder::EncodeCells(const Row& row, HeapBuilder* heap, std::vector<Subnode>* big,
                               uint32_t* next_index, std::string* out) const {
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
            Nid nid = MakeNid(kNidTypeLtp, (*next_index)++);
            big->push_back({nid, NodeContent{std::string(value), {}}});
            ref = nid;
        }
        EncodeFixed32(out->data() + base + layout_[col].offset, ref);
    }
}

NodeContent TableBuilder::BuildForNode() {
    // New rows must extend the row index at its end.
    if (inc_) {
        uint32_t last = inc_->last_id;
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
        inc_->index_header = ReserveBthHeader(&inc_->heap);
        inc_->info = inc_->heap.Allocate(std::string(InfoSize(), '\0'));
    }
    Incremental& s = *inc_;
    const size_t row_size = ends_[3];
    const size_t rows_per_block = kMaxBlockData / row_size;
    const size_t records_per_leaf = kMaxHeapAllocation / 8;

    std::vector<std::string> new_full;
    for (; s.rows < rowCount(); ++s.rows) {
        const Row& row = rows_[s.rows - base_];
        EncodeCells(row, &s.heap, &s.big_cells, &s.next_index, &s.tail);
        if (++s.tail_rows == rows_per_block) {
            s.tail.resize(kMaxBlockData, '\0');
            new_full.push_back(std::move(s.tail));
            s.tail.clear();
            s.tail_rows = 0;
        }
        PutFixed32(&s.index_pending, row.id);
        PutFixed32(&s.index_pending, static_cast<uint32_t>(s.rows));
        if (s.index_pending.size() == records_per_leaf * 8) {
            s.index_leaves.emplace_back(s.index_pending.substr(0, 4),
                                        s.heap.Allocate(s.index_pending));
            s.index_pending.clear();
        }
        s.last_id = row.id;
    }

    // What changes with every build goes into a copy, after the rest.
    HeapBuilder heap = s.heap;
    std::vector<std::pair<std::string, Hid>> leaves = s.index_leaves;
    if (!s.index_pending.empty())
        leaves.emplace_back(s.index_pending.substr(0, 4), heap.Allocate(s.index_pending));
    Hid row_index = BuildBthOverLeaves(&heap, s.index_header, 4, 4, leaves);

    NodeContent node;
    node.subnodes = s.big_cells;
    uint32_t rows_ref = 0;
    if (s.matrix_bids.empty() && new_full.empty() && s.tail.size() <= kMaxHeapAllocation) {
        rows_ref = s.tail.empty() ? 0 : heap.Allocate(s.tail);
    } else {
        NodeContent matrix;
        // Full row-matrix blocks are padded to the full block size.
        for (Bid bid : s.matrix_bids) matrix.blocks.push_back({bid, {}, kMaxBlockData});
        for (auto& block : new_full) matrix.blocks.push_back({0, std::move(block), 0});
        if (!s.tail.empty()) matrix.blocks.push_back({0, s.tail, 0});
        node.subnodes.push_back({kRowMatrixNid, std::move(matrix)});
        rows_ref = kRowMatrixNid;
    }
    s.new_full_blocks = new_full.size();
    heap.Overwrite(s.info, EncodeInfo(row_index, rows_ref));
    heap.SetUserRoot(s.info);
    for (size_t i = 0; i < heap.pageCount(); ++i) {
        if (i < s.page_bids.size() && s.page_bids[i] != 0)
            node.blocks.push_back({s.page_bids[i], {}, kMaxBlockData});  // never the last
        else
            node.blocks.push_back({0, heap.PageBlock(i), 0});
    }
    s.heap_pages_built = s.heap.pageCount();
    return node;
}

void TableBuilder::Commit(const PlacedBlocks& placed) {
    if (!inc_) return;
    Incremental& s = *inc_;
    // Every page of the lasting heap but the first and the last is full and
    // stays as written; the first holds the header, the last still fills.
    s.page_bids.resize(s.heap_pages_built, 0);
    for (size_t i = 1; i + 1 < s.heap_pages_built && i < placed.data.size(); ++i) {
        if (s.page_bids[i] == 0) {
            s.page_bids[i] = placed.data[i];
            s.heap.DropPage(i);
        }
    }
    for (const auto& [nid, leaves] : placed.subnodes) {
        if (nid != kRowMatrixNid) continue;
        size_t first = s.matrix_bids.size();
        for (size_t k = 0; k < s.new_full_blocks && first + k < leaves.size(); ++k)
            s.matrix_bids.push_back(leaves[first + k]);
    }
    s.new_full_blocks = 0;
    if (!reader_) return;
    // Rows in full row-matrix blocks are on disk for good (and their heap
    // cells in full heap pages, dropped above): they are never encoded
    // again unless a row before them changes.
    size_t on_disk = std::min(s.matrix_bids.size() * (kMaxBlockData / ends_[3]), s.rows);
    if (on_disk <= base_) return;
    rows_.erase(rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(on_disk - base_));
    base_ = on_disk;
    if (rows_.capacity() > 2 * rows_.size() + 64) rows_.shrink_to_fit();
}

bool ReadTable(const NodeContent& node, TableView* out) {
    uint8_t client = 0;
    Hid root = 0;
    if (!HeapHeader(node.data, &client, &root) || client != kHeapTableContext) return false;
    std::string info;
    if (!HeapLookup(node.data, root, &info) || info.size() < 22) return false;
    size_t cols = static_cast<uint8_t>(info[1]);
    if (info.size() < 22 + 8 * cols) return false;
    uint16_t ceb_at = DecodeFixed16(info.data() + 6);
    uint16_t row_size = DecodeFixed16(info.data() + 8);
    Hid row_index = DecodeFixed32(info.data() + 10);
    uint32_t rows_ref = DecodeFixed32(info.data() + 14);
    struct Col {
        uint32_t tag;
        uint16_t offset;
        uint8_t size, bit;
    };
    std::vector<Col> columns;
    out->tags.clear();
    for (size_t i = 0; i < cols; ++i) {
        const char* c = info.data() + 22 + 8 * i;
        columns.push_back({DecodeFixed32(c), DecodeFixed16(c + 4), static_cast<uint8_t>(c[6]),
                           static_cast<uint8_t>(c[7])});
        out->tags.push_back(columns.back().tag);
    }
    uint8_t cb_key = 0, cb_data = 0;
    std::vector<std::string> index;
    if (!ReadBth(node.data, row_index, &cb_key, &cb_data, &index)) return false;
    std::string matrix;
    if (rows_ref == 0) {
    } else if ((rows_ref & 0x1F) == 0) {
        if (!HeapLookup(node.data, rows_ref, &matrix)) return false;
    } else {
        bool found = false;
        for (const auto& s : node.subnodes)
            if (s.nid == rows_ref) {
                matrix = s.content.data;
                found = true;
            }
        if (!found) return false;
    }
    if (row_size == 0) return false;
    size_t per_block = kMaxBlockData / row_size;
    size_t count = index.size();
    out->row_ids.assign(count, 0);
    out->rows.assign(count, {});
    for (const auto& rec : index) {
        uint32_t id = DecodeFixed32(rec.data());
        uint32_t pos = DecodeFixed32(rec.data() + 4);
        if (pos >= count) return false;
        size_t at = (pos / per_block) * kMaxBlockData + (pos % per_block) * row_size;
        if (at + row_size > matrix.size()) return false;
        std::string_view row(matrix.data() + at, row_size);
        out->row_ids[pos] = id;
        for (const Col& c : columns) {
            if (!(static_cast<uint8_t>(row[ceb_at + c.bit / 8]) & (0x80 >> (c.bit % 8)))) continue;
            std::string_view cell = row.substr(c.offset, c.size);
            uint16_t type = PropTypeOf(c.tag);
            size_t fixed = FixedSize(type);
            Property p{c.tag, {}};
            if (fixed != 0 && fixed <= 8) {
                p.value.assign(cell);
            } else {
                uint32_t ref = DecodeFixed32(cell.data());
                if (ref == 0) {
                } else if ((ref & 0x1F) == 0) {
                    if (!HeapLookup(node.data, ref, &p.value)) return false;
                } else {
                    for (const auto& s : node.subnodes)
                        if (s.nid == ref) p.value = s.content.data;
                }
            }
            out->rows[pos].push_back(std::move(p));
        }
    }
    return true;
}

}  // namespace mailvane::pst
