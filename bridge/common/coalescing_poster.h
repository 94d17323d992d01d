#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "bridge/common/main_thread.h"

namespace palisor {

// Hands values from any thread to the main thread, keeping only the latest
// value per key: a producer that outruns the main thread (a child printing
// status lines at full speed) then costs one waiting value and at most one
// posted task per key, however fast it goes. The value the consumer sees last
// for a key is always the last one offered.
//
// Tasks go out through postUrgent, which never refuses them: a lost task
// would leave its key waiting for ever. The consumer runs on the main thread,
// without the poster's lock; it may offer again. Safe for concurrent use.
template <typename Value>
class CoalescingPoster : public std::enable_shared_from_this<CoalescingPoster<Value>> {
public:
    using Consumer = std::function<void(const std::string& key, Value value)>;

    static std::shared_ptr<CoalescingPoster> create(std::shared_ptr<MainThread> mainThread, Consumer consumer) {
        return std::shared_ptr<CoalescingPoster>(new CoalescingPoster(std::move(mainThread), std::move(consumer)));
    }

    void offer(const std::string& key, Value value) {
        {
            std::lock_guard guard(lock_);
            auto [entry, added] = waiting_.insert_or_assign(key, std::move(value));
            (void)entry;
            // A task for this key is already on its way and will take the new value.
            if (!added) return;
        }
        // Posted outside the lock: a main thread may run the task at once.
        std::weak_ptr<CoalescingPoster> weak = this->weak_from_this();
        mainThread_->postUrgent([weak, key] {
            if (auto self = weak.lock()) self->deliver(key);
        });
    }

private:
    CoalescingPoster(std::shared_ptr<MainThread> mainThread, Consumer consumer)
        : mainThread_(std::move(mainThread)), consumer_(std::move(consumer)) {}

    void deliver(const std::string& key) {
        Value value;
        {
            std::lock_guard guard(lock_);
            auto entry = waiting_.find(key);
            if (entry == waiting_.end()) return;
            value = std::move(entry->second);
            waiting_.erase(entry);
        }
        consumer_(key, std::move(value));
    }

    const std::shared_ptr<MainThread> mainThread_;
    const Consumer consumer_;
    std::mutex lock_;
    // The values whose task has been posted and has not run yet.
    std::map<std::string, Value> waiting_;
};

}  // namespace palisor
