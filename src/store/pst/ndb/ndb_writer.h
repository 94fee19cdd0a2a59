#pragma once
// The node database of a new Unicode PST file ([MS-PST] 2.2.2 and 2.6.1): nodes (a byte
// stream and subnodes, addressed by NID through the node B-tree) stored as blocks (addressed
// by BID through the block B-tree) in 64-byte slots tracked by the allocation maps.
//
// The writer stores only what it is given: it writes no node of its own (the store object,
// the name map, folders and templates are the layer above's). Every block is referenced
// once (cRef 2); a node's data is cut into full 8176-byte data blocks (the last one shorter),
// unless DataStream::endBlock() says where a block ends.
//
// Blocks go to disk as soon as they are made; only the index entries stay in memory
// (about 72 bytes per node and 16 per block). commit() writes the two B-trees, the maps,
// the density list and then the header, so that the file on disk is always the state of the
// last commit: nothing the last committed header reaches is overwritten before the next
// header is in place, and a failure at any moment (disk full, crash) leaves that state
// readable.
//
// Not thread-safe; one writer per file.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "store/pst/ndb/disk.h"
#include "store/pst/ndb/ndb_error.h"
#include "store/pst/node_content.h"

namespace quill::store::pst::ndb {

struct NdbOptions {
    // NDB_CRYPT_NONE (the default: stored as is, readable by every reader and easy to
    // inspect) or NDB_CRYPT_PERMUTE ("compressible", Outlook's own default for new files).
    uint8_t cryptMethod = NDB_CRYPT_NONE;
    // Replace a file already at the path; otherwise creating over an existing file fails.
    bool replaceExisting = false;
    // Test hook: the new file starts with this many empty allocation regions and blocks go
    // after them, so that tests reach offsets past 4 GiB and the FMap/FPMap places in a
    // sparse file without writing gigabytes.
    uint64_t testEmptyRegions = 0;
    // Test hook: skip fsync (the order of writes stays the same).
    bool testNoSync = false;
    // Test hook: the write call with this number (1 = the first) and all after it fail as on
    // a full disk; 0: never.
    uint64_t testFailAtWrite = 0;
};

// A subnode whose blocks were written with the block-level calls below.
struct SubnodeRef {
    Nid nid = 0;
    Bid bidData = 0;  // 0: no data
    Bid bidSub = 0;   // 0: no subnodes
};

class NdbWriter {
  public:
    // Most direct subnodes one node can have while staying readable by libpst, which cannot
    // read the two-level subnode tree (SIBLOCK) used beyond this count.
    static constexpr size_t kMaxSubnodesForLibpst = SLBLOCK::kMaxSlEntries;  // 340
    // Most direct subnodes of one node (an SIBLOCK of full SLBLOCKs).
    static constexpr size_t kMaxSubnodes = SLBLOCK::kMaxSlEntries * SLBLOCK::kMaxSiEntries;
    // Longest byte stream of a node or subnode (XBLOCK.lcbTotal is 32-bit).
    static constexpr uint64_t kMaxStreamSize = 0xFFFFFFFFu;

    // Creates a new, empty, valid file (already committed) and keeps it open for writing.
    // Throws NdbError (CannotCreate, Io, NoSpace).
    static std::unique_ptr<NdbWriter> create(const std::filesystem::path& path,
                                             const NdbOptions& options = {});
    // Closes the file without committing: what was put since the last commit is lost, the
    // file stays in its last committed state. Call close() to keep everything.
    ~NdbWriter();
    NdbWriter(const NdbWriter&) = delete;
    NdbWriter& operator=(const NdbWriter&) = delete;

    // ---- Nodes -----------------------------------------------------------------------
    // A new NID of the type (1..31) from the header's rgnid[] counter: the counter's value
    // plus one, skipping NIDs already put. Counters start at the values [MS-PST] 2.2.2.6
    // gives for a blank file (0x400; search folders 0x4000, messages 0x10000, associated
    // messages 0x8000), so fixed NIDs below them (0x21, 0x122, 0x2223...) never collide.
    Nid allocateNid(uint32_t nidType);

