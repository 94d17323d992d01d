#include "bridge/app/serve_command.h"

#include <pthread.h>
#include <systemd/sd-daemon.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "bridge/app/bridge_app_delegate.h"
#include "bridge/app/bridge_components.h"
#include "bridge/app/cli/loopback_http.h"
#include "bridge/common/socket_owner.h"
#include "bridge/app/headless_view.h"
#include "bridge/common/main_thread.h"
#include "bridge/mcp/local_mcp_server.h"

namespace palisor {

namespace {

// Whether something accepts connections on 127.0.0.1:port.
bool somethingListens(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in address = loopbackAddress(port);
    bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

}  // namespace

std::string takenPortAdvice(std::uint16_t port) {
    std::string where = "127.0.0.1:" + std::to_string(port);
    // Another user's program is named, and nothing is sent to it.
    if (auto other = otherUserOnPort(port)) return otherUserOnPortAdvice(port, *other);
    if (bridgeAnswers(port))
        return "Một Palisor bridge của bạn đã chạy tại http://" + where +
               "/mcp; agent dùng được bridge đó, không cần chạy thêm (palisor-bridge status cho biết thêm). Muốn "
               "chạy thêm một bridge thì đặt PALISOR_BRIDGE_PORT sang cổng khác.";
    if (somethingListens(port))
        return "Cổng " + where +
               " do một chương trình khác (không phải Palisor bridge) giữ; dừng chương trình đó (ss -ltnp 'sport = :" +
               std::to_string(port) + "' cho biết là chương trình nào), hoặc đặt PALISOR_BRIDGE_PORT để dùng cổng khác.";
    return "Cổng " + where + " không mở được; đặt PALISOR_BRIDGE_PORT để dùng cổng khác.";
}

int runServeCommand(const Configuration& configuration) {
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
    options.configuration = configuration;
    options.publishExecutorStates = true;
    options.validationExecutors = createValidationExecutors(configuration);
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
        // Without a window there is nothing left to offer: say who holds the
        // port and how to get past it, and end, so that a supervisor sees the failure.
        std::fprintf(stderr, "%s\n", takenPortAdvice(server->port()).c_str());
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
