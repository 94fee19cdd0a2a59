#include "store/pst/ltp/heap.h"

#include <algorithm>
#include <string>

#include "store/pst/ltp/ltp_error.h"
#include "store/pst/pst_base.h"

namespace quill::store::pst::ltp {

namespace {

size_t PageMapSize(size_t allocations) {
    return sizeof(HNPAGEMAP) + 2 * (allocations + 1);
}

void SetNibble(uint8_t* levels, size_t index, uint8_t value) {
    // Even blocks in the low nibble, odd blocks in the high nibble.
    uint8_t& byte = levels[index / 2];
    if (index % 2 == 0)
        byte = static_cast<uint8_t>((byte & 0xF0) | value);
    else
        byte = static_cast<uint8_t>((byte & 0x0F) | (value << 4));
}

}  // namespace

size_t HeapBlockHeaderSize(size_t blockIndex) {
    if (blockIndex == 0) return sizeof(HNHDR);
    if (blockIndex >= 8 && (blockIndex - 8) % 128 == 0) return sizeof(HNBITMAPHDR);
    return sizeof(HNPAGEHDR);
}

uint8_t FillLevel(size_t freeBytes) {
    static constexpr size_t kLowerBounds[] = {3584, 2560, 2048, 1792, 1536, 1280, 1024, 768,
                                              512,  256,  128,  64,   32,   16,   8};
    for (size_t i = 0; i < std::size(kLowerBounds); ++i)
        if (freeBytes >= kLowerBounds[i]) return static_cast<uint8_t>(i);
    return 15;  // FILL_LEVEL_FULL
}

bool HeapBuilder::fits(const Block& block, size_t blockIndex, size_t size) const {
    if (block.ends.size() >= kMaxAllocationsPerBlock) return false;
    size_t end = HeapBlockHeaderSize(blockIndex) + block.data.size() + size;
    end += end & 1;  // the page map starts at an even offset
    return end + PageMapSize(block.ends.size() + 1) <= kHeapBlockSize;
}

Hid HeapBuilder::allocate(size_t size) {
    if (size > kMaxHeapAllocation)
        throw LtpError("heap allocation of " + std::to_string(size) + " bytes is larger than " +
                       std::to_string(kMaxHeapAllocation));
    if (blocks_.empty() || !fits(blocks_.back(), blocks_.size() - 1, size)) {
        if (blocks_.size() >= kMaxHeapBlocks)
            throw LtpError("heap is full: " + std::to_string(kMaxHeapBlocks) + " blocks");
        blocks_.emplace_back();
    }
    Block& block = blocks_.back();
    block.data.resize(block.data.size() + size);
    block.ends.push_back(static_cast<uint16_t>(block.data.size()));
    return MakeHid(static_cast<uint32_t>(blocks_.size() - 1),
                   static_cast<uint32_t>(block.ends.size()));
}

Hid HeapBuilder::allocate(std::span<const uint8_t> bytes) {
    Hid hid = allocate(bytes.size());
    std::copy(bytes.begin(), bytes.end(), at(hid).begin());
    return hid;
}

std::span<uint8_t> HeapBuilder::at(Hid hid) {
    uint32_t blockIndex = HidBlockIndex(hid), index = HidIndex(hid);
    if ((hid & 0x1F) != 0 || blockIndex >= blocks_.size() || index == 0 ||
        index > blocks_[blockIndex].ends.size())
        throw LtpError("no heap allocation with HID " + std::to_string(hid));
    Block& block = blocks_[blockIndex];
    size_t begin = index == 1 ? 0 : block.ends[index - 2];
    return std::span<uint8_t>(block.data).subspan(begin, block.ends[index - 1] - begin);
}

Bytes HeapBuilder::finish() const {
    static const std::vector<Block> kOneEmptyBlock(1);  // a heap always has its first block
    const std::vector<Block>& blocks = blocks_.empty() ? kOneEmptyBlock : blocks_;

    // Where each block's page map goes: right after the allocations in the last block, at
    // the very end of the full 8176 bytes in every other block.
    size_t count = blocks.size();
    std::vector<size_t> pageMapAt(count), freeBytes(count);
    for (size_t i = 0; i < count; ++i) {
        size_t allocEnd = HeapBlockHeaderSize(i) + blocks[i].data.size();
        size_t mapSize = PageMapSize(blocks[i].ends.size());
        if (i + 1 == count) {
            pageMapAt[i] = allocEnd + (allocEnd & 1);
            freeBytes[i] = kHeapBlockSize - (pageMapAt[i] + mapSize);
        } else {
            pageMapAt[i] = kHeapBlockSize - mapSize;
            freeBytes[i] = pageMapAt[i] - allocEnd;
        }
    }

    Bytes out;
    out.reserve(count == 1 ? pageMapAt[0] + PageMapSize(blocks[0].ends.size())
                           : count * kHeapBlockSize);
    for (size_t i = 0; i < count; ++i) {
        size_t start = out.size();
        size_t header = HeapBlockHeaderSize(i);
        out.resize(start + header);
        uint8_t* h = out.data() + start;
        StoreU16(h, static_cast<uint16_t>(pageMapAt[i]));
        if (i == 0) {
            h[2] = bSigHN;
            h[3] = clientSig_;
            StoreU32(h + 4, userRoot_);
            for (size_t j = 0; j < 8 && j < count; ++j)
                SetNibble(h + 8, j, FillLevel(freeBytes[j]));
        } else if (header == sizeof(HNBITMAPHDR)) {
            for (size_t j = 0; j < 128 && i + j < count; ++j)
                SetNibble(h + 2, j, FillLevel(freeBytes[i + j]));
        }
        out.insert(out.end(), blocks[i].data.begin(), blocks[i].data.end());
        out.resize(start + pageMapAt[i], 0);
        AppendU16(out, static_cast<uint16_t>(blocks[i].ends.size()));
        AppendU16(out, 0);  // cFree
        AppendU16(out, static_cast<uint16_t>(header));
        for (uint16_t end : blocks[i].ends) AppendU16(out, static_cast<uint16_t>(header + end));
    }
    return out;
}

}  // namespace quill::store::pst::ltp
