#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace palisor {

// One optional value behind its own lock. A vault call that finishes after its
// caller stopped waiting writes into a box nobody reads any more, so the
// caller and the late call never share anything else.
template <typename T>
class LockedBox {
public:
    void set(T value) {
        std::lock_guard guard(mutex_);
        value_ = std::move(value);
    }

    std::optional<T> get() const {
        std::lock_guard guard(mutex_);
        return value_;
    }

private:
    mutable std::mutex mutex_;
    std::optional<T> value_;
};

// A one-shot signal with a timed wait: the work item signals when it is done,
// whatever it produced; the caller waits until a deadline.
class CompletionSignal {
public:
    void signal() {
        {
            std::lock_guard guard(mutex_);
            done_ = true;
        }
        changed_.notify_all();
    }

    bool waitUntil(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock guard(mutex_);
        return changed_.wait_until(guard, deadline, [this] { return done_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool done_ = false;
};

}  // namespace palisor