    // Stores a top-level node: its data as one block or a data tree (XBLOCK, XXBLOCK), its
    // subnodes (recursively) as a subnode tree (SLBLOCK, SIBLOCK), and its NBT entry. Data
    // given by a StreamSource is written as the source hands it out, never gathered whole.
    // Putting a NID again replaces the node; the old blocks are freed (reused only after the
    // next commit). Any explicit NID may be put; a NID above its type's counter raises the
    // counter. Throws NdbError: InvalidArgument (NID 0 or of type 0, a subnode NID 0 or
    // twice among its siblings, more than kMaxSubnodes subnodes, a stream longer than
    // kMaxStreamSize, both data and a source) before anything is written; Io/NoSpace on a
    // write failure, after which the writer refuses further work and the file stays in its
    // last committed state; so does a failure of a data source, or one that hands out another
    // number of bytes than its size() (InvalidArgument).
    void putNode(Nid nid, Nid parentNid, const NodeContent& content);
    // Called after every data block written (8 KB at most), so that the caller can keep a
    // window responsive while one large node is written. Empty: nothing is called.
    void setBreather(std::function<void()> breather);
    // Removes a node and frees its blocks. InvalidArgument when there is no such node.
    void removeNode(Nid nid);
    bool hasNode(Nid nid) const;
    size_t nodeCount() const;

    // ---- Blocks (for data that should not be held in memory at once) -----------------
    // A byte stream written block by block as it comes; finish() builds the data tree and
    // returns its root BID (0 for an empty stream). The tree is owned by the writer until it
    // is given to a node (putNodeBlocks) or a subnode tree (writeSubnodeTree); trees still
    // unowned at the next commit are freed then.
    class DataStream {
      public:
        DataStream(DataStream&&) noexcept;
        DataStream& operator=(DataStream&&) = delete;
        ~DataStream();  // frees what was written when finish() was not called
        void append(const uint8_t* data, size_t size);
        void append(const Bytes& bytes) { append(bytes.data(), bytes.size()); }
        // Ends the current data block even if it is not full: the next byte starts a new
        // block. For a heap-on-node, whose heap blocks are the data blocks of its data tree.
        void endBlock();
        uint64_t size() const { return size_; }
        Bid finish();

      private:
        friend class NdbWriter;
        explicit DataStream(NdbWriter& writer);
        void emitBlock();
        NdbWriter* writer_;
        Bytes buffer_;
        std::vector<std::pair<Bid, uint32_t>> leaves_;  // data block BID, its size
        uint64_t size_ = 0;
        bool finished_ = false;
    };
    DataStream openData();
    // The whole stream at once; 0 for an empty one.
    Bid writeData(const uint8_t* data, size_t size);
    // A subnode tree over subnodes whose data and subnode trees were written above (their
    // BIDs become owned by the tree); 0 for no subnodes.
    Bid writeSubnodeTree(std::vector<SubnodeRef> subnodes);
    // Stores a top-level node over blocks written above, like putNode.
    void putNodeBlocks(Nid nid, Nid parentNid, Bid bidData, Bid bidSub);

    // ---- Commit ------------------------------------------------------------------------
    // Writes the new node and block B-trees, the allocation maps that changed, the density
    // list, then (after an fsync) the header, then fsyncs again. Costs in proportion to the
    // B-tree leaves that changed (and the index pages above them), not to the file size.
    // Throws NdbError: InvalidArgument while a DataStream is open (nothing is written then),
    // Io/NoSpace on a failure (the file keeps its last committed state).
    void commit();
    // Commits, makes the allocation maps exact (space freed by the last commit is released
    // with one more header write), and closes. Throws NdbError; the file then stays in its
    // last committed state.
    void close();

    // What the last commit wrote besides the header: B-tree pages (those of leaves that
    // changed, and the index pages) and AMap pages (those of regions that changed).
    struct CommitStats {
        size_t treePages = 0;
        size_t mapPages = 0;
    };
    CommitStats lastCommitStats() const;

    const std::filesystem::path& path() const;
    uint64_t committedFileSize() const;  // ibFileEof of the last commit
    uint8_t cryptMethod() const;

  private:
    NdbWriter();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quill::store::pst::ndb
