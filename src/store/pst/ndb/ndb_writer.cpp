#include "store/pst/ndb/ndb_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <deque>
#include <map>
#include <set>
#include <unordered_set>

namespace quill::store::pst::ndb {

namespace {

constexpr size_t kWriteBufferSize = 1 << 20;
constexpr uint64_t kWritebackChunk = uint64_t(16) << 20;
// While a commit waits for the disk, the front end gets a turn after each piece of this size.
constexpr uint64_t kSyncPiece = uint64_t(2) << 20;
constexpr size_t kPageSlots = kPageSize / kSlotSize;          // 8
constexpr size_t kMaxBlockSlots = kMaxBlockSize / kSlotSize;  // 128

struct NodeRec {
    Bid bidData = 0;
    Bid bidSub = 0;
    Nid parent = 0;
};

// One block's BBT entry, 16 bytes: a store of 20 GB has millions of them in memory.
struct BlockRec {
    Bid bid = 0;
    uint32_t slot = 0;  // offset / 64: files up to 256 GiB, far above what Outlook opens
    uint16_t cb = 0;
    uint16_t cRef = 0;  // 0: removed, dropped at the next commit

    Ib ib() const { return Ib(slot) * kSlotSize; }
};
static_assert(sizeof(BlockRec) == 16);

// One allocation region: the AMap page at its start and the 3968 slots it maps.
struct Region {
    std::array<uint8_t, 496> bits{};
    uint16_t freeSlots = 0;
    uint16_t maxRun = 0;     // never below the longest free run; exact after a failed search
    uint16_t firstFree = 0;  // no free slot below this one
    int16_t bucket = -1;     // index in Impl::byRun_, -1 when not offered for allocation
    bool dirty = true;       // AMap page differs from the one on disk

    bool used(size_t slot) const { return bits[slot >> 3] & (0x80 >> (slot & 7)); }
};

// A leaf page of a committed B-tree and the entries it holds.
struct TreeLeaf {
    uint64_t lowKey = 0;  // its first key
    BREF ref;
    uint16_t count = 0;
};

struct TreeState {
    std::vector<TreeLeaf> leaves;       // of the last commit, in key order
    std::vector<Ib> indexPages;         // its pages above the leaves
    std::vector<uint64_t> changed;      // keys put, removed or changed since
    uint64_t changedFrom = UINT64_MAX;  // every key from this one on counts as changed
    BREF root;
    bool dirty = true;
};

bool IsNoSpace(int e) {
    return e == ENOSPC || e == EDQUOT;
}

}  // namespace

struct NdbWriter::Impl {
    std::filesystem::path path;
    int fd = -1;
    NdbOptions options;
    HEADER header;
    bool broken = false;
    bool closed = false;

    std::map<Nid, NodeRec> nodes;
    std::deque<BlockRec> blocks;  // ascending BIDs (BIDs only grow); no copies as it grows
    size_t deadBlocks = 0;
    std::unordered_set<Bid> loose;  // written trees not yet owned by a node
    size_t openStreams = 0;         // DataStreams not finished yet

    Bid nextBid = 4;           // bidNextB: block BIDs advance by 4
    Bid nextPageBid = 1;       // bidNextP
    Bid committedNextBid = 0;  // blocks below this may be reached by the last header
    TreeState nbt, bbt;
    NdbWriter::CommitStats stats;

    std::deque<Region> regions;  // 512 bytes each, one per 248 KiB of file
    std::array<std::set<uint64_t>, kMaxBlockSlots + 1> byRun;  // regions by min(maxRun,128)
    uint64_t totalFreeSlots = 0;
    uint64_t minAllocRegion = 0;
    std::vector<std::pair<Ib, uint32_t>> pendingFree;  // reachable from the last header

    Bytes wbuf;
    Ib wbufIb = 0;
    uint64_t committedEof = 0;
    uint64_t diskSize = 0;        // what the file's size is known to be
    bool headerInFlight = false;  // the header of a commit is being written
    uint64_t writeCalls = 0;
    std::function<void()> breather;
    uint64_t unflushedBytes = 0;  // written since writeback was last started
    Ib unflushedFrom = 0;
    std::map<uint64_t, std::array<uint8_t, 496>> committedMaps;  // region -> AMap bits on disk

