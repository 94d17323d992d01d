#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace palisor {

// Runs `work` on a thread of its own and waits for it until `limit`; nullopt
// when it did not finish in time. A call that overruns finishes later on its
// own (it owns everything it touches) and its answer is dropped.
template <typename T>
std::optional<T> withinLimit(std::chrono::milliseconds limit, std::function<T()> work) {
    struct Shared {
        std::mutex lock;
        std::condition_variable finished;
        std::optional<T> value;
        bool done = false;
    };
    auto shared = std::make_shared<Shared>();
    std::thread([shared, work = std::move(work)] {
        std::optional<T> value;
        try {
            value = work();
        } catch (...) {
            // Reported like a call that never answered.
        }
        std::lock_guard guard(shared->lock);
        shared->value = std::move(value);
        shared->done = true;
        shared->finished.notify_all();
    }).detach();
    std::unique_lock guard(shared->lock);
    shared->finished.wait_for(guard, limit, [&] { return shared->done; });
    return shared->done ? std::move(shared->value) : std::nullopt;
}

}  // namespace palisor
