#pragma once
// Heap-on-node ([MS-PST] 2.3.1): the allocations of one node's byte stream, packed into heap
// blocks of at most 8176 bytes, each with its page map at the end.
//
// The node database cuts a node's stream into data blocks of exactly 8176 bytes (the last one
// shorter), so every heap block but the last is written at its full 8176 bytes: the free space
// of the block lies between its last allocation and its page map, and each heap block is then
// exactly one data block as the format requires.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "store/model.h"

namespace quill::store::pst::ltp {

// Heap id ([MS-PST] 2.3.1.1): hidType 0 in bits 0-4, 1-based hidIndex in bits 5-15,
// 0-based hidBlockIndex in bits 16-31.
using Hid = uint32_t;

inline constexpr size_t kHeapBlockSize = 8176;           // data bytes of one block
inline constexpr size_t kMaxHeapAllocation = 3580;       // largest allocation ([MS-PST] 2.3.1)
inline constexpr size_t kMaxAllocationsPerBlock = 2047;  // 11-bit hidIndex
inline constexpr size_t kMaxHeapBlocks = 65536;          // 16-bit hidBlockIndex

// bClientSig values ([MS-PST] 2.3.1.2).
inline constexpr uint8_t bTypeTC = 0x7C;
inline constexpr uint8_t bTypeBTH = 0xB5;
inline constexpr uint8_t bTypePC = 0xBC;
inline constexpr uint8_t bTypeReserved3 = 0x9C;
inline constexpr uint8_t bSigHN = 0xEC;

constexpr Hid MakeHid(uint32_t blockIndex, uint32_t index) {
    return (blockIndex << 16) | (index << 5);
}
constexpr uint32_t HidBlockIndex(Hid hid) {
    return hid >> 16;
}
constexpr uint32_t HidIndex(Hid hid) {
    return (hid >> 5) & 0x7FF;
}

// HNHDR ([MS-PST] 2.3.1.2), at the start of heap block 0.
struct HNHDR {
    uint16_t ibHnpm = 0;
    uint8_t bSig = bSigHN;
    uint8_t bClientSig = 0;
    uint32_t hidUserRoot = 0;
    uint8_t rgbFillLevel[4] = {};
};
static_assert(sizeof(HNHDR) == 12);

// HNPAGEHDR ([MS-PST] 2.3.1.3), at the start of heap blocks 1-7, 9-135, 137-263, ...
struct HNPAGEHDR {
    uint16_t ibHnpm = 0;
};
static_assert(sizeof(HNPAGEHDR) == 2);

// HNBITMAPHDR ([MS-PST] 2.3.1.4), at the start of heap blocks 8, 136, 264, ...
struct HNBITMAPHDR {
    uint16_t ibHnpm = 0;
    uint8_t rgbFillLevel[64] = {};
};
static_assert(sizeof(HNBITMAPHDR) == 66);

// HNPAGEMAP ([MS-PST] 2.3.1.5) without its variable rgibAlloc[cAlloc + 1].
struct HNPAGEMAP {
    uint16_t cAlloc = 0;
    uint16_t cFree = 0;
};
static_assert(sizeof(HNPAGEMAP) == 4);

// Size of the header that starts heap block `blockIndex`.
size_t HeapBlockHeaderSize(size_t blockIndex);

// Fill level nibble ([MS-PST] 2.3.1.2 rgbFillLevel) for a block with `freeBytes` free.
uint8_t FillLevel(size_t freeBytes);

class HeapBuilder {
  public:
    explicit HeapBuilder(uint8_t clientSig) : clientSig_(clientSig) {}

    // A new zero-filled allocation of `size` bytes (at most kMaxHeapAllocation); it goes into
    // the last heap block, or a new one when it does not fit. Throws LtpError past the
    // heap's 65,536 blocks.
    Hid allocate(size_t size);
    Hid allocate(std::span<const uint8_t> bytes);

    // The bytes of an allocation, to fill in later (valid until the next allocate()).
    std::span<uint8_t> at(Hid hid);

    void setUserRoot(Hid hid) { userRoot_ = hid; }
    size_t blockCount() const { return blocks_.size(); }

    // The node's byte stream: every heap block with its header and page map.
    Bytes finish() const;

  private:
    struct Block {
        Bytes data;                  // the allocations, back to back
        std::vector<uint16_t> ends;  // end offset of each allocation within `data`
    };
    bool fits(const Block& block, size_t blockIndex, size_t size) const;

    uint8_t clientSig_;
    Hid userRoot_ = 0;
    std::vector<Block> blocks_;
};

}  // namespace quill::store::pst::ltp
