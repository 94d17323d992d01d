#pragma once

#include <memory>

#include "bridge/common/main_thread.h"

namespace palisor::gui {

// The application's main thread as Qt's event loop: tasks become queued calls
// on an object that lives in the thread that created this (the GUI thread).
// Safe to post from any thread; tasks posted once that object is gone (the
// application has ended) are dropped.
class QtMainThread : public MainThread {
public:
    // Create on the GUI thread, after the QApplication.
    QtMainThread();
    ~QtMainThread() override;

    void post(std::function<void()> task) override;
    void postAfter(std::chrono::milliseconds delay, std::function<void()> task) override;

private:
    struct Target;
    std::shared_ptr<Target> target_;
};

}  // namespace palisor::gui
