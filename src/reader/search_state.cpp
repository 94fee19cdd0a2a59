#include "reader/search_state.h"

#include <charconv>

namespace quill {

std::optional<std::vector<uint64_t>> SplitFoundPositions(std::string_view text) {
    std::vector<uint64_t> positions;
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
        uint64_t value = 0;
        auto [next, ec] = std::from_chars(p, end, value);
        if (ec != std::errc() || next == end || *next != '|') return std::nullopt;
        positions.push_back(value);
        p = next + 1;
    }
    return positions;
}

}  // namespace quill
