#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace palisor {

// A pool of worker threads that runs posted tasks concurrently, in the order
// they were posted. Workers are started on demand up to `maxThreads` and retire
// after `idleTimeout` without work, so an idle bridge holds few threads while
// many blocking tool calls can still run at once.
//
// Destroying the queue never blocks and never drops work: queued tasks still
// run, then the workers exit. Tasks must therefore not rely on the owner of
// the queue still being alive (hold it weakly).
class WorkQueue {
public:
    WorkQueue(std::string label, std::size_t maxThreads,
              std::chrono::milliseconds idleTimeout = std::chrono::seconds(60));
    ~WorkQueue();

    WorkQueue(const WorkQueue&) = delete;
    WorkQueue& operator=(const WorkQueue&) = delete;

    void post(std::function<void()> task);

    const std::string& label() const;
    std::size_t maxThreads() const;
    std::size_t threadCount() const;

    // Blocks until no task is queued or running. For tests and orderly shutdown.
    void waitUntilIdle() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace palisor
