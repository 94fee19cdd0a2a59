#pragma once
// The inside of NdbWriter, shared by the files that implement it, one concern each:
//   ndb_writer_io.cpp      errors, and the file: buffered writes, reads back, fsync
//   ndb_writer_alloc.cpp   allocation of file space: the regions, their AMaps, free runs
//   ndb_writer_blocks.cpp  blocks: data blocks, data trees, subnode trees, nodes
//   ndb_writer_commit.cpp  commit: the B-trees, the AMap pages, the density list, the header
//   ndb_writer.cpp         NdbWriter itself and its DataStream, over these

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "store/pst/ndb/ndb_writer.h"

namespace quill::store::pst::ndb {

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

    // ---- errors (ndb_writer_io.cpp) ----
    [[noreturn]] void fail(const std::string& what, uint64_t offset, int e);
    [[noreturn]] void invalid(const std::string& what);
    void abandon();
    void checkUsable();

    // ---- file I/O (ndb_writer_io.cpp) ----
    [[noreturn]] void writeFailed(const char* what, Ib ib, int e, bool nothingWritten);
    void pwriteAll(Ib ib, const uint8_t* data, size_t size, const char* what);
    void flush();
    void startWriteback(Ib ib, size_t size);
    void queueWrite(Ib ib, const uint8_t* data, size_t size);
    void readAt(Ib ib, uint8_t* out, size_t size);
    void sync();

    // ---- allocation (ndb_writer_alloc.cpp) ----
    void setBucket(uint64_t r);
    void exactMaxRun(uint64_t r);
    void keepCommittedMap(uint64_t r);
    void markUsed(uint64_t r, size_t slot, size_t n);
    void markFree(Ib ib, size_t bytes);
    bool findRun(const Region& R, size_t n, bool page, size_t& slot) const;
    void growRegion();
    Ib allocate(size_t bytes, bool page);
    void release(Ib ib, size_t bytes, bool committed);

    // ---- blocks (ndb_writer_blocks.cpp) ----
    BlockRec* findBlock(Bid bid);
    Bid writeBlock(const uint8_t* data, size_t cb, bool internal);
    Bid writeDataBlock(const uint8_t* data, size_t cb);
    Bytes readBlock(const BlockRec& b);
    void releaseTree(Bid bid);
    Bid buildDataTree(const std::vector<std::pair<Bid, uint32_t>>& leaves);
    Bid writeStream(const uint8_t* data, size_t size);
    Bid writeSourced(const StreamSource& source);
    Bid writeContentStream(const NodeContent& c);
    Bid buildSubnodeTree(const std::vector<SLENTRY>& entries);
    void validateContent(const NodeContent& c, int depth);
    Bid writeSubnodes(const std::vector<SubnodeContent>& subnodes);
    void takeLoose(Bid bid);
    void validateNid(Nid nid);
    void storeNode(Nid nid, Nid parent, Bid bidData, Bid bidSub);

    // ---- commit (ndb_writer_commit.cpp) ----
    BTENTRY writeTreePage(uint8_t ptype, const uint8_t* entries, size_t n, size_t entSize,
                          uint8_t cEntMax, uint8_t cLevel);
    template <class KeyOf, class WriteEntry>
    void updateTree(TreeState& t, uint8_t ptype, size_t count, KeyOf keyOf, WriteEntry writeEntry,
                    size_t cbEnt, uint8_t cEntMax);
    void buildNbt();
    void buildBbt();
    void writeDList(Bid bid);
    void commit();
    bool mapsPending() const;
};

}  // namespace quill::store::pst::ndb
