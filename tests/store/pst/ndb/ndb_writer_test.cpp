// The node database writer, checked through the independent reader and its structural
// check (header CRCs, map pages, trailers, key order, reference counts, AMap coverage).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <set>

#include "../../../support/files.h"
#include "../../../support/scratch_dir.h"
#include "store/pst/ndb/ndb.h"

using namespace quill::store::pst::ndb;
using quill::store::Bytes;
using quill::store::pst::Nid;
using quill::store::pst::NodeContent;
using quill::store::pst::SubnodeContent;
using quill::testing::ReadFile;
namespace fs = std::filesystem;

namespace {

class PstNdb : public ::testing::Test {
  protected:
    fs::path file(const std::string& name = "store.pst") const { return dir_ / name; }

    static NdbOptions fast() {
        NdbOptions o;
        o.testNoSync = true;
        return o;
    }
    // Checks the file and fails the test with the checker's findings.
    static CheckReport expectSound(const fs::path& path, bool exactAMap = true,
                                   bool crashed = false) {
        NdbReader reader(path);
        CheckOptions options;
        options.exactAMap = exactAMap;
        options.allowTrailingBytes = crashed;
        CheckReport rep = reader.check(options);
        EXPECT_TRUE(rep.ok()) << rep.summary();
        return rep;
    }

    quill::testing::ScratchDir scratch_;
    const fs::path& dir_ = scratch_.path();
};

Bytes Pattern(size_t size, uint32_t seed) {
    Bytes b(size);
    std::mt19937 rng(seed);
    for (uint8_t& c : b) c = uint8_t(rng());
    return b;
}

NodeContent WithSubnodes(size_t count, size_t dataSize, uint32_t seed) {
    NodeContent c;
    c.data = Pattern(100, seed);
    for (size_t i = 0; i < count; ++i) {
        SubnodeContent s;
        s.nid = Nid(((i + 1) << 5) | 0x1F);
        s.content.data = Pattern(dataSize, seed + uint32_t(i));
        c.subnodes.push_back(std::move(s));
    }
    return c;
}

// Hands out bytes held elsewhere in pieces of the given sizes in turn, so that block
// boundaries fall anywhere in a piece; `claimed` is the size it says it has.
class PiecesSource : public quill::store::pst::StreamSource {
  public:
    PiecesSource(const Bytes& bytes, std::vector<size_t> pieces, uint64_t claimed)
        : bytes_(bytes), pieces_(std::move(pieces)), claimed_(claimed) {}
    uint64_t size() const override { return claimed_; }
    void produce(const Sink& sink) const override {
        for (size_t at = 0, i = 0; at < bytes_.size(); ++i) {
            size_t n = std::min(pieces_[i % pieces_.size()], bytes_.size() - at);
            sink(std::span<const uint8_t>(bytes_.data() + at, n));
            at += n;
        }
    }

  private:
    const Bytes& bytes_;
    std::vector<size_t> pieces_;
    uint64_t claimed_;
};

NodeContent FromSource(const Bytes& bytes, std::vector<size_t> pieces) {
    NodeContent c;
    c.source = std::make_shared<PiecesSource>(bytes, std::move(pieces), bytes.size());
    return c;
}

void ExpectSameContent(const NodeContent& a, const NodeContent& b) {
    ASSERT_EQ(a.data, b.data);
    ASSERT_EQ(a.subnodes.size(), b.subnodes.size());
    for (size_t i = 0; i < a.subnodes.size(); ++i) {
        EXPECT_EQ(a.subnodes[i].nid, b.subnodes[i].nid);
        ExpectSameContent(a.subnodes[i].content, b.subnodes[i].content);
    }
}

}  // namespace

// A new store is one region, as Outlook writes an empty file; its NID counters start where a
// blank file's start.
TEST_F(PstNdb, NewStoreIsOneRegionAndItsNidCountersStartWhereABlankFileStarts) {
    auto w = NdbWriter::create(file(), fast());
    EXPECT_EQ(fs::file_size(file()), 0x42400u);  // 271,360 bytes, as Outlook writes it
    expectSound(file());
    for (auto [type, first] : std::vector<std::pair<uint32_t, Nid>>{{0x02, (0x401u << 5) | 0x02},
                                                                    {0x03, (0x4001u << 5) | 0x03},
                                                                    {0x04, 0x200024},
                                                                    {0x08, (0x8001u << 5) | 0x08},
                                                                    {0x1F, (0x401u << 5) | 0x1F}})
        EXPECT_EQ(w->allocateNid(type), first) << type;
    // Fixed NIDs below the counters leave them alone; an explicit NID above raises its
    // counter, and allocation skips NIDs already put.
    for (Nid nid : {0x21u, 0x2223u, (0x500u << 5) | 0x02, (0x403u << 5) | 0x0D})
        w->putNode(nid, 0, NodeContent{});
    EXPECT_EQ(w->allocateNid(0x02), (0x501u << 5) | 0x02);
    EXPECT_EQ(w->allocateNid(0x0D), (0x404u << 5) | 0x0D);
    EXPECT_THROW(w->allocateNid(0), NdbError);
    EXPECT_THROW(w->putNode(0x20, 0, NodeContent{}), NdbError);  // type 0 is a heap id
    w->close();
    expectSound(file());
}

