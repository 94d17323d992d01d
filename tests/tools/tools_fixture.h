#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "bridge/app/tool_router_endpoint.h"
#include "bridge/authority/authority_client.h"
#include "bridge/credentials/native_token_store.h"
#include "bridge/mcp/local_mcp_server.h"
#include "bridge/mcp/routes.h"
#include "bridge/tools/tool_router.h"
#include "bridge/workspace/workspace_registry.h"
#include "tests/support/http_client.h"
#include "tests/support/temp_dir.h"
#include "tools/dev-authority/dev_authority.h"

namespace palisor::test {

// Checks the fields `expected` names in `actual`; a null value stands for a
// field that must be absent.
inline void expectFields(const JsonValue& actual, const JsonValue& expected) {
    for (auto it = expected.begin(); it != expected.end(); ++it) {
        if (it.value().is_null())
            EXPECT_FALSE(actual.contains(it.key())) << it.key() << " in " << actual.dump();
        else
            EXPECT_EQ(actual.value(it.key(), JsonValue()), it.value()) << it.key() << " in " << actual.dump();
    }
}

// The whole request path on loopback: JSON-RPC into a bridge endpoint, the
// development authority behind it, one registered workspace.
class ToolsFixture : public ::testing::Test {
protected:
    static constexpr const char* kEmail = "agent-owner@palisor.local";
    static constexpr const char* kPassword = "mật-khẩu";
    static constexpr const char* kProject = "DEMO-PROJECT";

    void SetUp() override {
        authority.addProject(kProject, "Demo");
        authority.addProject("short", "Short key");
        authority.addUser(kEmail, kPassword, {kProject, "short"});
        authority.start();
        workspaceRoot = makeWorkspace("workspace one", kProject);

        NativeTokenStore::Options storeOptions;
        storeOptions.keychainEnabled = false;
        store = std::make_shared<NativeTokenStore>(storeOptions);
        AuthorityClient::Options clientOptions;
        clientOptions.authorityOrigin = authority.origin();
        clientOptions.tokenStore = store;
        client = std::make_shared<AuthorityClient>(clientOptions);
        registry = std::make_shared<WorkspaceRegistry>(authority.origin(), std::nullopt, nullptr);
        registry->add(workspaceRoot, true, true);
        router = std::make_shared<ToolRouter>(client, registry);
        server = LocalMcpServer::create(0, std::make_shared<ToolRouterEndpoint>(router));
        server->start();
    }
    void TearDown() override { server->stop(); }

    std::string makeWorkspace(const std::string& name, const std::string& projectKey) {
        return test::makeWorkspace(dir.path(), name, projectKey, authority.origin());
    }

    void login() { client->login(kEmail, kPassword); }

    // tools/call over JSON-RPC; the parsed answer.
    JsonValue callTool(const std::string& name, const JsonValue& arguments = JsonValue::object()) {
        JsonValue request = {{"jsonrpc", "2.0"},
                             {"id", 1},
                             {"method", "tools/call"},
                             {"params", {{"name", name}, {"arguments", arguments}}}};
        return parseResponse(post(server->port(), "/mcp", request.dump())).json;
    }
    JsonValue callOperation(const std::string& operationId, JsonValue arguments = JsonValue::object()) {
        arguments["operationId"] = operationId;
        return callTool("authority_call_operation", arguments);
    }
    // The tool value of a successful call.
    static JsonValue toolValue(const JsonValue& answer) {
        return JsonValue::parse(answer["result"]["content"][0]["text"].get<std::string>());
    }
    // The work events the bridge itself recorded in a project.
    std::vector<JsonValue> bridgeEvents(const std::string& projectKey = kProject) {
        std::vector<JsonValue> events;
        for (const JsonValue& event : authority.workEvents(projectKey))
            if (event.value("component", "") == "bridge") events.push_back(event);
        return events;
    }

    std::string spoolFile() const { return workspaceRoot + "/.agents/runtime/ai-work-event-spool.v1.json"; }

    TempDir dir;
    dev::DevAuthority authority;
    std::string workspaceRoot;
    std::shared_ptr<NativeTokenStore> store;
    std::shared_ptr<AuthorityClient> client;
    std::shared_ptr<WorkspaceRegistry> registry;
    std::shared_ptr<ToolRouter> router;
    std::shared_ptr<LocalMcpServer> server;
};

inline JsonValue workEvent(const std::string& key, JsonValue extra = JsonValue::object()) {
    JsonValue event = {{"idempotencyKey", key},
                       {"kind", "decision"},
                       {"eventType", "agent.decision"},
                       {"outcome", "succeeded"},
                       {"summary", "Chọn cách sửa lỗi"}};
    for (auto it = extra.begin(); it != extra.end(); ++it) event[it.key()] = it.value();
    return event;
}

}  // namespace palisor::test
