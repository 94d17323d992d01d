// Starts the real program as a user would and talks to it over HTTP.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "tests/support/bridge_process.h"
#include "tests/support/http_client.h"
#include "tests/support/temp_dir.h"
#include "bridge/common/atomic_file.h"
#include "tools/dev-authority/dev_authority.h"
#include "bridge/common/json.h"
#include "bridge/credentials/credential_file_vault.h"
#include "bridge/credentials/native_token_store.h"

#include <atomic>
#include <filesystem>
#include <set>

namespace palisor {
namespace {

using test::BridgeProcess;

TEST(ServeCommand, ServesMcpUntilTerminated) {
    dev::DevAuthority authority;
    authority.start();
    std::uint16_t port = test::freePort();
    BridgeProcess bridge(port, {"PALISOR_BRIDGE_AUTHORITY=" + authority.origin()});
    ASSERT_TRUE(bridge.waitForOutput("Bridge đang chạy tại http://127.0.0.1:" + std::to_string(port) + "/mcp\n"))
        << bridge.output;

    // initialize and tools/list through the served program: the stdio relay test.
    auto health = test::parseResponse(test::post(
        port, "/mcp", R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"authority_health"}})"));
    ASSERT_TRUE(health.json["result"].is_object()) << health.body;
    EXPECT_NE(health.json["result"]["content"][0]["text"].get<std::string>().find("palisor-dev-authority"),
              std::string::npos);
    // Nobody has logged in: project tools say so.
    auto workspaces = test::parseResponse(test::post(
        port, "/mcp", R"({"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"authority_bootstrap"}})"));
    EXPECT_EQ(workspaces.json["error"]["code"], -32000);

    bridge.signal(SIGTERM);
    EXPECT_TRUE(bridge.waitForOutput("Bridge đã dừng.\n")) << bridge.output;
    int status = bridge.waitForExit();
    bridge.waitForOutput("\n\n", std::chrono::seconds(1));  // whatever else it printed on the way out
    EXPECT_EQ(status, 0) << bridge.output;
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


// Agents keep logging work events while the authority is unreachable, and
// the bridge is killed outright in the middle: every event whose call was
// answered "queued" must be in a spool file that is still valid JSON.
TEST(ServeCommand, QueuedEventsSurviveAKill) {
    test::TempDir dir;
    std::uint16_t closedPort = test::freePort();  // nothing listens here
    std::string origin = "http://127.0.0.1:" + std::to_string(closedPort);
    std::string workspace = dir.path() + "/workspace";
    std::filesystem::create_directories(workspace);
    test::writeFile(workspace + "/AGENTS.md", "- projectKey: KILL-TEST\n- authorityOrigin: " + origin + "\n");

    // A logged-in session in the credential file the bridge will read.
    std::string credentials = dir.path() + "/credentials.json";
    {
        NativeTokenStore::Options options;
        options.vault = std::make_shared<CredentialFileVault>(credentials);
        NativeTokenStore store(options);
        store.setWebSession(origin, {{"accessToken", "web-access"}, {"refreshToken", "web-refresh"},
                                     {"expiresAt", "2099-01-01T00:00:00Z"}, {"refreshExpiresAt", "2099-01-01T00:00:00Z"}});
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
                JsonValue request = {{"jsonrpc", "2.0"}, {"id", key}, {"method", "tools/call"},
                                     {"params", {{"name", "authority_log_work_event"},
                                                 {"arguments", {{"event", {{"idempotencyKey", key}, {"kind", "note"},
                                                                           {"eventType", "agent.note"}, {"outcome", "succeeded"},
                                                                           {"summary", "ghi chú"}}}}}}}};
                std::string raw;
                try {
                    raw = test::post(port, "/mcp", request.dump());
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
    EXPECT_EQ(missing, 0u)
        << "queued " << queued.size() << ", stored " << stored.size();
}

}  // namespace
}  // namespace palisor
