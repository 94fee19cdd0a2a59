#include "store/pst/ndb/ndb_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <unordered_map>

#include "shell/file_io.h"

namespace quill::store::pst::ndb {

namespace {

std::string Hex(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
    return buf;
}

const char* PageKind(uint8_t ptype) {
    switch (ptype) {
        case ptypeBBT:
            return "BBT page";
        case ptypeNBT:
            return "NBT page";
        case ptypeFMap:
            return "FMap";
        case ptypePMap:
            return "PMap";
        case ptypeAMap:
            return "AMap";
        case ptypeFPMap:
            return "FPMap";
        case ptypeDL:
            return "DList";
        default:
            return "page";
    }
}

}  // namespace

std::string CheckReport::summary() const {
    std::string s;
    for (size_t i = 0; i < problems.size() && i < 50; ++i) s += problems[i] + "\n";
    if (problems.size() > 50) s += "... " + std::to_string(problems.size() - 50) + " more\n";
    return s;
}

NdbReader::NdbReader(const std::filesystem::path& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0)
        throw NdbError(NdbErrorKind::Io, "Cannot open the store file", path, NdbError::kNoOffset,
                       errno);
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        int e = errno;
        ::close(fd_);
        throw NdbError(NdbErrorKind::Io, "Cannot read the store file's size", path,
                       NdbError::kNoOffset, e);
    }
    fileSize_ = uint64_t(st.st_size);
    uint8_t buf[HEADER::kSize];
    try {
        readAt(0, buf, sizeof buf);
    } catch (...) {
        ::close(fd_);
        throw;
    }
    header_ = HEADER::read(buf);
}

NdbReader::~NdbReader() {
    if (fd_ >= 0) ::close(fd_);
}

void NdbReader::readAt(Ib ib, uint8_t* out, size_t size) const {
    IoResult r = PreadAll(fd_, out, size, ib);
    if (r.error)
        throw NdbError(NdbErrorKind::Io, "Cannot read the store file", path_, ib + r.done, r.error);
    if (r.done < size)
        throw NdbError(NdbErrorKind::Corrupt, "Unexpected end of the store file", path_,
                       ib + r.done);
}

void NdbReader::loadTrees() {
    if (loaded_) return;
    nodes_.clear();
    blocks_.clear();
    std::function<void(const BREF&, uint8_t, int)> walk = [&](const BREF& ref, uint8_t ptype,
                                                              int depth) {
        if (depth > 9) throw NdbError(NdbErrorKind::Corrupt, "B-tree too deep", path_, ref.ib);
        uint8_t page[kPageSize];
        readAt(ref.ib, page, kPageSize);
        uint8_t cEnt = page[488], cbEnt = page[490], cLevel = page[491];
        if (page[496] != ptype || cbEnt == 0 || size_t(cEnt) * cbEnt > BTPAGE::kEntriesSize)
            throw NdbError(NdbErrorKind::Corrupt, "Unreadable B-tree page", path_, ref.ib);
        for (size_t i = 0; i < cEnt; ++i) {
            LeReader r(page + i * cbEnt);
            if (cLevel > 0) {
                BTENTRY e = BTENTRY::read(r);
                walk(e.BREF_, ptype, depth + 1);
            } else if (ptype == ptypeNBT) {
                NBTENTRY e = NBTENTRY::read(r);
                nodes_.push_back(NodeEntry{Nid(e.nid), e.bidData, e.bidSub, e.nidParent});
            } else {
                BBTENTRY e = BBTENTRY::read(r);
                blocks_[e.BREF_.bid & ~Bid(1)] = BlockInfo{e.BREF_.ib, e.cb, e.cRef};
            }
        }
    };
    walk(header_.root.BREFNBT, ptypeNBT, 0);
    walk(header_.root.BREFBBT, ptypeBBT, 0);
    loaded_ = true;
}

const std::vector<NodeEntry>& NdbReader::nodes() {
    loadTrees();
    return nodes_;
}

std::optional<NodeEntry> NdbReader::findNode(Nid nid) {
    loadTrees();
    for (const NodeEntry& n : nodes_)
        if (n.nid == nid) return n;
    return std::nullopt;
}

