#pragma once
// On-disk structures of a Unicode PST file's node and block database ([MS-PST] 2.2.2), with
// the document's own field names so each can be checked against it line by line, and the
// checksum, signature and permutation encoding they need ([MS-PST] 5.1, 5.3, 5.5).
//
// The structs are packed so that sizeof() equals the size on disk (checked by static_assert),
// but they are never copied to or from disk as memory: write()/read() serialise every field
// explicitly little-endian. Being packed, their fields may be misaligned: copy them out,
// never bind a reference or pointer to one (gtest's EXPECT_EQ binds references: cast first).

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "store/pst/pst_base.h"

namespace quill::store::pst::ndb {

using Bid = uint64_t;  // block or page id ([MS-PST] 2.2.2.2)
using Ib = uint64_t;   // absolute file offset ([MS-PST] 2.2.2.3)

// ---- Checksum, signature, encoding ------------------------------------------------------

// The PST CRC-32 ([MS-PST] 5.3): reflected polynomial 0xEDB88320, initial value 0 and no
// final inversion (so not the value zlib's crc32() returns for the same bytes). `crc`
// continues an earlier result.
uint32_t ComputeCrc(const uint8_t* data, size_t size, uint32_t crc = 0);

// Signature of a block or page ([MS-PST] 5.5), from its file offset and its BID.
uint16_t ComputeSig(Ib ib, Bid bid);

// bCryptMethod values ([MS-PST] 2.2.2.6).
constexpr uint8_t NDB_CRYPT_NONE = 0x00;
constexpr uint8_t NDB_CRYPT_PERMUTE = 0x01;

// The permutation encoding of external data blocks ([MS-PST] 5.1): the first table of
// mpbbCrypt encodes, its inverse (the third table) decodes.
const std::array<uint8_t, 256>& PermuteEncodeTable();
const std::array<uint8_t, 256>& PermuteDecodeTable();
void PermuteEncode(uint8_t* data, size_t size);
void PermuteDecode(uint8_t* data, size_t size);

// ---- Sizes and fixed places ([MS-PST] 2.2.2.7, 2.2.2.8) ---------------------------------

constexpr size_t kPageSize = 512;
constexpr size_t kPageDataSize = 496;             // page bytes before the PAGETRAILER
constexpr size_t kSlotSize = 64;                  // one AMap bit
constexpr size_t kMaxBlockSize = 8192;            // block incl. padding and trailer
constexpr size_t kMaxBlockData = 8176;            // data bytes of one block
constexpr uint64_t kRegionSize = 496 * 8 * 64;    // bytes mapped by one AMap: 0x3E000
constexpr size_t kSlotsPerRegion = 496 * 8;       // 3968
constexpr Ib kFirstAMapIb = 0x4400;               // AMap #0
constexpr Ib kDListIb = 0x4200;                   // the density list page
constexpr size_t kAMapsPerPMap = 8;               // a PMap follows every 8th AMap
constexpr uint64_t kFirstFMapRegion = 128;        // rgbFM in the header covers AMaps 0..127
constexpr uint64_t kAMapsPerFMap = 496;           // one byte per AMap
constexpr uint64_t kFirstFPMapRegion = 8192;      // rgbFP covers PMaps 0..1023 = AMaps 0..8191
constexpr uint64_t kAMapsPerFPMap = 496 * 8 * 8;  // one bit per PMap: 31744 AMaps

inline Ib RegionIb(uint64_t region) {
    return kFirstAMapIb + region * kRegionSize;
}
inline bool RegionHasPMap(uint64_t region) {
    return region % kAMapsPerPMap == 0;
}
inline bool RegionHasFMap(uint64_t region) {
    return region >= kFirstFMapRegion && (region - kFirstFMapRegion) % kAMapsPerFMap == 0;
}
inline bool RegionHasFPMap(uint64_t region) {
    return region >= kFirstFPMapRegion && (region - kFirstFPMapRegion) % kAMapsPerFPMap == 0;
}
// Number of 512-byte map pages at the start of a region: the AMap, then a PMap, an FMap and
// an FPMap where due, packed in that order. FMap and FPMap regions never coincide (an FPMap
// region is 256 modulo 496, an FMap region 128), so an FPMap always sits right after its
// region's PMap.
inline size_t RegionMapPages(uint64_t region) {
    return 1 + (RegionHasPMap(region) ? 1 : 0) + (RegionHasFMap(region) ? 1 : 0) +
           (RegionHasFPMap(region) ? 1 : 0);
}
// Whole bytes (64 bytes each) that a block of cb data bytes occupies: data, padding, trailer.
inline size_t BlockAllocSize(size_t cb) {
    return (cb + 16 + kSlotSize - 1) / kSlotSize * kSlotSize;
}

// Starting nidIndex of each NID type in a blank file ([MS-PST] 2.2.2.6, rgnid[]).
uint32_t InitialNidIndex(uint32_t nidType);

constexpr Bid kBidInternal = 0x2;  // the "i" bit of a block BID ([MS-PST] 2.2.2.2)

// ptype values ([MS-PST] 2.2.2.7.1).
constexpr uint8_t ptypeBBT = 0x80;
constexpr uint8_t ptypeNBT = 0x81;
constexpr uint8_t ptypeFMap = 0x82;
constexpr uint8_t ptypePMap = 0x83;
constexpr uint8_t ptypeAMap = 0x84;
constexpr uint8_t ptypeFPMap = 0x85;
constexpr uint8_t ptypeDL = 0x86;

#pragma pack(push, 1)

// BREF ([MS-PST] 2.2.2.4), Unicode.
struct BREF {
    Bid bid = 0;
    Ib ib = 0;

