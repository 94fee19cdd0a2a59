#include "store/pst/ndb/ndb_writer_impl.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quill::store::pst::ndb {

// Writes one B-tree page ([MS-PST] 2.2.2.7.7.1) and returns the entry that points to it.
BTENTRY NdbWriter::Impl::writeTreePage(uint8_t ptype, const uint8_t* entries, size_t n,
                                       size_t entSize, uint8_t cEntMax, uint8_t cLevel) {
    uint8_t page[kPageSize] = {};
    if (n) std::memcpy(page, entries, n * entSize);
    page[488] = uint8_t(n);
    page[489] = cEntMax;
    page[490] = uint8_t(entSize);
    page[491] = cLevel;
    Ib ib = allocate(kPageSize, true);
    Bid bid = nextPageBid++;
    SealPage(page, ptype, ib, bid);
    queueWrite(ib, page, kPageSize);
    ++stats.treePages;
    BTENTRY e;
    e.btkey = n ? LoadU64(entries) : 0;
    e.BREF_ = BREF{bid, ib};
    return e;
}

// Brings a committed B-tree up to date with its entries, sorted by key: leaf pages whose key
// range saw no change since the last commit are kept as they are (B-tree pages are
// immutable, and a kept page is still reached by the new tree); the others are written
// anew, full, and the index pages above are rebuilt. A commit thus writes in proportion to
// what changed, plus the index pages (one per 20 leaves).
template <class KeyOf, class WriteEntry>
void NdbWriter::Impl::updateTree(TreeState& t, uint8_t ptype, size_t count, KeyOf keyOf,
                                 WriteEntry writeEntry, size_t cbEnt, uint8_t cEntMax) {
    std::sort(t.changed.begin(), t.changed.end());
    t.changed.erase(std::unique(t.changed.begin(), t.changed.end()), t.changed.end());
    std::vector<TreeLeaf> leaves;
    size_t p = 0;  // next entry
    // A tree of a large store takes tens of milliseconds: the front end gets its turns.
    size_t steps = 0;
    auto breathe = [&](size_t every) {
        if (breather && ++steps % every == 0) breather();
    };
    auto writeLeaves = [&](bool toEnd, uint64_t hi) {
        uint8_t buf[BTPAGE::kEntriesSize];
        while (p < count && (toEnd || keyOf(p) < hi)) {
            LeWriter w(buf);
            size_t n = 0;
            uint64_t low = keyOf(p);
            for (; n < cEntMax && p < count && (toEnd || keyOf(p) < hi); ++n, ++p) writeEntry(p, w);
            BTENTRY e = writeTreePage(ptype, buf, n, cbEnt, cEntMax, 0);
            leaves.push_back(TreeLeaf{low, e.BREF_, uint16_t(n)});
            breathe(32);
        }
    };
    size_t c = 0;  // next changed key
    for (size_t i = 0; i < t.leaves.size(); ++i) {
        // Leaf i holds the keys from its first one (0 for the first leaf) up to the next
        // leaf's first key (no bound for the last leaf).
        breathe(256);
        const TreeLeaf& leaf = t.leaves[i];
        bool last = i + 1 == t.leaves.size();
        uint64_t hi = last ? 0 : t.leaves[i + 1].lowKey;
        auto below = [&](uint64_t key) { return last || key < hi; };
        uint64_t lo = i == 0 ? 0 : leaf.lowKey;
        while (c < t.changed.size() && t.changed[c] < lo) ++c;
        bool dirty = (c < t.changed.size() && below(t.changed[c])) ||
                     (t.changedFrom != UINT64_MAX && below(t.changedFrom));
        // The entries must still be the leaf's (a safeguard: changes are all recorded).
        dirty = dirty || p + leaf.count > count || keyOf(p) != leaf.lowKey ||
                (p + leaf.count < count && below(keyOf(p + leaf.count)));
        if (!dirty) {
            leaves.push_back(leaf);
            p += leaf.count;
            continue;
        }
        release(leaf.ref.ib, kPageSize, true);
        writeLeaves(last, hi);
    }
    writeLeaves(true, 0);  // a first commit, or entries past every old leaf
    for (Ib ib : t.indexPages) release(ib, kPageSize, true);
    t.indexPages.clear();
    if (leaves.empty()) {
        BTENTRY e = writeTreePage(ptype, nullptr, 0, cbEnt, cEntMax, 0);
        t.indexPages.push_back(e.BREF_.ib);  // an empty root, rewritten every time
        t.root = e.BREF_;
    } else {
        std::vector<BTENTRY> level;
        for (const TreeLeaf& l : leaves) level.push_back(BTENTRY{l.lowKey, l.ref});
        uint8_t cLevel = 0;
        while (level.size() > 1) {
            ++cLevel;
            std::vector<BTENTRY> parents;
            for (size_t i = 0; i < level.size(); i += BTPAGE::kIndexMax) {
                size_t n = std::min<size_t>(BTPAGE::kIndexMax, level.size() - i);
                uint8_t buf[BTPAGE::kEntriesSize];
                LeWriter w(buf);
                for (size_t j = 0; j < n; ++j) level[i + j].write(w);
                parents.push_back(
                    writeTreePage(ptype, buf, n, BTENTRY::kSize, BTPAGE::kIndexMax, cLevel));
                t.indexPages.push_back(parents.back().BREF_.ib);
            }
            level.swap(parents);
        }
        t.root = level[0].BREF_;
    }
    t.leaves.swap(leaves);
    t.changed.clear();
    t.changedFrom = UINT64_MAX;
    t.dirty = false;
}

