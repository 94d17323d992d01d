// palisor-dev-authority: the development authority as a program, for demos
// and end-to-end runs. Test and demo equipment only; never deploy it.
//
// The first line on standard output is "listening http://127.0.0.1:PORT", so a
// script or test can start it with --port 0 and learn the port. SIGINT or
// SIGTERM stops it with exit status 0.
//
// For soak runs it can misbehave on purpose: --fail-every N answers every Nth
// request with a 503 or 500 of its own, and --drop-port-every S --drop-for MS
// closes its port (and every open connection) every S seconds for MS
// milliseconds, then listens again on the same port, its data kept. Each drop
// and return is logged on standard error.
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
    "                             [--fail-every N] [--drop-port-every S [--drop-for MS]]\n"
    "An in-memory stand-in for the project authority server, on 127.0.0.1.\n"
    "Test and demo equipment: accounts and tokens live only as long as the process.\n"
    "--fail-every N answers every Nth request with a failure (503, 500 in turn);\n"
    "--drop-port-every S closes the port every S seconds for --drop-for MS (default 1000).\n";

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

// A user in two projects, one of each generation, with tasks that need
// published skills, so that a bridge can be tried end to end by hand.
void seedDemoData(palisor::dev::DevAuthority& authority) {
    using palisor::dev::PublishOptions;
    const std::string email = "demo@palisor.dev";
    const std::string password = "demo-password";
    const std::string project = "DEMO";
    const std::string foundationProject = "DEMO-V2";

    authority.publishSkill("onboarding-guide", "1.0.0",
                           {{"SKILL.md", "# Onboarding guide\n\nWrite onboarding guides from templates/guide.md: "
                                         "one section per first-week step, each with a command to try.\n"},
                            {"templates/guide.md", "# Welcome to <project>\n\n## Day one\n\n## First week\n"}});
    authority.publishSkill("release-notes", "1.2.0",
                           {{"SKILL.md", "# Release notes\n\nCollect the changes with collect-changes.sh, then "
                                         "group them into features, fixes and known issues.\n"},
                            {"collect-changes.sh", "#!/bin/sh\nset -eu\ngit log --no-merges --format='- %s' \"$1\"..HEAD\n"}},
                           {.makeCurrent = true, .layout = PublishOptions::Layout::split});
    authority.publishSkill("review-checklist", "0.3.0",
                           {{"SKILL.md", "# Review checklist\n\nGo through checklist.md before asking for review.\n"},
                            {"checklist.md", "- [ ] tests pass\n- [ ] no secrets in the diff\n- [ ] docs updated\n"}});
    authority.publishSkill("foundation-checks", "2.0.0",
                           {{"SKILL.md", "# Foundation checks\n\nRun run-checks.sh and report what fails.\n"},
                            {"run-checks.sh", "#!/bin/sh\nset -eu\nmake check\n"}});

    authority.addProject(project, "Demo project");
    authority.addFoundationProject(foundationProject, "Demo project (foundation)");
    authority.addUser(email, password, {project, foundationProject});

    palisor::dev::OrderedJson demo1 = {
        {"itemId", "DEMO-1"},
        {"title", "Write the onboarding guide"},
        {"status", "open"},
        {"skills", {{{"skillId", "onboarding-guide"}, {"version", "1.0.0"}}, "release-notes", "review-checklist"}}};
    authority.addTask(project, demo1);
    // The older generation hands tasks to skill syncs on its progress paths.
    authority.addProgressItem(project, demo1);
    authority.addTask(project, {{"itemId", "DEMO-2"}, {"title", "Fix the login redirect"}, {"status", "in_progress"}});
    authority.addTask(project, {{"itemId", "DEMO-3"}, {"title", "Review the release notes"}, {"status", "open"}});
    authority.addTask(foundationProject, {{"itemId", "DEMO-V2-1"},
                                          {"title", "Make the checks pass"},
                                          {"status", "open"},
                                          {"skills", {{{"skillId", "foundation-checks"}, {"version", "2.0.0"}}}}});

    std::cerr << "demo user: " << email << "\n"
              << "demo password: " << password << "\n"
              << "demo project: " << project << "\n"
              << "demo foundation project: " << foundationProject << "\n";
}

}  // namespace

int main(int argc, char** argv) {
    palisor::dev::DevAuthorityOptions options;
    bool seedDemo = false;
    long long dropEverySeconds = 0;
    long long dropForMs = 1000;
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
        } else if (argument == "--fail-every") {
            auto every = numberArgument(argc, argv, i, 0, 1000000);
            if (!every) return usageError("--fail-every needs a number of requests");
            options.failEvery = static_cast<std::size_t>(*every);
        } else if (argument == "--drop-port-every") {
            auto seconds = numberArgument(argc, argv, i, 1, kTenYears);
            if (!seconds) return usageError("--drop-port-every needs a number of seconds");
            dropEverySeconds = *seconds;
        } else if (argument == "--drop-for") {
            auto ms = numberArgument(argc, argv, i, 1, 3600 * 1000);
            if (!ms) return usageError("--drop-for needs a number of milliseconds");
            dropForMs = *ms;
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

    // Nobody reads the recorded requests of a program; a long run keeps its
    // memory flat without them.
    options.recordRequests = false;
    palisor::dev::DevAuthority authority(options);
    if (seedDemo) seedDemoData(authority);
    try {
        authority.start();
    } catch (const std::exception& error) {
        std::cerr << "palisor-dev-authority: " << error.what() << "\n";
        return 1;
    }
    std::cout << "listening " << authority.origin() << std::endl;

    int received = 0;
    if (dropEverySeconds == 0) {
        sigwait(&stopSignals, &received);
    } else {
        // Up for dropEverySeconds, down for dropForMs, until a stop signal.
        auto wait = [&](long long ms) {
            timespec limit{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
            int signal = sigtimedwait(&stopSignals, nullptr, &limit);
            if (signal > 0) received = signal;
            return signal > 0;
        };
        while (!wait(dropEverySeconds * 1000)) {
            authority.stop();
            std::cerr << "palisor-dev-authority: port closed for " << dropForMs << " ms" << std::endl;
            bool stop = wait(dropForMs);
            if (stop) break;
            try {
                authority.start();
            } catch (const std::exception& error) {
                std::cerr << "palisor-dev-authority: " << error.what() << "\n";
                return 1;
            }
            std::cerr << "palisor-dev-authority: listening again" << std::endl;
        }
    }
    authority.stop();
    std::cerr << "palisor-dev-authority: stopped (" << strsignal(received) << ")\n";
    return 0;
}
