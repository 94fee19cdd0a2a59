#include <gtest/gtest.h>

#include "heap_reader.h"
#include "store/pst/ltp/bth.h"
#include "store/pst/ltp/ltp_error.h"
#include "store/pst/pst_base.h"

namespace quill::store::pst::ltp {
namespace {

using testing::HeapReader;
using testing::Hex;

Bytes Records(size_t count, uint32_t step) {
    Bytes records;
    for (uint32_t i = 0; i < count; ++i) {
        AppendU32(records, 0x100 + i * step);
        AppendU32(records, i);
    }
    return records;
}

TEST(Bth, ManyRecordsGetIndexLevelsAndReadBackInOrder) {
    struct Case {
        size_t count;
        uint8_t levels;
    } cases[] = {{1, 0}, {447, 0}, {448, 1}, {447 * 447, 1}, {447 * 447 + 1, 2}};
    for (const Case& c : cases) {
        HeapBuilder heap(bTypeBTH);
        Bytes records = Records(c.count, 32);
        Hid header = WriteBth(heap, 4, 4, records);
        HeapReader reader(heap.finish());
        Bytes h = reader.get(header);
        EXPECT_EQ(h[3], c.levels) << c.count;
        std::vector<Bytes> got = reader.bthRecords(header);
        ASSERT_EQ(got.size(), c.count);
        for (size_t i = 0; i < c.count; ++i)
            ASSERT_EQ(got[i], Bytes(records.begin() + i * 8, records.begin() + i * 8 + 8)) << i;
    }
}

TEST(Bth, KeysMustAscendAsLittleEndianNumbers) {
    HeapBuilder heap(bTypePC);
    // 0x00FF < 0x0100 although the first bytes compare the other way.
    EXPECT_NO_THROW(WriteBth(heap, 2, 6, Hex("FF00 000000000000  0001 000000000000")));
    EXPECT_THROW(WriteBth(heap, 2, 6, Hex("0001 000000000000  FF00 000000000000")), LtpError);
    EXPECT_THROW(WriteBth(heap, 2, 6, Hex("0100 000000000000  0100 000000000000")), LtpError);
    EXPECT_THROW(WriteBth(heap, 3, 6, {}), LtpError);
    EXPECT_THROW(WriteBth(heap, 2, 6, Hex("0100 0000")), LtpError);
}

}  // namespace
}  // namespace quill::store::pst::ltp
