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
    const PropTag tags[] = {0x36020003, 0x00020002, 0x0003000B};  // with 2- and 1-byte columns
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
