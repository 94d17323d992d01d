#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "bridge/common/work_queue.h"

namespace palisor {
namespace {

// Many tasks that each block until all of them are running at once: this only
// finishes when the pool really runs that many side by side.
TEST(WorkQueue, RunsManyBlockingTasksAtTheSameTime) {
    constexpr int kTasks = 64;
    WorkQueue queue("test-queue", 128);
    std::mutex mutex;
    std::condition_variable allIn;
    int inside = 0;
    std::atomic<int> finished{0};
    for (int i = 0; i < kTasks; ++i) {
        queue.post([&] {
            std::unique_lock lock(mutex);
            ++inside;
            allIn.notify_all();
            if (allIn.wait_for(lock, std::chrono::seconds(20), [&] { return inside == kTasks; })) ++finished;
        });
    }
    queue.waitUntilIdle();
    EXPECT_EQ(finished.load(), kTasks);
    EXPECT_LE(queue.threadCount(), 128u);
}

TEST(WorkQueue, CapsThreadsAndStillRunsEverythingInOrderOfPosting) {
    WorkQueue queue("serial", 1);
    std::vector<int> order;
    std::mutex mutex;
    for (int i = 0; i < 100; ++i)
        queue.post([&, i] {
            std::lock_guard lock(mutex);
            order.push_back(i);
        });
    queue.waitUntilIdle();
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
    EXPECT_EQ(queue.threadCount(), 1u);
}

TEST(WorkQueue, SurvivesThrowingTasksAndRetiresIdleWorkers) {
    WorkQueue queue("idle", 4, std::chrono::milliseconds(50));
    std::atomic<int> ran{0};
    queue.post([] { throw std::runtime_error("boom"); });
    queue.post([&] { ++ran; });
    queue.waitUntilIdle();
    EXPECT_EQ(ran.load(), 1);
    for (int i = 0; i < 100 && queue.threadCount() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(queue.threadCount(), 0u);
    queue.post([&] { ++ran; });
    queue.waitUntilIdle();
    EXPECT_EQ(ran.load(), 2);
}

TEST(WorkQueue, DestructionDoesNotDropQueuedTasks) {
    auto counter = std::make_shared<std::atomic<int>>(0);
    auto gate = std::make_shared<std::atomic<bool>>(false);
    {
        WorkQueue queue("drain", 1);
        queue.post([gate] {
            while (!gate->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
        for (int i = 0; i < 10; ++i) queue.post([counter] { ++*counter; });
    }  // returns at once although work is pending
    gate->store(true);
    for (int i = 0; i < 500 && counter->load() < 10; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(counter->load(), 10);
}

}  // namespace
}  // namespace palisor
