#include "store/pst/ndb/ndb_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <unordered_set>

#include "store/pst/ndb/ndb_writer_impl.h"

namespace quill::store::pst::ndb {

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
