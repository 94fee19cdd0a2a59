#include <gtest/gtest.h>

#include "heap_reader.h"
#include "store/pst/ltp/ltp_error.h"
#include "store/pst/ltp/table_context.h"
#include "store/pst/pst_base.h"

namespace quill::store::pst::ltp {
namespace {

using testing::HeapReader;
using testing::Hex;

// The attachment table template from a file Outlook wrote.
TEST(TableContext, EmptyAttachmentTemplateMatchesOutlooksBytes) {
    const PropTag tags[] = {0x370B0003, 0x0E200003, 0x37050003, 0x3704001F};
    TableContext tc(TableLayout::FromTags(tags));
    EXPECT_EQ(tc.build().data,
              Hex("5A 00 EC 7C 40 00 00 00 00 00 00 00"
                  "B5 04 04 00 00 00 00 00"
                  "7C 06 18 00 18 00 18 00 19 00 20 00 00 00 00 00 00 00 00 00 00 00"
                  "03 00 20 0E 0C 00 04 03  1F 00 04 37 14 00 04 05"
                  "03 00 05 37 10 00 04 04  03 00 0B 37 08 00 04 02"
                  "03 00 F2 67 00 00 04 00  03 00 F3 67 04 00 04 01"
                  "02 00 00 00 0C 00 14 00 5A 00"));
}

// The receive-folder table from a file Outlook wrote: one row in the heap.
TEST(TableContext, ReceiveFolderTableWithOneRowMatchesOutlooksBytes) {
    const PropTag tags[] = {0x66050003, 0x001A001F};
    TableContext tc(TableLayout::FromTags(tags));
    const Property cells[] = {Int32Property(0x66050003, 0x122), StringProperty(0x001A001F, "")};
    tc.setRow(1, cells, 2);
    NodeContent node = tc.build();
    EXPECT_EQ(node.data, Hex("64 00 EC 7C 40 00 00 00 00 00 00 00"
                             "B5 04 04 00 60 00 00 00"
                             "7C 04 10 00 10 00 10 00 11 00 20 00 00 00 80 00 00 00 00 00 00 00"
                             "1F 00 1A 00 0C 00 04 03  03 00 05 66 08 00 04 02"
                             "03 00 F2 67 00 00 04 00  03 00 F3 67 04 00 04 01"
                             "01 00 00 00 00 00 00 00"
                             "01 00 00 00 02 00 00 00 22 01 00 00 00 00 00 00 F0"
                             "00"
                             "04 00 00 00 0C 00 14 00 4A 00 52 00 63 00"));
    EXPECT_TRUE(node.subnodes.empty());
}

TEST(TableContext, TemplateTagOrdersGiveOutlooksRowLayouts) {
    struct Case {
        std::vector<PropTag> tags;
        uint16_t rgib[4];
        PropTag probe;
        uint16_t ibData;
        uint8_t cbData, iBit;
    } cases[] = {
        {{0x3001001F, 0x36020003, 0x36030003, 0x360A000B, 0x0E300102, 0x0E330014, 0x0E340102,
          0x0E380003, 0x3613001F, 0x66350003, 0x66360003},
         {52, 52, 53, 55},
         0x360A000B,
         52,
         1,
         5},
        {{0x0E170003, 0x001A001F, 0x0E070003, 0x00170003, 0x0042001F, 0x0037001F, 0x0E060040,
          0x00390040, 0x0E080003, 0x0E04001F, 0x0E03001F, 0x0057000B, 0x0058000B, 0x00360003,
          0x10970003, 0x0070001F, 0x00710102, 0x65C60003, 0x30080040, 0x0E300102, 0x0E330014,
          0x0E340102, 0x0E3D0102, 0x0E3C0102, 0x0E380003},
         {116, 116, 118, 122},
         0x30080040,
         80,
         8,
         20},
        {{0x0E0F000B, 0x3002001F, 0x3003001F, 0x0FFF0102, 0x3001001F, 0x0C150003, 0x300B0102,
          0x0FF90102, 0x0FFE0003, 0x39000003, 0x3A40000B, 0x39FF001F},
         {48, 48, 50, 52},
         0x3A40000B,
         49,
         1,
         12},
        {{0x00020002, 0x0003000B}, {8, 10, 11, 12}, 0x00020002, 8, 2, 2},
    };
    for (const Case& c : cases) {
        TableLayout layout = TableLayout::FromTags(c.tags);
        for (size_t i = 0; i < 4; ++i) EXPECT_EQ(layout.rgib(TCI(i)), c.rgib[i]) << i;
        const TCOLDESC* col = layout.find(c.probe);
        ASSERT_NE(col, nullptr);
        EXPECT_EQ(col->ibData, c.ibData);
        EXPECT_EQ(col->cbData, c.cbData);
        EXPECT_EQ(col->iBit, c.iBit);
        EXPECT_EQ(layout.columns().size(), c.tags.size() + 2);
        EXPECT_TRUE(std::is_sorted(layout.columns().begin(), layout.columns().end(),
                                   [](auto& a, auto& b) { return a.tag < b.tag; }));
    }
}

// A table whose rows span several matrix blocks and whose heap spans several heap blocks.
TEST(TableContext, RowsPastOneBlockGoToASubnodeOfWholeRowBlocks) {
    const PropTag tags[] = {0x0037001F, 0x0E070003, 0x0E060040, 0x0057000B};
    TableLayout layout = TableLayout::FromTags(tags);
    ASSERT_EQ(layout.rowSize(), 4 + 4 + 4 + 4 + 8 + 1 + 1);  // 26
    TableContext tc(layout);
    const size_t rows = 20000;
    for (uint32_t i = 0; i < rows; ++i) {
        // Row ids in descending order, so that RowIndex order differs from row order.
        std::vector<Property> cells{StringProperty(0x0037001F, "Subject " + std::to_string(i)),
                                    Int32Property(0x0E070003, int32_t(i))};
        if (i % 2 == 0) cells.push_back(BoolProperty(0x0057000B, true));
        tc.setRow(0x200024 + (rows - i) * 0x20, cells);
    }
    NodeContent node = tc.build();
    HeapReader reader(node.data);
    EXPECT_GT(reader.blockCount(), 1u);
    Bytes info = reader.get(reader.userRoot());
    uint32_t hnidRows = LoadU32(&info[14]);
    EXPECT_EQ(hnidRows & 0x1F, 0x1Fu) << "row matrix in a subnode";
    ASSERT_EQ(node.subnodes.size(), 1u);
    EXPECT_EQ(node.subnodes[0].nid, hnidRows);
    const Bytes& matrix = node.subnodes[0].content.data;
    const size_t perBlock = 8176 / 26;  // 314
    const size_t blocks = (rows + perBlock - 1) / perBlock;
    EXPECT_EQ(matrix.size(), (blocks - 1) * 8176 + (rows - (blocks - 1) * perBlock) * 26);

    std::vector<Bytes> index = reader.bthRecords(LoadU32(&info[10]));
    ASSERT_EQ(index.size(), rows);
    for (size_t k = 0; k < rows; k += 997) {
        uint32_t rowId = LoadU32(&index[k][0]), n = LoadU32(&index[k][4]);
        const uint8_t* row = &matrix[(n / perBlock) * 8176 + (n % perBlock) * 26];
        EXPECT_EQ(LoadU32(row), rowId);
        EXPECT_EQ(LoadU32(row + 12), n) << "message flags column";
        Bytes subject = reader.get(LoadU32(row + 8));
        EXPECT_EQ(subject, Utf16le("Subject " + std::to_string(n)));
        uint8_t ceb = row[25];
        EXPECT_EQ(ceb, n % 2 == 0 ? 0xF4 : 0xF0) << "bits: row id, row ver, subject, flags, to-me";
        EXPECT_EQ(row[24], n % 2 == 0 ? 1 : 0);
    }
}

// Replacing a row keeps its place; a cell too large for the heap goes to a subnode, and a
// borrowed cell is copied into the row, as the table outlives the message it came from.
TEST(TableContext, ReplacedRowsKeepTheirPlaceAndLargeOrBorrowedCellsGoToSubnodes) {
    const PropTag tags[] = {0x3001001F, 0x36020003};
    TableContext tc(TableLayout::FromTags(tags));
    const Property first[] = {StringProperty(0x3001001F, "Inbox"), Int32Property(0x36020003, 0)};
    const Property second[] = {StringProperty(0x3001001F, "Sent"), Int32Property(0x36020003, 0)};
    tc.setRow(0x8082, first);
    tc.setRow(0x80A2, second);
    auto to = std::make_unique<std::string>();
    for (int i = 0; i < 300; ++i) *to += "Recipient " + std::to_string(i) + "; ";
    {
        const Property updated[] = {BorrowedStringProperty(0x3001001F, *to),
                                    Int32Property(0x36020003, 7)};
        ASSERT_TRUE(updated[0].source);
        tc.setRow(0x8082, updated);
    }
    const Bytes expected = Utf16le(*to);
    to.reset();
    EXPECT_EQ(tc.rowCount(), 2u);
    NodeContent node = tc.build();
    HeapReader reader(node.data);
    Bytes info = reader.get(reader.userRoot());
    Bytes matrix = reader.get(LoadU32(&info[14]));
    ASSERT_EQ(matrix.size(), 2u * 17);
    EXPECT_EQ(LoadU32(&matrix[0]), 0x8082u);
    EXPECT_EQ(LoadU32(&matrix[4]), 3u) << "row version is the table's change number";
    EXPECT_EQ(LoadU32(&matrix[12]), 7u);
    ASSERT_EQ(node.subnodes.size(), 1u) << "the long name is too large for the heap";
    EXPECT_EQ(node.subnodes[0].nid, LoadU32(&matrix[8]));
    EXPECT_EQ(node.subnodes[0].content.data, expected);
    EXPECT_EQ(reader.get(LoadU32(&matrix[17 + 8])), Utf16le("Sent"));
}

TEST(TableContext, RejectsCellsThatAreNotColumnsOrDoNotFit) {
    const PropTag tags[] = {0x36020003};
    TableContext tc(TableLayout::FromTags(tags));
    const Property unknown[] = {Int32Property(0x36030003, 1)};
    const Property wrong[] = {Property{0x36020003, Hex("01")}};
    EXPECT_THROW(tc.setRow(1, unknown), LtpError);
    EXPECT_THROW(tc.setRow(1, wrong), LtpError);
    const PropTag twice[] = {0x36020003, 0x36020003};
    EXPECT_THROW(TableLayout::FromTags(twice), LtpError);
}

}  // namespace
}  // namespace quill::store::pst::ltp
