// Starts the real program as a user would and talks to it over HTTP.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <thread>

#include "bridge/common/atomic_file.h"
#include "bridge/common/json.h"
#include "bridge/common/socket_owner.h"
#include "bridge/credentials/credential_file_vault.h"
#include "bridge/credentials/native_token_store.h"
#include "tests/support/bridge_process.h"
#include "tests/support/http_client.h"
#include "tests/support/temp_dir.h"
#include "tools/dev-authority/dev_authority.h"

namespace palisor {
namespace {

using test::BridgeProcess;

// The datagram socket a service manager hands a Type=notify service in
// NOTIFY_SOCKET.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : path(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (fd_ < 0 || path.size() >= sizeof address.sun_path) throw std::runtime_error("notify socket");
        std::memcpy(address.sun_path, path.c_str(), path.size());
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot bind " + path);
    }
    ~NotifySocket() { ::close(fd_); }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    // The next message, or nothing when none came in time.
    std::optional<std::string> receive(std::chrono::milliseconds limit) {
        pollfd ready{fd_, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(limit.count())) != 1) return std::nullopt;
        char buffer[4096];
        ssize_t length = ::recv(fd_, buffer, sizeof buffer, 0);
        if (length < 0) return std::nullopt;
        return std::string(buffer, static_cast<std::size_t>(length));
    }

    const std::string path;

private:
    int fd_ = -1;
};

// The MCP request that calls `tool`.
std::string toolCall(const JsonValue& id, const std::string& tool, const JsonValue& arguments = JsonValue::object()) {
    JsonValue call = JsonValue::parse(R"({"jsonrpc":"2.0","method":"tools/call"})");
    call["id"] = id;
    call["params"] = {{"name", tool}, {"arguments", arguments}};
    return call.dump();
}

// As a systemd Type=notify service: READY=1 only once the endpoint answers,
// STOPPING=1 when a SIGTERM begins the stop, and a clean exit after it.
TEST(ServeCommand, ServesMcpUntilTerminatedAndTellsTheServiceManager) {
    dev::DevAuthority authority;
    authority.start();
    test::TempDir dir;
    NotifySocket manager(dir.file("notify"));
    std::uint16_t port = test::freePort();
    BridgeProcess bridge(port, {"PALISOR_BRIDGE_AUTHORITY=" + authority.origin(), "NOTIFY_SOCKET=" + manager.path,
                                "PALISOR_BRIDGE_DISABLE_SETTINGS_PERSISTENCE=1"});
    auto ready = manager.receive(std::chrono::seconds(20));
    ASSERT_TRUE(ready) << bridge.output;
    EXPECT_EQ(*ready, "READY=1");
    // Whatever the manager starts on READY=1 may call at once: no retry here.
    EXPECT_EQ(test::parseResponse(test::get(port, "/health")).status, 200);
    ASSERT_TRUE(bridge.waitForOutput("Bridge đang chạy tại http://127.0.0.1:" + std::to_string(port) + "/mcp\n"))
        << bridge.output;

    // initialize and tools/list through the served program: the stdio relay test.
    auto health = test::parseResponse(test::post(port, "/mcp", toolCall(3, "authority_health")));
    ASSERT_TRUE(health.json["result"].is_object()) << health.body;
    EXPECT_NE(health.json["result"]["content"][0]["text"].get<std::string>().find("palisor-dev-authority"),
              std::string::npos);
    // Nobody has logged in: project tools say so.
    auto bootstrap = test::parseResponse(test::post(port, "/mcp", toolCall(4, "authority_bootstrap")));
    EXPECT_EQ(bootstrap.json["error"]["code"], -32000);
    EXPECT_FALSE(manager.receive(std::chrono::milliseconds(300))) << "a second message while running";

    bridge.signal(SIGTERM);
    auto stopping = manager.receive(std::chrono::seconds(20));
    ASSERT_TRUE(stopping) << bridge.output;
    EXPECT_EQ(*stopping, "STOPPING=1");
    EXPECT_TRUE(bridge.waitForOutput("Bridge đã dừng.\n")) << bridge.output;
    int status = bridge.waitForExit();
    bridge.waitForOutput("\n\n", std::chrono::seconds(1));  // whatever else it printed on the way out
    EXPECT_EQ(status, 0) << bridge.output;
}

