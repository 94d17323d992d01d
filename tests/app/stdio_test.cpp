// `stdio` as an agent drives it: JSON-RPC lines in, answers out; the program
// once against a running bridge, the relay itself in this process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <sstream>
#include <thread>

#include "bridge/app/cli/doctor_command.h"
#include "bridge/app/cli/session_commands.h"
#include "bridge/app/cli/stdio_command.h"
#include "bridge/common/json.h"
#include "tests/support/bridge_process.h"
#include "tests/support/http_client.h"
#include "tests/support/other_user.h"
#include "tests/support/temp_dir.h"
#include "tools/dev-authority/dev_authority.h"

namespace palisor {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

std::vector<JsonValue> outputLines(const std::string& text) {
    std::vector<JsonValue> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(JsonValue::parse(line));
    return lines;
}

class StdioRelay : public ::testing::Test {
protected:
    // The relay in this process, on the whole of `input`.
    std::vector<JsonValue> relay(const std::string& input, std::string* err = nullptr) const {
        std::istringstream in(input);
        std::ostringstream out, errors;
        EXPECT_EQ(runStdioRelay(configuration, in, out, errors), 0);
        if (err) *err = errors.str();
        return outputLines(out.str());
    }

    dev::DevAuthority authority;
    test::TempDir config;
    std::uint16_t port = test::freePort();
    Configuration configuration = [this] {
        Configuration configuration;
        configuration.portText = std::to_string(port);
        UserFolderVariables folders;
        folders.home = config.path();
        configuration.folders = UserFolders::resolve(folders);
        return configuration;
    }();
};

TEST_F(StdioRelay, RelaysRequestsAndAnswersOnlyThoseWithAnIdWithoutWaitingForASlowOne) {
    // No bridge: every call is answered at once that it is not running.
    EXPECT_TRUE(relay("").empty());
    auto start = std::chrono::steady_clock::now();
    auto lines = relay(R"({"jsonrpc":"2.0","method":"notifications/initialized"}
{"jsonrpc":"2.0","id":7,"method":"tools/list"}
)");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    std::string endpoint = "http://127.0.0.1:" + std::to_string(port) + "/mcp";
    EXPECT_EQ(
        lines,
        std::vector<JsonValue>{JsonValue::parse(
            R"({"jsonrpc":"2.0","id":7,"error":{"code":-32000,"message":"BRIDGE_NOT_RUNNING","data":{"endpoint":")" +
            endpoint + "\"}}}")});

    authority.start();
    test::BridgeProcess bridge(port, {"PALISOR_BRIDGE_AUTHORITY=" + authority.origin()}, config.path());
    ASSERT_TRUE(bridge.waitForOutput("Bridge đang chạy")) << bridge.output;
    // Blank lines are skipped; the last line without its newline still counts.
    lines = relay(R"({"jsonrpc":"2.0","method":"notifications/initialized"}

   )"
                  "\r\n"
                  R"({"jsonrpc":"2.0","id":"two","method":"tools/list"}
this is not json
{"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"authority_health"}})");
    std::map<std::string, JsonValue> byId;
    ASSERT_EQ(lines.size(), 3u);
    for (const JsonValue& line : lines) byId[line["id"].dump()] = line;
    EXPECT_EQ(byId["\"two\""]["result"]["tools"].size(), 7u);
    EXPECT_EQ(byId["null"],
              JsonValue::parse(R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"INVALID_JSON"}})"));
    EXPECT_THAT(byId["3"]["result"]["content"][0]["text"].get<std::string>(), HasSubstr("palisor-dev-authority"));

    // A tool call that takes its time holds up neither the others nor the
    // end: input ends while it runs, and its answer still comes.
    authority.delayNext("GET", "/api/health", 1500ms);
    lines = relay(R"({"jsonrpc":"2.0","id":"slow","method":"tools/call","params":{"name":"authority_health"}}
{"jsonrpc":"2.0","id":"fast","method":"tools/list"}
)");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["id"], "fast");
    EXPECT_EQ(lines[1]["id"], "slow");
    EXPECT_TRUE(lines[1].contains("result")) << lines[1];
}

// Whoever binds the port first would receive every agent's calls: the relay,
// status and doctor send nothing to another user's program and say whose it is.
TEST_F(StdioRelay, NoCommandTalksToAnotherUsersProgramOnThePort) {
    if (std::string why = test::whyNoOtherUser(); !why.empty()) GTEST_SKIP() << why;
    test::NobodysListener other(port);
    ASSERT_TRUE(other.listening());

    std::string err;
    auto lines = relay(R"({"jsonrpc":"2.0","id":7,"method":"tools/list"})", &err);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["id"], 7);
    EXPECT_EQ(lines[0]["error"]["message"], "BRIDGE_PORT_OTHER_USER:65534");
    EXPECT_THAT(err, AllOf(HasSubstr("uid 65534"), HasSubstr("PALISOR_BRIDGE_PORT")));

    std::ostringstream status, ignored;
    runStatus(configuration, false, status, ignored);
    EXPECT_THAT(status.str(), HasSubstr("127.0.0.1:" + std::to_string(port) + " do một người dùng khác (uid 65534)"));
    DoctorRow doctor = checkPort(port);
    EXPECT_EQ(doctor.state, DoctorRow::State::failure);
    EXPECT_THAT(doctor.detail, HasSubstr("127.0.0.1:" + std::to_string(port) + " do một người dùng khác (uid 65534)"));
    EXPECT_EQ(checkOtherUsers().state, DoctorRow::State::pass);
    EXPECT_FALSE(other.receivedBytes());
}

}  // namespace
}  // namespace palisor
