#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <deque>

namespace palisor {

// Where the application's state lives: every task posted here runs on one
// thread, one at a time, in the order posted (delayed tasks when they are due).
// The window realises it with the toolkit's queued calls; headless programs
// run a MainLoop.
class MainThread {
public:
    virtual ~MainThread() = default;
    virtual void post(std::function<void()> task) = 0;
    virtual void postAfter(std::chrono::milliseconds delay, std::function<void()> task) = 0;
};

// A main thread of our own: run() executes posted tasks on the calling thread
// until quit(). Safe to post from any thread, also before run() and after quit()
// (such tasks are dropped when the loop has ended).
class MainLoop : public MainThread {
public:
    void post(std::function<void()> task) override;
    void postAfter(std::chrono::milliseconds delay, std::function<void()> task) override;

    // Returns once quit() was called and the task that called it has finished.
    void run();
    void quit();

private:
    using Clock = std::chrono::steady_clock;

    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> ready_;
    // Due time and a sequence number, so tasks due at the same time keep their order.
    std::map<std::pair<Clock::time_point, unsigned long long>, std::function<void()>> delayed_;
    unsigned long long sequence_ = 0;
    bool quit_ = false;
};

}  // namespace palisor
