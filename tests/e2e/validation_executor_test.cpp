// The real executor script under the real program, as a user runs them: one
// executor per workspace whose validation is on, its state in `status`,
// following the switch and the session. And a stand-in executor that floods
// the bridge with status lines.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#include "tests/support/bridge_process.h"
#include "tests/support/http_client.h"
#include "tests/support/temp_dir.h"
#include "tests/validation/validation_fixture.h"
#include "tools/dev-authority/dev_authority.h"

namespace palisor {
namespace {

using namespace std::chrono_literals;

// Children of `parent` whose program is `name`, from /proc.
std::vector<pid_t> childrenNamed(pid_t parent, const std::string& name) {
    std::vector<pid_t> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string pid = entry.path().filename();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        auto open = line.find('('), close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        std::string comm = line.substr(open + 1, close - open - 1);
        char state = 0;
        long ppid = 0;
        std::sscanf(line.c_str() + close + 2, "%c %ld", &state, &ppid);
        if (ppid == parent && comm == name && state != 'Z') found.push_back(std::stoi(pid));
    }
    return found;
}

// Alive and not a zombie waiting for a reaper that never comes.
bool running(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return condition();
}

// Sanitizers keep freed memory in quarantine and shadow every byte: the
// resident size says nothing about growth there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// The resident memory of a process, in KiB.
long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

class ValidationExecutorEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        authority.addUser("dev@palisor.test", "mật-khẩu", {"ALPHA"});
        authority.start();
        port = test::freePort();
        workspace = test::makeWorkspace(dir.path(), "alpha", "ALPHA", authority.origin());
        std::ofstream(workspace + "/AGENTS.md", std::ios::app) << "- repoKey: web\n- repoKey: api\n";
        environment = test::bridgeEnvironment(
            dir.path() + "/config",
            {"PALISOR_BRIDGE_AUTHORITY=" + authority.origin(), "PALISOR_BRIDGE_PORT=" + std::to_string(port),
             "PALISOR_BRIDGE_CREDENTIAL_FILE=" + dir.path() + "/credentials.json",
             "XDG_DATA_HOME=" + dir.path() + "/data", "XDG_RUNTIME_DIR=" + dir.path() + "/run"});
        ASSERT_EQ(run({"workspace", "add", workspace}).exitCode, 0);
        login();
    }

    void login() {
        auto login =
            test::runProgram(test::kBridgeExecutable, {"login", "--email", "dev@palisor.test", "--password-stdin"},
                             environment, "mật-khẩu\n");
        ASSERT_EQ(login.exitCode, 0) << login.err;
    }

    test::CommandResult run(const std::vector<std::string>& arguments) {
        return test::runProgram(test::kBridgeExecutable, arguments, environment);
    }
    std::unique_ptr<test::ChildProcess> serve(const std::string& program = test::kBridgeExecutable) {
        return std::make_unique<test::ChildProcess>(program, std::vector<std::string>{"serve"}, environment);
    }
    bool statusShows(const std::string& line) {
        return eventually([&] { return run({"status"}).out.find(line) != std::string::npos; }, 30s);
    }
    std::string workspaceId() {
        std::string listing = run({"workspace", "list"}).out;
        auto start = listing.find_first_not_of("* ");
        return listing.substr(start, listing.find(' ', start) - start);
    }

    test::TempDir dir;
    dev::DevAuthority authority;
    std::uint16_t port = 0;
    std::string workspace;
    std::vector<std::string> environment;
};

