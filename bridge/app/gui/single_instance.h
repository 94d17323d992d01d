#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>
#include <functional>

class QWidget;

namespace palisor::gui {

// One window per user. The first launch holds an flock on window.lock in the
// user's runtime folder (released by the kernel however the process ends) and
// listens on the local socket window.sock beside it; a later launch finds the
// lock held, asks the first one through the socket to come to the front, and
// ends without starting a bridge of its own. Needs a QCoreApplication; lives
// on its thread.
class SingleInstance : public QObject {
public:
    // `folder`: where the lock and the socket live (the user's runtime folder).
    explicit SingleInstance(QString folder);
    ~SingleInstance() override;
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    enum class Claim {
        first,             // this process holds the lock and listens
        anotherActivated,  // another window runs and was asked to come forward
        anotherSilent,     // another window holds the lock but did not take the request
        unavailable,       // the lock could not be made: run without one
    };
    Claim claim();

    // Called on the object's thread when a later launch asks for the window.
    std::function<void()> onActivationRequested;

private:
    QString folder_;
    int lockFd_ = -1;
    QLocalServer server_;
};

// Shows a window that was minimised or hidden and puts it in front.
void bringToFront(QWidget& window);

}  // namespace palisor::gui