const NdbReader::BlockInfo& NdbReader::block(Bid bid) {
    loadTrees();
    auto it = blocks_.find(bid & ~Bid(1));
    if (it == blocks_.end())
        throw NdbError(NdbErrorKind::Corrupt, "Block " + Hex(bid) + " is not in the block B-tree",
                       path_);
    return it->second;
}

Bytes NdbReader::readBlockData(Bid bid, bool decode) {
    const BlockInfo& b = block(bid);
    Bytes data(b.cb);
    readAt(b.ib, data.data(), b.cb);
    if (decode && !(bid & kBidInternal) && header_.bCryptMethod == NDB_CRYPT_PERMUTE)
        PermuteDecode(data.data(), data.size());
    return data;
}

void NdbReader::collectLeaves(Bid bid, std::vector<Bid>& leaves, int depth) {
    if (bid == 0) return;
    if (!(bid & kBidInternal)) {
        leaves.push_back(bid);
        return;
    }
    if (depth > 2) throw NdbError(NdbErrorKind::Corrupt, "Data tree too deep", path_);
    Bytes x = readBlockData(bid, false);
    if (x.size() < XBLOCK::kSize || x[0] != 0x01)
        throw NdbError(NdbErrorKind::Corrupt, "Block " + Hex(bid) + " is not an XBLOCK", path_);
    LeReader r(x.data());
    XBLOCK h = XBLOCK::read(r);
    if (XBLOCK::kSize + 8 * size_t(h.cEnt) > x.size())
        throw NdbError(NdbErrorKind::Corrupt, "XBLOCK " + Hex(bid) + " is cut short", path_);
    for (size_t i = 0; i < h.cEnt; ++i) collectLeaves(r.u64(), leaves, depth + 1);
}