TEST_F(PstNdb, CreateFailsClearlyAndNeverOverwrites) {
    { std::ofstream(file("exists.pst")) << "precious"; }
    for (auto [path, error] : {std::pair{file("exists.pst"), EEXIST},
                               std::pair{dir_ / "no-such-folder" / "a.pst", ENOENT}}) {
        try {
            NdbWriter::create(path, fast());
            ADD_FAILURE() << "created " << path;
        } catch (const NdbError& e) {
            EXPECT_EQ(e.kind(), NdbErrorKind::CannotCreate);
            EXPECT_EQ(e.sysErrno(), error);
            EXPECT_NE(std::string(e.what()).find(path.filename().string()), std::string::npos);
        }
    }
    EXPECT_EQ(fs::file_size(file("exists.pst")), 8u);
    NdbOptions replace = fast();
    replace.replaceExisting = true;
    NdbWriter::create(file("exists.pst"), replace)->close();
    expectSound(file("exists.pst"));
}

// One data block, an XBLOCK, an XXBLOCK: the stream reads back whole, cut in full blocks;
// unencoded and permuted.
TEST_F(PstNdb, DataTreesAtEachSize) {
    struct Case {
        size_t size;
        size_t blocks;
        size_t xxblocks;
    };
    const size_t k = kMaxBlockData;
    std::vector<Case> cases = {
        {1, 1, 0}, {k, 1, 0}, {k + 1, 2, 0}, {1021 * k, 1021, 0}, {1021 * k + 1, 1022, 1}};
    // Permuted, and past 4 GiB (the FMap and FPMap places on the way) in a sparse file whose
    // first regions are empty.
    const uint64_t past4GiB = (uint64_t(4) << 30) / kRegionSize + 1;  // 16,913 regions
    for (auto [crypt, empty] :
         {std::pair{NDB_CRYPT_NONE, uint64_t(0)}, std::pair{NDB_CRYPT_PERMUTE, past4GiB}}) {
        fs::path path = file("crypt" + std::to_string(crypt) + ".pst");
        NdbOptions o = fast();
        o.cryptMethod = crypt;
        o.testEmptyRegions = empty;
        auto w = NdbWriter::create(path, o);
        std::vector<Bytes> data;
        for (size_t i = 0; i < cases.size(); ++i) {
            data.push_back(Pattern(cases[i].size, uint32_t(i)));
            w->putNode(Nid(((0x10001 + i) << 5) | 0x04), 0x8082, NodeContent{data.back(), {}});
            // The same bytes from a source, in pieces that straddle the block boundaries, as
            // the node's data and as a subnode's.
            NodeContent sourced = FromSource(data.back(), {1, k - 1, 3, k + 1, 2 * k, 100000});
            sourced.subnodes.push_back(SubnodeContent{0x803F, FromSource(data.back(), {k})});
            w->putNode(Nid(((0x20001 + i) << 5) | 0x04), 0x8082, sourced);
        }
        w->putNode(0x61, 0, NodeContent{});  // an empty node has no block at all
        const NodeContent wide = WithSubnodes(NdbWriter::kMaxSubnodesForLibpst + 1, 40, 2);
        w->putNode(0xA1, 0, wide);  // subnodes past one SLBLOCK: an SIBLOCK
        w->close();
        CheckReport rep = expectSound(path);
        EXPECT_EQ(rep.xxblocks, 3u);
        NdbReader r(path);
        EXPECT_EQ(r.header().root.BREFBBT.ib > uint64_t(4) << 30, empty != 0);
        EXPECT_EQ(r.findNode(0x61)->bidData, 0u);
        ExpectSameContent(r.readNode(0xA1), wide);
        for (size_t i = 0; i < cases.size(); ++i) {
            for (uint32_t first : {0x10001, 0x20001}) {
                auto node = r.findNode(Nid(((first + i) << 5) | 0x04));
                ASSERT_TRUE(node);
                EXPECT_EQ(r.readStream(node->bidData), data[i]) << cases[i].size;
                std::vector<uint32_t> sizes = r.streamBlockSizes(node->bidData);
                EXPECT_EQ(sizes.size(), cases[i].blocks);
                for (size_t b = 0; b + 1 < sizes.size(); ++b) ASSERT_EQ(sizes[b], k);
            }
            NodeContent sourced = r.readNode(Nid(((0x20001 + i) << 5) | 0x04));
            ASSERT_EQ(sourced.subnodes.size(), 1u);
            EXPECT_EQ(sourced.subnodes[0].content.data, data[i]) << cases[i].size;
        }
    }
}

