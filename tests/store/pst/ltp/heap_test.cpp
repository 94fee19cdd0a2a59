#include <gtest/gtest.h>

#include "heap_reader.h"
#include "store/pst/ltp/heap.h"
#include "store/pst/ltp/ltp_error.h"
#include "store/pst/pst_base.h"

namespace quill::store::pst::ltp {
namespace {

using testing::HeapReader;
using testing::Hex;

TEST(Heap, AllocationsPastOnePageGoToFullBlocksWithTheirOwnPageMaps) {
    HeapBuilder heap(bTypeTC);
    std::vector<Hid> hids;
    for (int i = 0; i < 300; ++i) {
        Hid hid = heap.allocate(3000);
        std::fill(heap.at(hid).begin(), heap.at(hid).end(), static_cast<uint8_t>(i));
        hids.push_back(hid);
    }
    heap.setUserRoot(hids[0]);
    Bytes stream = heap.finish();
    // Two 3000-byte allocations per block, so 150 blocks; every block but the last is a full
    // data block of 8176 bytes.
    ASSERT_EQ(heap.blockCount(), 150u);
    HeapReader reader(stream);
    EXPECT_EQ(reader.get(hids[299]), Bytes(3000, 43));
    // Allocations start right after each block's header: HNHDR in block 0, HNBITMAPHDR in
    // blocks 8 and 136, HNPAGEHDR elsewhere.
    for (size_t b : {size_t(0), size_t(1), size_t(7), size_t(8), size_t(9), size_t(136)}) {
        const Bytes& block = reader.block(b);
        uint16_t ibHnpm = LoadU16(block.data());
        size_t header = b == 0 ? 12 : (b == 8 || b == 136) ? 66 : 2;
        EXPECT_EQ(LoadU16(&block[ibHnpm + 4]), header) << "block " << b;
    }
    // Full blocks have 2154 (block 0) or 2164 free bytes: fill level 2 for all of blocks 0-7.
    EXPECT_EQ(Bytes(stream.begin() + 8, stream.begin() + 12), Hex("22 22 22 22"));
    // Block 8's bitmap: levels of blocks 8..135 (all full) then 136..149, the last one (two
    // allocations, 8176 - 2 - 6000 - 10 = 2164 free) also level 2.
    const Bytes& b8 = reader.block(8);
    for (size_t j = 0; j < 64; ++j) EXPECT_EQ(b8[2 + j], 0x22) << j;
    const Bytes& b136 = reader.block(136);
    for (size_t j = 0; j < 7; ++j) EXPECT_EQ(b136[2 + j], 0x22) << j;
    EXPECT_EQ(b136[2 + 7], 0x00) << "blocks past the last one are 0";
}

// At most 2047 allocations per block, each of at most 3580 bytes.
TEST(Heap, AllocationLimits) {
    HeapBuilder heap(bTypeBTH);
    Hid last = 0;
    for (int i = 0; i < 2048; ++i) last = heap.allocate(1);
    EXPECT_EQ(last, 0x10020u);
    EXPECT_NO_THROW(heap.allocate(3580));
    EXPECT_THROW(heap.allocate(3581), LtpError);
    EXPECT_THROW(heap.at(0x10060), LtpError);
    HeapReader reader(heap.finish());
    EXPECT_EQ(LoadU16(&reader.block(0)[LoadU16(reader.block(0).data())]), 2047);
    EXPECT_EQ(LoadU16(reader.block(1).data()) % 2, 0) << "the page map starts at an even offset";
    EXPECT_EQ(reader.get(last).size(), 1u);
}

}  // namespace
}  // namespace quill::store::pst::ltp