TEST_F(ValidationExecutorEndToEnd, FollowsTheValidationSwitchAndTheSession) {
    if (!std::filesystem::exists(std::filesystem::path(test::kBridgeExecutable).parent_path() /
                                 "../share/palisor-bridge/runtime/node"))
        GTEST_SKIP() << "no Node.js runtime next to the bridge";
    auto bridge = serve();
    ASSERT_TRUE(bridge->waitForOutput("Bridge đang chạy")) << bridge->output;
    ASSERT_TRUE(statusShows("ALPHA (" + workspaceId() + "): Validation executor đã sẵn sàng cho 2 repo."))
        << run({"status"}).out << bridge->output;
    auto executors = childrenNamed(bridge->pid(), "node");
    ASSERT_EQ(executors.size(), 1u);

    // Switched off by another program: the running bridge stops it at once.
    ASSERT_EQ(run({"workspace", "validation", workspaceId(), "off"}).exitCode, 0);
    EXPECT_TRUE(eventually([&] { return !running(executors[0]); }, 10s));
    EXPECT_TRUE(statusShows("Validation đã tắt cho workspace này."));
    ASSERT_EQ(run({"workspace", "validation", workspaceId(), "on"}).exitCode, 0);
    ASSERT_TRUE(statusShows("Validation executor đã sẵn sàng cho 2 repo.")) << bridge->output;
    executors = childrenNamed(bridge->pid(), "node");
    ASSERT_EQ(executors.size(), 1u);

    // A logout made elsewhere empties the credential store; the bridge
    // notices and stops every executor.
    ASSERT_EQ(run({"logout"}).exitCode, 0);
    EXPECT_TRUE(eventually([&] { return !running(executors[0]); }, 15s));
    // The bridge has taken the logout in once its rows say so; only then does
    // a ready line mean a new executor.
    ASSERT_TRUE(statusShows("Đăng nhập để chạy validation executor.")) << bridge->output;
    ASSERT_NO_FATAL_FAILURE(login());
    ASSERT_TRUE(statusShows("Validation executor đã sẵn sàng cho 2 repo.")) << bridge->output;
    EXPECT_EQ(childrenNamed(bridge->pid(), "node").size(), 1u);
}

TEST_F(ValidationExecutorEndToEnd, AFloodingExecutorNeitherGrowsTheBridgeNorHoldsUpItsStop) {
    namespace fs = std::filesystem;
    // The program as installed elsewhere, its runtime the shell: the
    // executor prints two alternating status lines as fast as it can.
    test::TempDir install;
    fs::create_directories(install.path() + "/bin");
    std::string program = install.path() + "/bin/palisor-bridge";
    std::error_code linked;
    fs::create_hard_link(test::kBridgeExecutable, program, linked);
    if (linked) fs::copy_file(test::kBridgeExecutable, program);
    test::makeResources(install.path() + "/share/palisor-bridge",
                        R"(exec yes '{"event":"validation-worker.error","code":"FLOOD-A"}
{"event":"validation-worker.error","code":"FLOOD-B"}'
)");

    auto bridge = serve(program);
    ASSERT_TRUE(bridge->waitForOutput("Bridge đang chạy")) << bridge->output;
    ASSERT_TRUE(statusShows("Validation executor lỗi: FLOOD-")) << run({"status"}).out << bridge->output;
    std::this_thread::sleep_for(2s);  // warm-up: threads, buffers and the allocator's pools
    long before = residentKiB(bridge->pid()), peak = before;
    for (auto end = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < end;) {
        std::this_thread::sleep_for(100ms);
        peak = std::max(peak, residentKiB(bridge->pid()));
    }
    std::cout << "serve's resident memory under the flood: " << before << " KiB, at most " << peak << " KiB in 10 s\n";
    if (!kSanitized) {
        EXPECT_LT(peak - before, 20 * 1024);
    }

    // A stop request in the middle of a flood is taken at once.
    pid_t pid = bridge->pid();
    auto begun = std::chrono::steady_clock::now();
    bridge->signal(SIGTERM);
    bool stopped = eventually([&] { return !running(pid); }, 2s);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begun);
    EXPECT_TRUE(stopped) << "still running " << took.count() << " ms after SIGTERM";
    if (!stopped) bridge->signal(SIGKILL);
    EXPECT_EQ(bridge->waitForExit(), stopped ? 0 : 128 + SIGKILL) << bridge->output;
}

}  // namespace
}  // namespace palisor
