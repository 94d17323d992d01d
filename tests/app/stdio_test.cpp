// `palisor-bridge stdio` driven as an agent drives it: JSON-RPC lines on its
// standard input, answers read from its standard output.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <map>
#include <sstream>

#include "bridge/common/json.h"
#include "tests/support/bridge_process.h"
#include "tests/support/http_client.h"
#include "tests/support/other_user.h"
#include "tests/support/temp_dir.h"
#include "tools/dev-authority/dev_authority.h"

namespace palisor {
namespace {

using namespace std::chrono_literals;

std::vector<JsonValue> outputLines(const std::string& text) {
    std::vector<JsonValue> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        auto parsed = parseJson(line);
        EXPECT_TRUE(parsed) << "not one JSON value per line: " << line;
        if (parsed) lines.push_back(*parsed);
    }
    return lines;
}

std::size_t lineCount(const std::string& text) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')); }

class StdioRelay : public ::testing::Test {
protected:
    std::vector<std::string> environment() const {
        return test::bridgeEnvironment(config.path(), {"PALISOR_BRIDGE_AUTHORITY=" + authority.origin(),
                                                       "PALISOR_BRIDGE_PORT=" + std::to_string(port)});
    }

    dev::DevAuthority authority;
    test::TempDir config;
    std::uint16_t port = test::freePort();
};

TEST_F(StdioRelay, RelaysRequestsAndAnswersOnlyThoseWithAnId) {
    authority.start();
    test::BridgeProcess bridge(port, {"PALISOR_BRIDGE_AUTHORITY=" + authority.origin()}, config.path());
    ASSERT_TRUE(bridge.waitForOutput("Bridge đang chạy")) << bridge.output;

    test::ChildProcess client(test::kBridgeExecutable, {"stdio"}, environment(), true);
    client.writeInput(R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})" "\n");
    // Each answer is written (and flushed) as it comes, not when input ends.
    ASSERT_TRUE(client.waitForStdout("\n", 5s)) << client.output;
    client.writeInput(R"({"jsonrpc":"2.0","method":"notifications/initialized"})" "\n\n   \r\n");
    client.writeInput(R"({"jsonrpc":"2.0","id":"two","method":"tools/list"})" "\n");
    client.writeInput("this is not json\n");
    client.writeInput(R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"authority_health"}})");
    client.closeInput();  // the last line without its newline still counts
    EXPECT_EQ(client.waitForExit(), 0) << client.output;

    std::map<std::string, JsonValue> byId;
    auto lines = outputLines(client.standardOutput);
    ASSERT_EQ(lines.size(), 4u) << client.standardOutput;
    for (const JsonValue& line : lines) byId[line["id"].dump()] = line;
    EXPECT_EQ(byId["1"]["result"]["serverInfo"]["name"], "palisor-bridge-native");
    EXPECT_EQ(byId["\"two\""]["result"]["tools"].size(), 7u);
    EXPECT_EQ(byId["null"], JsonValue::parse(R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"INVALID_JSON"}})"));
    EXPECT_NE(byId["3"]["result"]["content"][0]["text"].get<std::string>().find("palisor-dev-authority"), std::string::npos);
    // The notification did reach the bridge: nothing else answers METHOD_NOT_FOUND here,
    // and the relay printed nothing for it.
    for (const JsonValue& line : lines) EXPECT_FALSE(line.contains("error") && line["id"] != nullptr) << line;
}

