// The streaming separator search against the byte-by-byte rule, for any file and any way of
// cutting it into blocks (including runs of zeros handed over as holes).
//
// Input: one byte choosing the search text, eight bytes seeding the block sizes, the file.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "reader/separator_scan.h"

namespace {

const char* const kSearchTexts[] = {"From ", "F", "aa", "\n", "\r\n", "From: \n"};

uint64_t Next(uint64_t& state) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return state >> 33;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9) return 0;
    const std::string text = kSearchTexts[data[0] % (sizeof kSearchTexts / sizeof *kSearchTexts)];
    uint64_t state;
    std::memcpy(&state, data + 1, 8);
    const std::string file(reinterpret_cast<const char*>(data + 9), size - 9);
    const std::vector<uint64_t> expected = quill::FindSeparatorsSimple(file, text);

    for (int variant = 0; variant < 3; ++variant) {
        quill::SeparatorScanner scanner(text);
        std::vector<uint64_t> found;
        size_t pos = 0;
        while (pos < file.size()) {
            if (variant == 2 && file[pos] == '\0') {
                size_t run = 0;
                while (pos + run < file.size() && file[pos + run] == '\0') ++run;
                scanner.feedZeros(run, found);
                pos += run;
                continue;
            }
            size_t n = variant == 0 ? 1 : 1 + Next(state) % 64;
            n = std::min(n, file.size() - pos);
            scanner.feed(file.data() + pos, n, found);
            pos += n;
        }
        if (found != expected || scanner.bytesSeen() != file.size()) std::abort();
    }
    return 0;
}
