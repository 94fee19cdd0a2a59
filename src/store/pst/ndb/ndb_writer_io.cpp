#include "store/pst/ndb/ndb_writer_impl.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "shell/file_io.h"

namespace quill::store::pst::ndb {

namespace {

constexpr size_t kWriteBufferSize = 1 << 20;
constexpr uint64_t kWritebackChunk = uint64_t(16) << 20;
// While a commit waits for the disk, the front end gets a turn after each piece of this size.
constexpr uint64_t kSyncPiece = uint64_t(2) << 20;

bool IsNoSpace(int e) {
    return e == ENOSPC || e == EDQUOT;
}

}  // namespace

// ---- errors ----

void NdbWriter::Impl::fail(const std::string& what, uint64_t offset, int e) {
    abandon();
    throw NdbError(IsNoSpace(e) ? NdbErrorKind::NoSpace : NdbErrorKind::Io, what, path, offset, e);
}

void NdbWriter::Impl::invalid(const std::string& what) {
    throw NdbError(NdbErrorKind::InvalidArgument, what, path);
}

// After a failure, or when the writer goes away without close(): what lies past the
// last committed end of file was never committed; cut it off (on a full disk this gives
// the space back). Not once the new header may be on disk.
// AMaps a failed commit had already rewritten get their committed bits back, so that the
// maps and the header's cbAMapFree agree again.
void NdbWriter::Impl::abandon() {
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

void NdbWriter::Impl::checkUsable() {
    if (closed) throw NdbError(NdbErrorKind::Closed, "The store is already closed", path);
    if (broken)
        throw NdbError(NdbErrorKind::Closed, "The store cannot be written after an earlier failure",
                       path);
}

// ---- file I/O ----

// A write that failed before any byte of it reached the file leaves the header of the
// last commit in place, even when it was the new header's write.
void NdbWriter::Impl::writeFailed(const char* what, Ib ib, int e, bool nothingWritten) {
    if (nothingWritten && ib == 0) headerInFlight = false;
    fail(std::string("Cannot write ") + what, ib, e);
}

void NdbWriter::Impl::pwriteAll(Ib ib, const uint8_t* data, size_t size, const char* what) {
    if (options.testFailAtWrite && ++writeCalls >= options.testFailAtWrite)
        writeFailed(what, ib, ENOSPC, true);
    IoResult r = PwriteAll(fd, data, size, ib);
    if (r.error) writeFailed(what, ib + r.done, r.error, r.done == 0);
}

void NdbWriter::Impl::flush() {
    if (wbuf.empty()) return;
    pwriteAll(wbufIb, wbuf.data(), wbuf.size(), "data blocks");
    startWriteback(wbufIb, wbuf.size());
    wbuf.clear();
}

// The disk starts on the blocks while more are written, so that the fsync of a commit after
// a gigabyte of messages finds little left to do instead of stalling the run (and the
// window) for the whole of it. Only a hint: errors show at the fsync.
void NdbWriter::Impl::startWriteback(Ib ib, size_t size) {
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

void NdbWriter::Impl::queueWrite(Ib ib, const uint8_t* data, size_t size) {
    if (!wbuf.empty() && (ib != wbufIb + wbuf.size() || wbuf.size() + size > kWriteBufferSize))
        flush();
    if (wbuf.empty()) wbufIb = ib;
    wbuf.insert(wbuf.end(), data, data + size);
}

void NdbWriter::Impl::readAt(Ib ib, uint8_t* out, size_t size) {
    flush();
    IoResult r = PreadAll(fd, out, size, ib);
    if (r.error) fail("Cannot read back a block", ib + r.done, r.error);
    if (r.done < size) {
        broken = true;
        throw NdbError(NdbErrorKind::Corrupt, "Block lies past the end of the file", path,
                       ib + r.done);
    }
}

void NdbWriter::Impl::sync() {
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

}  // namespace quill::store::pst::ndb
