#include "bridge/app/gui/quit_on_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <stdexcept>

namespace palisor::gui {

namespace {

// A signal handler may do almost nothing; it writes one byte to a pipe whose
// other end the event loop watches.
int wakeWrite = -1;

void onSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] ssize_t written = ::write(wakeWrite, &byte, 1);
    errno = saved;
}

}  // namespace

void quitOnSignals(std::initializer_list<int> signalNumbers) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe2 failed");
    wakeWrite = fds[1];
    const int wakeRead = fds[0];

    auto* notifier = new QSocketNotifier(wakeRead, QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [wakeRead] {
        char buffer[64];
        while (::read(wakeRead, buffer, sizeof buffer) > 0) {
        }
        QCoreApplication::quit();
    });

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : signalNumbers) ::sigaction(number, &action, nullptr);
}

}  // namespace palisor::gui
