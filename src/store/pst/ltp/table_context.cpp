#include "store/pst/ltp/table_context.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "store/pst/ltp/bth.h"
#include "store/pst/ltp/heap.h"
#include "store/pst/ltp/ltp_error.h"
#include "store/pst/pst_base.h"

namespace quill::store::pst::ltp {

bool IsStoredInRow(uint16_t type) {
    switch (type) {
        case PT_BOOLEAN:
        case PT_SHORT:
        case PT_LONG:
        case 0x0004:  // PtypFloating32
        case 0x000A:  // PtypErrorCode
        case 0x0005:  // PtypFloating64
        case 0x0006:  // PtypCurrency
        case 0x0007:  // PtypFloatingTime
        case PT_I8:
        case PT_SYSTIME:
            return true;
        default:
            return false;
    }
}

size_t TableCellWidth(uint16_t type) {
    return IsStoredInRow(type) ? FixedSizeOfType(type) : 4;
}

TableLayout TableLayout::FromTags(std::span<const PropTag> tags) {
    std::vector<PropTag> order{PidTagLtpRowId, PidTagLtpRowVer};
    for (PropTag tag : tags) {
        if (std::find(order.begin(), order.end(), tag) != order.end()) {
            if (tag == PidTagLtpRowId || tag == PidTagLtpRowVer) continue;
            throw LtpError("column " + TagText(tag) + " given twice");
        }
        order.push_back(tag);
    }
    if (order.size() > 255) throw LtpError("a table has at most 255 columns");

    TableLayout layout;
    std::vector<TCOLDESC> cols(order.size());
    for (size_t i = 0; i < order.size(); ++i) {
        cols[i].tag = order[i];
        cols[i].cbData = static_cast<uint8_t>(TableCellWidth(PropTypeOf(order[i])));
        cols[i].iBit = static_cast<uint8_t>(i);
    }
    size_t offset = 0;
    for (size_t group = 0; group < 3; ++group) {
        for (TCOLDESC& c : cols) {
            bool inGroup = group == 0 ? c.cbData >= 4 : group == 1 ? c.cbData == 2 : c.cbData == 1;
            if (!inGroup) continue;
            c.ibData = static_cast<uint16_t>(offset);
            offset += c.cbData;
        }
        layout.rgib_[group] = static_cast<uint16_t>(offset);
    }
    offset += (cols.size() + 7) / 8;
    layout.rgib_[TCI_bm] = static_cast<uint16_t>(offset);
    std::sort(cols.begin(), cols.end(),
              [](const TCOLDESC& a, const TCOLDESC& b) { return a.tag < b.tag; });
    layout.columns_ = std::move(cols);
    return layout;
}

const TCOLDESC* TableLayout::find(PropTag tag) const {
    auto it = std::lower_bound(columns_.begin(), columns_.end(), tag,
                               [](const TCOLDESC& c, PropTag t) { return c.tag < t; });
    return it != columns_.end() && it->tag == tag ? &*it : nullptr;
}

void TableContext::setRow(uint32_t rowId, std::span<const Property> cells, uint32_t rowVer) {
    const size_t rowSize = layout_.rowSize();
    Row row;
    row.fixed.assign(rowSize, 0);
    uint8_t* ceb = row.fixed.data() + layout_.rgib(TCI_1b);
    auto setExists = [&](uint8_t iBit) {
        ceb[iBit / 8] |= static_cast<uint8_t>(0x80 >> (iBit % 8));
    };

    ++changeNumber_;
    StoreU32(row.fixed.data(), rowId);
    StoreU32(row.fixed.data() + 4, rowVer != 0 ? rowVer : changeNumber_);
    setExists(0);
    setExists(1);
    for (const Property& cell : cells) {
        const TCOLDESC* col = layout_.find(cell.tag);
        if (col == nullptr) throw LtpError("table has no column " + TagText(cell.tag));
        if (col->tag == PidTagLtpRowId || col->tag == PidTagLtpRowVer)
            throw LtpError("row id and row version are set by the table itself");
        const uint16_t type = PropTypeOf(cell.tag);
        if (IsStoredInRow(type)) {
            if (cell.size() != col->cbData || cell.source)
                throw LtpError("cell " + TagText(cell.tag) + " has " + std::to_string(cell.size()) +
                               " bytes, its column " + std::to_string(col->cbData));
            std::memcpy(row.fixed.data() + col->ibData, cell.value.data(), col->cbData);
        } else if (cell.size() > kMaxValueSize) {
            throw LtpError("cell " + TagText(cell.tag) + " is longer than 4 GiB");
        } else if (cell.size() != 0) {
            size_t column = static_cast<size_t>(col - layout_.columns().data());
            row.var.push_back(static_cast<uint8_t>(column));
            AppendU32(row.var, static_cast<uint32_t>(cell.size()));
            // The table outlives what a borrowed value refers to: it keeps its own copy.
            if (cell.source)
                cell.source->produce([&](std::span<const uint8_t> piece) {
                    row.var.insert(row.var.end(), piece.begin(), piece.end());
                });
            else
                row.var.insert(row.var.end(), cell.value.begin(), cell.value.end());
        }
        setExists(col->iBit);
    }

    auto it = index_.find(rowId);
    if (it != index_.end()) {
        rows_[it->second] = std::move(row);
    } else {
        index_.emplace(rowId, rows_.size());
        rows_.push_back(std::move(row));
        rowIds_.push_back(rowId);
    }
}

NodeContent TableContext::build() const {
    NodeContent node;
    LocalNids nids;
    HeapBuilder heap(bTypeTC);
    const std::vector<TCOLDESC>& cols = layout_.columns();
    const size_t rowSize = layout_.rowSize();

    // Outlook's order: RowIndex header 0x20, TCINFO 0x40, RowIndex records, row matrix, cells.
    Hid rowIndexHeader = AllocateBthHeader(heap);
    Hid tcinfo = heap.allocate(sizeof(TCINFO) + cols.size() * sizeof(TCOLDESC));
    heap.setUserRoot(tcinfo);

    std::vector<std::pair<uint32_t, uint32_t>> sorted;  // (row id, row number)
    sorted.reserve(rows_.size());
    for (size_t i = 0; i < rows_.size(); ++i)
        sorted.emplace_back(rowIds_[i], static_cast<uint32_t>(i));
    std::sort(sorted.begin(), sorted.end());
    Bytes records;
    records.reserve(sorted.size() * 8);
    for (auto [id, number] : sorted) {
        AppendU32(records, id);
        AppendU32(records, number);
    }
    WriteBth(heap, rowIndexHeader, 4, 4, records);

    const size_t matrixSize = rows_.size() * rowSize;
    const bool matrixInHeap = matrixSize <= kMaxHeapAllocation;
    uint32_t hnidRows = 0;
    if (!rows_.empty() && matrixInHeap) hnidRows = heap.allocate(matrixSize);
    if (!rows_.empty() && !matrixInHeap) hnidRows = nids.next(NID_TYPE_LTP);

    // The matrix: every block holds whole rows, and every block but the last is filled to its
    // full 8176 bytes ([MS-PST] 2.3.4.4), so the node database's even cut gives those blocks.
    const size_t rowsPerBlock = kHeapBlockSize / rowSize;
    auto matrixOffset = [&](size_t row) {
        if (matrixInHeap) return row * rowSize;
        return (row / rowsPerBlock) * kHeapBlockSize + (row % rowsPerBlock) * rowSize;
    };
    Bytes matrix;
    if (!rows_.empty()) matrix.assign(matrixOffset(rows_.size() - 1) + rowSize, 0);

    for (size_t r = 0; r < rows_.size(); ++r) {
        const Row& row = rows_[r];
        uint8_t* out = matrix.data() + matrixOffset(r);
        std::memcpy(out, row.fixed.data(), rowSize);
        for (size_t pos = 0; pos < row.var.size();) {
            const TCOLDESC& col = cols[row.var[pos]];
            uint32_t size = LoadU32(&row.var[pos + 1]);
            std::span<const uint8_t> value(&row.var[pos + 5], size);
            pos += 5 + size;
            uint32_t hnid;
            if (size <= kMaxHeapAllocation) {
                hnid = heap.allocate(value);
            } else {
                hnid = nids.next(NID_TYPE_LTP);
                node.subnodes.push_back(
                    SubnodeContent{hnid, NodeContent{Bytes(value.begin(), value.end()), {}}});
            }
            StoreU32(out + col.ibData, hnid);
        }
    }
    if (!rows_.empty()) {
        if (matrixInHeap) {
            std::span<uint8_t> alloc = heap.at(hnidRows);
            std::copy(matrix.begin(), matrix.end(), alloc.begin());
        } else {
            node.subnodes.push_back(SubnodeContent{hnidRows, NodeContent{std::move(matrix), {}}});
        }
    }

    std::span<uint8_t> info = heap.at(tcinfo);
    info[0] = 0x7C;
    info[1] = static_cast<uint8_t>(cols.size());
    for (size_t i = 0; i < 4; ++i) StoreU16(&info[2 + 2 * i], layout_.rgib(static_cast<TCI>(i)));
    StoreU32(&info[10], rowIndexHeader);
    StoreU32(&info[14], hnidRows);
    StoreU32(&info[18], 0);  // hidIndex
    for (size_t i = 0; i < cols.size(); ++i) {
        uint8_t* d = &info[sizeof(TCINFO) + i * sizeof(TCOLDESC)];
        StoreU32(d, cols[i].tag);
        StoreU16(d + 4, cols[i].ibData);
        d[6] = cols[i].cbData;
        d[7] = cols[i].iBit;
    }

    node.data = heap.finish();
    std::sort(node.subnodes.begin(), node.subnodes.end(),
              [](const SubnodeContent& a, const SubnodeContent& b) { return a.nid < b.nid; });
    return node;
}

}  // namespace quill::store::pst::ltp
