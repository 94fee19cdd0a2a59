#include "convert/message_text.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quill {

const char* FindLineEnd(const char* p, const char* end) {
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    while (end - p >= 16) {
        __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        int mask =
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(block, cr), _mm_cmpeq_epi8(block, lf)));
        if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
#endif
    while (p < end && *p != '\r' && *p != '\n') ++p;
    return p;
}

void MessageText::feed(const char* data, size_t n, std::string& out) {
    const char* p = data;
    const char* end = data + n;
    if (atStart_) {
        while (p < end && *p == ' ') ++p;
        textLength_ += static_cast<uint64_t>(p - data);
        if (p < end) atStart_ = false;
        if (p > data) lineOpen_ = true;
    }
    while (p < end) {
        const char* stop = FindLineEnd(p, end);
        if (stop > p) {
            out.append(p, static_cast<size_t>(stop - p));
            textLength_ += static_cast<uint64_t>(stop - p);
            lineOpen_ = true;
            afterCr_ = false;
        }
        if (stop == end) break;
        // The LF of a CR LF pair, perhaps in the block after its CR, is already written.
        if (!(*stop == '\n' && afterCr_)) {
            out.append("\r\n", 2);
            textLength_ += 2;
        }
        afterCr_ = *stop == '\r';
        lineOpen_ = false;
        p = stop + 1;
    }
}

void MessageText::finish(std::string& out) {
    if (lineOpen_) {
        out.append("\r\n", 2);
        textLength_ += 2;
        lineOpen_ = false;
    }
    // The text always ends in CR LF (or is empty), so there are no blanks to drop at its end.
    out.append("\r\n", 2);
}

std::string MessageFileText(const std::string& messageBytes) {
    // Line by line, as the lines are read: up to CR LF, a lone CR or a lone LF.
    std::string text;
    size_t i = 0;
    const size_t n = messageBytes.size();
    while (i < n) {
        size_t j = i;
        while (j < n && messageBytes[j] != '\r' && messageBytes[j] != '\n') ++j;
        text.append(messageBytes, i, j - i);
        text += "\r\n";
        if (j < n && messageBytes[j] == '\r' && j + 1 < n && messageBytes[j + 1] == '\n') ++j;
        i = j + 1;
    }
    size_t first = text.find_first_not_of(' ');
    size_t last = text.find_last_not_of(' ');
    text = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
    return text + "\r\n";
}

}  // namespace quill