// Content a PST cannot hold or that contradicts itself is refused before anything is written,
// and the writer goes on. A source that hands out another number of bytes than it said is a
// fault found only while it is written: the writer then refuses further work and the file
// keeps its last commit.
TEST_F(PstNdb, BadContentIsRefused) {
    const Bytes data = Pattern(3 * kMaxBlockData, 1);
    auto sourced = [&](uint64_t claimed) {
        return NodeContent{
            {}, {}, std::make_shared<PiecesSource>(data, std::vector<size_t>{5000}, claimed)};
    };
    NodeContent twice = WithSubnodes(2, 10, 1), zero = WithSubnodes(1, 10, 1);
    twice.subnodes[1].nid = twice.subnodes[0].nid;
    zero.subnodes[0].nid = 0;
    const struct Case {
        NodeContent content;
        NdbErrorKind kind;
        bool breaks;
    } cases[] = {{twice, NdbErrorKind::InvalidArgument, false},
                 {zero, NdbErrorKind::InvalidArgument, false},
                 {sourced(NdbWriter::kMaxStreamSize + 1), NdbErrorKind::TooLarge, false},
                 {sourced(data.size() - 1), NdbErrorKind::InvalidArgument, true},
                 {sourced(data.size() + 1), NdbErrorKind::InvalidArgument, true}};
    for (const Case& c : cases) {
        fs::path path = file(std::to_string(&c - cases) + ".pst");
        auto w = NdbWriter::create(path, fast());
        w->putNode(0x21, 0, NodeContent{Pattern(10, 2), {}});
        w->commit();
        try {
            w->putNode(0x200024, 0x8082, c.content);
            ADD_FAILURE() << path;
        } catch (const NdbError& e) {
            EXPECT_EQ(e.kind(), c.kind) << path << e.what();
        }
        EXPECT_THROW(w->removeNode(0x12345), NdbError);
        if (c.breaks) {
            EXPECT_THROW(w->putNode(0x61, 0, NodeContent{}), NdbError);
            w.reset();
        } else {
            w->putNode(0x61, 0, NodeContent{});
            w->close();
        }
        expectSound(path, !c.breaks);
        EXPECT_FALSE(NdbReader(path).findNode(0x200024));
        EXPECT_EQ(NdbReader(path).readNode(0x21).data, Pattern(10, 2));
    }
}

// Thousands of nodes and blocks: both B-trees grow past one page and several levels. A commit
// rewrites only the B-tree leaves whose keys changed, and the index pages above them: its cost
// follows what changed since the last commit, not the size of the store.
TEST_F(PstNdb, BTreesSplitPastOnePageAndCommitsRewriteOnlyChangedLeaves) {
    auto w = NdbWriter::create(file(), fast());
    auto message = [](Nid i) { return Nid(((0x10001 + i) << 5) | 0x04); };
    for (Nid i = 0; i < 3000; ++i) w->putNode(message(i), 0x8082, NodeContent{Pattern(30, i), {}});
    w->commit();
    EXPECT_GE(w->lastCommitStats().treePages, 3000u / 15 + 3000u / 20);
    // Nothing; one message more; one replaced in the middle; a removal and a lower key.
    const size_t maxPages[] = {0, 40, 45, 50};
    for (size_t step = 0; step < 4; ++step) {
        if (step == 1) w->putNode(message(3000), 0x8082, NodeContent{Bytes(5), {}});
        if (step == 2) w->putNode(message(1500), 0x8082, NodeContent{Bytes(7), {}});
        if (step == 3) {
            w->removeNode(message(700));
            w->putNode(0x8082, 0x8022, NodeContent{Bytes(9), {}});
        }
        w->commit();
        EXPECT_LE(w->lastCommitStats().treePages, maxPages[step]) << "step " << step;
        expectSound(file(), false);
    }
    w->close();
    CheckReport rep = expectSound(file());
    EXPECT_EQ(rep.nbtLevels, 3u);  // 15 per leaf, 20 per index page
    EXPECT_EQ(rep.bbtLevels, 3u);  // 20 per leaf
    NdbReader r(file());
    EXPECT_EQ(r.readNode(message(1500)).data, Bytes(7));
    EXPECT_EQ(r.readNode(message(2999)).data, Pattern(30, 2999));
    EXPECT_FALSE(r.findNode(message(700)));
}

