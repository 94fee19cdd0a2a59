#include "reader/separator_scan.h"

#include <algorithm>
#include <cstring>

namespace quill {

namespace {

bool IsLineEnd(int byte) {
    return byte == '\n' || byte == '\r';
}

bool IsByteOrderMark(const unsigned char* head) {
    return head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF;
}

}  // namespace

SeparatorScanner::SeparatorScanner(std::string searchText)
    : pattern_(std::move(searchText)), patternHasNul_(pattern_.find('\0') != std::string::npos) {}

bool SeparatorScanner::isLineStart(uint64_t offset, const char* buf, uint64_t base,
                                   int prevByte) const {
    if (offset == 0) return true;
    // A byte-order mark is no text of the mailbox: a separator right after it starts the
    // first message, which would otherwise be lost.
    if (offset == 3 && IsByteOrderMark(head_)) return true;
    int before = offset > base ? static_cast<unsigned char>(buf[offset - 1 - base]) : prevByte;
    return IsLineEnd(before);
}

void SeparatorScanner::scanRange(const char* buf, size_t bufLen, uint64_t base, int prevByte,
                                 uint64_t from, uint64_t to, std::vector<uint64_t>& found) {
    const size_t len = pattern_.size();
    // The last candidate, to - 1, needs the bytes up to to - 2 + len.
    const char* end = buf + std::min<uint64_t>(bufLen, to - 1 + len - base);
    uint64_t start = std::max(from, nextAllowed_);
    while (start < to) {
        const char* p = buf + (start - base);
        if (p >= end) break;
        const void* hit = memmem(p, static_cast<size_t>(end - p), pattern_.data(), len);
        if (!hit) break;
        uint64_t offset = base + static_cast<uint64_t>(static_cast<const char*>(hit) - buf);
        if (isLineStart(offset, buf, base, prevByte)) {
            found.push_back(offset);
            nextAllowed_ = offset + len;
            start = offset + len;
        } else {
            start = offset + 1;
        }
    }
}

void SeparatorScanner::feed(const char* data, size_t n, std::vector<uint64_t>& found) {
    if (n == 0) return;
    const uint64_t s0 = seen_;
    const uint64_t s1 = s0 + n;
    for (uint64_t i = s0; i < 3 && i < s1; ++i) head_[i] = static_cast<unsigned char>(data[i - s0]);
    if (pattern_.empty()) {
        seen_ = s1;
        return;
    }
    const uint64_t len = pattern_.size();
    // Candidates below decidedBelow(seen) are decided; carry_ holds the file from one byte
    // before the first undecided candidate (its line-start context) up to seen_.
    const uint64_t d0 = decidedBelow(s0);
    const uint64_t d1 = decidedBelow(s1);
    const uint64_t c0 = d0 > 0 ? d0 - 1 : 0;
    const int lastByte = s0 > 0 ? static_cast<unsigned char>(carry_.back()) : -1;

    if (d1 > d0) {
        if (d0 < s0) {
            // Candidates that start in the carried bytes and end in this block.
            const uint64_t to = std::min(d1, s0);
            const size_t take = static_cast<size_t>(to + len - 1 - s0);
            joined_.assign(carry_);
            joined_.append(data, take);
            // Each of these candidates has its line-start context inside joined_.
            scanRange(joined_.data(), joined_.size(), c0, -1, d0, to, found);
        }
        if (d1 > s0) scanRange(data, n, s0, lastByte, std::max(d0, s0), d1, found);
    }

    const uint64_t c1 = d1 > 0 ? d1 - 1 : 0;
    if (c1 >= s0) {
        carry_.assign(data + (c1 - s0), static_cast<size_t>(s1 - c1));
    } else {
        carry_.erase(0, static_cast<size_t>(c1 - c0));
        carry_.append(data, n);
    }
    seen_ = s1;
}

void SeparatorScanner::feedZeros(uint64_t n, std::vector<uint64_t>& found) {
    static const char kZeros[4096] = {};
    auto feedSlowly = [&](uint64_t count) {
        while (count > 0) {
            size_t step = static_cast<size_t>(std::min<uint64_t>(count, sizeof kZeros));
            feed(kZeros, step, found);
            count -= step;
        }
    };
    const uint64_t edge = pattern_.size() + 1;
    if (patternHasNul_ || n <= 2 * edge + sizeof kZeros) {
        feedSlowly(n);
        return;
    }
    // Zeros decide the candidates before them, then start none of their own (no line end,
    // and the search text does not begin with a zero byte): only the edges need real work.
    feedSlowly(edge);
    seen_ += n - 2 * edge;
    if (!pattern_.empty()) carry_.assign(static_cast<size_t>(edge), '\0');
    feedSlowly(edge);
}

std::vector<uint64_t> FindSeparatorsSimple(const std::string& file, const std::string& searchText) {
    std::vector<uint64_t> found;
    const size_t len = searchText.size();
    if (len == 0) return found;
    const bool bom =
        file.size() >= 3 && IsByteOrderMark(reinterpret_cast<const unsigned char*>(file.data()));
    size_t next = 0;
    for (size_t c = 0; c + len < file.size(); ++c) {
        if (c < next) continue;
        bool lineStart =
            c == 0 || (c == 3 && bom) || IsLineEnd(static_cast<unsigned char>(file[c - 1]));
        if (lineStart && file.compare(c, len, searchText) == 0) {
            found.push_back(c);
            next = c + len;
        }
    }
    return found;
}

}  // namespace quill
