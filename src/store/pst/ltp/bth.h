#pragma once
// B-tree-on-heap ([MS-PST] 2.3.2): sorted fixed-size records in heap allocations, with as
// many levels of index allocations above them as the record count needs.

#include <cstdint>

#include "store/model.h"
#include "store/pst/ltp/heap.h"

namespace quill::store::pst::ltp {

// BTHHEADER ([MS-PST] 2.3.2.1).
struct BTHHEADER {
    uint8_t bType = bTypeBTH;
    uint8_t cbKey = 0;
    uint8_t cbEnt = 0;
    uint8_t bIdxLevels = 0;
    uint32_t hidRoot = 0;
};
static_assert(sizeof(BTHHEADER) == 8);

// Reserves the 8-byte BTHHEADER, so that callers can place it first in the heap as Outlook
// does and build the records later.
Hid AllocateBthHeader(HeapBuilder& heap);

// Writes the records (each cbKey + cbEnt bytes, keys strictly ascending as unsigned
// little-endian numbers) into leaf allocations, builds the index levels above them and fills
// in the header at `header`. No records: hidRoot 0.
void WriteBth(HeapBuilder& heap, Hid header, uint8_t cbKey, uint8_t cbEnt, const Bytes& records);

inline Hid WriteBth(HeapBuilder& heap, uint8_t cbKey, uint8_t cbEnt, const Bytes& records) {
    Hid header = AllocateBthHeader(heap);
    WriteBth(heap, header, cbKey, cbEnt, records);
    return header;
}

}  // namespace quill::store::pst::ltp
