#include "store/mime/base64.h"

#include <modp_b64.h>

#include <cstring>

namespace quill::store::mime {

bool Base64LineDecoder::feed(const char* data, size_t n) {
    const char* p = data;
    const char* const end = data + n;
    while (p < end) {
        const char* lineEnd = static_cast<const char*>(std::memchr(p, '\n', end - p));
        const char* stop = lineEnd != nullptr ? lineEnd : end;
        symbols_.insert(symbols_.end(), p, stop);
        // A CR before the LF, also when the piece before ended between the two.
        if (lineEnd != nullptr && !symbols_.empty() && symbols_.back() == '\r') symbols_.pop_back();
        p = lineEnd != nullptr ? lineEnd + 1 : end;
    }
    // A CR at the end may still turn out to end its line; padding at the end of a quartet is
    // decoded as such only at the very end, where it belongs.
    size_t ready = symbols_.size();
    if (ready > 0 && symbols_[ready - 1] == '\r') --ready;
    ready -= ready % 4;
    if (ready > 0 && symbols_[ready - 1] == '=') ready -= 4;
    return decode(ready);
}

bool Base64LineDecoder::finish() {
    // Some encoders leave the last quartet without its padding; its two or three symbols
    // still hold one or two bytes. A single symbol holds none.
    const size_t cut = symbols_.size() % 4;
    if (cut == 1) {
        if (symbols_.back() == '=') return false;
        symbols_.pop_back();
        droppedLoneSymbol_ = true;
    } else if (cut != 0) {
        symbols_.insert(symbols_.end(), 4 - cut, '=');
    }
    return decode(symbols_.size());
}

bool Base64LineDecoder::decode(size_t count) {
    if (count == 0) return true;
    const size_t used = out_.size();
    out_.resize(used + modp_b64_decode_len(count));
    const size_t made =
        modp_b64_decode(reinterpret_cast<char*>(out_.data() + used), symbols_.data(), count);
    if (made == static_cast<size_t>(-1)) return false;
    out_.resize(used + made);
    symbols_.erase(symbols_.begin(), symbols_.begin() + static_cast<ptrdiff_t>(count));
    return true;
}

}  // namespace quill::store::mime
