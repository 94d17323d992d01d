#include "bridge/app/serve_command.h"

#include <pthread.h>
#include <systemd/sd-daemon.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "bridge/app/bridge_app_delegate.h"
#include "bridge/app/headless_view.h"
#include "bridge/common/main_thread.h"
#include "bridge/mcp/local_mcp_server.h"
#include "bridge/validation/validation_executor_manager.h"

namespace palisor {

int runServeCommand() {
    // Termination signals are taken synchronously by one thread; every thread
    // started from here on inherits the mask, so none of them is interrupted.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    auto loop = std::make_shared<MainLoop>();
    HeadlessView view;
    BridgeAppDelegate::Options options;
    options.mainThread = loop;
    options.publishExecutorStates = true;
    options.validationExecutors = std::make_shared<ValidationExecutorManager>();
    auto delegate = BridgeAppDelegate::create(options);
    delegate->setView(&view);

    auto terminate = [loop, delegate] {
        // Under systemd (Type=notify) the manager learns that the stop it sees
        // coming is ours; without NOTIFY_SOCKET this does nothing.
        sd_notify(0, "STOPPING=1");
        delegate->applicationWillTerminate();
        loop->quit();
    };
    int exitCode = 0;
    loop->post([&] {
        delegate->applicationDidFinishLaunching();
        auto& server = delegate->localServer();
        if (server->isRunning()) {
            // The socket listens: a service manager may now start whatever
            // waits for the endpoint.
            sd_notify(0, "READY=1");
            return;
        }
        // Without a window there is nothing left to offer: say how to get
        // past a taken port and end, so that a supervisor sees the failure.
        std::fprintf(stderr, "Cổng 127.0.0.1:%u không mở được; đặt PALISOR_BRIDGE_PORT để dùng cổng khác.\n",
                     static_cast<unsigned>(server->port()));
        exitCode = 1;
        terminate();
    });

    std::thread signalWaiter([&] {
        int received = 0;
        while (sigwait(&stopSignals, &received) != 0) {
        }
        // Ahead of whatever waits in the loop: a stop must not queue behind work.
        loop->postUrgent(terminate);
    });
    loop->run();
    // Wake the waiter when the loop ended on its own; the signal is consumed
    // by sigwait and its post is dropped by the finished loop.
    pthread_kill(signalWaiter.native_handle(), SIGTERM);
    signalWaiter.join();
    delegate->setView(nullptr);
    return exitCode;
}

}  // namespace palisor
