// Checksums, signatures and serialised structures against the values and dumps that
// [MS-PST] gives (5.3, 5.5 and the samples of section 3).
#include <gtest/gtest.h>

#include "../ltp/heap_reader.h"
#include "store/pst/ndb/disk.h"

using namespace quill::store::pst::ndb;

using quill::store::pst::ltp::testing::Hex;

TEST(PstDisk, CrcOfKnownVectors) {
    struct Case {
        std::vector<uint8_t> data;
        uint32_t crc;
    };
    const std::string digits = "123456789";
    std::vector<Case> cases = {
        {{}, 0x00000000},
        {std::vector<uint8_t>(digits.begin(), digits.end()), 0x2DFD2D88},
        {std::vector<uint8_t>(1000, 0), 0x00000000},  // no initial or final inversion
        {std::vector<uint8_t>(PermuteEncodeTable().begin(), PermuteEncodeTable().end()),
         0x82A02835},
        // The SLBLOCK of [MS-PST] 3.10, whose trailer holds this CRC.
        {Hex("02 00 01 00 00 00 00 00 7F 81 00 00 00 00 00 00 80 13 00 00 00 00 00 00 "
             "00 00 00 00 00 00 00 00"),
         0xD9D45E50},
    };
    for (const Case& c : cases) EXPECT_EQ(ComputeCrc(c.data.data(), c.data.size()), c.crc);

    // A CRC continued over pieces equals the CRC of the whole.
    std::vector<uint8_t> all(digits.begin(), digits.end());
    uint32_t part = ComputeCrc(all.data(), 4);
    EXPECT_EQ(ComputeCrc(all.data() + 4, 5, part), 0x2DFD2D88u);
}

TEST(PstDisk, SignatureOfKnownPagesAndBlocks) {
    struct Case {
        Ib ib;
        Bid bid;
        uint16_t sig;
    };
    for (const Case& c : std::vector<Case>{{0x8200, 0x206, 0x8006},
                                           {0x7000, 0x6B, 0x706B},
                                           {0x900200, 0x246, 0x00D6},
                                           {0x594D80, 0x1386, 0x5E5F},
                                           // Only the low 32 bits of ib and bid count.
                                           {0x100008200, 0x206, 0x8006}})
        EXPECT_EQ(ComputeSig(c.ib, c.bid), c.sig) << std::hex << c.ib;
}

// The sample Unicode header of [MS-PST] 3.2, rebuilt from its parsed fields.
TEST(PstDisk, HeaderSerialisesLikeTheSampleHeader) {
    HEADER h;
    h.dwReserved1 = 0x75C;
    h.dwReserved2 = 0x0B997BD0;
    h.bidUnused = 0x0000000100000004;
    h.bidNextP = 0x254;
    h.dwUnique = 0x45;
    for (uint32_t& n : h.rgnid) n = 0x400;
    h.rgnid[2] = 0x404;
    h.rgnid[3] = 0x4000;
    h.rgnid[4] = 0x10002;
    h.rgnid[5] = 0x404;
    h.rgnid[8] = 0x8000;
    h.rgnid[13] = h.rgnid[14] = h.rgnid[15] = 0x404;
    h.rgnid[31] = 0x40F;
    h.root.ibFileEof = 0x9F2400;
    h.root.ibAMapLast = 0x9B4400;
    h.root.cbAMapFree = 0x12F240;
    h.root.BREFNBT = BREF{0x24B, 0x905200};
    h.root.BREFBBT = BREF{0x253, 0x900A00};
    h.root.fAMapValid = ROOT::VALID_AMAP2;
    h.bCryptMethod = NDB_CRYPT_PERMUTE;
    h.bidNextB = 0x1434;

    std::string dump =
        "21 42 44 4E 0E A9 9A 37 53 4D 17 00 13 00 01 01 5C 07 00 00 D0 7B 99 0B 04 00 00 00 01 "
        "00 00 00 54 02 00 00 00 00 00 00 45 00 00 00 00 04 00 00 00 04 00 00 04 04 00 00 00 40 "
        "00 00 02 00 01 00 04 04 00 00 00 04 00 00 00 04 00 00 00 80 00 00 00 04 00 00 00 04 00 "
        "00 00 04 00 00 00 04 00 00 04 04 00 00 04 04 00 00 04 04 00 00 00 04 00 00";
    for (int i = 0; i < 14; ++i) dump += " 00 04 00 00";
    dump +=
        " 0F 04 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 24 9F 00 00 00 00 00 "
        "00 44 9B 00 00 00 00 00 40 F2 12 00 00 00 00 00 00 00 00 00 00 00 00 00 4B 02 00 00 "
        "00 00 00 00 00 52 90 00 00 00 00 00 53 02 00 00 00 00 00 00 00 0A 90 00 00 00 00 00 "
        "02 00 00 00 00 00 00 00";
    for (int i = 0; i < 256; ++i) dump += " FF";
    dump += " 80 01 00 00 34 14 00 00 00 00 00 00 D6 83 D2 1F";
    std::vector<uint8_t> expected = Hex(dump);
    ASSERT_EQ(expected.size(), 0x210u);

    uint8_t out[HEADER::kSize];
    h.write(out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 0x210), expected);
    HEADER back = HEADER::read(out);
    EXPECT_EQ(uint64_t(back.dwCRCPartial), 0x379AA90Eu);
    EXPECT_EQ(uint64_t(back.dwCRCFull), 0x1FD283D6u);
    EXPECT_EQ(uint64_t(back.root.BREFBBT.ib), 0x900A00u);
    EXPECT_EQ(uint64_t(back.bidNextB), 0x1434u);
}

// The places [MS-PST] 2.2.2.7 names for the first maps of each kind.
TEST(PstDisk, MapPagePlaces) {
    EXPECT_EQ(RegionIb(1), 0x4400u + 0x3E000u);
    EXPECT_EQ(RegionMapPages(8), 2u);                      // the second PMap
    EXPECT_EQ(RegionIb(128) + kPageSize * 2, 0x1F04800u);  // the first FMap, after a PMap
    EXPECT_TRUE(RegionHasFPMap(8192) && !RegionHasFMap(8192) && !RegionHasPMap(8193));
    EXPECT_EQ(BlockAllocSize(49), 128u);
}
