#include "bridge/app/gui/qt_main_thread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QTimer>
#include <mutex>

namespace palisor::gui {

// The receiver of queued calls, owned by the application object so that it
// goes away with it. The mutex orders posting against its destruction:
// posting only queues an event, and is done under the lock while the receiver
// is known to be alive.
struct QtMainThread::Target {
    std::mutex lock;
    QObject* receiver = nullptr;
};

QtMainThread::QtMainThread() : target_(std::make_shared<Target>()) {
    auto* receiver = new QObject(QCoreApplication::instance());
    target_->receiver = receiver;
    QObject::connect(receiver, &QObject::destroyed, [target = target_] {
        std::lock_guard guard(target->lock);
        target->receiver = nullptr;
    });
}

QtMainThread::~QtMainThread() {
    // The receiver belongs to the application object; this may be the last
    // owner releasing us on any thread, so it is only forgotten here.
    std::lock_guard guard(target_->lock);
    target_->receiver = nullptr;
}

void QtMainThread::post(std::function<void()> task) {
    std::lock_guard guard(target_->lock);
    if (!target_->receiver) return;
    QMetaObject::invokeMethod(target_->receiver, std::move(task), Qt::QueuedConnection);
}

void QtMainThread::postAfter(std::chrono::milliseconds delay, std::function<void()> task) {
    // Timers belong to the thread that starts them, and other threads have no
    // Qt event loop: start the timer on the main thread.
    post([target = target_, delay, task = std::move(task)]() mutable {
        QObject* receiver = nullptr;
        {
            std::lock_guard guard(target->lock);
            receiver = target->receiver;
        }
        // Only the main thread destroys the receiver, and this is it.
        if (!receiver) return;
        QTimer::singleShot(delay, receiver, std::move(task));
    });
}

}  // namespace palisor::gui
