#pragma once
// Finding message separators in a mailbox: the pure search, without files, windows or
// clocks, so that the reader, the tests and the fuzzer share it.
//
// A separator is the search text ("From " for mailboxes) where a line starts: at offset 0,
// at offset 3 when the file starts with a UTF-8 byte-order mark, or directly after a LF or
// a CR. The comparison is exact and case-sensitive. Separators never overlap: the search
// goes on after the last byte of one found. A candidate counts only when at least one byte
// of the file follows it, so the last byte of a file never belongs to a separator.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quill {

// A streaming search fed with consecutive blocks of the file, of any sizes. The offsets
// found are the same whatever the blocks are, because a candidate is decided only once the
// byte after it has been seen; at most SearchLen + 1 bytes are held back between blocks.
class SeparatorScanner {
  public:
    // An empty search text finds nothing.
    explicit SeparatorScanner(std::string searchText);

    // Consumes the next n bytes of the file and appends to found the offsets (of the first
    // byte of the search text) of every separator that is now decided, in increasing order.
    void feed(const char* data, size_t n, std::vector<uint64_t>& found);
    // The same as feeding n zero bytes, in constant time for long runs: used for the holes
    // of sparse files, which hold no line end and so no separator.
    void feedZeros(uint64_t n, std::vector<uint64_t>& found);

    uint64_t bytesSeen() const { return seen_; }
    const std::string& searchText() const { return pattern_; }

  private:
    uint64_t decidedBelow(uint64_t seen) const {
        return seen > pattern_.size() ? seen - pattern_.size() : 0;
    }
    bool isLineStart(uint64_t offset, const char* buf, uint64_t base, int prevByte) const;
    // Decides the candidates in [from, to); buf holds the file from offset base on, at least
    // up to to + SearchLen - 1; prevByte is the byte before base (-1 when base is 0).
    void scanRange(const char* buf, size_t bufLen, uint64_t base, int prevByte, uint64_t from,
                   uint64_t to, std::vector<uint64_t>& found);

    std::string pattern_;
    bool patternHasNul_ = false;
    uint64_t seen_ = 0;
    uint64_t nextAllowed_ = 0;    // first offset a new separator may start at
    unsigned char head_[3] = {};  // the first three bytes of the file, for the byte-order mark
    std::string carry_;           // the file from carryStart() up to seen_
    std::string joined_;          // scratch for candidates that straddle two blocks
};

// The same rule for a whole file held in memory, byte by byte: the reference the streaming
// search is checked against in tests and fuzzing. Slow; not for real mailboxes.
std::vector<uint64_t> FindSeparatorsSimple(const std::string& file, const std::string& searchText);

}  // namespace quill
