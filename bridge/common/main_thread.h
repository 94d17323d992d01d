#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

namespace palisor {

// Where the application's state lives: every task posted here runs on one
// thread, one at a time, in the order posted (urgent tasks ahead of the
// others, delayed tasks when they are due).
// The window realises it with the toolkit's queued calls; headless programs
// run a MainLoop.
class MainThread {
public:
    virtual ~MainThread() = default;
    virtual void post(std::function<void()> task) = 0;
    virtual void postAfter(std::chrono::milliseconds delay, std::function<void()> task) = 0;
    // A task that must neither be lost nor wait behind a backlog: shutdown,
    // and hand-offs whose producer keeps at most a few of them pending (see
    // CoalescingPoster). It runs before the ordinary tasks still waiting.
    // Default: an ordinary post, for a main thread that never refuses one.
    virtual void postUrgent(std::function<void()> task) { post(std::move(task)); }
};

// A main thread of our own: run() executes posted tasks on the calling thread
// until quit(). Safe to post from any thread, also before run() and after quit()
// (such tasks are dropped when the loop has ended).
//
// The queue is bounded. Other threads can post faster than the loop runs
// tasks (a child printing at full speed, a flood of requests), and an
// unbounded queue then grows until the kernel ends the process, with a
// shutdown request stuck at its back. So, once `maxQueuedTasks` ordinary
// tasks (immediate and delayed together) wait, a post from another thread is
// refused: the task is dropped and counted. Blocking the poster instead could
// deadlock, since the loop itself waits for some posters (a child's reader
// threads, when the child is stopped). Never refused:
//   - posts from the loop's own thread: a task's follow-ups and timers are
//     the program's own flow, not input, and refusing them would silently
//     end a repeating timer;
//   - postUrgent: shutdown must run even then, and run first.
// Producers that can outrun the loop coalesce before they post (the
// validation executors' statuses do), so reaching the bound means a runaway
// producer, and losing its newest tasks is the lesser harm.
class MainLoop : public MainThread {
public:
    static constexpr std::size_t kDefaultMaxQueuedTasks = 10000;

    explicit MainLoop(std::size_t maxQueuedTasks = kDefaultMaxQueuedTasks) : maxQueued_(maxQueuedTasks) {}

    void post(std::function<void()> task) override;
    void postAfter(std::chrono::milliseconds delay, std::function<void()> task) override;
    void postUrgent(std::function<void()> task) override;

    // Returns once quit() was called and the task that called it has finished.
    void run();
    void quit();

    // How many posts the bound has refused so far.
    std::size_t droppedTasks() const;

private:
    using Clock = std::chrono::steady_clock;

    // Whether an ordinary post may be queued now; counts a refusal.
    bool admitLocked();

    const std::size_t maxQueued_;
    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> urgent_;
    std::deque<std::function<void()>> ready_;
    // Due time and a sequence number, so tasks due at the same time keep their order.
    std::map<std::pair<Clock::time_point, unsigned long long>, std::function<void()>> delayed_;
    unsigned long long sequence_ = 0;
    std::optional<std::thread::id> loopThread_;
    std::size_t dropped_ = 0;
    bool quit_ = false;
};

}  // namespace palisor
