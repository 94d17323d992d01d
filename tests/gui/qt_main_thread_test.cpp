#include "bridge/app/gui/qt_main_thread.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>
#include <QThread>
#include <atomic>
#include <thread>
#include <vector>

namespace palisor::gui {
namespace {

using namespace std::chrono_literals;

TEST(QtMainThread, RunsTasksFromOtherThreadsOnTheGuiThreadInOrder) {
    QtMainThread mainThread;
    std::vector<int> order;
    bool allOnGuiThread = true;
    std::atomic<bool> delayedRan = false;
    std::chrono::steady_clock::time_point delayedAt;
    const auto postedAt = std::chrono::steady_clock::now();

    // A thread without a Qt event loop, like the bridge's background queues.
    std::thread poster([&] {
        mainThread.postAfter(80ms, [&] {
            delayedAt = std::chrono::steady_clock::now();
            delayedRan = true;
        });
        for (int i = 0; i < 200; ++i) {
            mainThread.post([&, i] {
                order.push_back(i);
                allOnGuiThread = allOnGuiThread && QThread::currentThread() == QCoreApplication::instance()->thread();
            });
        }
    });
    poster.join();

    ASSERT_TRUE(QTest::qWaitFor([&] { return order.size() == 200 && delayedRan; }, 5000));
    for (int i = 0; i < 200; ++i) ASSERT_EQ(order[i], i);
    EXPECT_TRUE(allOnGuiThread);
    EXPECT_GE(delayedAt - postedAt, 80ms);
}

}  // namespace
}  // namespace palisor::gui
