#include "bridge/mcp/mcp_tool_contract.h"

#include "palisor_version.h"

namespace palisor {

namespace {

JsonValue textSchema() { return {{"type", "string"}}; }

JsonValue workspaceSelectors() {
    return {{"workspaceId", textSchema()}, {"projectKey", textSchema()}, {"workspaceRoot", textSchema()}};
}

JsonValue buildToolDefinitions() {
    using C = McpToolContract;
    JsonValue tools = JsonValue::array();
    tools.push_back(C::tool("bridge_list_workspaces",
                            "Liệt kê các workspace project đã được user đăng ký trên Bridge.", JsonValue::object()));
    tools.push_back(C::tool("authority_bootstrap", "Đọc authority bootstrap qua bridge theo project trong AGENTS.md.",
                            workspaceSelectors()));
    tools.push_back(C::tool("authority_health", "Kiểm tra health public của authority server.", JsonValue::object()));
    tools.push_back(C::tool("authority_list_operations", "Đọc operation catalog do keelhouse-server trả về.",
                            workspaceSelectors()));

    JsonValue call = workspaceSelectors();
    call["operationId"] = textSchema();
    call["pathParams"] = C::objectSchema();
    call["query"] = C::objectSchema();
    call["body"] = C::objectSchema();
    for (const char* name : {"traceId", "spanId", "parentSpanId", "causalId"}) call[name] = C::traceIdentifierSchema();
    call["autoSyncSkills"] = {
        {"type", "boolean"},
        {"description",
         "Chỉ đặt true khi muốn response của operation này kích hoạt skill vào .agents/skills. GET/read mặc định "
         "không ghi file."}};
    tools.push_back(C::tool("authority_call_operation",
                            "Gọi một operationId đã được keelhouse-server cấp trong operation catalog. Không phải raw API.",
                            call, {"operationId"}));

    JsonValue log = workspaceSelectors();
    log["event"] = C::objectSchema();
    tools.push_back(C::tool("authority_log_work_event",
                            "Ghi một mốc nhân quả do AI node quan sát vào Authority. Chỉ ghi kết luận, quyết định, "
                            "evidence và lỗi; không gửi chain-of-thought, token, mật khẩu, raw prompt hoặc source code.",
                            log, {"event"}));

    JsonValue sync = workspaceSelectors();
    sync["itemId"] = textSchema();
    sync["scope"] = textSchema();
    sync["repoKey"] = textSchema();
    sync["skills"] = {{"type", "array"}};
    sync["task"] = C::objectSchema();
    tools.push_back(C::tool("authority_sync_skills",
                            "Sync skill package từ authority về workspace dự án tại .agents/skills.", sync));
    return tools;
}

}  // namespace

std::string McpToolContract::versionOrFallback(const std::optional<std::string>& version) {
    return version && !version->empty() ? *version : "0.0.0";
}

std::string McpToolContract::serverVersion() {
#ifdef PALISOR_BRIDGE_VERSION
    return versionOrFallback(std::string(PALISOR_BRIDGE_VERSION));
#else
    return versionOrFallback(std::nullopt);
#endif
}

std::string McpToolContract::displayVersionText() { return "Phiên bản " + serverVersion(); }

const JsonValue& McpToolContract::toolDefinitions() {
    // Never destroyed: request threads may still read it while the process exits.
    static const JsonValue& definitions = *new JsonValue(buildToolDefinitions());
    return definitions;
}

JsonValue McpToolContract::initializeResult() {
    return {{"protocolVersion", protocolVersion},
            {"capabilities", {{"tools", JsonValue::object()}}},
            {"serverInfo", {{"name", serverName}, {"version", serverVersion()}}}};
}

JsonValue McpToolContract::tool(const std::string& name, const std::string& description, const JsonValue& properties,
                                const std::vector<std::string>& required) {
    JsonValue schema = {{"type", "object"}, {"properties", properties}};
    if (!required.empty()) schema["required"] = required;
    return {{"name", name}, {"description", description}, {"inputSchema", schema}};
}

JsonValue McpToolContract::objectSchema(const JsonValue& properties) {
    return {{"type", "object"}, {"properties", properties}};
}

JsonValue McpToolContract::traceIdentifierSchema() {
    return {{"type", "string"}, {"minLength", 8}, {"maxLength", 200}, {"pattern", "^[A-Za-z0-9._:@/+=-]+$"}};
}

}  // namespace palisor
