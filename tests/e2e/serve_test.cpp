// Starts the real program as a user would and talks to it over HTTP.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/support/http_client.h"

extern char** environ;

namespace palisor {
namespace {

// The program with its standard error captured.
class BridgeProcess {
public:
    explicit BridgeProcess(std::uint16_t port) {
        int pipeFds[2];
        EXPECT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (std::string_view(*e).rfind("PALISOR_", 0) != 0) env.emplace_back(*e);
        env.push_back("PALISOR_BRIDGE_PORT=" + std::to_string(port));
        std::vector<char*> envp;
        for (auto& entry : env) envp.push_back(entry.data());
        envp.push_back(nullptr);
        std::string program = PALISOR_BRIDGE_EXECUTABLE;
        std::string serve = "serve";
        char* argv[] = {program.data(), serve.data(), nullptr};
        EXPECT_EQ(posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipeFds[1]);
        stderr_ = pipeFds[0];
    }
    ~BridgeProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(stderr_);
    }

    // Reads standard error until `text` has appeared or the time is up.
    bool waitForOutput(const std::string& text, std::chrono::seconds limit = std::chrono::seconds(20)) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (output.find(text) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{stderr_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
            char buffer[4096];
            ssize_t n = ::read(stderr_, buffer, sizeof buffer);
            if (n <= 0) return output.find(text) != std::string::npos;
            output.append(buffer, static_cast<std::size_t>(n));
        }
        return true;
    }

    int waitForExit() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    void signal(int number) { ::kill(pid_, number); }

    std::string output;

private:
    pid_t pid_ = -1;
    int stderr_ = -1;
};

TEST(ServeCommand, ServesMcpUntilTerminated) {
    std::uint16_t port = test::freePort();
    BridgeProcess bridge(port);
    ASSERT_TRUE(bridge.waitForOutput("Bridge đang chạy tại http://127.0.0.1:" + std::to_string(port) + "/mcp\n"))
        << bridge.output;

    auto init = test::parseResponse(test::post(
        port, "/mcp", R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})"));
    EXPECT_EQ(init.json["result"]["serverInfo"]["name"], "palisor-bridge-native");
    auto list = test::parseResponse(test::post(port, "/mcp", R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})"));
    EXPECT_EQ(list.json["result"]["tools"].size(), 7u);
    auto call = test::parseResponse(test::post(
        port, "/mcp", R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"authority_health"}})"));
    EXPECT_NE(call.json["result"]["content"][0]["text"].get<std::string>().find("NATIVE_TOOL_ROUTER_NOT_READY"),
              std::string::npos);

    bridge.signal(SIGTERM);
    EXPECT_TRUE(bridge.waitForOutput("Bridge đã dừng.\n")) << bridge.output;
    EXPECT_EQ(bridge.waitForExit(), 0);
}

TEST(ServeCommand, ATakenPortIsReportedAndFails) {
    std::uint16_t port = test::freePort();
    BridgeProcess first(port);
    ASSERT_TRUE(first.waitForOutput("Bridge đang chạy")) << first.output;

    BridgeProcess second(port);
    EXPECT_NE(second.waitForExit(), 0);
    second.waitForOutput("\n(", std::chrono::seconds(2));
    EXPECT_NE(second.output.find("Không thể mở bridge local: BIND_FAILED\n"), std::string::npos) << second.output;
    EXPECT_NE(second.output.find("PALISOR_BRIDGE_PORT"), std::string::npos) << second.output;

    first.signal(SIGINT);
    EXPECT_EQ(first.waitForExit(), 0);
}

}  // namespace
}  // namespace palisor