// Replacing and removing nodes frees their blocks, once no committed state reaches them: the
// maps describe exactly what is allocated after close, and at most the last commit's freed
// space in between. Freed space is wiped: stale B-tree pages would be taken for deleted items
// by readers that scan it (pffexport's "recovered" folder), and removed mail must not stay
// readable. What was committed survives a writer that dies before the next commit.
TEST_F(PstNdb, FreedSpaceIsReusedAndWipedAndACrashLeavesTheLastCommit) {
    const std::string secret = "TOP-SECRET-MESSAGE-BODY-";
    Bytes body;
    for (int i = 0; i < 400; ++i) body.insert(body.end(), secret.begin(), secret.end());
    auto message = [](Nid i) { return Nid(((0x10001 + i) << 5) | 0x04); };
    {
        auto w = NdbWriter::create(file(), fast());
        for (Nid i = 0; i < 50; ++i) w->putNode(message(i), 0x8082, WithSubnodes(3, 5000, i));
        w->putNode(0x200004, 0x8082, NodeContent{body, {}});
        w->commit();
        for (Nid i = 0; i < 50; i += 2) w->putNode(message(i), 0x8082, NodeContent{});
        for (Nid i = 1; i < 50; i += 4) w->removeNode(message(i));
        w->removeNode(0x200004);
        // Replaced twice before any commit: the middle version's blocks were never committed.
        w->putNode(0x21, 0, NodeContent{Pattern(20000, 7), {}});
        w->putNode(0x21, 0, NodeContent{Pattern(20000, 8), {}});
        w->commit();
        EXPECT_GT(expectSound(file(), false).leakedSlots, 0u);  // marked until the next commit
        w->commit();
        expectSound(file());
        uint64_t size = w->committedFileSize();
        for (Nid i = 0; i < 300; ++i)
            w->putNode(((0x20000 + i) << 5) | 0x04, 0x8082, WithSubnodes(1, 4000, i));
        EXPECT_EQ(w->committedFileSize(), size);
        // A crash now: the file as it is on disk, blocks past the committed end included.
        fs::copy_file(file(), file("crashed.pst"));
        // Dropping the writer without close() cuts the uncommitted tail off.
    }
    EXPECT_EQ(fs::file_size(file()), uint64_t(NdbReader(file()).header().root.ibFileEof));
    for (const fs::path& path : {file(), file("crashed.pst")}) {
        CheckReport rep = expectSound(path, false, true);
        EXPECT_EQ(rep.nodes, 50u - 13u + 1u);
        NdbReader r(path);
        EXPECT_EQ(r.readNode(0x21).data, Pattern(20000, 8));
        EXPECT_FALSE(r.findNode(message(1)));
        ExpectSameContent(r.readNode(message(3)), WithSubnodes(3, 5000, 3));
    }
    const std::string raw = ReadFile(file());
    EXPECT_EQ(raw.find(secret), std::string::npos);
}

