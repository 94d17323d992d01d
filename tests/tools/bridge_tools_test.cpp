// The simple tools end to end: JSON-RPC into the bridge, real HTTP to the
// development authority behind it.
#include <gmock/gmock.h>
#include "tests/tools/tools_fixture.h"

namespace palisor {
namespace {

using ::testing::StartsWith;

using namespace std::chrono_literals;

class BridgeTools : public test::ToolsFixture {};

TEST_F(BridgeTools, ListHealthBootstrapAndCatalogue) {
    JsonValue list = toolValue(callTool("bridge_list_workspaces"));
    ASSERT_EQ(list["workspaces"].size(), 1u);
    EXPECT_EQ(list["defaultWorkspaceId"], "demo-project");
    EXPECT_EQ(list["workspaces"][0]["workspaceRoot"], workspaceRoot);

    // Health needs no login and passes the authority's answer through whatever its status.
    EXPECT_EQ(toolValue(callTool("authority_health"))["service"], "palisor-dev-authority");
    authority.failNext("GET", "/api/health", 503, {{"code", "DOWN"}, {"message", "maintenance"}});
    EXPECT_EQ(toolValue(callTool("authority_health"))["code"], "DOWN");

    JsonValue loggedOut = callTool("authority_bootstrap");
    EXPECT_EQ(loggedOut["error"]["code"], -32000);
    EXPECT_EQ(loggedOut["error"]["message"], "BRIDGE_LOGIN_REQUIRED");

    login();
    JsonValue bootstrap = toolValue(callTool("authority_bootstrap", {{"projectKey", kProject}}));
    EXPECT_EQ(bootstrap["projectKey"], kProject);
    JsonValue catalog = toolValue(callTool("authority_list_operations", {{"workspaceRoot", workspaceRoot + "/"}}));
    EXPECT_TRUE(catalog["operations"].is_array());
    EXPECT_TRUE(catalog.contains("version"));

    JsonValue unknown = callTool("Authority_Health");
    EXPECT_EQ(unknown["error"]["message"], "UNKNOWN_TOOL:Authority_Health");

    // Plain route: a missing login is 401.
    client->logout();
    auto plain = test::parseResponse(test::get(server->port(), "/bootstrap?projectKey=DEMO-PROJECT"));
    EXPECT_EQ(plain.status, 401);
    EXPECT_EQ(plain.json["error"], "BRIDGE_LOGIN_REQUIRED");
}

TEST_F(BridgeTools, ACatalogueWithoutOperationsIsReported) {
    login();
    for (JsonValue body : {JsonValue{{"projectKey", kProject}},
                           JsonValue{{"operationCatalog", {{"operations", {1, 2}}}}},
                           JsonValue{{"operationCatalog", {{"operations", "none"}}}}}) {
        authority.failNext("GET", "/api/authority", 200, body);
        EXPECT_EQ(callTool("authority_list_operations")["error"]["message"], "AUTHORITY_OPERATION_CATALOG_MISSING");
    }
}

TEST_F(BridgeTools, TraceHeadersReachTheAuthority) {
    login();
    authority.resetRecords();
    callTool("authority_bootstrap", {{"traceId", "trace-given-0001"}, {"itemId", "task-00042"}});
    auto seen = authority.requests("GET", "/api/authority");
    ASSERT_EQ(seen.size(), 1u);
    const auto& headers = seen[0];
    EXPECT_EQ(headers.header("x-palisor-trace-id"), "trace-given-0001");
    EXPECT_THAT(headers.header("x-palisor-span-id"), StartsWith("span-bridge-"));
    EXPECT_THAT(headers.header("x-palisor-causal-id"), StartsWith("causal-"));
    EXPECT_EQ(headers.header("x-palisor-operation-id"), "authority.get");
    EXPECT_EQ(headers.header("x-palisor-task-id"), "task-00042");
    EXPECT_EQ(headers.header("x-palisor-project-key"), kProject);
    EXPECT_EQ(headers.header("x-palisor-source-component"), "bridge");
    EXPECT_EQ(headers.header("x-palisor-client-kind"), "bridge-native");
    EXPECT_THAT(headers.header("authorization"), StartsWith("Bearer "));

    // A project key under 8 characters is not sent as a header.
    std::string shortRoot = makeWorkspace("short one", "short");
    registry->add(shortRoot, true, false);
    authority.resetRecords();
    callTool("authority_bootstrap", {{"workspaceRoot", shortRoot}, {"traceId", "tiny"}});
    auto shortSeen = authority.requests("GET", "/api/authority");
    ASSERT_EQ(shortSeen.size(), 1u);
    EXPECT_EQ(shortSeen[0].header("x-palisor-project-key"), "");
    // A trace id that fails the rules is not sent at all.
    EXPECT_EQ(shortSeen[0].header("x-palisor-trace-id"), "");
}

}  // namespace
}  // namespace palisor