    static constexpr size_t kSize = 16;
    void write(LeWriter& w) const;
    static BREF read(LeReader& r);
};
static_assert(sizeof(BREF) == BREF::kSize);

// ROOT ([MS-PST] 2.2.2.5), Unicode.
struct ROOT {
    uint32_t dwReserved = 0;
    Ib ibFileEof = 0;
    Ib ibAMapLast = 0;
    uint64_t cbAMapFree = 0;
    uint64_t cbPMapFree = 0;
    BREF BREFNBT;
    BREF BREFBBT;
    uint8_t fAMapValid = 0;
    uint8_t bReserved = 0;
    uint16_t wReserved = 0;

    static constexpr size_t kSize = 72;
    static constexpr uint8_t VALID_AMAP2 = 0x02;
    void write(LeWriter& w) const;
    static ROOT read(LeReader& r);
};
static_assert(sizeof(ROOT) == ROOT::kSize);

// HEADER ([MS-PST] 2.2.2.6), Unicode (wVer 23).
struct HEADER {
    uint32_t dwMagic = 0x4E444221;  // "!BDN"
    uint32_t dwCRCPartial = 0;
    uint16_t wMagicClient = 0x4D53;  // "SM"
    uint16_t wVer = 23;
    uint16_t wVerClient = 19;
    uint8_t bPlatformCreate = 0x01;
    uint8_t bPlatformAccess = 0x01;
    uint32_t dwReserved1 = 0;
    uint32_t dwReserved2 = 0;
    Bid bidUnused = 0;
    Bid bidNextP = 0;
    uint32_t dwUnique = 0;
    uint32_t rgnid[32] = {};
    uint64_t qwUnused = 0;
    ROOT root;
    uint32_t dwAlign = 0;
    uint8_t rgbFM[128];
    uint8_t rgbFP[128];
    uint8_t bSentinel = 0x80;
    uint8_t bCryptMethod = NDB_CRYPT_NONE;
    uint16_t rgbReserved = 0;
    Bid bidNextB = 0;
    uint32_t dwCRCFull = 0;
    uint8_t rgbReserved2[3] = {};
    uint8_t bReserved = 0;
    uint8_t rgbReserved3[32] = {};

    static constexpr size_t kSize = 564;
    // dwCRCPartial covers the 471 bytes from wMagicClient, dwCRCFull the 516 bytes from
    // wMagicClient through bidNextB.
    static constexpr size_t kCrcStart = 8;
    static constexpr size_t kCrcPartialSize = 471;
    static constexpr size_t kCrcFullSize = 516;

    HEADER() {
        std::memset(rgbFM, 0xFF, sizeof rgbFM);
        std::memset(rgbFP, 0xFF, sizeof rgbFP);
    }
    // Serialises with both CRCs computed over the serialised bytes.
    void write(uint8_t* out) const;
    static HEADER read(const uint8_t* in);
};
static_assert(sizeof(HEADER) == HEADER::kSize);

// PAGETRAILER ([MS-PST] 2.2.2.7.1), Unicode: the last 16 bytes of every page.
struct PAGETRAILER {
    uint8_t ptype = 0;
    uint8_t ptypeRepeat = 0;
    uint16_t wSig = 0;
    uint32_t dwCRC = 0;
    Bid bid = 0;

