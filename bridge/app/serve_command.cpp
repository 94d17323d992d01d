#include "bridge/app/serve_command.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

#include "bridge/app/bridge_components.h"
#include "bridge/app/configuration.h"
#include "bridge/app/settings_watcher.h"
#include "bridge/mcp/local_mcp_server.h"

namespace palisor {

namespace {

void printStatus(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

}  // namespace

int runServeCommand() {
    // Termination signals are taken synchronously on this thread; every thread
    // started from here on inherits the mask, so none of them is interrupted.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    BridgeComponents components = createBridgeComponents();
    auto& server = components.localServer;
    std::uint16_t port = server->port();
    server->setOnStatusChanged(printStatus);
    try {
        server->start();
    } catch (const LocalMcpServerError& error) {
        printStatus(std::string("Không thể mở bridge local: ") + error.what());
        printStatus("127.0.0.1:" + std::to_string(port) + ": " + std::strerror(error.systemError()) +
                    " (đặt PALISOR_BRIDGE_PORT để dùng cổng khác)");
        return 1;
    }

    // Another process (the window, the command line) may change the registry
    // while we run: take its writes in as they land.
    std::unique_ptr<SettingsWatcher> settingsWatcher;
    auto registry = components.workspaceRegistry;
    if (registry->persistenceEnabled()) {
        settingsWatcher = std::make_unique<SettingsWatcher>(SettingsStore::standardPath(), [registry] {
            try {
                registry->reload();
            } catch (const std::exception&) {
                // An unreadable file keeps what we have; its next write is seen again.
            }
        });
        settingsWatcher->start();
        // Whatever was written between creating the registry and the watch.
        try {
            registry->reload();
        } catch (const std::exception&) {
        }
    }

    int received = 0;
    while (sigwait(&stopSignals, &received) != 0) {
    }
    if (settingsWatcher) settingsWatcher->stop();
    server->stop();
    return 0;
}

}  // namespace palisor
