// Checksums, signatures and serialised structures against the values and dumps that
// [MS-PST] gives (5.3, 5.5 and the samples of section 3).
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "store/pst/ndb/disk.h"

using namespace quill::store::pst::ndb;

namespace {

std::vector<uint8_t> FromHex(const std::string& text) {
    std::vector<uint8_t> out;
    std::istringstream in(text);
    std::string byte;
    while (in >> byte) out.push_back(uint8_t(std::stoul(byte, nullptr, 16)));
    return out;
}

std::vector<uint8_t> Trailer(const uint8_t* page) {
    return std::vector<uint8_t>(page + kPageDataSize, page + kPageSize);
}

}  // namespace

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
        {FromHex("02 00 01 00 00 00 00 00 7F 81 00 00 00 00 00 00 80 13 00 00 00 00 00 00 "
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

TEST(PstDisk, PermutationDecodesWhatItEncodes) {
    std::vector<uint8_t> data(256);
    for (size_t i = 0; i < 256; ++i) data[i] = uint8_t(i);
    std::vector<uint8_t> copy = data;
    PermuteEncode(copy.data(), copy.size());
    EXPECT_EQ(copy[0], 0x41);  // first entry of mpbbCrypt
    EXPECT_EQ(copy[255], 0x3D);
    PermuteDecode(copy.data(), copy.size());
    EXPECT_EQ(copy, data);
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
    std::vector<uint8_t> expected = FromHex(dump);
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

// The B-tree pages of [MS-PST] 3.3 to 3.5: entries serialised by our structs, sealed by
// SealPage, must give the sample's trailer (type, signature, CRC, bid).
TEST(PstDisk, BTreePagesGetTheSampleTrailers) {
    struct Case {
        const char* name;
        uint8_t ptype;
        Ib ib;
        Bid bid;
        std::vector<uint8_t> entries;
        uint8_t cEnt, cEntMax, cbEnt, cLevel;
        const char* trailer;
    };
    auto btentries = [](std::vector<std::array<uint64_t, 3>> rows) {
        std::vector<uint8_t> out(rows.size() * BTENTRY::kSize);
        LeWriter w(out.data());
        for (auto& r : rows) BTENTRY{r[0], BREF{r[1], r[2]}}.write(w);
        return out;
    };
    std::vector<std::array<uint64_t, 4>> nodes = {
        {0x60F, 0xC, 0, 0},  {0x610, 0x10, 0, 0}, {0x62B, 0x30, 0, 0},      {0x64C, 0x1C, 0, 0},
        {0x671, 0x18, 0, 0}, {0x692, 0x14, 0, 0}, {0x6B6, 0x24, 0, 0},      {0x6D7, 0x28, 0, 0},
        {0x6F8, 0x2C, 0, 0}, {0xC01, 0x48, 0, 0}, {0x8022, 0x54, 0, 0x122}, {0x802D, 0x4, 0, 0},
        {0x802E, 0x8, 0, 0}, {0x802F, 0xC, 0, 0}, {0x8042, 0x64, 0, 0x122}};
    std::vector<uint8_t> nbtLeaf(nodes.size() * NBTENTRY::kSize);
    LeWriter w(nbtLeaf.data());
    for (auto& n : nodes) {
        NBTENTRY e{n[0], n[1], n[2], uint32_t(n[3]), 2};  // the sample's padding holds 2
        e.write(w);
    }
    std::vector<Case> cases = {
        {"intermediate NBT", ptypeNBT, 0x8200, 0x206,
         btentries({{0x21, 0x205, 0x7E00}, {0x60F, 0x141, 0x7000}, {0x8022, 0xFD, 0x8400}}), 3,
         0x14, 0x18, 1, "81 81 06 80 64 B1 E8 02 06 02 00 00 00 00 00 00"},
        {"leaf NBT", ptypeNBT, 0x7000, 0x6B, nbtLeaf, 0x0E, 0x0F, 0x20, 0,
         "81 81 6B 70 49 19 C2 39 6B 00 00 00 00 00 00 00"},
        {"intermediate BBT", ptypeBBT, 0x900200, 0x246,
         btentries({{0x1168, 0x20B, 0x7C2800},
                    {0x11B0, 0x20C, 0x800800},
                    {0x11F8, 0x20D, 0x800A00},
                    {0x1240, 0x20F, 0x83E600},
                    {0x1288, 0x210, 0x87C600},
                    {0x12D0, 0x211, 0x87C800},
                    {0x1318, 0x212, 0x8BA600},
                    {0x1386, 0x244, 0x8FFC00}}),
         8, 0x14, 0x18, 1, "80 80 D6 00 2F A0 F6 A1 46 02 00 00 00 00 00 00"},
    };
    for (const Case& c : cases) {
        uint8_t page[kPageSize] = {};
        std::memcpy(page, c.entries.data(), c.entries.size());
        page[488] = c.cEnt;
        page[489] = c.cEntMax;
        page[490] = c.cbEnt;
        page[491] = c.cLevel;
        SealPage(page, c.ptype, c.ib, c.bid);
        EXPECT_EQ(Trailer(page), FromHex(c.trailer)) << c.name;
    }
}

// The SLBLOCK of [MS-PST] 3.10, at ib 0x594D80 with BID 0x1386.
TEST(PstDisk, SubnodeBlockGetsTheSampleTrailer) {
    uint8_t block[64] = {};
    LeWriter w(block);
    SLBLOCK{0x02, 0x00, 1, 0}.write(w);
    SLENTRY{0x817F, 0x1380, 0}.write(w);
    size_t cb = size_t(w.position() - block);
    ASSERT_EQ(cb, 0x20u);
    ASSERT_EQ(BlockAllocSize(cb), 64u);
    BLOCKTRAILER t{uint16_t(cb), ComputeSig(0x594D80, 0x1386), ComputeCrc(block, cb), 0x1386};
    LeWriter tw(block + 48);
    t.write(tw);
    EXPECT_EQ(std::vector<uint8_t>(block, block + 64),
              FromHex("02 00 01 00 00 00 00 00 7F 81 00 00 00 00 00 00 80 13 00 00 00 00 00 00 "
                      "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                      "20 00 5F 5E 50 5E D4 D9 86 13 00 00 00 00 00 00"));
}

TEST(PstDisk, MapPagePlacesFollowTheRegionCounts) {
    struct Case {
        uint64_t region;
        bool pmap, fmap, fpmap;
        size_t pages;
    };
    for (const Case& c : std::vector<Case>{{0, true, false, false, 2},
                                           {1, false, false, false, 1},
                                           {8, true, false, false, 2},
                                           {128, true, true, false, 3},  // 0x1F04400
                                           {624, true, true, false, 3},
                                           {8192, true, false, true, 3},
                                           {8192 + 31744, true, false, true, 3}}) {
        EXPECT_EQ(RegionHasPMap(c.region), c.pmap) << c.region;
        EXPECT_EQ(RegionHasFMap(c.region), c.fmap) << c.region;
        EXPECT_EQ(RegionHasFPMap(c.region), c.fpmap) << c.region;
        EXPECT_EQ(RegionMapPages(c.region), c.pages) << c.region;
    }
    EXPECT_EQ(RegionIb(128) + kPageSize * 2, 0x1F04800u);  // the first FMap
    EXPECT_EQ(RegionIb(1), 0x4400u + 0x3E000u);
    EXPECT_EQ(BlockAllocSize(kMaxBlockData), kMaxBlockSize);
    EXPECT_EQ(BlockAllocSize(1), 64u);
    EXPECT_EQ(BlockAllocSize(49), 128u);
}
