#include "reader/search_state.h"

#include <gtest/gtest.h>

using namespace quill;

TEST(SplitFoundPositions, ReadsTheReadersList) {
    using V = std::vector<uint64_t>;
    EXPECT_EQ(SplitFoundPositions(""), V{});
    EXPECT_EQ(SplitFoundPositions("0|2047|5120|"), (V{0, 2047, 5120}));
    EXPECT_EQ(SplitFoundPositions("8589934592|"), (V{8589934592ull}));  // beyond 32 bits
    for (const char* bad : {"0|2047", "|", "1||", "-1|", "a|", "1 |", "99999999999999999999|"})
        EXPECT_FALSE(SplitFoundPositions(bad).has_value()) << bad;
}
