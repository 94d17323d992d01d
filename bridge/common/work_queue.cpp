#include "bridge/common/work_queue.h"

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace palisor {

struct WorkQueue::State {
    std::string label;
    std::size_t maxThreads;
    std::chrono::milliseconds idleTimeout;

    mutable std::mutex mutex;
    std::condition_variable wake;
    mutable std::condition_variable idle;
    std::deque<std::function<void()>> tasks;
    std::size_t threads = 0;
    std::size_t waiting = 0;
    std::size_t running = 0;
    bool closing = false;
};

namespace {

void workerLoop(std::shared_ptr<WorkQueue::State> state) {
    // Thread names are limited to 15 bytes.
    pthread_setname_np(pthread_self(), state->label.substr(0, 15).c_str());
    std::unique_lock lock(state->mutex);
    while (true) {
        if (state->tasks.empty()) {
            if (state->closing) break;
            ++state->waiting;
            bool woke = state->wake.wait_for(lock, state->idleTimeout,
                                             [&] { return !state->tasks.empty() || state->closing; });
            --state->waiting;
            if (!woke) break;  // idle long enough: retire
            continue;
        }
        std::function<void()> task = std::move(state->tasks.front());
        state->tasks.pop_front();
        ++state->running;
        lock.unlock();
        try {
            task();
        } catch (...) {
            // A task's failure is its own business; the worker survives it.
        }
        task = nullptr;  // release captures before taking the lock again
        lock.lock();
        --state->running;
        if (state->running == 0 && state->tasks.empty()) state->idle.notify_all();
    }
    --state->threads;
    if (state->running == 0 && state->tasks.empty()) state->idle.notify_all();
}

}  // namespace

WorkQueue::WorkQueue(std::string label, std::size_t maxThreads, std::chrono::milliseconds idleTimeout)
    : state_(std::make_shared<State>()) {
    state_->label = std::move(label);
    state_->maxThreads = maxThreads == 0 ? 1 : maxThreads;
    state_->idleTimeout = idleTimeout;
}

WorkQueue::~WorkQueue() {
    std::lock_guard lock(state_->mutex);
    state_->closing = true;
    state_->wake.notify_all();
}

void WorkQueue::post(std::function<void()> task) {
    bool spawn = false;
    {
        std::lock_guard lock(state_->mutex);
        state_->tasks.push_back(std::move(task));
        // Start a worker when every existing one is busy with an earlier task.
        if (state_->waiting < state_->tasks.size() && state_->threads < state_->maxThreads) {
            ++state_->threads;
            spawn = true;
        }
    }
    if (spawn) {
        try {
            std::thread(workerLoop, state_).detach();
        } catch (const std::system_error&) {
            std::deque<std::function<void()>> orphaned;
            {
                std::lock_guard lock(state_->mutex);
                --state_->threads;
                // With no worker at all the queued tasks would wait for ever:
                // run them on the caller's thread instead of losing them.
                if (state_->threads == 0) orphaned.swap(state_->tasks);
            }
            for (auto& pending : orphaned) {
                try {
                    pending();
                } catch (...) {
                }
            }
            return;
        }
    }
    state_->wake.notify_one();
}

const std::string& WorkQueue::label() const { return state_->label; }
std::size_t WorkQueue::maxThreads() const { return state_->maxThreads; }

std::size_t WorkQueue::threadCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->threads;
}

void WorkQueue::waitUntilIdle() const {
    std::unique_lock lock(state_->mutex);
    state_->idle.wait(lock, [&] { return state_->running == 0 && state_->tasks.empty(); });
}

}  // namespace palisor