TEST_F(StdioRelay, ASlowToolCallDoesNotHoldUpTheOthers) {
    authority.start();
    test::BridgeProcess bridge(port, {"PALISOR_BRIDGE_AUTHORITY=" + authority.origin()}, config.path());
    ASSERT_TRUE(bridge.waitForOutput("Bridge đang chạy")) << bridge.output;
    // The bridge's own health check at start goes first, undelayed.
    for (int wait = 0; authority.requestCount("GET", "/api/health") == 0 && wait < 500; ++wait)
        std::this_thread::sleep_for(10ms);
    authority.delayNext("GET", "/api/health", 1500ms);

    test::ChildProcess client(test::kBridgeExecutable, {"stdio"}, environment(), true);
    client.writeInput(R"({"jsonrpc":"2.0","id":"slow","method":"tools/call","params":{"name":"authority_health"}})" "\n");
    client.writeInput(R"({"jsonrpc":"2.0","id":"fast","method":"tools/list"})" "\n");
    ASSERT_TRUE(client.waitForStdout("\n", 1s)) << "the quick answer waited for the slow one";
    EXPECT_EQ(outputLines(client.standardOutput).at(0)["id"], "fast");
    // Input ends while the slow call runs: its answer still comes before exit.
    client.closeInput();
    EXPECT_EQ(client.waitForExit(), 0);
    auto lines = outputLines(client.standardOutput);
    ASSERT_EQ(lines.size(), 2u) << client.standardOutput;
    EXPECT_EQ(lines[1]["id"], "slow");
    EXPECT_TRUE(lines[1].contains("result")) << lines[1];
}

TEST_F(StdioRelay, WithoutABridgeAnswersAtOnceThatItIsNotRunning) {
    test::ChildProcess client(test::kBridgeExecutable, {"stdio"}, environment(), true);
    auto start = std::chrono::steady_clock::now();
    client.writeInput(R"({"jsonrpc":"2.0","method":"notifications/initialized"})" "\n");
    client.writeInput(R"({"jsonrpc":"2.0","id":7,"method":"tools/list"})" "\n");
    ASSERT_TRUE(client.waitForStdout("\n", 1s)) << client.output;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    auto lines = outputLines(client.standardOutput);
    ASSERT_EQ(lines.size(), 1u);
    std::string endpoint = "http://127.0.0.1:" + std::to_string(port) + "/mcp";
    EXPECT_EQ(lines[0], JsonValue::parse(R"({"jsonrpc":"2.0","id":7,"error":{"code":-32000,"message":"BRIDGE_NOT_RUNNING","data":{"endpoint":")" +
                                         endpoint + "\"}}}"));
    client.closeInput();
    EXPECT_EQ(client.waitForExit(), 0);
    EXPECT_EQ(lineCount(client.standardOutput), 1u);
}

TEST_F(StdioRelay, EndsAtOnceWhenInputIsEmpty) {
    test::CommandResult result = test::runProgram(test::kBridgeExecutable, {"stdio"}, environment());
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "");
}

// Whoever binds the port first would receive every agent's calls: the relay,
// status and doctor send nothing to another user's program and say whose it is.
TEST_F(StdioRelay, NoCommandTalksToAnotherUsersProgramOnThePort) {
    if (std::string why = test::whyNoOtherUser(); !why.empty()) GTEST_SKIP() << why;
    test::NobodysListener other(port);
    ASSERT_TRUE(other.listening());

    test::CommandResult relay = test::runProgram(test::kBridgeExecutable, {"stdio"}, environment(),
                                                 R"({"jsonrpc":"2.0","id":7,"method":"tools/list"})" "\n");
    auto lines = outputLines(relay.out);
    ASSERT_EQ(lines.size(), 1u) << relay.out;
    EXPECT_EQ(lines[0]["id"], 7);
    EXPECT_EQ(lines[0]["error"]["message"], "BRIDGE_PORT_OTHER_USER:65534");
    EXPECT_NE(relay.err.find("uid 65534"), std::string::npos) << relay.err;
    EXPECT_NE(relay.err.find("PALISOR_BRIDGE_PORT"), std::string::npos) << relay.err;

    test::CommandResult status = test::runProgram(test::kBridgeExecutable, {"status"}, environment());
    EXPECT_NE(status.out.find("127.0.0.1:" + std::to_string(port) + " do một người dùng khác (uid 65534)"),
              std::string::npos) << status.out;
    test::CommandResult doctor = test::runProgram(test::kBridgeExecutable, {"doctor"}, environment());
    EXPECT_EQ(doctor.exitCode, 1);
    EXPECT_NE(doctor.out.find("✗ Cổng: 127.0.0.1:" + std::to_string(port) + " do một người dùng khác (uid 65534)"),
              std::string::npos) << doctor.out;
    EXPECT_NE(doctor.out.find("✓ Người dùng khác: "), std::string::npos) << doctor.out;
    EXPECT_FALSE(other.receivedBytes());
}

}  // namespace
}  // namespace palisor
