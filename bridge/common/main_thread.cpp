#include "bridge/common/main_thread.h"

namespace palisor {

void MainLoop::post(std::function<void()> task) {
    {
        std::lock_guard guard(lock_);
        if (quit_) return;
        ready_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void MainLoop::postAfter(std::chrono::milliseconds delay, std::function<void()> task) {
    {
        std::lock_guard guard(lock_);
        if (quit_) return;
        delayed_.emplace(std::make_pair(Clock::now() + delay, sequence_++), std::move(task));
    }
    wake_.notify_one();
}

void MainLoop::quit() {
    {
        std::lock_guard guard(lock_);
        quit_ = true;
        ready_.clear();
        delayed_.clear();
    }
    wake_.notify_one();
}

void MainLoop::run() {
    std::unique_lock guard(lock_);
    while (!quit_) {
        // Move every delayed task that is due behind the ready ones.
        auto now = Clock::now();
        while (!delayed_.empty() && delayed_.begin()->first.first <= now) {
            ready_.push_back(std::move(delayed_.begin()->second));
            delayed_.erase(delayed_.begin());
        }
        if (ready_.empty()) {
            if (delayed_.empty())
                wake_.wait(guard);
            else
                wake_.wait_until(guard, delayed_.begin()->first.first);
            continue;
        }
        std::function<void()> task = std::move(ready_.front());
        ready_.pop_front();
        guard.unlock();
        task();
        // The task's captures are released outside the lock: they may post.
        task = nullptr;
        guard.lock();
    }
}

}  // namespace palisor