    static constexpr size_t kSize = 16;
    void write(LeWriter& w) const;
    static PAGETRAILER read(LeReader& r);
};
static_assert(sizeof(PAGETRAILER) == PAGETRAILER::kSize);

// Fills the trailer of a 512-byte page whose first 496 bytes are already in place: ptype,
// the signature (0 for the map pages, whose bid is their own offset), the CRC.
void SealPage(uint8_t* page, uint8_t ptype, Ib ib, Bid bid);

// AMAPPAGE ([MS-PST] 2.2.2.7.2). Bit n (most significant bit first in each byte) is the
// n-th 64-byte slot of the region.
struct AMAPPAGE {
    uint8_t rgbAMapBits[496];
    PAGETRAILER pageTrailer;
};
static_assert(sizeof(AMAPPAGE) == kPageSize);

// PMAPPAGE ([MS-PST] 2.2.2.7.3), deprecated; written all 0xFF ("no free page").
struct PMAPPAGE {
    uint8_t rgbPMapBits[496];
    PAGETRAILER pageTrailer;
};
static_assert(sizeof(PMAPPAGE) == kPageSize);

// FMAPPAGE ([MS-PST] 2.2.2.7.5), deprecated; written all 0 ("no free run"), which current
// Outlook ignores and older Outlook reads as "look elsewhere".
struct FMAPPAGE {
    uint8_t rgbFMapBits[496];
    PAGETRAILER pageTrailer;
};
static_assert(sizeof(FMAPPAGE) == kPageSize);

// FPMAPPAGE ([MS-PST] 2.2.2.7.6), deprecated; written all 0xFF, matching the PMaps.
struct FPMAPPAGE {
    uint8_t rgbFPMapBits[496];
    PAGETRAILER pageTrailer;
};
static_assert(sizeof(FPMAPPAGE) == kPageSize);

// DLISTPAGEENT ([MS-PST] 2.2.2.7.4.1): 20-bit AMap index, 12-bit free-slot count.
inline uint32_t MakeDListPageEnt(uint32_t dwPageNum, uint32_t dwFreeSlots) {
    return (dwPageNum & 0xFFFFF) | (std::min<uint32_t>(dwFreeSlots, 0xFFF) << 20);
}

// DLISTPAGE ([MS-PST] 2.2.2.7.4.2), Unicode.
struct DLISTPAGE {
    uint8_t bFlags = 0;
    uint8_t cEntDList = 0;
    uint16_t wPadding = 0;
    uint32_t ulCurrentPage = 0;
    uint32_t rgDListPageEnt[119] = {};
    uint8_t rgPadding[12] = {};
    PAGETRAILER pageTrailer;

    static constexpr uint8_t DFL_BACKFILL_COMPLETE = 0x01;
    static constexpr size_t kMaxEntries = 119;
    // Serialises the page and seals its trailer (signature from kDListIb and bid).
    void write(uint8_t* out, Bid bid) const;
    static DLISTPAGE read(const uint8_t* in);
};
static_assert(sizeof(DLISTPAGE) == kPageSize);

// BTENTRY ([MS-PST] 2.2.2.7.7.2), Unicode: an entry of an intermediate NBT or BBT page.
struct BTENTRY {
    uint64_t btkey = 0;
    BREF BREF_;  // "BREF" in [MS-PST]; renamed only to keep it apart from the type

    static constexpr size_t kSize = 24;
    void write(LeWriter& w) const;
    static BTENTRY read(LeReader& r);
};
static_assert(sizeof(BTENTRY) == BTENTRY::kSize);

// BBTENTRY ([MS-PST] 2.2.2.7.7.3), Unicode: a leaf entry of the block B-tree.
struct BBTENTRY {
    BREF BREF_;
    uint16_t cb = 0;
    uint16_t cRef = 0;
    uint32_t dwPadding = 0;

    static constexpr size_t kSize = 24;
    void write(LeWriter& w) const;
    static BBTENTRY read(LeReader& r);
};
static_assert(sizeof(BBTENTRY) == BBTENTRY::kSize);

// NBTENTRY ([MS-PST] 2.2.2.7.7.4), Unicode: a leaf entry of the node B-tree.
struct NBTENTRY {
    uint64_t nid = 0;  // the 32-bit NID, zero-extended
    Bid bidData = 0;
    Bid bidSub = 0;
    uint32_t nidParent = 0;
    uint32_t dwPadding = 0;