    // ---- errors ----
    [[noreturn]] void fail(const std::string& what, uint64_t offset, int e) {
        abandon();
        throw NdbError(IsNoSpace(e) ? NdbErrorKind::NoSpace : NdbErrorKind::Io, what, path, offset,
                       e);
    }
    [[noreturn]] void invalid(const std::string& what) {
        throw NdbError(NdbErrorKind::InvalidArgument, what, path);
    }
    // After a failure, or when the writer goes away without close(): what lies past the
    // last committed end of file was never committed; cut it off (on a full disk this gives
    // the space back). Not once the new header may be on disk.
    // AMaps a failed commit had already rewritten get their committed bits back, so that the
    // maps and the header's cbAMapFree agree again.
    void abandon() {
        broken = true;
        wbuf.clear();
        if (fd < 0 || headerInFlight || committedEof == 0) return;
        for (const auto& [r, bits] : committedMaps) {
            if (RegionIb(r) >= committedEof) continue;
            uint8_t page[kPageSize];
            std::memcpy(page, bits.data(), kPageDataSize);
            SealPage(page, ptypeAMap, RegionIb(r), RegionIb(r));
            (void)!::pwrite(fd, page, kPageSize, off_t(RegionIb(r)));
        }
        if (::ftruncate(fd, off_t(committedEof)) == 0) diskSize = committedEof;
    }
    void checkUsable() {
        if (closed) throw NdbError(NdbErrorKind::Closed, "The store is already closed", path);
        if (broken)
            throw NdbError(NdbErrorKind::Closed,
                           "The store cannot be written after an earlier failure", path);
    }

    // ---- file I/O ----
    // A write that failed before any byte of it reached the file leaves the header of the
    // last commit in place, even when it was the new header's write.
    [[noreturn]] void writeFailed(const char* what, Ib ib, int e, bool nothingWritten) {
        if (nothingWritten && ib == 0) headerInFlight = false;
        fail(std::string("Cannot write ") + what, ib, e);
    }
    void pwriteAll(Ib ib, const uint8_t* data, size_t size, const char* what) {
        const Ib start = ib;
        if (options.testFailAtWrite && ++writeCalls >= options.testFailAtWrite)
            writeFailed(what, ib, ENOSPC, true);
        while (size > 0) {
            ssize_t n = ::pwrite(fd, data, size, off_t(ib));
            if (n < 0) {
                if (errno == EINTR) continue;
                writeFailed(what, ib, errno, ib == start);
            }
            if (n == 0) writeFailed(what, ib, ENOSPC, ib == start);
            data += n;
            size -= size_t(n);
            ib += uint64_t(n);
        }
    }
    void flush() {
        if (wbuf.empty()) return;
        pwriteAll(wbufIb, wbuf.data(), wbuf.size(), "data blocks");
        startWriteback(wbufIb, wbuf.size());
        wbuf.clear();
    }
    // The disk starts on the blocks while more are written, so that the fsync of a commit after
    // a gigabyte of messages finds little left to do instead of stalling the run (and the
    // window) for the whole of it. Only a hint: errors show at the fsync.
    void startWriteback(Ib ib, size_t size) {
#ifdef SYNC_FILE_RANGE_WRITE
        if (options.testNoSync) return;
        if (unflushedBytes == 0) unflushedFrom = ib;
        unflushedFrom = std::min(unflushedFrom, ib);
        unflushedBytes += size;
        if (unflushedBytes < kWritebackChunk) return;
        (void)::sync_file_range(fd, off_t(unflushedFrom), 0, SYNC_FILE_RANGE_WRITE);
        unflushedBytes = 0;
#else
        (void)ib;
        (void)size;
#endif
    }
    void queueWrite(Ib ib, const uint8_t* data, size_t size) {
        if (!wbuf.empty() && (ib != wbufIb + wbuf.size() || wbuf.size() + size > kWriteBufferSize))
            flush();
        if (wbuf.empty()) wbufIb = ib;
        wbuf.insert(wbuf.end(), data, data + size);
    }
    void readAt(Ib ib, uint8_t* out, size_t size) {
        flush();
        while (size > 0) {
            ssize_t n = ::pread(fd, out, size, off_t(ib));
            if (n < 0) {
                if (errno == EINTR) continue;
                fail("Cannot read back a block", ib, errno);
            }
            if (n == 0) {
                broken = true;
                throw NdbError(NdbErrorKind::Corrupt, "Block lies past the end of the file", path,
                               ib);
            }
            out += n;
            size -= size_t(n);
            ib += uint64_t(n);
        }
    }
    void sync() {
        if (options.testNoSync) return;
#ifdef SYNC_FILE_RANGE_WAIT_AFTER
        // With a front end to keep answering, the data is waited for piece by piece first, so
        // that the fsync itself finds little left to do. Only a help: errors show at the fsync.
        if (breather) {
            struct stat st;
            if (::fstat(fd, &st) == 0) {
                for (off_t at = 0; at < st.st_size; at += off_t(kSyncPiece)) {
                    (void)::sync_file_range(fd, at, off_t(kSyncPiece),
                                            SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                                SYNC_FILE_RANGE_WAIT_AFTER);
                    breather();
                }
            }
        }
#endif
        if (::fsync(fd) != 0) fail("Cannot flush the store to disk", NdbError::kNoOffset, errno);
    }