// A taken port says who holds it: a bridge of this user that answers, or
// another program. A bridge that cannot open its port fails its start and
// never tells the service manager it is ready.
TEST(ServeCommand, ATakenPortIsReportedAndFails) {
    std::uint16_t port = test::freePort();
    BridgeProcess first(port);
    ASSERT_TRUE(first.waitForOutput("Bridge đang chạy")) << first.output;

    test::TempDir dir;
    NotifySocket manager(dir.file("notify"));
    BridgeProcess second(port, {"NOTIFY_SOCKET=" + manager.path});
    EXPECT_EQ(second.waitForExit(), 1);
    EXPECT_NE(second.output.find("Không thể mở bridge local: BIND_FAILED"), std::string::npos) << second.output;
    EXPECT_NE(second.output.find("Một Palisor bridge của bạn đã chạy tại http://127.0.0.1:" + std::to_string(port) +
                                 "/mcp; agent dùng được bridge đó"),
              std::string::npos)
        << second.output;
    std::vector<std::string> messages;
    while (auto message = manager.receive(std::chrono::milliseconds(100))) messages.push_back(*message);
    EXPECT_EQ(std::count(messages.begin(), messages.end(), "READY=1"), 0);
    first.signal(SIGINT);
    EXPECT_EQ(first.waitForExit(), 0);

    // A listener that is no bridge: it never answers /health.
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopbackAddress(0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 8), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    BridgeProcess third(ntohs(address.sin_port));
    EXPECT_EQ(third.waitForExit(), 1);
    EXPECT_NE(third.output.find(" do một chương trình khác (không phải Palisor bridge) giữ; "), std::string::npos)
        << third.output;
    ::close(listener);
}

// Agents keep logging work events while the authority is unreachable, and
// the bridge is killed outright in the middle: every event whose call was
// answered "queued" must be in a spool file that is still valid JSON.
TEST(ServeCommand, QueuedEventsSurviveAKill) {
    test::TempDir dir;
    std::uint16_t closedPort = test::freePort();  // nothing listens here
    std::string origin = "http://127.0.0.1:" + std::to_string(closedPort);
    std::string workspace = test::makeWorkspace(dir.path(), "workspace", "KILL-TEST", origin);

    // A logged-in session in the credential file the bridge will read.
    std::string credentials = dir.path() + "/credentials.json";
    {
        NativeTokenStore::Options options;
        options.vault = std::make_shared<CredentialFileVault>(credentials);
        NativeTokenStore store(options);
        store.setWebSession(origin, JsonValue::parse(R"({"accessToken":"web-access","refreshToken":"web-refresh",
            "expiresAt":"2099-01-01T00:00:00Z","refreshExpiresAt":"2099-01-01T00:00:00Z"})"));
    }

    std::uint16_t port = test::freePort();
    BridgeProcess bridge(port, {"PALISOR_BRIDGE_AUTHORITY=" + origin, "PALISOR_BRIDGE_WORKSPACE=" + workspace,
                                "PALISOR_BRIDGE_CREDENTIAL_FILE=" + credentials});
    ASSERT_TRUE(bridge.waitForOutput("Bridge đang chạy")) << bridge.output;

    constexpr int kClients = 32;
    std::mutex mutex;
    std::set<std::string> queued;
    std::atomic<int> answered{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c)
        clients.emplace_back([&, c] {
            for (int i = 0; i < 1000; ++i) {
                std::string key = "kill-" + std::to_string(c) + "-" + std::to_string(i);
                JsonValue event = JsonValue::parse(
                    R"({"kind":"note","eventType":"agent.note","outcome":"succeeded","summary":"ghi chú"})");
                event["idempotencyKey"] = key;
                std::string raw;
                try {
                    raw = test::post(port, "/mcp", toolCall(key, "authority_log_work_event", {{"event", event}}));
                } catch (const std::exception&) {
                    return;  // the bridge is gone
                }
                auto answer = test::parseResponse(raw);
                if (answer.json.is_discarded() || !answer.json.contains("result")) return;
                auto value = JsonValue::parse(answer.json["result"]["content"][0]["text"].get<std::string>());
                if (value.value("queued", false)) {
                    std::lock_guard guard(mutex);
                    queued.insert(key);
                }
                ++answered;
            }
        });
    while (answered.load() < 100) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    bridge.signal(SIGKILL);
    for (auto& client : clients) client.join();
    bridge.waitForExit();

    auto text = readFileIfExists(workspace + "/.agents/runtime/ai-work-event-spool.v1.json");
    ASSERT_TRUE(text);
    auto spool = parseJson(*text);
    ASSERT_TRUE(spool && spool->is_object()) << "the spool file is not valid JSON after the kill";
    std::set<std::string> stored;
    for (const JsonValue& entry : (*spool)["entries"]) stored.insert(entry.value("idempotencyKey", ""));
    ASSERT_GE(queued.size(), 100u);
    // Fewer than the spool's 200 entries were queued, so none may be missing.
    EXPECT_EQ((*spool)["droppedCount"], 0);
    std::size_t missing = 0;
    for (const std::string& key : queued) missing += stored.count(key) ? 0 : 1;
    EXPECT_EQ(missing, 0u) << "queued " << queued.size() << ", stored " << stored.size();
}

}  // namespace
}  // namespace palisor
