#pragma once
// A small reader of heaps and B-trees-on-heap for the tests, written from [MS-PST] 2.3.1 and
// 2.3.2 independently of the builders: it cuts the stream into 8176-byte blocks as the node
// database does and follows each block's page map.

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "store/model.h"
#include "store/pst/node_content.h"
#include "store/pst/pst_base.h"

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
    uint32_t userRoot() const { return LoadU32(&blocks_.at(0).at(4)); }

    // The allocation's bytes; throws (failing the test) when the HID does not resolve.
    Bytes get(uint32_t hid) const {
        const Bytes& b = blocks_.at(hid >> 16);
        size_t index = (hid >> 5) & 0x7FF, ibHnpm = LoadU16(b.data());
        if ((hid & 0x1F) != 0 || index == 0 || index > LoadU16(&b.at(ibHnpm)))
            throw std::out_of_range("no allocation " + std::to_string(hid));
        uint16_t begin = LoadU16(&b.at(ibHnpm + 4 + 2 * (index - 1)));
        uint16_t end = LoadU16(&b.at(ibHnpm + 4 + 2 * index));
        return Bytes(b.begin() + begin, b.begin() + end);
    }

    // Every leaf record of the BTH whose header is at `header`, in tree order.
    std::vector<Bytes> bthRecords(uint32_t header) const {
        Bytes h = get(header);
        uint8_t cbKey = h[1], cbEnt = h[2], levels = h[3];
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

// Bytes written as hexadecimal digits; anything else between them is ignored.
inline Bytes Hex(const std::string& text) {
    std::string digits;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
    Bytes out;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}

// The rows of a table context, read with [MS-PST] 2.3.4: each row's cells by full tag, only
// the cells whose existence bit is set; variable-size cells resolved through the heap or the
// table's subnodes.
using Row = std::map<uint32_t, Bytes>;

// Property types whose values a table row holds in place ([MS-PST] 2.3.4.4.1).
inline bool InRow(uint16_t type) {
    return type == 0x0B || type == 0x02 || type == 0x03 || type == 0x14 || type == 0x40 ||
           (type >= 0x04 && type <= 0x07) || type == 0x0A;
}

inline Bytes ResolveHnid(const HeapReader& heap, const NodeContent& node, uint32_t hnid) {
    if (hnid == 0) return {};
    if ((hnid & 0x1F) == 0) return heap.get(hnid);
    for (const SubnodeContent& s : node.subnodes)
        if (s.nid == hnid) return s.content.source ? ReadAll(*s.content.source) : s.content.data;
    ADD_FAILURE() << "no subnode " << hnid;
    return {};
}

inline std::vector<Row> ReadTable(const NodeContent& node) {
    HeapReader heap(node.data);
    Bytes info = heap.get(heap.userRoot());
    size_t cols = info[1];
    uint16_t rowSize = LoadU16(&info[8]), cebAt = LoadU16(&info[6]);
    uint32_t hnidRows = LoadU32(&info[14]);
    size_t count = heap.bthRecords(LoadU32(&info[10])).size();
    // Small tables only: a row matrix of one block.
    Bytes matrix = ResolveHnid(heap, node, hnidRows);
    std::vector<Row> rows;
    for (size_t r = 0; r < count; ++r) {
        const uint8_t* row = &matrix.at(r * rowSize);
        Row out;
        for (size_t c = 0; c < cols; ++c) {
            const uint8_t* d = &info[22 + 8 * c];
            uint32_t tag = LoadU32(d);
            uint16_t ib = LoadU16(d + 4);
            uint8_t cb = d[6], bit = d[7];
            if ((row[cebAt + bit / 8] & (0x80 >> (bit % 8))) == 0) continue;
            if (InRow(tag & 0xFFFF))
                out[tag] = Bytes(row + ib, row + ib + cb);
            else
                out[tag] = ResolveHnid(heap, node, LoadU32(row + ib));
        }
        rows.push_back(std::move(out));
    }
    return rows;
}

// The properties of a property context by full tag: inline values as their 4 bytes, others
// resolved through the heap or the node's subnodes.
inline std::map<uint32_t, Bytes> ReadProperties(const NodeContent& node) {
    HeapReader heap(node.data);
    std::map<uint32_t, Bytes> out;
    for (const Bytes& r : heap.bthRecords(heap.userRoot())) {
        uint16_t id = LoadU16(&r[0]), type = LoadU16(&r[2]);
        uint32_t hnid = LoadU32(&r[4]);
        uint32_t tag = (uint32_t(id) << 16) | type;
        bool inRecord = type == 0x0A || type == 0x0B || (type >= 0x02 && type <= 0x04);
        out[tag] = inRecord ? Bytes(&r[4], &r[8]) : ResolveHnid(heap, node, hnid);
    }
    return out;
}

}  // namespace quill::store::pst::ltp::testing