    // ---- allocation ----
    void setBucket(uint64_t r) {
        Region& R = regions[r];
        int16_t want =
            r < minAllocRegion ? -1 : int16_t(std::min<size_t>(R.maxRun, kMaxBlockSlots));
        if (want == 0) want = -1;
        if (want == R.bucket) return;
        if (R.bucket >= 0) byRun[size_t(R.bucket)].erase(r);
        if (want >= 0) byRun[size_t(want)].insert(r);
        R.bucket = want;
    }
    void exactMaxRun(uint64_t r) {
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
    void keepCommittedMap(uint64_t r) {
        if (!regions[r].dirty) committedMaps.try_emplace(r, regions[r].bits);
    }
    void markUsed(uint64_t r, size_t slot, size_t n) {
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
    void markFree(Ib ib, size_t bytes) {
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
    bool findRun(const Region& R, size_t n, bool page, size_t& slot) const {
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
    void growRegion() {
        uint64_t r = regions.size();
        Ib base = RegionIb(r);
        if (base + kRegionSize > uint64_t(UINT32_MAX) * kSlotSize)
            throw NdbError(NdbErrorKind::TooLarge, "The store has reached the largest file size",
                           path, base);
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
    Ib allocate(size_t bytes, bool page) {
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
    void release(Ib ib, size_t bytes, bool committed) {
        if (committed)
            pendingFree.emplace_back(ib, uint32_t(bytes));
        else
            markFree(ib, bytes);
    }

    // ---- blocks ----
    BlockRec* findBlock(Bid bid) {
        auto it = std::lower_bound(blocks.begin(), blocks.end(), bid,
                                   [](const BlockRec& b, Bid key) { return b.bid < key; });
        if (it == blocks.end() || it->bid != bid || it->cRef == 0) return nullptr;
        return &*it;
    }
    // Writes one block; `data` is already encoded when it is an external block.
    Bid writeBlock(const uint8_t* data, size_t cb, bool internal) {
        Bid bid = nextBid | (internal ? kBidInternal : 0);
        size_t size = BlockAllocSize(cb);
        Ib ib = allocate(size, false);
        nextBid += 4;
        uint8_t buf[kMaxBlockSize];
        std::memcpy(buf, data, cb);
        std::memset(buf + cb, 0, size - cb - BLOCKTRAILER::kSize);
        BLOCKTRAILER t;
        t.cb = uint16_t(cb);
        t.wSig = ComputeSig(ib, bid);
        t.dwCRC = ComputeCrc(data, cb);
        t.bid = bid;
        LeWriter w(buf + size - BLOCKTRAILER::kSize);
        t.write(w);
        queueWrite(ib, buf, size);
        blocks.push_back(BlockRec{bid, uint32_t(ib / kSlotSize), uint16_t(cb), 2});
        bbt.dirty = true;
        bbt.changedFrom = std::min(bbt.changedFrom, bid);  // BIDs only grow
        return bid;
    }
    Bid writeDataBlock(const uint8_t* data, size_t cb) {
        if (breather) breather();
        if (header.bCryptMethod == NDB_CRYPT_PERMUTE) {
            uint8_t enc[kMaxBlockData];
            std::memcpy(enc, data, cb);
            PermuteEncode(enc, cb);
            return writeBlock(enc, cb, false);
        }
        return writeBlock(data, cb, false);
    }
    Bytes readBlock(const BlockRec& b) {
        size_t size = BlockAllocSize(b.cb);
        Bytes buf(size);
        readAt(b.ib(), buf.data(), size);
        LeReader r(buf.data() + size - BLOCKTRAILER::kSize);
        BLOCKTRAILER t = BLOCKTRAILER::read(r);
        if (t.bid != b.bid || t.cb != b.cb) {
            broken = true;
            throw NdbError(NdbErrorKind::Corrupt, "A block read back is not the one written", path,
                           b.ib());
        }
        buf.resize(b.cb);
        return buf;
    }
    // Drops one reference to a block and, when none is left, to the blocks it refers to.
    void releaseTree(Bid bid) {
        if (bid == 0) return;
        BlockRec* b = findBlock(bid);
        if (!b) return;
        bbt.dirty = true;
        bbt.changed.push_back(bid);
        if (--b->cRef > 1) return;
        BlockRec rec = *b;
        b->cRef = 0;
        ++deadBlocks;
        if (rec.bid & kBidInternal) {
            Bytes data = readBlock(rec);
            if (data.size() >= 8 && data[0] == 0x01) {  // XBLOCK, XXBLOCK
                LeReader r(data.data());
                XBLOCK x = XBLOCK::read(r);
                for (size_t i = 0; i < x.cEnt && 8 + 8 * (i + 1) <= data.size(); ++i)
                    releaseTree(LoadU64(data.data() + 8 + 8 * i));
            } else if (data.size() >= 8 && data[0] == 0x02) {  // SLBLOCK, SIBLOCK
                LeReader r(data.data());
                SLBLOCK s = SLBLOCK::read(r);
                size_t entSize = s.cLevel == 0 ? SLENTRY::kSize : SIENTRY::kSize;
                for (size_t i = 0; i < s.cEnt && 8 + entSize * (i + 1) <= data.size(); ++i) {
                    const uint8_t* e = data.data() + 8 + entSize * i;
                    releaseTree(LoadU64(e + 8));
                    if (s.cLevel == 0) releaseTree(LoadU64(e + 16));
                }
            }
        }
        release(rec.ib(), BlockAllocSize(rec.cb), rec.bid < committedNextBid);
    }
    // Data tree over written data blocks ([MS-PST] 2.2.2.8.3.2).
    Bid buildDataTree(const std::vector<std::pair<Bid, uint32_t>>& leaves) {
        if (leaves.empty()) return 0;
        if (leaves.size() == 1) return leaves[0].first;
        auto xblock = [&](uint8_t level, const std::vector<std::pair<Bid, uint32_t>>& items,
                          size_t from, size_t count) {
            uint8_t buf[kMaxBlockData];
            uint64_t total = 0;
            for (size_t i = from; i < from + count; ++i) total += items[i].second;
            XBLOCK x;
            x.cLevel = level;
            x.cEnt = uint16_t(count);
            x.lcbTotal = uint32_t(total);
            LeWriter w(buf);
            x.write(w);
            for (size_t i = from; i < from + count; ++i) w.u64(items[i].first);
            return std::make_pair(writeBlock(buf, XBLOCK::kSize + 8 * count, true),
                                  uint32_t(total));
        };
        if (leaves.size() <= XBLOCK::kMaxEntries) return xblock(1, leaves, 0, leaves.size()).first;
        std::vector<std::pair<Bid, uint32_t>> xblocks;
        for (size_t i = 0; i < leaves.size(); i += XBLOCK::kMaxEntries)
            xblocks.push_back(
                xblock(1, leaves, i, std::min(XBLOCK::kMaxEntries, leaves.size() - i)));
        return xblock(2, xblocks, 0, xblocks.size()).first;
    }
    Bid writeStream(const uint8_t* data, size_t size) {
        std::vector<std::pair<Bid, uint32_t>> leaves;
        for (size_t off = 0; off < size; off += kMaxBlockData) {
            size_t cb = std::min(kMaxBlockData, size - off);
            leaves.emplace_back(writeDataBlock(data + off, cb), uint32_t(cb));
        }
        return buildDataTree(leaves);
    }
    // A stream handed out in pieces: whole blocks are written straight from the pieces, only
    // a block that spans two pieces is gathered first.
    Bid writeSourced(const StreamSource& source) {
        const uint64_t expected = source.size();
        std::vector<std::pair<Bid, uint32_t>> leaves;
        uint8_t block[kMaxBlockData];
        size_t fill = 0;
        uint64_t total = 0;
        source.produce([&](std::span<const uint8_t> piece) {
            total += piece.size();
            if (total > expected) invalid("A node's data source gave more bytes than it said");
            const uint8_t* p = piece.data();
            size_t n = piece.size();
            while (n > 0) {
                if (fill == 0 && n >= kMaxBlockData) {
                    leaves.emplace_back(writeDataBlock(p, kMaxBlockData), uint32_t(kMaxBlockData));
                    p += kMaxBlockData;
                    n -= kMaxBlockData;
                    continue;
                }
                size_t take = std::min(n, kMaxBlockData - fill);
                std::memcpy(block + fill, p, take);
                fill += take;
                p += take;
                n -= take;
                if (fill == kMaxBlockData) {
                    leaves.emplace_back(writeDataBlock(block, fill), uint32_t(fill));
                    fill = 0;
                }
            }
        });
        if (total != expected) invalid("A node's data source gave fewer bytes than it said");
        if (fill) leaves.emplace_back(writeDataBlock(block, fill), uint32_t(fill));
        return buildDataTree(leaves);
    }
    Bid writeContentStream(const NodeContent& c) {
        if (c.source) return writeSourced(*c.source);
        return writeStream(c.data.data(), c.data.size());
    }
    // Subnode tree over entries sorted by NID ([MS-PST] 2.2.2.8.3.3).
    Bid buildSubnodeTree(const std::vector<SLENTRY>& entries) {
        if (entries.empty()) return 0;
        auto slblock = [&](size_t from, size_t count) {
            uint8_t buf[kMaxBlockData];
            SLBLOCK s;
            s.cLevel = 0;
            s.cEnt = uint16_t(count);
            LeWriter w(buf);
            s.write(w);
            for (size_t i = from; i < from + count; ++i) entries[i].write(w);
            return writeBlock(buf, SLBLOCK::kSize + SLENTRY::kSize * count, true);
        };
        if (entries.size() <= SLBLOCK::kMaxSlEntries) return slblock(0, entries.size());
        std::vector<SIENTRY> children;
        for (size_t i = 0; i < entries.size(); i += SLBLOCK::kMaxSlEntries) {
            SIENTRY e;
            e.nid = entries[i].nid;
            e.bid = slblock(i, std::min(SLBLOCK::kMaxSlEntries, entries.size() - i));
            children.push_back(e);
        }
        uint8_t buf[kMaxBlockData];
        SLBLOCK s;
        s.cLevel = 1;
        s.cEnt = uint16_t(children.size());
        LeWriter w(buf);
        s.write(w);
        for (const SIENTRY& e : children) e.write(w);
        return writeBlock(buf, SLBLOCK::kSize + SIENTRY::kSize * children.size(), true);
    }
    void validateContent(const NodeContent& c, int depth) {
        if (c.source && !c.data.empty()) invalid("A node has both data and a data source");
        if (c.size() > kMaxStreamSize)
            throw NdbError(NdbErrorKind::TooLarge, "A node's data is longer than 4 GiB", path);
        if (c.subnodes.size() > kMaxSubnodes) invalid("A node has more subnodes than a PST holds");
        if (depth > 64) invalid("Subnodes are nested too deeply");
        std::vector<Nid> nids;
        nids.reserve(c.subnodes.size());
        for (const SubnodeContent& s : c.subnodes) {
            if (s.nid == 0) invalid("A subnode has NID 0");
            nids.push_back(s.nid);
            validateContent(s.content, depth + 1);
        }
        std::sort(nids.begin(), nids.end());
        if (std::adjacent_find(nids.begin(), nids.end()) != nids.end())
            invalid("Two subnodes of one node have the same NID");
    }
    Bid writeSubnodes(const std::vector<SubnodeContent>& subnodes) {
        std::vector<SLENTRY> entries;
        entries.reserve(subnodes.size());
        for (const SubnodeContent& s : subnodes) {
            SLENTRY e;
            e.nid = s.nid;
            e.bidData = writeContentStream(s.content);
            e.bidSub = writeSubnodes(s.content.subnodes);
            entries.push_back(e);
        }
        std::sort(entries.begin(), entries.end(),
                  [](const SLENTRY& a, const SLENTRY& b) { return a.nid < b.nid; });
        return buildSubnodeTree(entries);
    }
    void takeLoose(Bid bid) {
        if (bid == 0) return;
        if (loose.erase(bid) == 0)
            invalid("A block tree was given twice, or was not written by this store");
    }
    void validateNid(Nid nid) {
        if (nid == 0 || NidType(nid) == 0) invalid("A node needs a NID with a type other than 0");
    }
    void storeNode(Nid nid, Nid parent, Bid bidData, Bid bidSub) {
        auto [it, added] = nodes.try_emplace(nid);
        if (!added) {
            releaseTree(it->second.bidData);
            releaseTree(it->second.bidSub);
        }
        it->second = NodeRec{bidData, bidSub, parent};
        // The header struct is packed: its fields are copied, never bound to references.
        if (NidIndex(nid) > header.rgnid[NidType(nid)]) header.rgnid[NidType(nid)] = NidIndex(nid);
        nbt.dirty = true;
        nbt.changed.push_back(nid);
    }

    // ---- commit ----
    // Writes one B-tree page ([MS-PST] 2.2.2.7.7.1) and returns the entry that points to it.
    BTENTRY writeTreePage(uint8_t ptype, const uint8_t* entries, size_t n, size_t entSize,
                          uint8_t cEntMax, uint8_t cLevel) {
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
    void updateTree(TreeState& t, uint8_t ptype, size_t count, KeyOf keyOf, WriteEntry writeEntry,
                    size_t cbEnt, uint8_t cEntMax) {
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
                for (; n < cEntMax && p < count && (toEnd || keyOf(p) < hi); ++n, ++p)
                    writeEntry(p, w);
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
    void buildNbt() {
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
    void buildBbt() {
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
    void writeDList(Bid bid) {
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
    void commit() {
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
                if (::ftruncate(fd, off_t(eof)) != 0)
                    fail("Cannot extend the store file", eof, errno);
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
    bool mapsPending() const {
        for (const Region& R : regions)
            if (R.dirty) return true;
        return false;
    }
};

// ---- NdbWriter ---------------------------------------------------------------------------

NdbWriter::NdbWriter() : impl_(std::make_unique<Impl>()) {}

NdbWriter::~NdbWriter() {
    if (!impl_ || impl_->fd < 0) return;
    if (!impl_->closed) impl_->abandon();
    ::close(impl_->fd);
}

std::unique_ptr<NdbWriter> NdbWriter::create(const std::filesystem::path& path,
                                             const NdbOptions& options) {
    if (options.cryptMethod != NDB_CRYPT_NONE && options.cryptMethod != NDB_CRYPT_PERMUTE)
        throw NdbError(NdbErrorKind::InvalidArgument, "Unsupported block encoding", path);
    std::unique_ptr<NdbWriter> w(new NdbWriter());
    Impl& d = *w->impl_;
    d.path = path;
    d.options = options;
    int flags = O_RDWR | O_CREAT | O_CLOEXEC | (options.replaceExisting ? O_TRUNC : O_EXCL);
    d.fd = ::open(path.c_str(), flags, 0644);
    if (d.fd < 0) {
        int e = errno;
        throw NdbError(NdbErrorKind::CannotCreate, "Cannot create the store file", path,
                       NdbError::kNoOffset, e);
    }
    d.header.bCryptMethod = options.cryptMethod;
    for (uint32_t t = 0; t < 32; ++t) d.header.rgnid[t] = InitialNidIndex(t);
    try {
        // The header area and the density list lie before the first AMap and are not mapped.
        uint8_t zeros[kPageSize] = {};
        for (Ib ib = 0; ib < kFirstAMapIb; ib += kPageSize) d.queueWrite(ib, zeros, kPageSize);
        d.minAllocRegion = options.testEmptyRegions;
        for (uint64_t r = 0; r < options.testEmptyRegions; ++r) d.growRegion();
        d.growRegion();
        d.commit();
        // The new name itself must survive a crash too.
        if (!options.testNoSync) {
            int dir = ::open(path.parent_path().empty() ? "." : path.parent_path().c_str(),
                             O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (dir >= 0) {
                ::fsync(dir);
                ::close(dir);
            }
        }
    } catch (const NdbError&) {
        ::close(d.fd);
        d.fd = -1;
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
        throw;
    }
    return w;
}

Nid NdbWriter::allocateNid(uint32_t nidType) {
    Impl& d = *impl_;
    d.checkUsable();
    if (nidType == 0 || nidType > 0x1F) d.invalid("NID type out of range");
    for (;;) {
        uint32_t index = d.header.rgnid[nidType];
        if (index >= (1u << 27) - 1)
            throw NdbError(NdbErrorKind::TooLarge, "No NID of this type is left", d.path);
        d.header.rgnid[nidType] = ++index;
        Nid nid = MakeNid(nidType, index);
        if (!d.nodes.count(nid)) return nid;
    }
}

void NdbWriter::putNode(Nid nid, Nid parentNid, const NodeContent& content) {
    Impl& d = *impl_;
    d.checkUsable();
    d.validateNid(nid);
    d.validateContent(content, 0);
    try {
        Bid bidData = d.writeContentStream(content);
        Bid bidSub = d.writeSubnodes(content.subnodes);
        d.storeNode(nid, parentNid, bidData, bidSub);
    } catch (...) {
        // Also a data source's own failure: blocks are written that no node owns.
        d.broken = true;
        throw;
    }
}

void NdbWriter::setBreather(std::function<void()> breather) {
    impl_->breather = std::move(breather);
}

void NdbWriter::removeNode(Nid nid) {
    Impl& d = *impl_;
    d.checkUsable();
    auto it = d.nodes.find(nid);
    if (it == d.nodes.end()) d.invalid("There is no node to remove with this NID");
    NodeRec rec = it->second;
    d.nodes.erase(it);
    d.nbt.dirty = true;
    d.nbt.changed.push_back(nid);
    d.releaseTree(rec.bidData);
    d.releaseTree(rec.bidSub);
}

bool NdbWriter::hasNode(Nid nid) const {
    return impl_->nodes.count(nid) != 0;
}
size_t NdbWriter::nodeCount() const {
    return impl_->nodes.size();
}

NdbWriter::DataStream::DataStream(NdbWriter& writer) : writer_(&writer) {
    buffer_.reserve(kMaxBlockData);
    ++writer.impl_->openStreams;
}

NdbWriter::DataStream::DataStream(DataStream&& other) noexcept
    : writer_(other.writer_),
      buffer_(std::move(other.buffer_)),
      leaves_(std::move(other.leaves_)),
      size_(other.size_),
      finished_(other.finished_) {
    other.finished_ = true;
}

NdbWriter::DataStream::~DataStream() {
    if (finished_ || !writer_) return;
    Impl& d = *writer_->impl_;
    --d.openStreams;
    if (d.broken || d.closed) return;
    try {
        for (const auto& leaf : leaves_) d.releaseTree(leaf.first);
    } catch (const NdbError&) {
        // Broken now; the next call reports it.
    }
}

void NdbWriter::DataStream::emitBlock() {
    Impl& d = *writer_->impl_;
    try {
        leaves_.emplace_back(d.writeDataBlock(buffer_.data(), buffer_.size()),
                             uint32_t(buffer_.size()));
    } catch (const NdbError&) {
        d.broken = true;
        throw;
    }
    buffer_.clear();
}

void NdbWriter::DataStream::append(const uint8_t* data, size_t size) {
    Impl& d = *writer_->impl_;
    d.checkUsable();
    if (finished_) d.invalid("Data appended to a finished stream");
    if (size_ + size > kMaxStreamSize)
        throw NdbError(NdbErrorKind::TooLarge, "A node's data is longer than 4 GiB", d.path);
    size_ += size;
    while (size > 0) {
        size_t take = std::min(size, kMaxBlockData - buffer_.size());
        buffer_.insert(buffer_.end(), data, data + take);
        data += take;
        size -= take;
        if (buffer_.size() == kMaxBlockData) emitBlock();
    }
}

void NdbWriter::DataStream::endBlock() {
    writer_->impl_->checkUsable();
    if (!buffer_.empty()) emitBlock();
}

Bid NdbWriter::DataStream::finish() {
    Impl& d = *writer_->impl_;
    d.checkUsable();
    if (finished_) d.invalid("A stream was finished twice");
    if (!buffer_.empty()) emitBlock();
    Bid root;
    try {
        root = d.buildDataTree(leaves_);
    } catch (const NdbError&) {
        d.broken = true;
        throw;
    }
    finished_ = true;
    --d.openStreams;
    if (root) d.loose.insert(root);
    return root;
}

NdbWriter::DataStream NdbWriter::openData() {
    impl_->checkUsable();
    return DataStream(*this);
}

Bid NdbWriter::writeData(const uint8_t* data, size_t size) {
    DataStream s = openData();
    s.append(data, size);
    return s.finish();
}

Bid NdbWriter::writeSubnodeTree(std::vector<SubnodeRef> subnodes) {
    Impl& d = *impl_;
    d.checkUsable();
    if (subnodes.size() > kMaxSubnodes) d.invalid("A node has more subnodes than a PST holds");
    std::sort(subnodes.begin(), subnodes.end(),
              [](const SubnodeRef& a, const SubnodeRef& b) { return a.nid < b.nid; });
    std::unordered_set<Bid> seen;
    for (size_t i = 0; i < subnodes.size(); ++i) {
        const SubnodeRef& s = subnodes[i];
        if (s.nid == 0) d.invalid("A subnode has NID 0");
        if (i && subnodes[i - 1].nid == s.nid)
            d.invalid("Two subnodes of one node have the same NID");
        for (Bid b : {s.bidData, s.bidSub})
            if (b && (!d.loose.count(b) || !seen.insert(b).second))
                d.invalid("A block tree was given twice, or was not written by this store");
    }
    for (const SubnodeRef& s : subnodes) {
        d.takeLoose(s.bidData);
        d.takeLoose(s.bidSub);
    }
    std::vector<SLENTRY> entries;
    for (const SubnodeRef& s : subnodes) entries.push_back(SLENTRY{s.nid, s.bidData, s.bidSub});
    try {
        Bid root = d.buildSubnodeTree(entries);
        if (root) d.loose.insert(root);
        return root;
    } catch (const NdbError&) {
        d.broken = true;
        throw;
    }
}

void NdbWriter::putNodeBlocks(Nid nid, Nid parentNid, Bid bidData, Bid bidSub) {
    Impl& d = *impl_;
    d.checkUsable();
    d.validateNid(nid);
    if (bidData && bidData == bidSub) d.invalid("A block tree was given twice");
    for (Bid b : {bidData, bidSub})
        if (b && !d.loose.count(b))
            d.invalid("A block tree was given twice, or was not written by this store");
    d.takeLoose(bidData);
    d.takeLoose(bidSub);
    try {
        d.storeNode(nid, parentNid, bidData, bidSub);
    } catch (const NdbError&) {
        d.broken = true;
        throw;
    }
}

void NdbWriter::commit() {
    impl_->commit();
}

void NdbWriter::close() {
    Impl& d = *impl_;
    if (d.closed) return;
    d.checkUsable();
    d.commit();
    // The commit above freed the pages of the previous B-trees; one more header write makes
    // the maps on disk say so.
    if (d.mapsPending()) d.commit();
    d.closed = true;
    int fd = d.fd;
    d.fd = -1;
    if (::close(fd) != 0)
        throw NdbError(NdbErrorKind::Io, "Cannot close the store file", d.path, NdbError::kNoOffset,
                       errno);
}

const std::filesystem::path& NdbWriter::path() const {
    return impl_->path;
}
uint64_t NdbWriter::committedFileSize() const {
    return impl_->committedEof;
}
uint8_t NdbWriter::cryptMethod() const {
    return impl_->header.bCryptMethod;
}

NdbWriter::CommitStats NdbWriter::lastCommitStats() const {
    return impl_->stats;
}

}  // namespace quill::store::pst::ndb