// A failing write at any moment, whichever write it is (blocks, B-tree pages, maps, the
// header, the wiping of freed space), stops the writer with an error naming the file and the
// place, and leaves a sound file holding the last commit, or the one being made when its
// header was already written; or no file, when creating failed.
TEST_F(PstNdb, FailureAtAnyWriteLeavesACommittedState) {
    const std::set<Nid> state1 = {0x21, 0x200024}, state2 = {0x21, 0x200044, 0x200064};
    size_t failures = 0;
    for (uint64_t k = 1;; ++k) {
        fs::path path = file("fail" + std::to_string(k) + ".pst");
        NdbOptions o = fast();
        o.testFailAtWrite = k;
        int committed = -1;  // the last commit that returned
        try {
            auto w = NdbWriter::create(path, o);
            committed = 0;
            w->putNode(0x21, 0, NodeContent{Pattern(300, 1), {}});
            w->putNode(0x200024, 0x8082, WithSubnodes(3, 9000, 1));
            w->commit();
            committed = 1;
            w->removeNode(0x200024);
            w->putNode(0x200044, 0x8082, WithSubnodes(2, 20000, 2));
            w->putNode(0x200064, 0x8082, NodeContent{Pattern(100000, 3), {}});
            w->commit();
            committed = 2;
            w->close();
            break;  // k is past the last write: every failure point was tried
        } catch (const NdbError& e) {
            ++failures;
            ASSERT_EQ(e.kind(), NdbErrorKind::NoSpace) << e.what();
            EXPECT_NE(e.offset(), NdbError::kNoOffset);
            EXPECT_NE(std::string(e.what()).find(path.string()), std::string::npos) << e.what();
        }
        SCOPED_TRACE("failing write " + std::to_string(k));
        if (committed < 0) {
            EXPECT_FALSE(fs::exists(path));
            continue;
        }
        expectSound(path, false);
        std::set<Nid> nids;
        NdbReader reader(path);
        for (const NodeEntry& n : reader.nodes()) nids.insert(n.nid);
        std::vector<std::set<Nid>> states = {{}, state1, state2};
        EXPECT_TRUE(nids == states[committed] ||
                    (committed < 2 && nids == states[size_t(committed) + 1]))
            << "after commit " << committed << ", " << nids.size() << " nodes";
    }
    EXPECT_GT(failures, 10u);
}

// Blocks written piece by piece: a stream's block boundaries are kept (a heap's blocks need
// not be full), subnode trees over written blocks, and written trees never given to a node
// are freed at the commit.
TEST_F(PstNdb, BlockLevelCallsBuildNodesFromStreams) {
    auto w = NdbWriter::create(file(), fast());
    NdbWriter::DataStream heap = w->openData();
    heap.append(Pattern(3000, 1));
    heap.endBlock();
    heap.append(Pattern(5000, 2));
    heap.endBlock();
    heap.append(Pattern(100, 3));
    Bid heapRoot = heap.finish();
    Bid big = w->writeData(Pattern(300000, 4).data(), 300000);
    w->writeData(Pattern(9000, 5).data(), 9000);  // never given to a node
    {
        NdbWriter::DataStream abandoned = w->openData();
        abandoned.append(Pattern(20000, 6));
        EXPECT_THROW(w->commit(), NdbError);  // its blocks would be orphans
    }                                         // dropped without finish(): its blocks are freed
    Bid sub = w->writeSubnodeTree({SubnodeRef{0x8025, big, 0}});
    EXPECT_THROW(w->writeSubnodeTree({SubnodeRef{0x8045, big, 0}}), NdbError);  // owned now
    w->putNodeBlocks(0x200024, 0x8082, heapRoot, sub);
    EXPECT_THROW(w->putNodeBlocks(0x200044, 0x8082, heapRoot, 0), NdbError);
    w->close();
    expectSound(file());
    NdbReader r(file());
    auto node = r.findNode(0x200024);
    ASSERT_TRUE(node);
    EXPECT_EQ(r.streamBlockSizes(node->bidData), (std::vector<uint32_t>{3000, 5000, 100}));
    NodeContent c = r.readNode(0x200024);
    ASSERT_EQ(c.subnodes.size(), 1u);
    EXPECT_EQ(c.subnodes[0].content.data, Pattern(300000, 4));
}

// The checker the other tests rely on finds damage of each kind.
TEST_F(PstNdb, CheckerFindsDamage) {
    const std::string marker = "MARKER-OF-A-DATA-BLOCK";
    auto w = NdbWriter::create(file(), fast());
    w->putNode(0x21, 0, NodeContent{Bytes(marker.begin(), marker.end()), {}});
    w->close();
    const std::string clean = ReadFile(file());
    const size_t block = clean.find(marker);
    const uint64_t nbtRoot = NdbReader(file()).header().root.BREFNBT.ib;
    const std::pair<std::function<void(std::string&)>, const char*> cases[] = {
        {[](std::string& f) { f[0x30] ^= 1; }, "dwCRCPartial"},
        {[&](std::string& f) { f[block + 3] ^= 1; }, "wrong dwCRC"},
        {[&](std::string& f) { f[nbtRoot + 40] ^= 1; }, "NBT page"},
        {[](std::string& f) { f.resize(f.size() - kRegionSize); }, "ibFileEof"},
    };
    for (const auto& [damage, expected] : cases) {
        std::string damaged = clean;
        damage(damaged);
        quill::testing::WriteFile(file("damaged.pst"), damaged);
        const std::string found = NdbReader(file("damaged.pst")).check().summary();
        EXPECT_NE(found.find(expected), std::string::npos) << expected << ":\n" << found;
    }
}
