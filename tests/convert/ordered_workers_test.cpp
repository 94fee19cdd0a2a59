#include "convert/ordered_workers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace quill {
namespace {

TEST(OrderedWorkers, ResultsComeBackInQueueOrderWhateverOrderJobsFinishIn) {
    OrderedWorkers<int> workers(3, 1000);
    // Early jobs take longest, so later ones finish first.
    for (int i = 0; i < 12; ++i) {
        workers.submit(1, [i](const std::atomic<bool>&) {
            std::this_thread::sleep_for(std::chrono::milliseconds((12 - i) % 4 * 3));
            return i;
        });
    }
    std::vector<int> order;
    int waits = 0;
    while (std::optional<int> r = workers.takeNext([&] { return ++waits > 0; }))
        order.push_back(*r);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
    EXPECT_TRUE(workers.empty());
    EXPECT_FALSE(workers.tryTakeNext());
}

}  // namespace
}  // namespace quill