    static constexpr size_t kSize = 32;
    void write(LeWriter& w) const;
    static NBTENTRY read(LeReader& r);
};
static_assert(sizeof(NBTENTRY) == NBTENTRY::kSize);

// BTPAGE ([MS-PST] 2.2.2.7.7.1), Unicode.
struct BTPAGE {
    uint8_t rgentries[488] = {};
    uint8_t cEnt = 0;
    uint8_t cEntMax = 0;
    uint8_t cbEnt = 0;
    uint8_t cLevel = 0;
    uint32_t dwPadding = 0;
    PAGETRAILER pageTrailer;

    static constexpr size_t kEntriesSize = 488;
    // cEntMax of each page kind: 488 / cbEnt.
    static constexpr uint8_t kNbtLeafMax = 15;  // NBTENTRY, 32 bytes
    static constexpr uint8_t kBbtLeafMax = 20;  // BBTENTRY, 24 bytes
    static constexpr uint8_t kIndexMax = 20;    // BTENTRY, 24 bytes
};
static_assert(sizeof(BTPAGE) == kPageSize);

// BLOCKTRAILER ([MS-PST] 2.2.2.8.1), Unicode: the last 16 bytes of every block.
struct BLOCKTRAILER {
    uint16_t cb = 0;
    uint16_t wSig = 0;
    uint32_t dwCRC = 0;
    Bid bid = 0;

    static constexpr size_t kSize = 16;
    void write(LeWriter& w) const;
    static BLOCKTRAILER read(LeReader& r);
};
static_assert(sizeof(BLOCKTRAILER) == BLOCKTRAILER::kSize);

// XBLOCK and XXBLOCK ([MS-PST] 2.2.2.8.3.2.1, 2.2.2.8.3.2.2): this header, then cEnt BIDs.
struct XBLOCK {
    uint8_t btype = 0x01;
    uint8_t cLevel = 0x01;  // 1 for an XBLOCK, 2 for an XXBLOCK
    uint16_t cEnt = 0;
    uint32_t lcbTotal = 0;

    static constexpr size_t kSize = 8;
    static constexpr size_t kMaxEntries = (kMaxBlockData - kSize) / 8;  // 1021
    void write(LeWriter& w) const;
    static XBLOCK read(LeReader& r);
};
static_assert(sizeof(XBLOCK) == XBLOCK::kSize);

// SLENTRY ([MS-PST] 2.2.2.8.3.3.1.1), Unicode.
struct SLENTRY {
    uint64_t nid = 0;  // 32-bit NID, upper half written 0
    Bid bidData = 0;
    Bid bidSub = 0;

    static constexpr size_t kSize = 24;
    void write(LeWriter& w) const;
    static SLENTRY read(LeReader& r);
};
static_assert(sizeof(SLENTRY) == SLENTRY::kSize);

// SIENTRY ([MS-PST] 2.2.2.8.3.3.2.1), Unicode.
struct SIENTRY {
    uint64_t nid = 0;
    Bid bid = 0;

    static constexpr size_t kSize = 16;
    void write(LeWriter& w) const;
    static SIENTRY read(LeReader& r);
};
static_assert(sizeof(SIENTRY) == SIENTRY::kSize);

// SLBLOCK and SIBLOCK ([MS-PST] 2.2.2.8.3.3.1, 2.2.2.8.3.3.2): this header, then cEnt
// SLENTRY (cLevel 0) or SIENTRY (cLevel 1) records.
struct SLBLOCK {
    uint8_t btype = 0x02;
    uint8_t cLevel = 0x00;
    uint16_t cEnt = 0;
    uint32_t dwPadding = 0;

    static constexpr size_t kSize = 8;
    static constexpr size_t kMaxSlEntries = (kMaxBlockData - kSize) / SLENTRY::kSize;  // 340
    static constexpr size_t kMaxSiEntries = (kMaxBlockData - kSize) / SIENTRY::kSize;  // 510
    void write(LeWriter& w) const;
    static SLBLOCK read(LeReader& r);
};
static_assert(sizeof(SLBLOCK) == SLBLOCK::kSize);

#pragma pack(pop)

}  // namespace quill::store::pst::ndb