void NdbWriter::Impl::buildNbt() {
    std::vector<std::pair<Nid, NodeRec>> entries(nodes.begin(), nodes.end());
    updateTree(
        nbt, ptypeNBT, entries.size(), [&](size_t i) { return uint64_t(entries[i].first); },
        [&](size_t i, LeWriter& w) {
            NBTENTRY e;
            e.nid = entries[i].first;
            e.bidData = entries[i].second.bidData;
            e.bidSub = entries[i].second.bidSub;
            e.nidParent = entries[i].second.parent;
            e.write(w);
        },
        NBTENTRY::kSize, BTPAGE::kNbtLeafMax);
}

void NdbWriter::Impl::buildBbt() {
    if (deadBlocks) {
        blocks.erase(std::remove_if(blocks.begin(), blocks.end(),
                                    [](const BlockRec& b) { return b.cRef == 0; }),
                     blocks.end());
        deadBlocks = 0;
    }
    updateTree(
        bbt, ptypeBBT, blocks.size(), [&](size_t i) { return uint64_t(blocks[i].bid); },
        [&](size_t i, LeWriter& w) {
            BBTENTRY e;
            e.BREF_ = BREF{blocks[i].bid, blocks[i].ib()};
            e.cb = blocks[i].cb;
            e.cRef = blocks[i].cRef;
            e.write(w);
        },
        BBTENTRY::kSize, BTPAGE::kBbtLeafMax);
}

// The density list is a hint that may be stale ([MS-PST] 2.2.2.7.4): it is written after
// the header, so that a failure before the header leaves no page BID on disk above the
// header's bidNextP.
void NdbWriter::Impl::writeDList(Bid bid) {
    std::vector<std::pair<uint16_t, uint32_t>> byFree;  // free slots, AMap index
    for (size_t r = 0; r < regions.size(); ++r)
        if (regions[r].freeSlots) byFree.emplace_back(regions[r].freeSlots, uint32_t(r));
    size_t n = std::min(byFree.size(), DLISTPAGE::kMaxEntries);
    std::partial_sort(byFree.begin(), byFree.begin() + n, byFree.end(),
                      [](const auto& a, const auto& b) {
                          return a.first != b.first ? a.first > b.first : a.second < b.second;
                      });
    DLISTPAGE d;
    d.bFlags = DLISTPAGE::DFL_BACKFILL_COMPLETE;
    d.cEntDList = uint8_t(n);
    d.ulCurrentPage = n ? byFree[0].second : 0;
    for (size_t i = 0; i < n; ++i)
        d.rgDListPageEnt[i] = MakeDListPageEnt(byFree[i].second, byFree[i].first);
    uint8_t page[kPageSize];
    d.write(page, bid);
    pwriteAll(kDListIb, page, kPageSize, "the density list");
}

void NdbWriter::Impl::commit() {
    checkUsable();
    // An open stream's blocks belong to no tree yet: committed, they would be orphans.
    if (openStreams) invalid("A data stream is still open: finish it before committing");
    try {
        // Trees never given to a node were never reachable: their space is free now.
        for (Bid bid : std::vector<Bid>(loose.begin(), loose.end())) releaseTree(bid);
        loose.clear();
        stats = {};
        if (nbt.dirty) buildNbt();
        if (bbt.dirty) buildBbt();
        Bid dlistBid = nextPageBid++;
        uint8_t page[kPageSize];
        for (size_t r = 0; r < regions.size(); ++r) {
            Region& R = regions[r];
            if (!R.dirty) continue;
            std::memcpy(page, R.bits.data(), kPageDataSize);
            SealPage(page, ptypeAMap, RegionIb(r), RegionIb(r));
            queueWrite(RegionIb(r), page, kPageSize);
            R.dirty = false;
            ++stats.mapPages;
        }
        flush();
        uint64_t eof = RegionIb(regions.size());
        if (diskSize < eof) {
            if (::ftruncate(fd, off_t(eof)) != 0) fail("Cannot extend the store file", eof, errno);
            diskSize = eof;
        }
        sync();
        header.bidNextB = nextBid;
        header.bidNextP = nextPageBid;
        header.dwUnique++;
        header.root.ibFileEof = eof;
        header.root.ibAMapLast = RegionIb(regions.size() - 1);
        header.root.cbAMapFree = totalFreeSlots * kSlotSize;
        header.root.cbPMapFree = 0;
        header.root.BREFNBT = nbt.root;
        header.root.BREFBBT = bbt.root;
        header.root.fAMapValid = ROOT::VALID_AMAP2;
        uint8_t buf[HEADER::kSize];
        header.write(buf);
        headerInFlight = true;
        pwriteAll(0, buf, sizeof buf, "the file header");
        writeDList(dlistBid);
        sync();
        headerInFlight = false;
    } catch (const NdbError&) {
        abandon();
        throw;
    }
    committedEof = header.root.ibFileEof;
    committedNextBid = nextBid;
    committedMaps.clear();
    // What only the previous header reached is free from now on.
    for (const auto& [ib, size] : pendingFree) markFree(ib, size);
    pendingFree.clear();
}

bool NdbWriter::Impl::mapsPending() const {
    for (const Region& R : regions)
        if (R.dirty) return true;
    return false;
}

}  // namespace quill::store::pst::ndb
