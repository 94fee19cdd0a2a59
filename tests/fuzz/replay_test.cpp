// Replays inputs through a fuzz target's own checks in the ordinary test builds: the seed
// corpus committed in fuzz/corpus/<target>/ and every input that once made the target fail,
// kept in tests/data/fuzz/<target>/ once the fault is mended. A failed check aborts, which
// fails the test; the sanitizer build catches memory faults on the same inputs.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "../support/files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

TEST(FuzzReplay, EverySeedAndEveryFormerFailure) {
    size_t replayed = 0;
    for (const std::string dir : {QUILL_REPLAY_SEEDS, QUILL_REPLAY_FAILURES}) {
        if (!fs::is_directory(dir)) continue;
        for (const auto& input : fs::directory_iterator(dir)) {
            if (!input.is_regular_file()) continue;
            const std::string bytes = quill::testing::ReadFile(input.path());
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
            ++replayed;
        }
    }
    EXPECT_GT(replayed, 0u) << "no input found in " << QUILL_REPLAY_SEEDS;
}
