#include "store/pst/ndb/ndb_writer_impl.h"

#include <algorithm>
#include <cstring>

namespace quill::store::pst::ndb {

void NdbWriter::Impl::setBucket(uint64_t r) {
    Region& R = regions[r];
    int16_t want = r < minAllocRegion ? -1 : int16_t(std::min<size_t>(R.maxRun, kMaxBlockSlots));
    if (want == 0) want = -1;
    if (want == R.bucket) return;
    if (R.bucket >= 0) byRun[size_t(R.bucket)].erase(r);
    if (want >= 0) byRun[size_t(want)].insert(r);
    R.bucket = want;
}

void NdbWriter::Impl::exactMaxRun(uint64_t r) {
    Region& R = regions[r];
    uint16_t best = 0, run = 0;
    for (size_t s = 0; s < kSlotsPerRegion; ++s) {
        if (R.used(s)) {
            run = 0;
        } else if (++run > best) {
            best = run;
        }
    }
    R.maxRun = best;
    setBucket(r);
}

// Keeps the bits of a region's AMap as the last commit wrote them, before they change.
void NdbWriter::Impl::keepCommittedMap(uint64_t r) {
    if (!regions[r].dirty) committedMaps.try_emplace(r, regions[r].bits);
}

void NdbWriter::Impl::markUsed(uint64_t r, size_t slot, size_t n) {
    keepCommittedMap(r);
    Region& R = regions[r];
    for (size_t s = slot; s < slot + n; ++s) R.bits[s >> 3] |= uint8_t(0x80 >> (s & 7));
    R.freeSlots = uint16_t(R.freeSlots - n);
    totalFreeSlots -= n;
    if (slot <= R.firstFree) {
        size_t f = slot + n;
        while (f < kSlotsPerRegion && R.used(f)) ++f;
        R.firstFree = uint16_t(f);
    }
    R.maxRun = std::min(R.maxRun, R.freeSlots);
    R.dirty = true;
    setBucket(r);
}

// Frees space that nothing committed reaches any more. Its old bytes are overwritten with
// zeros: stale B-tree pages left in free space are taken for deleted items by readers
// that scan free space (pffexport's "recovered" folder), and removed mail should not
// linger in the file.
void NdbWriter::Impl::markFree(Ib ib, size_t bytes) {
    static const uint8_t zeros[kMaxBlockSize] = {};
    queueWrite(ib, zeros, bytes);
    uint64_t r = (ib - kFirstAMapIb) / kRegionSize;
    size_t slot = size_t((ib - RegionIb(r)) / kSlotSize), n = bytes / kSlotSize;
    keepCommittedMap(r);
    Region& R = regions[r];
    for (size_t s = slot; s < slot + n; ++s) R.bits[s >> 3] &= uint8_t(~(0x80 >> (s & 7)));
    R.freeSlots = uint16_t(R.freeSlots + n);
    totalFreeSlots += n;
    R.firstFree = std::min<uint16_t>(R.firstFree, uint16_t(slot));
    R.maxRun = R.freeSlots;  // an upper bound until the next failed search
    R.dirty = true;
    setBucket(r);
}

// A free run of n slots in region r (n == kPageSlots: a 512-aligned page).
bool NdbWriter::Impl::findRun(const Region& R, size_t n, bool page, size_t& slot) const {
    if (page) {
        for (size_t i = R.firstFree / 8; i < R.bits.size(); ++i)
            if (R.bits[i] == 0) {
                slot = i * 8;
                return true;
            }
        return false;
    }
    size_t run = 0;
    for (size_t s = R.firstFree; s < kSlotsPerRegion; ++s) {
        if ((s & 7) == 0 && R.bits[s >> 3] == 0xFF) {
            run = 0;
            s += 7;
            continue;
        }
        if (R.used(s)) {
            run = 0;
        } else if (++run == n) {
            slot = s + 1 - n;
            return true;
        }
    }
    return false;
}

void NdbWriter::Impl::growRegion() {
    uint64_t r = regions.size();
    Ib base = RegionIb(r);
    if (base + kRegionSize > uint64_t(UINT32_MAX) * kSlotSize)
        throw NdbError(NdbErrorKind::TooLarge, "The store has reached the largest file size", path,
                       base);
    regions.emplace_back();
    Region& R = regions.back();
    size_t mapPages = RegionMapPages(r);
    R.freeSlots = uint16_t(kSlotsPerRegion);
    totalFreeSlots += kSlotsPerRegion;
    R.firstFree = 0;
    markUsed(r, 0, mapPages * kPageSlots);
    R.maxRun = uint16_t(kSlotsPerRegion - mapPages * kPageSlots);
    setBucket(r);
    // The deprecated maps never change after they are made ([MS-PST] 2.6.1): PMaps and
    // FPMaps say "no free page", FMaps "no free run". The AMap is written at commit.
    uint8_t page[kPageSize];
    Ib ib = base + kPageSize;
    if (RegionHasPMap(r)) {
        std::memset(page, 0xFF, kPageDataSize);
        SealPage(page, ptypePMap, ib, ib);
        queueWrite(ib, page, kPageSize);
        ib += kPageSize;
    }
    if (RegionHasFMap(r)) {
        std::memset(page, 0x00, kPageDataSize);
        SealPage(page, ptypeFMap, ib, ib);
        queueWrite(ib, page, kPageSize);
        ib += kPageSize;
    }
    if (RegionHasFPMap(r)) {
        std::memset(page, 0xFF, kPageDataSize);
        SealPage(page, ptypeFPMap, ib, ib);
        queueWrite(ib, page, kPageSize);
    }
}

Ib NdbWriter::Impl::allocate(size_t bytes, bool page) {
    size_t n = bytes / kSlotSize;
    // A free run of 15 slots always holds one aligned page.
    size_t need = page ? 2 * kPageSlots - 1 : n;
    for (;;) {
        uint64_t best = UINT64_MAX;
        for (size_t b = need; b <= kMaxBlockSlots; ++b)
            if (!byRun[b].empty()) best = std::min(best, *byRun[b].begin());
        if (best == UINT64_MAX) {
            growRegion();
            continue;
        }
        size_t slot = 0;
        if (findRun(regions[best], n, page, slot)) {
            markUsed(best, slot, n);
            return RegionIb(best) + slot * kSlotSize;
        }
        exactMaxRun(best);
    }
}

void NdbWriter::Impl::release(Ib ib, size_t bytes, bool committed) {
    if (committed)
        pendingFree.emplace_back(ib, uint32_t(bytes));
    else
        markFree(ib, bytes);
}

}  // namespace quill::store::pst::ndb
