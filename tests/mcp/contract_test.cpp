#include <gtest/gtest.h>

#include "bridge/mcp/mcp_tool_contract.h"

namespace palisor {
namespace {

// The catalogue's shape, and a few texts agents depend on word for word.
TEST(McpToolContract, SevenToolsInCatalogueOrderWithTheirSchemas) {
    const JsonValue& tools = McpToolContract::toolDefinitions();
    const std::string selectors = "projectKey workspaceId workspaceRoot";
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"bridge_list_workspaces", ""},
        {"authority_bootstrap", selectors},
        {"authority_health", ""},
        {"authority_list_operations", selectors},
        {"authority_call_operation", "autoSyncSkills body causalId operationId parentSpanId pathParams projectKey query "
                                     "spanId traceId workspaceId workspaceRoot"},
        {"authority_log_work_event", "event " + selectors},
        {"authority_sync_skills", "itemId projectKey repoKey scope skills task workspaceId workspaceRoot"}};
    std::vector<std::pair<std::string, std::string>> shapes;
    for (const auto& tool : tools) {
        EXPECT_FALSE(tool["description"].get<std::string>().empty()) << tool["name"];
        const JsonValue& schema = tool["inputSchema"];
        EXPECT_EQ(schema["type"], "object") << tool["name"];
        for (const auto& required : schema.value("required", JsonValue::array()))
            EXPECT_TRUE(schema["properties"].contains(required)) << tool["name"];
        std::string properties;  // sorted: JSON objects keep their keys in order
        for (const auto& [name, property] : schema["properties"].items()) properties += (properties.empty() ? "" : " ") + name;
        shapes.emplace_back(tool["name"], properties);
    }
    EXPECT_EQ(shapes, expected);
    EXPECT_EQ(tools[0]["description"], "Liệt kê các workspace project đã được user đăng ký trên Bridge.");
    EXPECT_EQ(tools[4]["description"],
              "Gọi một operationId đã được keelhouse-server cấp trong operation catalog. Không phải raw API.");
    EXPECT_EQ(tools[4]["inputSchema"]["required"], JsonValue::array({"operationId"}));
    EXPECT_EQ(tools[4]["inputSchema"]["properties"]["traceId"],
              JsonValue({{"type", "string"}, {"minLength", 8}, {"maxLength", 200},
                         {"pattern", "^[A-Za-z0-9._:@/+=-]+$"}}));
    EXPECT_EQ(tools[5]["inputSchema"]["required"], JsonValue::array({"event"}));
    EXPECT_FALSE(tools[6]["inputSchema"].contains("required"));
}

TEST(McpToolContract, InitializeAdvertisesToolsOnlyAndTheVersion) {
    EXPECT_EQ(McpToolContract::initializeResult(),
              JsonValue({{"protocolVersion", "2025-06-18"},
                         {"capabilities", {{"tools", JsonValue::object()}}},
                         {"serverInfo", {{"name", "palisor-bridge-native"}, {"version", McpToolContract::serverVersion()}}}}));
    EXPECT_NE(McpToolContract::serverVersion(), "0.0.0");
    EXPECT_EQ(McpToolContract::displayVersionText(), "Phiên bản " + McpToolContract::serverVersion());
}

}  // namespace
}  // namespace palisor
