#include "store/pst/ltp/bth.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "store/pst/ltp/ltp_error.h"
#include "store/pst/pst_base.h"

namespace quill::store::pst::ltp {

namespace {

// Compares two little-endian keys of `size` bytes as unsigned numbers.
int CompareKeys(const uint8_t* a, const uint8_t* b, size_t size) {
    for (size_t i = size; i-- > 0;)
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    return 0;
}

}  // namespace

Hid AllocateBthHeader(HeapBuilder& heap) {
    return heap.allocate(sizeof(BTHHEADER));
}

void WriteBth(HeapBuilder& heap, Hid header, uint8_t cbKey, uint8_t cbEnt, const Bytes& records) {
    if ((cbKey != 2 && cbKey != 4 && cbKey != 8 && cbKey != 16) || cbEnt == 0 || cbEnt > 32)
        throw LtpError("B-tree-on-heap with key size " + std::to_string(cbKey) +
                       " and entry size " + std::to_string(cbEnt) + " is not allowed");
    const size_t recordSize = size_t(cbKey) + cbEnt;
    if (records.size() % recordSize != 0)
        throw LtpError("B-tree-on-heap records are not a whole number of records");
    const size_t count = records.size() / recordSize;
    for (size_t i = 1; i < count; ++i)
        if (CompareKeys(&records[(i - 1) * recordSize], &records[i * recordSize], cbKey) >= 0)
            throw LtpError("B-tree-on-heap keys are not strictly ascending at record " +
                           std::to_string(i));

    uint8_t levels = 0;
    Hid root = 0;
    if (count > 0) {
        // Level 0: the leaf records; each level above holds (first key, HID) pairs.
        struct Node {
            const uint8_t* firstKey;
            Hid hid;
        };
        std::vector<Node> nodes;
        Bytes keys;  // first keys of the current level, kept alive for the next level
        const size_t perLeaf = kMaxHeapAllocation / recordSize;
        for (size_t i = 0; i < count; i += perLeaf) {
            size_t n = std::min(perLeaf, count - i);
            Hid hid = heap.allocate(std::span(&records[i * recordSize], n * recordSize));
            nodes.push_back({&records[i * recordSize], hid});
        }
        const size_t indexSize = size_t(cbKey) + 4;
        const size_t perIndex = kMaxHeapAllocation / indexSize;
        while (nodes.size() > 1) {
            std::vector<Node> parents;
            Bytes parentKeys;
            parentKeys.reserve((nodes.size() / perIndex + 1) * cbKey);
            for (size_t i = 0; i < nodes.size(); i += perIndex) {
                size_t n = std::min(perIndex, nodes.size() - i);
                Bytes alloc(n * indexSize);
                for (size_t j = 0; j < n; ++j) {
                    std::memcpy(&alloc[j * indexSize], nodes[i + j].firstKey, cbKey);
                    StoreU32(&alloc[j * indexSize + cbKey], nodes[i + j].hid);
                }
                parentKeys.insert(parentKeys.end(), nodes[i].firstKey, nodes[i].firstKey + cbKey);
                parents.push_back({nullptr, heap.allocate(alloc)});
            }
            for (size_t i = 0; i < parents.size(); ++i)
                parents[i].firstKey = &parentKeys[i * cbKey];
            keys.swap(parentKeys);
            nodes.swap(parents);
            ++levels;
        }
        root = nodes.front().hid;
    }

    std::span<uint8_t> h = heap.at(header);
    if (h.size() != sizeof(BTHHEADER)) throw LtpError("BTHHEADER allocation has the wrong size");
    h[0] = bTypeBTH;
    h[1] = cbKey;
    h[2] = cbEnt;
    h[3] = levels;
    StoreU32(&h[4], root);
}

}  // namespace quill::store::pst::ltp
