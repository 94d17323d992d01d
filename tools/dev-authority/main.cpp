// palisor-dev-authority: the development authority as a program, for demos
// and end-to-end runs. Test and demo equipment only; never deploy it.
//
// The first line on standard output is "listening http://127.0.0.1:PORT", so a
// script or test can start it with --port 0 and learn the port. SIGINT or
// SIGTERM stops it with exit status 0.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "bridge/common/text.h"
#include "tools/dev-authority/dev_authority.h"

namespace {

constexpr const char* kUsage =
    "usage: palisor-dev-authority [--port N] [--seed demo]\n"
    "                             [--access-token-lifetime S] [--refresh-token-lifetime S]\n"
    "                             [--agent-token-lifetime S]\n"
    "An in-memory stand-in for the project authority server, on 127.0.0.1.\n"
    "Test and demo equipment: accounts and tokens live only as long as the process.\n";

int usageError(const std::string& message) {
    std::cerr << "palisor-dev-authority: " << message << "\n" << kUsage;
    return 2;
}

std::optional<long long> numberArgument(int argc, char** argv, int& index, long long low, long long high) {
    if (index + 1 >= argc) return std::nullopt;
    auto value = palisor::parseDecimalInteger(argv[++index]);
    if (!value || *value < low || *value > high) return std::nullopt;
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    palisor::dev::DevAuthorityOptions options;
    bool seedDemo = false;
    constexpr long long kTenYears = 10LL * 366 * 24 * 3600;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        std::string name = argument;
        if (argument == "--help" || argument == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (argument == "--port") {
            auto port = numberArgument(argc, argv, i, 0, 65535);
            if (!port) return usageError("--port needs a number from 0 to 65535");
            options.port = static_cast<std::uint16_t>(*port);
        } else if (argument == "--seed") {
            if (i + 1 >= argc || std::string(argv[++i]) != "demo") return usageError("--seed knows only \"demo\"");
            seedDemo = true;
        } else if (argument == "--access-token-lifetime" || argument == "--refresh-token-lifetime" ||
                   argument == "--agent-token-lifetime") {
            auto seconds = numberArgument(argc, argv, i, 0, kTenYears);
            if (!seconds) return usageError(name + " needs a number of seconds");
            std::chrono::seconds lifetime(*seconds);
            if (name == "--access-token-lifetime") options.accessTokenLifetime = lifetime;
            if (name == "--refresh-token-lifetime") options.refreshTokenLifetime = lifetime;
            if (name == "--agent-token-lifetime") options.agentTokenLifetime = lifetime;
        } else {
            return usageError("unknown argument " + argument);
        }
    }

    // The signals are taken synchronously below; every server thread
    // inherits this mask, so none of them is interrupted by them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    palisor::dev::DevAuthority authority(options);
    if (seedDemo) {
        const std::string email = "demo@palisor.dev";
        const std::string password = "demo-password";
        const std::string project = "DEMO";
        authority.addProject(project, "Demo project");
        authority.addUser(email, password, {project});
        authority.addTask(project, {{"itemId", "DEMO-1"}, {"title", "Write the onboarding guide"}, {"status", "open"}});
        authority.addTask(project, {{"itemId", "DEMO-2"}, {"title", "Fix the login redirect"}, {"status", "in_progress"}});
        authority.addTask(project, {{"itemId", "DEMO-3"}, {"title", "Review the release notes"}, {"status", "open"}});
        std::cerr << "demo user: " << email << "\n"
                  << "demo password: " << password << "\n"
                  << "demo project: " << project << "\n";
    }
    try {
        authority.start();
    } catch (const std::exception& error) {
        std::cerr << "palisor-dev-authority: " << error.what() << "\n";
        return 1;
    }
    std::cout << "listening " << authority.origin() << std::endl;

    int received = 0;
    sigwait(&stopSignals, &received);
    authority.stop();
    std::cerr << "palisor-dev-authority: stopped (" << strsignal(received) << ")\n";
    return 0;
}
