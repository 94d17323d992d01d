#include "bridge/common/main_thread.h"

namespace palisor {

bool MainLoop::admitLocked() {
    if (quit_) return false;
    if (loopThread_ == std::this_thread::get_id()) return true;
    if (ready_.size() + delayed_.size() < maxQueued_) return true;
    ++dropped_;
    return false;
}

void MainLoop::post(std::function<void()> task) {
    {
        std::lock_guard guard(lock_);
        if (!admitLocked()) return;
        ready_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void MainLoop::postAfter(std::chrono::milliseconds delay, std::function<void()> task) {
    {
        std::lock_guard guard(lock_);
        if (!admitLocked()) return;
        delayed_.emplace(std::make_pair(Clock::now() + delay, sequence_++), std::move(task));
    }
    wake_.notify_one();
}

void MainLoop::postUrgent(std::function<void()> task) {
    {
        std::lock_guard guard(lock_);
        if (quit_) return;
        urgent_.push_back(std::move(task));
    }
    wake_.notify_one();
}

std::size_t MainLoop::droppedTasks() const {
    std::lock_guard guard(lock_);
    return dropped_;
}

void MainLoop::quit() {
    std::deque<std::function<void()>> urgent, ready;
    std::map<std::pair<Clock::time_point, unsigned long long>, std::function<void()>> delayed;
    {
        std::lock_guard guard(lock_);
        quit_ = true;
        urgent.swap(urgent_);
        ready.swap(ready_);
        delayed.swap(delayed_);
    }
    wake_.notify_one();
    // The dropped tasks' captures are released outside the lock: they may post.
}

void MainLoop::run() {
    std::unique_lock guard(lock_);
    loopThread_ = std::this_thread::get_id();
    while (!quit_) {
        // Move every delayed task that is due behind the ready ones.
        auto now = Clock::now();
        while (!delayed_.empty() && delayed_.begin()->first.first <= now) {
            ready_.push_back(std::move(delayed_.begin()->second));
            delayed_.erase(delayed_.begin());
        }
        std::deque<std::function<void()>>& source = !urgent_.empty() ? urgent_ : ready_;
        if (source.empty()) {
            if (delayed_.empty())
                wake_.wait(guard);
            else
                wake_.wait_until(guard, delayed_.begin()->first.first);
            continue;
        }
        std::function<void()> task = std::move(source.front());
        source.pop_front();
        guard.unlock();
        task();
        // The task's captures are released outside the lock: they may post.
        task = nullptr;
        guard.lock();
    }
    loopThread_.reset();
}

}  // namespace palisor
