#pragma once
// An independent reader of a PST file's node database, used by the tests of every PST layer:
// it walks header -> node and block B-trees -> blocks, reads nodes back as NodeContent, and
// checks the file's structure the way Outlook and its repair tool would: header CRCs, map
// pages at their places, page and block trailers (type, signature, CRC, back-pointer), key
// order, data and subnode trees, reference counts, and allocation-map coverage.
// It shares only the on-disk structs with the writer, none of its bookkeeping.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "store/pst/ndb/disk.h"
#include "store/pst/ndb/ndb_error.h"
#include "store/pst/node_content.h"

namespace quill::store::pst::ndb {

struct NodeEntry {
    Nid nid = 0;
    Bid bidData = 0;
    Bid bidSub = 0;
    Nid parent = 0;
};

struct CheckOptions {
    // Every slot the AMaps mark as used must be used. A commit in the middle of a run leaves
    // the space freed by that commit marked until the next one; close() clears it.
    bool exactAMap = true;
    // The file may be longer than the header's ibFileEof: the state after a crash, with
    // blocks written after the last commit.
    bool allowTrailingBytes = false;
};

struct CheckReport {
    std::vector<std::string> problems;  // empty when the file is sound
    uint64_t leakedSlots = 0;           // marked used in an AMap, used by nothing
    size_t regions = 0, nodes = 0, blocks = 0, nbtPages = 0, bbtPages = 0;
    size_t nbtLevels = 0, bbtLevels = 0;
    size_t siblocks = 0, xxblocks = 0;
    bool ok() const { return problems.empty(); }
    std::string summary() const;  // the problems, one a line (at most the first 50)
};

class NdbReader {
  public:
    // Opens the file read-only and reads its header. Throws NdbError (Io, Corrupt).
    explicit NdbReader(const std::filesystem::path& path);
    ~NdbReader();
    NdbReader(const NdbReader&) = delete;
    NdbReader& operator=(const NdbReader&) = delete;

    const HEADER& header() const { return header_; }
    // Never throws for a damaged file: what cannot be read becomes a problem of the report.
    CheckReport check(const CheckOptions& options = {});

    // The node B-tree's entries in key order. Throws NdbError (Corrupt) on a broken tree.
    const std::vector<NodeEntry>& nodes();
    std::optional<NodeEntry> findNode(Nid nid);
    // A node's data (decoded) and its subnodes, recursively.
    NodeContent readNode(Nid nid);
    // The bytes of a data tree (0: empty).
    Bytes readStream(Bid bid);
    // The data block sizes of a data tree, in order (how a heap's blocks were cut).
    std::vector<uint32_t> streamBlockSizes(Bid bid);

  private:
    struct BlockInfo {
        Ib ib = 0;
        uint16_t cb = 0;
        uint16_t cRef = 0;
    };
    void checkInto(const CheckOptions& options, CheckReport& rep);
    void readAt(Ib ib, uint8_t* out, size_t size) const;
    Bytes readBlockData(Bid bid, bool decode);
    const BlockInfo& block(Bid bid);
    void loadTrees();
    std::vector<SubnodeContent> readSubnodes(Bid bid, int depth);
    void collectLeaves(Bid bid, std::vector<Bid>& leaves, int depth);

    std::filesystem::path path_;
    int fd_ = -1;
    uint64_t fileSize_ = 0;
    HEADER header_;
    bool loaded_ = false;
    std::vector<NodeEntry> nodes_;
    std::map<Bid, BlockInfo> blocks_;
};

}  // namespace quill::store::pst::ndb
