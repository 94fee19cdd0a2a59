#include "store/pst/ndb/ndb_writer_impl.h"

#include <algorithm>
#include <cstring>

namespace quill::store::pst::ndb {

BlockRec* NdbWriter::Impl::findBlock(Bid bid) {
    auto it = std::lower_bound(blocks.begin(), blocks.end(), bid,
                               [](const BlockRec& b, Bid key) { return b.bid < key; });
    if (it == blocks.end() || it->bid != bid || it->cRef == 0) return nullptr;
    return &*it;
}

// Writes one block; `data` is already encoded when it is an external block.
Bid NdbWriter::Impl::writeBlock(const uint8_t* data, size_t cb, bool internal) {
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

Bid NdbWriter::Impl::writeDataBlock(const uint8_t* data, size_t cb) {
    if (breather) breather();
    if (header.bCryptMethod == NDB_CRYPT_PERMUTE) {
        uint8_t enc[kMaxBlockData];
        std::memcpy(enc, data, cb);
        PermuteEncode(enc, cb);
        return writeBlock(enc, cb, false);
    }
    return writeBlock(data, cb, false);
}

Bytes NdbWriter::Impl::readBlock(const BlockRec& b) {
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
void NdbWriter::Impl::releaseTree(Bid bid) {
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
Bid NdbWriter::Impl::buildDataTree(const std::vector<std::pair<Bid, uint32_t>>& leaves) {
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
        return std::make_pair(writeBlock(buf, XBLOCK::kSize + 8 * count, true), uint32_t(total));
    };
    if (leaves.size() <= XBLOCK::kMaxEntries) return xblock(1, leaves, 0, leaves.size()).first;
    std::vector<std::pair<Bid, uint32_t>> xblocks;
    for (size_t i = 0; i < leaves.size(); i += XBLOCK::kMaxEntries)
        xblocks.push_back(xblock(1, leaves, i, std::min(XBLOCK::kMaxEntries, leaves.size() - i)));
    return xblock(2, xblocks, 0, xblocks.size()).first;
}

Bid NdbWriter::Impl::writeStream(const uint8_t* data, size_t size) {
    std::vector<std::pair<Bid, uint32_t>> leaves;
    for (size_t off = 0; off < size; off += kMaxBlockData) {
        size_t cb = std::min(kMaxBlockData, size - off);
        leaves.emplace_back(writeDataBlock(data + off, cb), uint32_t(cb));
    }
    return buildDataTree(leaves);
}

// A stream handed out in pieces: whole blocks are written straight from the pieces, only
// a block that spans two pieces is gathered first.
Bid NdbWriter::Impl::writeSourced(const StreamSource& source) {
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

Bid NdbWriter::Impl::writeContentStream(const NodeContent& c) {
    if (c.source) return writeSourced(*c.source);
    return writeStream(c.data.data(), c.data.size());
}

// Subnode tree over entries sorted by NID ([MS-PST] 2.2.2.8.3.3).
Bid NdbWriter::Impl::buildSubnodeTree(const std::vector<SLENTRY>& entries) {
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

void NdbWriter::Impl::validateContent(const NodeContent& c, int depth) {
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

Bid NdbWriter::Impl::writeSubnodes(const std::vector<SubnodeContent>& subnodes) {
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

void NdbWriter::Impl::takeLoose(Bid bid) {
    if (bid == 0) return;
    if (loose.erase(bid) == 0)
        invalid("A block tree was given twice, or was not written by this store");
}

void NdbWriter::Impl::validateNid(Nid nid) {
    if (nid == 0 || NidType(nid) == 0) invalid("A node needs a NID with a type other than 0");
}

void NdbWriter::Impl::storeNode(Nid nid, Nid parent, Bid bidData, Bid bidSub) {
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

}  // namespace quill::store::pst::ndb
