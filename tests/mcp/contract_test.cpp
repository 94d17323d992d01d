#include <gtest/gtest.h>

#include "bridge/mcp/mcp_tool_contract.h"

namespace palisor {
namespace {

TEST(McpToolContract, SevenToolsInCatalogueOrderWithTheirSchemas) {
    const JsonValue& tools = McpToolContract::toolDefinitions();
    ASSERT_EQ(tools.size(), 7u);
    std::vector<std::string> names;
    for (const auto& tool : tools) names.push_back(tool["name"]);
    EXPECT_EQ(names, (std::vector<std::string>{"bridge_list_workspaces", "authority_bootstrap", "authority_health",
                                               "authority_list_operations", "authority_call_operation",
                                               "authority_log_work_event", "authority_sync_skills"}));

    const JsonValue empty = {{"type", "object"}, {"properties", JsonValue::object()}};
    EXPECT_EQ(tools[0]["inputSchema"], empty);
    EXPECT_EQ(tools[2]["inputSchema"], empty);
    EXPECT_EQ(tools[0]["description"], "Liệt kê các workspace project đã được user đăng ký trên Bridge.");

    const JsonValue text = {{"type", "string"}};
    const JsonValue selectors = {{"workspaceId", text}, {"projectKey", text}, {"workspaceRoot", text}};
    EXPECT_EQ(tools[1]["inputSchema"], JsonValue({{"type", "object"}, {"properties", selectors}}));
    EXPECT_EQ(tools[3]["inputSchema"], JsonValue({{"type", "object"}, {"properties", selectors}}));

    const JsonValue& call = tools[4]["inputSchema"];
    EXPECT_EQ(call["required"], JsonValue::array({"operationId"}));
    EXPECT_EQ(call["properties"].size(), 12u);
    EXPECT_EQ(call["properties"]["pathParams"], JsonValue({{"type", "object"}, {"properties", JsonValue::object()}}));
    EXPECT_EQ(call["properties"]["traceId"],
              JsonValue({{"type", "string"}, {"minLength", 8}, {"maxLength", 200},
                         {"pattern", "^[A-Za-z0-9._:@/+=-]+$"}}));
    EXPECT_EQ(call["properties"]["autoSyncSkills"]["type"], "boolean");
    EXPECT_EQ(tools[4]["description"],
              "Gọi một operationId đã được keelhouse-server cấp trong operation catalog. Không phải raw API.");

    EXPECT_EQ(tools[5]["inputSchema"]["required"], JsonValue::array({"event"}));
    EXPECT_EQ(tools[5]["inputSchema"]["properties"]["event"],
              JsonValue({{"type", "object"}, {"properties", JsonValue::object()}}));

    const JsonValue& sync = tools[6]["inputSchema"];
    EXPECT_EQ(sync["properties"].size(), 8u);
    EXPECT_EQ(sync["properties"]["skills"], JsonValue({{"type", "array"}}));
    EXPECT_FALSE(sync.contains("required"));
}

TEST(McpToolContract, InitializeAdvertisesToolsOnlyAndTheVersion) {
    JsonValue result = McpToolContract::initializeResult();
    EXPECT_EQ(result, JsonValue({{"protocolVersion", "2025-06-18"},
                                 {"capabilities", {{"tools", JsonValue::object()}}},
                                 {"serverInfo", {{"name", "palisor-bridge-native"},
                                                 {"version", McpToolContract::serverVersion()}}}}));
    EXPECT_NE(McpToolContract::serverVersion(), "0.0.0");
    EXPECT_EQ(McpToolContract::versionOrFallback(std::nullopt), "0.0.0");
    EXPECT_EQ(McpToolContract::versionOrFallback(std::string("")), "0.0.0");
    EXPECT_EQ(McpToolContract::displayVersionText(), "Phiên bản " + McpToolContract::serverVersion());
}

}  // namespace
}  // namespace palisor
