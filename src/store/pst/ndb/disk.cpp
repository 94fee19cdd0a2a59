#include "store/pst/ndb/disk.h"

#include <isa-l/crc.h>

namespace quill::store::pst::ndb {

uint32_t ComputeCrc(const uint8_t* data, size_t size, uint32_t crc) {
    // ISA-L's gzip CRC is the same reflected CRC-32 but inverts the value before and after;
    // undoing both inversions gives the PST's plain variant (seed 0, no final XOR). It is
    // three times as fast as zlib's on the blocks of a store.
    return ~crc32_gzip_refl(~crc, data, size);
}

uint16_t ComputeSig(Ib ib, Bid bid) {
    uint32_t x = uint32_t(ib ^ bid);
    return uint16_t((x >> 16) ^ (x & 0xFFFF));
}

namespace {

// mpbbCrypt's first 256 bytes ([MS-PST] 5.1): the encoding permutation.
constexpr std::array<uint8_t, 256> kPermuteEncode = {
    65,  54,  19,  98,  168, 33,  110, 187, 244, 22,  204, 4,   127, 100, 232, 93,  30,  242, 203,
    42,  116, 197, 94,  53,  210, 149, 71,  158, 150, 45,  154, 136, 76,  125, 132, 63,  219, 172,
    49,  182, 72,  95,  246, 196, 216, 57,  139, 231, 35,  59,  56,  142, 200, 193, 223, 37,  177,
    32,  165, 70,  96,  78,  156, 251, 170, 211, 86,  81,  69,  124, 85,  0,   7,   201, 43,  157,
    133, 155, 9,   160, 143, 173, 179, 15,  99,  171, 137, 75,  215, 167, 21,  90,  113, 102, 66,
    191, 38,  74,  107, 152, 250, 234, 119, 83,  178, 112, 5,   44,  253, 89,  58,  134, 126, 206,
    6,   235, 130, 120, 87,  199, 141, 67,  175, 180, 28,  212, 91,  205, 226, 233, 39,  79,  195,
    8,   114, 128, 207, 176, 239, 245, 40,  109, 190, 48,  77,  52,  146, 213, 14,  60,  34,  50,
    229, 228, 249, 159, 194, 209, 10,  129, 18,  225, 238, 145, 131, 118, 227, 151, 230, 97,  138,
    23,  121, 164, 183, 220, 144, 122, 92,  140, 2,   166, 202, 105, 222, 80,  26,  17,  147, 185,
    82,  135, 88,  252, 237, 29,  55,  73,  27,  106, 224, 41,  51,  153, 189, 108, 217, 148, 243,
    64,  84,  111, 240, 198, 115, 184, 214, 62,  101, 24,  68,  31,  221, 103, 16,  241, 12,  25,
    236, 174, 3,   161, 20,  123, 169, 11,  255, 248, 163, 192, 162, 1,   247, 46,  188, 36,  104,
    117, 13,  254, 186, 47,  181, 208, 218, 61};

std::array<uint8_t, 256> Invert(const std::array<uint8_t, 256>& table) {
    std::array<uint8_t, 256> inverse{};
    for (size_t i = 0; i < 256; ++i) inverse[table[i]] = uint8_t(i);
    return inverse;
}

}  // namespace

const std::array<uint8_t, 256>& PermuteEncodeTable() {
    return kPermuteEncode;
}

const std::array<uint8_t, 256>& PermuteDecodeTable() {
    static const std::array<uint8_t, 256> decode = Invert(kPermuteEncode);
    return decode;
}

void PermuteEncode(uint8_t* data, size_t size) {
    const auto& t = kPermuteEncode;
    for (size_t i = 0; i < size; ++i) data[i] = t[data[i]];
}

void PermuteDecode(uint8_t* data, size_t size) {
    const auto& t = PermuteDecodeTable();
    for (size_t i = 0; i < size; ++i) data[i] = t[data[i]];
}

uint32_t InitialNidIndex(uint32_t nidType) {
    switch (nidType) {
        case NID_TYPE_SEARCH_FOLDER:
            return 0x4000;
        case NID_TYPE_NORMAL_MESSAGE:
            return 0x10000;
        case NID_TYPE_ASSOC_MESSAGE:
            return 0x8000;
        default:
            return 0x400;
    }
}

void BREF::write(LeWriter& w) const {
    w.u64(bid);
    w.u64(ib);
}

BREF BREF::read(LeReader& r) {
    BREF b;
    b.bid = r.u64();
    b.ib = r.u64();
    return b;
}

void ROOT::write(LeWriter& w) const {
    w.u32(dwReserved);
    w.u64(ibFileEof);
    w.u64(ibAMapLast);
    w.u64(cbAMapFree);
    w.u64(cbPMapFree);
    BREFNBT.write(w);
    BREFBBT.write(w);
    w.u8(fAMapValid);
    w.u8(bReserved);
    w.u16(wReserved);
}

ROOT ROOT::read(LeReader& r) {
    ROOT root;
    root.dwReserved = r.u32();
    root.ibFileEof = r.u64();
    root.ibAMapLast = r.u64();
    root.cbAMapFree = r.u64();
    root.cbPMapFree = r.u64();
    root.BREFNBT = BREF::read(r);
    root.BREFBBT = BREF::read(r);
    root.fAMapValid = r.u8();
    root.bReserved = r.u8();
    root.wReserved = r.u16();
    return root;
}

void HEADER::write(uint8_t* out) const {
    LeWriter w(out);
    w.u32(dwMagic);
    w.u32(0);  // dwCRCPartial, below
    w.u16(wMagicClient);
    w.u16(wVer);
    w.u16(wVerClient);
    w.u8(bPlatformCreate);
    w.u8(bPlatformAccess);
    w.u32(dwReserved1);
    w.u32(dwReserved2);
    w.u64(bidUnused);
    w.u64(bidNextP);
    w.u32(dwUnique);
    for (uint32_t nid : rgnid) w.u32(nid);
    w.u64(qwUnused);
    root.write(w);
    w.u32(dwAlign);
    w.bytes(rgbFM, sizeof rgbFM);
    w.bytes(rgbFP, sizeof rgbFP);
    w.u8(bSentinel);
    w.u8(bCryptMethod);
    w.u16(rgbReserved);
    w.u64(bidNextB);
    w.u32(0);  // dwCRCFull, below
    w.bytes(rgbReserved2, sizeof rgbReserved2);
    w.u8(bReserved);
    w.bytes(rgbReserved3, sizeof rgbReserved3);
    StoreU32(out + 4, ComputeCrc(out + kCrcStart, kCrcPartialSize));
    StoreU32(out + 524, ComputeCrc(out + kCrcStart, kCrcFullSize));
}

HEADER HEADER::read(const uint8_t* in) {
    LeReader r(in);
    HEADER h;
    h.dwMagic = r.u32();
    h.dwCRCPartial = r.u32();
    h.wMagicClient = r.u16();
    h.wVer = r.u16();
    h.wVerClient = r.u16();
    h.bPlatformCreate = r.u8();
    h.bPlatformAccess = r.u8();
    h.dwReserved1 = r.u32();
    h.dwReserved2 = r.u32();
    h.bidUnused = r.u64();
    h.bidNextP = r.u64();
    h.dwUnique = r.u32();
    for (size_t i = 0; i < 32; ++i) h.rgnid[i] = r.u32();
    h.qwUnused = r.u64();
    h.root = ROOT::read(r);
    h.dwAlign = r.u32();
    r.bytes(h.rgbFM, sizeof h.rgbFM);
    r.bytes(h.rgbFP, sizeof h.rgbFP);
    h.bSentinel = r.u8();
    h.bCryptMethod = r.u8();
    h.rgbReserved = r.u16();
    h.bidNextB = r.u64();
    h.dwCRCFull = r.u32();
    r.bytes(h.rgbReserved2, sizeof h.rgbReserved2);
    h.bReserved = r.u8();
    r.bytes(h.rgbReserved3, sizeof h.rgbReserved3);
    return h;
}

void PAGETRAILER::write(LeWriter& w) const {
    w.u8(ptype);
    w.u8(ptypeRepeat);
    w.u16(wSig);
    w.u32(dwCRC);
    w.u64(bid);
}

PAGETRAILER PAGETRAILER::read(LeReader& r) {
    PAGETRAILER t;
    t.ptype = r.u8();
    t.ptypeRepeat = r.u8();
    t.wSig = r.u16();
    t.dwCRC = r.u32();
    t.bid = r.u64();
    return t;
}

void SealPage(uint8_t* page, uint8_t ptype, Ib ib, Bid bid) {
    PAGETRAILER t;
    t.ptype = ptype;
    t.ptypeRepeat = ptype;
    bool mapPage =
        ptype == ptypeAMap || ptype == ptypePMap || ptype == ptypeFMap || ptype == ptypeFPMap;
    t.wSig = mapPage ? 0 : ComputeSig(ib, bid);
    t.dwCRC = ComputeCrc(page, kPageDataSize);
    t.bid = bid;
    LeWriter w(page + kPageDataSize);
    t.write(w);
}

void DLISTPAGE::write(uint8_t* out, Bid bid) const {
    LeWriter w(out);
    w.u8(bFlags);
    w.u8(cEntDList);
    w.u16(wPadding);
    w.u32(ulCurrentPage);
    for (uint32_t e : rgDListPageEnt) w.u32(e);
    w.bytes(rgPadding, sizeof rgPadding);
    SealPage(out, ptypeDL, kDListIb, bid);
}

DLISTPAGE DLISTPAGE::read(const uint8_t* in) {
    LeReader r(in);
    DLISTPAGE d;
    d.bFlags = r.u8();
    d.cEntDList = r.u8();
    d.wPadding = r.u16();
    d.ulCurrentPage = r.u32();
    for (size_t i = 0; i < DLISTPAGE::kMaxEntries; ++i) d.rgDListPageEnt[i] = r.u32();
    r.bytes(d.rgPadding, sizeof d.rgPadding);
    d.pageTrailer = PAGETRAILER::read(r);
    return d;
}

void BTENTRY::write(LeWriter& w) const {
    w.u64(btkey);
    BREF_.write(w);
}

BTENTRY BTENTRY::read(LeReader& r) {
    BTENTRY e;
    e.btkey = r.u64();
    e.BREF_ = BREF::read(r);
    return e;
}

void BBTENTRY::write(LeWriter& w) const {
    BREF_.write(w);
    w.u16(cb);
    w.u16(cRef);
    w.u32(dwPadding);
}

BBTENTRY BBTENTRY::read(LeReader& r) {
    BBTENTRY e;
    e.BREF_ = BREF::read(r);
    e.cb = r.u16();
    e.cRef = r.u16();
    e.dwPadding = r.u32();
    return e;
}

void NBTENTRY::write(LeWriter& w) const {
    w.u64(nid);
    w.u64(bidData);
    w.u64(bidSub);
    w.u32(nidParent);
    w.u32(dwPadding);
}

NBTENTRY NBTENTRY::read(LeReader& r) {
    NBTENTRY e;
    e.nid = r.u64();
    e.bidData = r.u64();
    e.bidSub = r.u64();
    e.nidParent = r.u32();
    e.dwPadding = r.u32();
    return e;
}

void BLOCKTRAILER::write(LeWriter& w) const {
    w.u16(cb);
    w.u16(wSig);
    w.u32(dwCRC);
    w.u64(bid);
}

BLOCKTRAILER BLOCKTRAILER::read(LeReader& r) {
    BLOCKTRAILER t;
    t.cb = r.u16();
    t.wSig = r.u16();
    t.dwCRC = r.u32();
    t.bid = r.u64();
    return t;
}

void XBLOCK::write(LeWriter& w) const {
    w.u8(btype);
    w.u8(cLevel);
    w.u16(cEnt);
    w.u32(lcbTotal);
}

XBLOCK XBLOCK::read(LeReader& r) {
    XBLOCK x;
    x.btype = r.u8();
    x.cLevel = r.u8();
    x.cEnt = r.u16();
    x.lcbTotal = r.u32();
    return x;
}

void SLENTRY::write(LeWriter& w) const {
    w.u64(nid);
    w.u64(bidData);
    w.u64(bidSub);
}

SLENTRY SLENTRY::read(LeReader& r) {
    SLENTRY e;
    e.nid = r.u64();
    e.bidData = r.u64();
    e.bidSub = r.u64();
    return e;
}

void SIENTRY::write(LeWriter& w) const {
    w.u64(nid);
    w.u64(bid);
}

SIENTRY SIENTRY::read(LeReader& r) {
    SIENTRY e;
    e.nid = r.u64();
    e.bid = r.u64();
    return e;
}

void SLBLOCK::write(LeWriter& w) const {
    w.u8(btype);
    w.u8(cLevel);
    w.u16(cEnt);
    w.u32(dwPadding);
}

SLBLOCK SLBLOCK::read(LeReader& r) {
    SLBLOCK s;
    s.btype = r.u8();
    s.cLevel = r.u8();
    s.cEnt = r.u16();
    s.dwPadding = r.u32();
    return s;
}

}  // namespace quill::store::pst::ndb
