#include <gtest/gtest.h>

#include <thread>

#include "bridge/common/main_thread.h"

namespace palisor {
namespace {

TEST(MainLoop, RunsPostedAndDueTasksInOrderOnItsThreadUntilQuit) {
    MainLoop loop;
    std::vector<std::string> ran;
    std::thread::id loopThread;
    // Posted before run(), from another thread, and from inside tasks.
    loop.postAfter(std::chrono::milliseconds(30), [&] { ran.push_back("late"); });
    loop.postAfter(std::chrono::milliseconds(10), [&] { ran.push_back("early"); });
    loop.post([&] {
        loopThread = std::this_thread::get_id();
        ran.push_back("first");
        loop.post([&] { ran.push_back("nested"); });
    });
    std::thread other([&] { loop.post([&] { ran.push_back("other"); }); });
    other.join();
    loop.postAfter(std::chrono::milliseconds(40), [&] {
        ran.push_back("quit");
        loop.quit();
        loop.post([&] { ran.push_back("after quit"); });
    });
    loop.postAfter(std::chrono::hours(1), [&] { ran.push_back("never"); });
    loop.run();
    EXPECT_EQ(loopThread, std::this_thread::get_id());
    EXPECT_EQ(ran, (std::vector<std::string>{"first", "other", "nested", "early", "late", "quit"}));
}

}  // namespace
}  // namespace palisor