Bytes NdbReader::readStream(Bid bid) {
    std::vector<Bid> leaves;
    collectLeaves(bid, leaves, 0);
    Bytes out;
    for (Bid leaf : leaves) {
        Bytes part = readBlockData(leaf, true);
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

std::vector<uint32_t> NdbReader::streamBlockSizes(Bid bid) {
    std::vector<Bid> leaves;
    collectLeaves(bid, leaves, 0);
    std::vector<uint32_t> sizes;
    for (Bid leaf : leaves) sizes.push_back(block(leaf).cb);
    return sizes;
}

std::vector<SubnodeContent> NdbReader::readSubnodes(Bid bid, int depth) {
    std::vector<SubnodeContent> out;
    if (bid == 0) return out;
    if (depth > 64) throw NdbError(NdbErrorKind::Corrupt, "Subnodes nested too deeply", path_);
    std::function<void(Bid, int)> walk = [&](Bid b, int level) {
        Bytes s = readBlockData(b, false);
        if (s.size() < SLBLOCK::kSize || s[0] != 0x02 || level > 1)
            throw NdbError(NdbErrorKind::Corrupt, "Block " + Hex(b) + " is not a subnode block",
                           path_);
        LeReader r(s.data());
        SLBLOCK h = SLBLOCK::read(r);
        size_t entSize = h.cLevel == 0 ? SLENTRY::kSize : SIENTRY::kSize;
        if (SLBLOCK::kSize + entSize * h.cEnt > s.size())
            throw NdbError(NdbErrorKind::Corrupt, "Subnode block " + Hex(b) + " is cut short",
                           path_);
        for (size_t i = 0; i < h.cEnt; ++i) {
            if (h.cLevel == 0) {
                SLENTRY e = SLENTRY::read(r);
                SubnodeContent sub;
                sub.nid = Nid(e.nid);
                sub.content.data = readStream(e.bidData);
                sub.content.subnodes = readSubnodes(e.bidSub, depth + 1);
                out.push_back(std::move(sub));
            } else {
                SIENTRY e = SIENTRY::read(r);
                walk(e.bid, level + 1);
            }
        }
    };
    walk(bid, 0);
    return out;
}

NodeContent NdbReader::readNode(Nid nid) {
    std::optional<NodeEntry> n = findNode(nid);
    if (!n)
        throw NdbError(NdbErrorKind::InvalidArgument, "No node " + Hex(nid) + " in the store",
                       path_);
    NodeContent c;
    c.data = readStream(n->bidData);
    c.subnodes = readSubnodes(n->bidSub, 0);
    return c;
}

// ---- The structural check -----------------------------------------------------------------

CheckReport NdbReader::check(const CheckOptions& options) {
    CheckReport rep;
    try {
        checkInto(options, rep);
    } catch (const NdbError& e) {
        rep.problems.push_back(std::string("unreadable: ") + e.what());
    }
    return rep;
}

void NdbReader::checkInto(const CheckOptions& options, CheckReport& rep) {
    auto problem = [&](std::string text) { rep.problems.push_back(std::move(text)); };
    const HEADER& h = header_;

    // Header ([MS-PST] 2.2.2.6).
    uint8_t raw[HEADER::kSize];
    readAt(0, raw, sizeof raw);
    if (h.dwMagic != 0x4E444221) problem("header: dwMagic is not !BDN");
    if (h.wMagicClient != 0x4D53) problem("header: wMagicClient is not SM");
    if (h.wVer != 23) problem("header: wVer " + std::to_string(h.wVer) + ", expected 23");
    if (h.wVerClient != 19) problem("header: wVerClient is not 19");
    if (h.bPlatformCreate != 1 || h.bPlatformAccess != 1) problem("header: bPlatform* not 1");
    if (h.dwCRCPartial != ComputeCrc(raw + 8, HEADER::kCrcPartialSize))
        problem("header: dwCRCPartial does not match");
    if (h.dwCRCFull != ComputeCrc(raw + 8, HEADER::kCrcFullSize))
        problem("header: dwCRCFull does not match");
    if (h.bSentinel != 0x80) problem("header: bSentinel is not 0x80");
    if (h.bCryptMethod != NDB_CRYPT_NONE && h.bCryptMethod != NDB_CRYPT_PERMUTE)
        problem("header: unknown bCryptMethod");
    if (std::any_of(h.rgbFM, h.rgbFM + 128, [](uint8_t b) { return b != 0xFF; }) ||
        std::any_of(h.rgbFP, h.rgbFP + 128, [](uint8_t b) { return b != 0xFF; }))
        problem("header: rgbFM/rgbFP not all 0xFF");
    if (h.root.fAMapValid != ROOT::VALID_AMAP2) problem("header: fAMapValid is not VALID_AMAP2");
    if (h.root.cbPMapFree != 0) problem("header: cbPMapFree is not 0");
    if (h.qwUnused || h.dwAlign || h.bidUnused || h.dwReserved1 || h.dwReserved2)
        problem("header: reserved fields not zero");
    if (h.root.ibFileEof != fileSize_ &&
        !(options.allowTrailingBytes && h.root.ibFileEof < fileSize_))
        problem("header: ibFileEof " + Hex(h.root.ibFileEof) + " but the file has " +
                Hex(fileSize_) + " bytes");
    if (h.root.ibFileEof < kFirstAMapIb + kRegionSize ||
        (h.root.ibFileEof - kFirstAMapIb) % kRegionSize != 0) {
        problem("header: ibFileEof is not a whole number of AMap regions");
        return;
    }
    const uint64_t regions = (h.root.ibFileEof - kFirstAMapIb) / kRegionSize;
    rep.regions = regions;
    if (h.root.ibAMapLast != RegionIb(regions - 1)) problem("header: ibAMapLast is wrong");

    // Map pages at their places ([MS-PST] 2.2.2.7.2 to 2.2.2.7.6).
    std::vector<std::array<uint8_t, 496>> amap(regions), used(regions);
    uint64_t amapFree = 0;
    auto checkPageTrailer = [&](const uint8_t* page, Ib ib, uint8_t ptype, Bid bid) {
        LeReader r(page + kPageDataSize);
        PAGETRAILER t = PAGETRAILER::read(r);
        bool ok = true;
        std::string where = std::string(PageKind(ptype)) + " at " + Hex(ib);
        if (t.ptype != ptype || t.ptypeRepeat != ptype) {
            problem(where + ": ptype " + Hex(t.ptype) + "/" + Hex(t.ptypeRepeat));
            ok = false;
        }
        bool mapPage = ptype >= ptypeFMap && ptype <= ptypeFPMap;
        if (t.wSig != (mapPage ? 0 : ComputeSig(ib, bid))) problem(where + ": wrong wSig");
        if (t.dwCRC != ComputeCrc(page, kPageDataSize)) problem(where + ": wrong dwCRC");
        if (t.bid != bid) problem(where + ": trailer bid " + Hex(t.bid) + ", expected " + Hex(bid));
        return ok;
    };
    auto markUsed = [&](Ib ib, uint64_t size, const std::string& what) {
        if (ib < kFirstAMapIb || ib % kSlotSize || ib + size > h.root.ibFileEof) {
            problem(what + " at " + Hex(ib) + " lies outside the mapped area or is misaligned");
            return false;
        }
        uint64_t r = (ib - kFirstAMapIb) / kRegionSize;
        uint64_t slot = (ib - RegionIb(r)) / kSlotSize, n = size / kSlotSize;
        if (slot + n > kSlotsPerRegion) {
            problem(what + " at " + Hex(ib) + " straddles an AMap region boundary");
            return false;
        }
        for (uint64_t s = slot; s < slot + n; ++s) {
            uint8_t bit = uint8_t(0x80 >> (s & 7));
            if (used[r][s >> 3] & bit) {
                problem(what + " at " + Hex(ib) + " overlaps a map page, page or block");
                return false;
            }
            used[r][s >> 3] |= bit;
        }
        return true;
    };
    uint8_t page[kPageSize];
    for (uint64_t r = 0; r < regions; ++r) {
        Ib ib = RegionIb(r);
        readAt(ib, page, kPageSize);
        checkPageTrailer(page, ib, ptypeAMap, ib);
        std::memcpy(amap[r].data(), page, 496);
        for (uint8_t b : amap[r]) amapFree += 8 - size_t(__builtin_popcount(b));
        markUsed(ib, kPageSize, "AMap");
        Ib next = ib + kPageSize;
        auto mapPage = [&](bool due, uint8_t ptype, bool allFF, bool allZero) {
            if (!due) return;
            readAt(next, page, kPageSize);
            checkPageTrailer(page, next, ptype, next);
            if (allFF && std::any_of(page, page + 496, [](uint8_t b) { return b != 0xFF; }))
                problem(std::string(PageKind(ptype)) + " at " + Hex(next) + " not all 0xFF");
            if (allZero && std::any_of(page, page + 496, [](uint8_t b) { return b != 0; }))
                problem(std::string(PageKind(ptype)) + " at " + Hex(next) + " not all 0");
            markUsed(next, kPageSize, PageKind(ptype));
            next += kPageSize;
        };
        mapPage(RegionHasPMap(r), ptypePMap, true, false);
        mapPage(RegionHasFMap(r), ptypeFMap, false, true);
        mapPage(RegionHasFPMap(r), ptypeFPMap, true, false);
    }
    if (h.root.cbAMapFree != amapFree * kSlotSize)
        problem("header: cbAMapFree " + Hex(h.root.cbAMapFree) + ", the AMaps say " +
                Hex(amapFree * kSlotSize));

    // DList ([MS-PST] 2.2.2.7.4).
    readAt(kDListIb, page, kPageSize);
    DLISTPAGE dl = DLISTPAGE::read(page);
    Bid maxPageBid = dl.pageTrailer.bid;
    checkPageTrailer(page, kDListIb, ptypeDL, dl.pageTrailer.bid);
    if (dl.cEntDList > DLISTPAGE::kMaxEntries) problem("DList: cEntDList over 119");
    for (size_t i = 0; i < dl.cEntDList && i < DLISTPAGE::kMaxEntries; ++i)
        if ((dl.rgDListPageEnt[i] & 0xFFFFF) >= regions) problem("DList: entry past the last AMap");
    for (size_t i = 1; i < dl.cEntDList && i < DLISTPAGE::kMaxEntries; ++i)
        if ((dl.rgDListPageEnt[i] >> 20) > (dl.rgDListPageEnt[i - 1] >> 20))
            problem("DList: entries not sorted by free space, most first");

    // B-trees ([MS-PST] 2.2.2.7.7).
    std::vector<NBTENTRY> nbt;
    std::vector<BBTENTRY> bbt;
    std::function<void(const BREF&, uint8_t, int, uint64_t, std::optional<uint64_t>, size_t&)>
        walk = [&](const BREF& ref, uint8_t ptype, int level, uint64_t low,
                   std::optional<uint64_t> high, size_t& pages) {
            std::string where = std::string(PageKind(ptype)) + " at " + Hex(ref.ib);
            if (ref.ib % kPageSize) {
                problem(where + ": not 512-aligned");
                return;
            }
            if (!markUsed(ref.ib, kPageSize, PageKind(ptype))) return;
            readAt(ref.ib, page, kPageSize);
            uint8_t buf[kPageSize];
            std::memcpy(buf, page, kPageSize);
            if (!checkPageTrailer(buf, ref.ib, ptype, ref.bid)) return;
            maxPageBid = std::max(maxPageBid, ref.bid);
            ++pages;
            uint8_t cEnt = buf[488], cEntMax = buf[489], cbEnt = buf[490], cLevel = buf[491];
            if (level >= 0 && cLevel != level) {
                problem(where + ": cLevel " + std::to_string(cLevel) + ", expected " +
                        std::to_string(level));
                return;
            }
            if (cLevel > 8) {
                problem(where + ": more than 8 intermediate levels");
                return;
            }
            size_t wantEnt =
                cLevel ? BTENTRY::kSize : (ptype == ptypeNBT ? NBTENTRY::kSize : BBTENTRY::kSize);
            if (cbEnt != wantEnt || cEntMax != BTPAGE::kEntriesSize / wantEnt) {
                problem(where + ": cbEnt/cEntMax " + std::to_string(cbEnt) + "/" +
                        std::to_string(cEntMax));
                return;
            }
            if (cEnt > cEntMax) {
                problem(where + ": cEnt over cEntMax");
                return;
            }
            if (LoadU32(buf + 492) != 0) problem(where + ": dwPadding not 0");
            std::optional<uint64_t> prev;
            for (size_t i = 0; i < cEnt; ++i) {
                uint64_t key = LoadU64(buf + i * cbEnt);
                if (ptype == ptypeBBT && cLevel == 0) key &= ~uint64_t(1);
                if ((prev && key <= *prev) || key < low || (high && key >= *high)) {
                    problem(where + ": key " + Hex(key) + " out of order or out of range");
                    return;
                }
                if (i == 0 && level >= 0 && key != low)
                    problem(where + ": first key " + Hex(key) + " differs from the parent's " +
                            Hex(low));
                prev = key;
            }
            for (size_t i = 0; i < cEnt; ++i) {
                LeReader r(buf + i * cbEnt);
                if (cLevel > 0) {
                    BTENTRY e = BTENTRY::read(r);
                    std::optional<uint64_t> next =
                        i + 1 < cEnt ? std::optional<uint64_t>(LoadU64(buf + (i + 1) * cbEnt))
                                     : high;
                    walk(e.BREF_, ptype, cLevel - 1, e.btkey, next, pages);
                } else if (ptype == ptypeNBT) {
                    nbt.push_back(NBTENTRY::read(r));
                } else {
                    bbt.push_back(BBTENTRY::read(r));
                }
            }
            if (level < 0) {
                if (ptype == ptypeNBT)
                    rep.nbtLevels = size_t(cLevel) + 1;
                else
                    rep.bbtLevels = size_t(cLevel) + 1;
            }
        };
    walk(h.root.BREFNBT, ptypeNBT, -1, 0, std::nullopt, rep.nbtPages);
    walk(h.root.BREFBBT, ptypeBBT, -1, 0, std::nullopt, rep.bbtPages);
    rep.nodes = nbt.size();
    rep.blocks = bbt.size();
    if (maxPageBid >= h.bidNextP) problem("header: bidNextP not above every page BID");

    // Blocks ([MS-PST] 2.2.2.8).
    std::unordered_map<Bid, size_t> byBid;  // BID -> index in bbt
    std::vector<uint32_t> refs(bbt.size(), 0);
    for (size_t i = 0; i < bbt.size(); ++i) {
        const BBTENTRY& e = bbt[i];
        Bid bid = e.BREF_.bid;
        std::string where = "block " + Hex(bid) + " at " + Hex(e.BREF_.ib);
        byBid[bid & ~Bid(1)] = i;
        if (bid & 1) problem(where + ": reserved bit set");
        if ((bid & ~Bid(3)) >= h.bidNextB) problem(where + ": BID not below bidNextB");
        if (e.cb > kMaxBlockData) {
            problem(where + ": cb over 8176");
            continue;
        }
        if (e.dwPadding) problem(where + ": dwPadding not 0");
        size_t size = BlockAllocSize(e.cb);
        if (!markUsed(e.BREF_.ib, size, "block " + Hex(bid))) continue;
        Bytes buf(size);
        readAt(e.BREF_.ib, buf.data(), size);
        LeReader r(buf.data() + size - BLOCKTRAILER::kSize);
        BLOCKTRAILER t = BLOCKTRAILER::read(r);
        if (t.cb != e.cb) problem(where + ": trailer cb differs from the BBT's");
        if (t.bid != bid) problem(where + ": trailer bid " + Hex(t.bid));
        if (t.wSig != ComputeSig(e.BREF_.ib, bid)) problem(where + ": wrong wSig");
        if (t.dwCRC != ComputeCrc(buf.data(), e.cb)) problem(where + ": wrong dwCRC");
    }

    // References: data trees and subnode trees from every node.
    auto reference = [&](Bid bid, const std::string& from) -> const BBTENTRY* {
        auto it = byBid.find(bid & ~Bid(1));
        if (it == byBid.end()) {
            problem(from + " refers to block " + Hex(bid) + ", which is not in the BBT");
            return nullptr;
        }
        ++refs[it->second];
        return &bbt[it->second];
    };
    auto blockBytes = [&](const BBTENTRY& e) {
        Bytes b(e.cb);
        readAt(e.BREF_.ib, b.data(), e.cb);
        return b;
    };
    // Returns the stream size of the data tree.
    std::function<uint64_t(Bid, const std::string&, int)> dataTree =
        [&](Bid bid, const std::string& from, int maxLevel) -> uint64_t {
        const BBTENTRY* e = reference(bid, from);
        if (!e) return 0;
        if (!(bid & kBidInternal)) return e->cb;
        std::string where = "XBLOCK " + Hex(bid);
        Bytes x = blockBytes(*e);
        if (x.size() < XBLOCK::kSize || x[0] != 0x01) {
            problem(where + ": not an XBLOCK/XXBLOCK (btype)");
            return 0;
        }
        LeReader r(x.data());
        XBLOCK hx = XBLOCK::read(r);
        if (hx.cLevel < 1 || hx.cLevel > maxLevel) {
            problem(where + ": cLevel " + std::to_string(hx.cLevel) + " not allowed here");
            return 0;
        }
        if (hx.cEnt == 0 || hx.cEnt > XBLOCK::kMaxEntries ||
            XBLOCK::kSize + 8 * size_t(hx.cEnt) != x.size()) {
            problem(where + ": cEnt does not match cb");
            return 0;
        }
        if (hx.cLevel == 2) ++rep.xxblocks;
        uint64_t total = 0;
        for (size_t i = 0; i < hx.cEnt; ++i) {
            Bid child = r.u64();
            if (hx.cLevel == 1 && (child & kBidInternal))
                problem(where + ": an XBLOCK entry is not a data block");
            if (hx.cLevel == 2 && !(child & kBidInternal))
                problem(where + ": an XXBLOCK entry is not an XBLOCK");
            total += dataTree(child, where, hx.cLevel - 1);
        }
        if (total != hx.lcbTotal) problem(where + ": lcbTotal differs from its blocks' sizes");
        return total;
    };
    std::function<void(Bid, const std::string&, int, int)> subTree =
        [&](Bid bid, const std::string& from, int level, int depth) {
            const BBTENTRY* e = reference(bid, from);
            if (!e) return;
            std::string where = "subnode block " + Hex(bid);
            if (!(bid & kBidInternal)) {
                problem(where + ": a subnode tree block without the internal bit");
                return;
            }
            Bytes s = blockBytes(*e);
            if (s.size() < SLBLOCK::kSize || s[0] != 0x02) {
                problem(where + ": not an SLBLOCK/SIBLOCK (btype)");
                return;
            }
            LeReader r(s.data());
            SLBLOCK hs = SLBLOCK::read(r);
            if ((level >= 0 && hs.cLevel != level) || hs.cLevel > 1) {
                problem(where + ": cLevel " + std::to_string(hs.cLevel) + " not allowed here");
                return;
            }
            size_t entSize = hs.cLevel == 0 ? SLENTRY::kSize : SIENTRY::kSize;
            size_t max = hs.cLevel == 0 ? SLBLOCK::kMaxSlEntries : SLBLOCK::kMaxSiEntries;
            if (hs.cEnt == 0 || hs.cEnt > max || SLBLOCK::kSize + entSize * hs.cEnt != s.size()) {
                problem(where + ": cEnt does not match cb");
                return;
            }
            if (hs.dwPadding) problem(where + ": dwPadding not 0");
            if (hs.cLevel == 1) ++rep.siblocks;
            uint64_t prev = 0;
            for (size_t i = 0; i < hs.cEnt; ++i) {
                if (hs.cLevel == 0) {
                    SLENTRY se = SLENTRY::read(r);
                    if (se.nid >> 32) problem(where + ": upper half of an SLENTRY nid not 0");
                    if (i && se.nid <= prev) problem(where + ": SLENTRY nids not ascending");
                    prev = se.nid;
                    std::string sub = where + " subnode " + Hex(se.nid);
                    if (se.bidData) dataTree(se.bidData, sub, 2);
                    if (se.bidSub) subTree(se.bidSub, sub, -1, depth + 1);
                } else {
                    SIENTRY si = SIENTRY::read(r);
                    if (i && si.nid <= prev) problem(where + ": SIENTRY nids not ascending");
                    prev = si.nid;
                    subTree(si.bid, where, 0, depth);
                }
            }
        };
    uint32_t maxIndex[32] = {};
    for (const NBTENTRY& n : nbt) {
        std::string where = "node " + Hex(n.nid);
        if (n.nid >> 32 || NidType(uint32_t(n.nid)) == 0) problem(where + ": bad NID");
        if (n.dwPadding) problem(where + ": dwPadding not 0");
        uint32_t t = NidType(uint32_t(n.nid));
        maxIndex[t] = std::max(maxIndex[t], NidIndex(uint32_t(n.nid)));
        if (n.bidData) dataTree(n.bidData, where, 2);
        if (n.bidSub) subTree(n.bidSub, where, -1, 0);
    }
    for (uint32_t t = 0; t < 32; ++t)
        if (maxIndex[t] > h.rgnid[t])
            problem("header: rgnid[" + std::to_string(t) + "] below a NID in use");
    for (size_t i = 0; i < bbt.size(); ++i) {
        if (refs[i] == 0)
            problem("block " + Hex(bbt[i].BREF_.bid) + " is referenced by nothing");
        else if (bbt[i].cRef != refs[i] + 1)
            problem("block " + Hex(bbt[i].BREF_.bid) + ": cRef " + std::to_string(bbt[i].cRef) +
                    ", expected " + std::to_string(refs[i] + 1));
    }

    // Allocation maps against what is really there.
    size_t underReported = 0;
    for (uint64_t r = 0; r < regions; ++r)
        for (size_t i = 0; i < 496; ++i) {
            uint8_t missing = uint8_t(used[r][i] & ~amap[r][i]);
            uint8_t extra = uint8_t(amap[r][i] & ~used[r][i]);
            if (missing && underReported++ < 5)
                problem("AMap " + Hex(RegionIb(r)) + ": slots in use at " +
                        Hex(RegionIb(r) + i * 8 * kSlotSize) + " are marked free");
            rep.leakedSlots += size_t(__builtin_popcount(extra));
        }
    if (options.exactAMap && rep.leakedSlots)
        problem("AMaps mark " + std::to_string(rep.leakedSlots) +
                " slots as used that nothing uses");
}

}  // namespace quill::store::pst::ndb
