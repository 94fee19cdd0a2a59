#include "convert/ordered_workers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace quill {
namespace {

using namespace std::chrono_literals;

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

TEST(OrderedWorkers, PendingSizeIsBoundedButAJobOverTheBoundRunsAlone) {
    OrderedWorkers<int> workers(2, 100);
    EXPECT_TRUE(workers.hasRoomFor(5000));  // nothing queued: even an oversized job goes
    std::atomic<bool> release{false};
    auto blocked = [&](const std::atomic<bool>&) {
        while (!release) std::this_thread::sleep_for(1ms);
        return 0;
    };
    workers.submit(60, blocked);
    EXPECT_TRUE(workers.hasRoomFor(40));
    EXPECT_FALSE(workers.hasRoomFor(41));
    workers.submit(40, blocked);
    EXPECT_FALSE(workers.hasRoomFor(1));
    release = true;
    EXPECT_TRUE(workers.takeNext([] { return true; }));
    EXPECT_TRUE(workers.hasRoomFor(60));
    EXPECT_TRUE(workers.takeNext([] { return true; }));
    EXPECT_TRUE(workers.hasRoomFor(5000));
}

TEST(OrderedWorkers, StopReportsWhatRanAndStopsWaitingAndRunningJobs) {
    OrderedWorkers<int> workers(1, 1000);
    std::atomic<bool> started{false};
    workers.submit(1, [](const std::atomic<bool>&) { return 7; });
    // A long job that gives up when its results are no longer wanted.
    workers.submit(1, [&](const std::atomic<bool>& stop) {
        started = true;
        while (!stop) std::this_thread::sleep_for(1ms);
        return -1;
    });
    workers.submit(1, [](const std::atomic<bool>&) { return 9; });  // never runs: one thread
    while (!started) std::this_thread::sleep_for(1ms);

    // A wait that the caller gives up (the user closing the window) ends with nothing.
    int waits = 0;
    EXPECT_EQ(workers.takeNext([&] { return false; }), std::optional<int>(7));
    EXPECT_FALSE(workers.takeNext([&] { return ++waits < 3; }));
    EXPECT_EQ(waits, 3);

    std::vector<std::optional<int>> rest = workers.stop();
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(rest[0], std::optional<int>(-1));
    EXPECT_EQ(rest[1], std::nullopt);
    EXPECT_TRUE(workers.stop().empty());
}

}  // namespace
}  // namespace quill
