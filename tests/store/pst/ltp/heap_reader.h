#pragma once
// A small reader of heaps and B-trees-on-heap for the tests, written from [MS-PST] 2.3.1 and
// 2.3.2 independently of the builders: it cuts the stream into 8176-byte blocks as the node
// database does and follows each block's page map.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "store/model.h"
#include "store/pst/ltp/le.h"

namespace quill::store::pst::ltp::testing {

class HeapReader {
  public:
    explicit HeapReader(const Bytes& stream) {
        for (size_t at = 0; at < stream.size(); at += 8176)
            blocks_.emplace_back(stream.begin() + at,
                                 stream.begin() + std::min(stream.size(), at + 8176));
    }
    size_t blockCount() const { return blocks_.size(); }
    const Bytes& block(size_t i) const { return blocks_.at(i); }
    uint8_t clientSig() const { return blocks_.at(0).at(3); }
    uint32_t userRoot() const { return LoadU32(&blocks_.at(0).at(4)); }

    // The allocation's bytes; fails the test when the HID does not resolve.
    Bytes get(uint32_t hid) const {
        EXPECT_EQ(hid & 0x1F, 0u) << "not a HID: " << hid;
        size_t blockIndex = hid >> 16, index = (hid >> 5) & 0x7FF;
        if (blockIndex >= blocks_.size()) {
            ADD_FAILURE() << "HID " << hid << " past the last heap block";
            return {};
        }
        const Bytes& b = blocks_[blockIndex];
        uint16_t ibHnpm = LoadU16(b.data());
        uint16_t cAlloc = LoadU16(&b.at(ibHnpm));
        if (index == 0 || index > cAlloc) {
            ADD_FAILURE() << "HID " << hid << " index past cAlloc " << cAlloc;
            return {};
        }
        uint16_t begin = LoadU16(&b.at(ibHnpm + 4 + 2 * (index - 1)));
        uint16_t end = LoadU16(&b.at(ibHnpm + 4 + 2 * index));
        return Bytes(b.begin() + begin, b.begin() + end);
    }

    // Every leaf record of the BTH whose header is at `header`, in tree order.
    std::vector<Bytes> bthRecords(uint32_t header, uint8_t* cbKeyOut = nullptr) const {
        Bytes h = get(header);
        EXPECT_EQ(h.size(), 8u);
        EXPECT_EQ(h[0], 0xB5);
        uint8_t cbKey = h[1], cbEnt = h[2], levels = h[3];
        if (cbKeyOut) *cbKeyOut = cbKey;
        std::vector<Bytes> out;
        uint32_t root = LoadU32(&h[4]);
        if (root != 0) collect(root, levels, cbKey, cbEnt, out);
        return out;
    }

  private:
    void collect(uint32_t hid, int level, uint8_t cbKey, uint8_t cbEnt,
                 std::vector<Bytes>& out) const {
        Bytes a = get(hid);
        size_t size = level == 0 ? cbKey + cbEnt : cbKey + 4;
        EXPECT_EQ(a.size() % size, 0u);
        for (size_t i = 0; i + size <= a.size(); i += size) {
            if (level == 0) {
                out.emplace_back(a.begin() + i, a.begin() + i + size);
            } else {
                size_t before = out.size();
                collect(LoadU32(&a[i + cbKey]), level - 1, cbKey, cbEnt, out);
                // The index key is the first key of the child.
                if (out.size() > before) {
                    EXPECT_TRUE(
                        std::equal(a.begin() + i, a.begin() + i + cbKey, out[before].begin()));
                }
            }
        }
    }
    std::vector<Bytes> blocks_;
};

inline Bytes Hex(const char* text) {
    Bytes out;
    int nibble = -1;
    for (const char* p = text; *p; ++p) {
        int v = -1;
        if (*p >= '0' && *p <= '9')
            v = *p - '0';
        else if (*p >= 'A' && *p <= 'F')
            v = *p - 'A' + 10;
        else if (*p >= 'a' && *p <= 'f')
            v = *p - 'a' + 10;
        if (v < 0) continue;
        if (nibble < 0) {
            nibble = v;
        } else {
            out.push_back(static_cast<uint8_t>(nibble * 16 + v));
            nibble = -1;
        }
    }
    return out;
}

}  // namespace quill::store::pst::ltp::testing
