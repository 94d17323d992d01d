#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "bridge/common/coalescing_poster.h"
#include "bridge/common/main_thread.h"

namespace palisor {
namespace {

using namespace std::chrono_literals;

TEST(MainLoop, RunsPostedAndDueTasksInOrderOnItsThreadUntilQuit) {
    MainLoop loop;
    std::vector<std::string> ran;
    std::thread::id loopThread;
    // Posted before run(), from another thread, and from inside tasks; the
    // delays leave a slow start (a sanitizer's) time to run the first tasks.
    loop.postAfter(300ms, [&] { ran.push_back("late"); });
    loop.postAfter(200ms, [&] { ran.push_back("early"); });
    loop.post([&] {
        loopThread = std::this_thread::get_id();
        ran.push_back("first");
        loop.post([&] { ran.push_back("nested"); });
    });
    std::thread other([&] { loop.post([&] { ran.push_back("other"); }); });
    other.join();
    loop.postAfter(400ms, [&] {
        ran.push_back("quit");
        loop.quit();
        loop.post([&] { ran.push_back("after quit"); });
    });
    loop.postAfter(std::chrono::hours(1), [&] { ran.push_back("never"); });
    loop.run();
    EXPECT_EQ(loopThread, std::this_thread::get_id());
    EXPECT_EQ(ran, (std::vector<std::string>{"first", "other", "nested", "early", "late", "quit"}));
}

TEST(MainLoop, PastItsBoundRefusesOtherThreadsButNeitherUrgentTasksNorItsOwn) {
    MainLoop loop(3);
    std::vector<std::string> ran;
    auto record = [&ran](std::string name) { return [&ran, name] { ran.push_back(name); }; };
    for (int i = 0; i < 4; ++i) loop.post(record("task " + std::to_string(i)));
    loop.postAfter(0ms, record("timer"));
    // Urgent tasks jump the backlog, and the loop's own posts pass the bound.
    loop.postUrgent([&] {
        ran.push_back("urgent");
        for (int i = 0; i < 4; ++i) loop.post(record("own " + std::to_string(i)));
        loop.postAfter(1ms, [&] {
            ran.push_back("own timer");
            loop.quit();
        });
    });
    loop.run();
    EXPECT_EQ(ran, (std::vector<std::string>{"urgent", "task 0", "task 1", "task 2", "own 0", "own 1", "own 2",
                                             "own 3", "own timer"}));
    EXPECT_EQ(loop.droppedTasks(), 2u);
}

// Queues what is posted until the test runs it.
class QueuedMainThread : public MainThread {
public:
    void post(std::function<void()> task) override { tasks.push_back(std::move(task)); }
    void postAfter(std::chrono::milliseconds, std::function<void()> task) override { post(std::move(task)); }
    void runAll() {
        for (auto pending = std::move(tasks); auto& task : pending) task();
    }
    std::vector<std::function<void()>> tasks;
};

TEST(CoalescingPoster, OneTaskAndTheLatestValuePerKey) {
    auto main = std::make_shared<QueuedMainThread>();
    std::vector<std::pair<std::string, int>> delivered;
    auto poster = CoalescingPoster<int>::create(
        main, [&](const std::string& key, int value) { delivered.emplace_back(key, value); });
    for (int i = 1; i <= 1000; ++i) poster->offer("a", i);
    poster->offer("b", 7);
    EXPECT_EQ(main->tasks.size(), 2u);
    main->runAll();
    EXPECT_EQ(delivered, (std::vector<std::pair<std::string, int>>{{"a", 1000}, {"b", 7}}));
    // Once delivered, the next value posts anew.
    poster->offer("a", 1001);
    main->runAll();
    EXPECT_EQ(delivered.back(), (std::pair<std::string, int>{"a", 1001}));
}

TEST(CoalescingPoster, ProducersOnOtherThreadsEndOnTheirLastValues) {
    auto loop = std::make_shared<MainLoop>();
    std::map<std::string, int> last;
    bool backwards = false;
    auto poster = CoalescingPoster<int>::create(loop, [&](const std::string& key, int value) {
        backwards = backwards || value <= last[key];
        last[key] = value;
    });
    std::thread producers([&] {
        std::vector<std::thread> threads;
        for (std::string key : {"a", "b", "c"})
            threads.emplace_back([&poster, key] {
                for (int i = 1; i <= 20000; ++i) poster->offer(key, i);
            });
        for (auto& thread : threads) thread.join();
        // Behind every delivery: they are urgent.
        loop->post([&] { loop->quit(); });
    });
    loop->run();
    producers.join();
    EXPECT_FALSE(backwards);
    EXPECT_EQ(last, (std::map<std::string, int>{{"a", 20000}, {"b", 20000}, {"c", 20000}}));
}

}  // namespace
}  // namespace palisor
