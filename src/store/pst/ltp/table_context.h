#pragma once
// Table context ([MS-PST] 2.3.4): a heap holding TCINFO with its column descriptors, a
// RowIndex B-tree-on-heap (row id -> row number) and the row matrix, in the heap when it is
// small and in a subnode of the table otherwise.

#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "store/pst/ltp/local_nids.h"
#include "store/pst/ltp/prop_value.h"
#include "store/pst/node_content.h"

namespace quill::store::pst::ltp {

inline constexpr PropTag PidTagLtpRowId = 0x67F20003;
inline constexpr PropTag PidTagLtpRowVer = 0x67F30003;

#pragma pack(push, 1)
// TCINFO ([MS-PST] 2.3.4.1) without its variable rgTCOLDESC.
struct TCINFO {
    uint8_t bType = 0x7C;
    uint8_t cCols = 0;
    uint16_t rgib[4] = {};  // TCI_4b, TCI_2b, TCI_1b, TCI_bm
    uint32_t hidRowIndex = 0;
    uint32_t hnidRows = 0;
    uint32_t hidIndex = 0;
};
#pragma pack(pop)
static_assert(sizeof(TCINFO) == 22);

// TCOLDESC ([MS-PST] 2.3.4.2).
struct TCOLDESC {
    uint32_t tag = 0;
    uint16_t ibData = 0;
    uint8_t cbData = 0;
    uint8_t iBit = 0;
};
static_assert(sizeof(TCOLDESC) == 8);

enum TCI : size_t { TCI_4b = 0, TCI_2b = 1, TCI_1b = 2, TCI_bm = 3 };

// The columns of a table and where each cell lies in a row.
class TableLayout {
  public:
    // Lays out the columns as Outlook does: RowId at 0 and RowVer at 4 (added when missing),
    // then the 8- and 4-byte cells (every variable-size type is a 4-byte HNID), the 2-byte and
    // the 1-byte cells, each group in the given order, then the cell existence bitmap; iBit
    // follows the given order. The templates' tag orders give Outlook's exact layouts.
    static TableLayout FromTags(std::span<const PropTag> tags);

    const std::vector<TCOLDESC>& columns() const { return columns_; }  // sorted by tag
    const TCOLDESC* find(PropTag tag) const;
    bool has(PropTag tag) const { return find(tag) != nullptr; }
    uint16_t rgib(TCI which) const { return rgib_[which]; }
    uint16_t rowSize() const { return rgib_[TCI_bm]; }

  private:
    std::vector<TCOLDESC> columns_;
    uint16_t rgib_[4] = {};
};

// Width of a column of this type in a row (HNID types: 4) and whether the value is in the row.
size_t TableCellWidth(uint16_t type);
bool IsStoredInRow(uint16_t type);

// A table being built: rows are kept compactly in memory and written out by build(), so that a
// table with tens of thousands of rows is written once per commit rather than once per row.
class TableContext {
  public:
    explicit TableContext(TableLayout layout) : layout_(std::move(layout)) {}

    const TableLayout& layout() const { return layout_; }

    // Adds a row with this row id, or replaces the cells of the existing one in place. Every
    // cell's tag must be a column; a column without a cell does not exist in the row. The row
    // version is `rowVer`, or the table's next change number when 0.
    void setRow(uint32_t rowId, std::span<const Property> cells, uint32_t rowVer = 0);
    bool hasRow(uint32_t rowId) const { return index_.count(rowId) != 0; }
    size_t rowCount() const { return rows_.size(); }

    // The table's node content; its subnodes hold the row matrix when it is larger than one
    // heap allocation and any cell value larger than 3580 bytes.
    NodeContent build() const;

  private:
    struct Row {
        Bytes fixed;  // rowSize bytes; HNID cells still 0
        Bytes var;    // variable cells: column number (1 byte), size (4), value bytes
    };

    TableLayout layout_;
    std::vector<Row> rows_;
    std::vector<uint32_t> rowIds_;
    std::unordered_map<uint32_t, size_t> index_;
    uint32_t changeNumber_ = 0;
};

}  // namespace quill::store::pst::ltp
