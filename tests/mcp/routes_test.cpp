#include <gtest/gtest.h>

#include <mutex>

#include "bridge/common/bridge_error.h"
#include "bridge/mcp/mcp_tool_contract.h"
#include "bridge/mcp/routes.h"
#include "tests/support/http_client.h"

namespace palisor {
namespace {

// An error that carries its own status and details, as the authority's do.
class StatusError : public BridgeError {
public:
    StatusError(std::string code, int status, JsonValue details)
        : BridgeError(std::move(code)), status_(status), details_(std::move(details)) {}
    int httpStatus() const override { return status_; }
    std::optional<JsonValue> data() const override { return details_; }

private:
    int status_;
    JsonValue details_;
};

// A router that records what it was asked and answers with a scripted value
// or error.
class ScriptedRouter : public McpToolRouter {
public:
    JsonValue call(const std::string& name, const JsonValue& args) override {
        std::lock_guard lock(mutex);
        calls.push_back({name, args});
        if (authorityStatus) throw StatusError(errorCode, authorityStatus, authorityDetails);
        if (!errorCode.empty()) throw BridgeError(errorCode, errorKind);
        return answer;
    }
    std::mutex mutex;
    std::vector<std::pair<std::string, JsonValue>> calls;
    JsonValue answer = {{"ok", true}};
    std::string errorCode;
    ErrorKind errorKind = ErrorKind::failure;
    int authorityStatus = 0;
    JsonValue authorityDetails = JsonValue::object();
};

class Routes : public ::testing::Test {
protected:
    test::ParsedResponse send(const std::string& raw, bool withRouter = true) {
        EndpointContext context{4242, withRouter ? router : nullptr};
        return test::parseResponse(handleHttp(raw, context).data);
    }
    test::ParsedResponse rpc(const std::string& body, bool withRouter = true) {
        return send("POST /mcp HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body,
                    withRouter);
    }
    std::shared_ptr<ScriptedRouter> router = std::make_shared<ScriptedRouter>();
};

TEST_F(Routes, ResponseBytesHaveTheFixedHead) {
    std::string data = HttpResponse::json(200, {{"ok", true}}).data;
    EXPECT_EQ(data,
              "HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=utf-8\r\nCache-Control: no-store\r\n"
              "Content-Length: 11\r\nConnection: close\r\n\r\n{\"ok\":true}");
    EXPECT_EQ(test::parseResponse(HttpResponse::json(403, JsonValue::object()).data).statusLine,
              "HTTP/1.1 403 Internal Server Error");
    EXPECT_EQ(test::parseResponse(HttpResponse::json(401, JsonValue::object()).data).statusLine,
              "HTTP/1.1 401 Unauthorized");
    // A body that cannot be serialised is sent as {}.
    auto broken = test::parseResponse(HttpResponse::json(200, {{"k", std::string("\xFF")}}).data);
    EXPECT_EQ(broken.body, "{}");
}

TEST_F(Routes, StatusRoutesAndTheirExactBodies) {
    EXPECT_EQ(send("GET /health HTTP/1.1\r\n\r\n").json,
              JsonValue({{"ok", true}, {"service", "palisor-bridge-native"}, {"host", "127.0.0.1"}, {"port", 4242}}));

    auto tools = send("GET /tools HTTP/1.1\r\n\r\n");
    EXPECT_EQ(tools.json, JsonValue({{"ok", true},
                                     {"transport", "http"},
                                     {"mcpEndpoint", "http://127.0.0.1:4242/mcp"},
                                     {"tools", McpToolContract::toolDefinitions()}}));

    auto manifest = send("GET /mcp?x=1 HTTP/1.1\r\n\r\n");
    ASSERT_EQ(manifest.status, 200);
    const JsonValue& m = manifest.json;
    EXPECT_EQ(m["mcpTransport"], "POST JSON-RPC");
    // The fallback addresses name this endpoint's port.
    EXPECT_EQ(m["httpFallback"]["tools"], "GET http://127.0.0.1:4242/tools");
    EXPECT_EQ(m["jsonRpcExamples"]["toolsList"],
              JsonValue({{"jsonrpc", "2.0"}, {"id", 1}, {"method", "tools/list"}, {"params", JsonValue::object()}}));
}

TEST_F(Routes, RoutingIsExactOnMethodAndPath) {
    const JsonValue notFound = {{"ok", false}, {"error", "NOT_FOUND"}};
    for (const char* request : {"GET /mcp/ HTTP/1.1\r\n\r\n", "get /health HTTP/1.1\r\n\r\n",
                                "POST /health HTTP/1.1\r\n\r\n", "DELETE /mcp HTTP/1.1\r\n\r\n",
                                "GET /nope HTTP/1.1\r\n\r\n", "GET /health|x HTTP/1.1\r\n\r\n"}) {
        auto response = send(request);
        EXPECT_EQ(response.status, 404) << request;
        EXPECT_EQ(response.json, notFound) << request;
    }
    // Percent-encoded paths are decoded; blank lines before the request line are skipped.
    EXPECT_EQ(send("\r\nGET /hea%6Cth HTTP/1.1\r\n\r\n").status, 200);

    auto onlyMethod = send("GET\r\n\r\n");
    EXPECT_EQ(onlyMethod.status, 400);
    EXPECT_EQ(onlyMethod.json, JsonValue({{"ok", false}, {"error", "INVALID_HTTP_REQUEST"}}));
    auto notText = send("GET /health HTTP/1.1\r\nX: \xFF\xFE\r\n\r\n");
    EXPECT_EQ(notText.status, 400);
    EXPECT_EQ(notText.json, JsonValue({{"ok", false}, {"error", "INVALID_HTTP_TEXT"}}));
}

TEST_F(Routes, ParseRouteKeepsTheLastRepeatedQueryValue) {
    Route route = parseRoute("/bootstrap?projectKey=a&projectKey=d%E1%BB%B1+x&flag&=v");
    EXPECT_EQ(route.path, "/bootstrap");
    EXPECT_EQ(route.query, JsonValue({{"projectKey", "dự+x"}, {"flag", ""}, {"", "v"}}));
    EXPECT_EQ(parseRoute("?a=1").path, "/");
    // Targets that are not URLs are taken as a path, with no query.
    Route odd = parseRoute("/a b?x=1");
    EXPECT_EQ(odd.path, "/a b?x=1");
    EXPECT_TRUE(odd.query.empty());
    EXPECT_EQ(parseRoute("/x%zz").path, "/x%zz");
}

TEST_F(Routes, JsonRpcEnvelopeErrors) {
    const JsonValue invalid = {{"jsonrpc", "2.0"}, {"id", nullptr}, {"error", {{"code", -32700}, {"message", "INVALID_JSON"}}}};
    EXPECT_EQ(rpc("").json, invalid);
    EXPECT_EQ(rpc("[{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"tools/list\"}]").json, invalid);
    EXPECT_EQ(rpc("{\"id\":").json, invalid);
    EXPECT_EQ(rpc(std::string(2000, '[') + std::string(2000, ']')).json, invalid);

    auto notification = rpc(R"({"jsonrpc":"2.0","method":"notifications/initialized"})");
    EXPECT_EQ(notification.status, 200);
    EXPECT_EQ(notification.json,
              JsonValue({{"jsonrpc", "2.0"}, {"id", nullptr}, {"error", {{"code", -32601}, {"message", "METHOD_NOT_FOUND"}}}}));
    EXPECT_EQ(rpc(R"({"id":3,"method":7})").json["error"]["code"], -32601);

    for (const char* params : {R"("params":{})", R"("params":{"name":5})", R"("params":"x")", R"("x":1)"}) {
        auto response = rpc(std::string(R"({"id":"a","method":"tools/call",)") + params + "}");
        EXPECT_EQ(response.json["error"], JsonValue({{"code", -32602}, {"message", "INVALID_TOOL_CALL_PARAMS"}})) << params;
        EXPECT_EQ(response.json["id"], "a");
    }
}

TEST_F(Routes, JsonRpcIdsComeBackUnchangedAndLocalMethodsAnswer) {
    for (const char* id : {"\"abc\"", "7", "-1.5", "null", "true", "[1,\"x\"]", "{\"k\":1}", "18446744073709551615"}) {
        auto response = rpc(std::string(R"({"jsonrpc":"2.0","method":"tools/list","id":)") + id + "}");
        EXPECT_EQ(response.json["id"], JsonValue::parse(id)) << id;
        // The cached catalogue is laid out exactly as the general envelope.
        EXPECT_EQ(response.body, dumpCompact(rpcResult(JsonValue::parse(id),
                                                       {{"tools", McpToolContract::toolDefinitions()}})))
            << id;
    }
    auto initialize = rpc(R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"x"}})");
    EXPECT_EQ(initialize.json, JsonValue({{"jsonrpc", "2.0"}, {"id", 0}, {"result", McpToolContract::initializeResult()}}));
    EXPECT_EQ(rpc(R"({"jsonrpc":"2.0","id":"p","method":"ping"})").json,
              JsonValue({{"jsonrpc", "2.0"}, {"id", "p"}, {"result", JsonValue::object()}}));
    // A ping without an id is a notification, answered as every other one.
    EXPECT_EQ(rpc(R"({"jsonrpc":"2.0","method":"ping"})").json["error"]["code"], -32601);
}

TEST_F(Routes, ToolCallsWrapValuesAndErrors) {
    router->answer = {{"b", 1}, {"a", {{"z", true}}}};
    auto ok = rpc(R"({"id":1,"method":"tools/call","params":{"name":"authority_health","arguments":5}})");
    ASSERT_EQ(router->calls.size(), 1u);
    EXPECT_EQ(router->calls[0].first, "authority_health");
    EXPECT_EQ(router->calls[0].second, JsonValue::object());
    EXPECT_EQ(ok.json["result"], JsonValue({{"content", {{{"type", "text"}, {"text", "{\n  \"a\": {\n    \"z\": true\n  },\n  \"b\": 1\n}"}}}}}));

    router->answer = "bare text";
    auto bare = rpc(R"({"id":2,"method":"tools/call","params":{"name":"x"}})");
    EXPECT_EQ(bare.json["result"]["content"][0]["text"], "{\"ok\":false,\"error\":\"JSON_SERIALIZE_FAILED\"}");
    router->answer = {{"bad", std::string("\xC3")}};
    EXPECT_EQ(rpc(R"({"id":2,"method":"tools/call","params":{"name":"x"}})").json["result"]["content"][0]["text"],
              "{\"ok\":false,\"error\":\"JSON_SERIALIZE_FAILED\"}");

    router->errorCode = "BRIDGE_LOGIN_REQUIRED";
    router->errorKind = ErrorKind::loginRequired;
    auto failed = rpc(R"({"id":"q","method":"tools/call","params":{"name":"authority_bootstrap","arguments":{"projectKey":"p"}}})");
    EXPECT_EQ(failed.status, 200);
    EXPECT_EQ(failed.json, JsonValue({{"jsonrpc", "2.0"}, {"id", "q"},
                                      {"error", {{"code", -32000}, {"message", "BRIDGE_LOGIN_REQUIRED"}}}}));

    auto notReady = rpc(R"({"id":9,"method":"tools/call","params":{"name":"authority_health"}})", false);
    EXPECT_EQ(notReady.json["result"]["content"][0]["text"],
              "{\n  \"error\": \"NATIVE_TOOL_ROUTER_NOT_READY\",\n  \"ok\": false\n}");
}

TEST_F(Routes, PlainBootstrapRoute) {
    auto missing = send("GET /bootstrap HTTP/1.1\r\n\r\n");
    EXPECT_EQ(missing.status, 400);
    EXPECT_EQ(missing.json, JsonValue({{"ok", false}, {"error", "WORKSPACE_ID_PROJECT_KEY_OR_ROOT_REQUIRED"}}));
    EXPECT_EQ(send("GET /bootstrap?projectKey= HTTP/1.1\r\n\r\n").status, 400);
    EXPECT_TRUE(router->calls.empty());

    router->answer = {{"project", "p"}};
    auto ok = send("GET /authority/bootstrap?projectKey=proj-1 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(ok.json, JsonValue({{"project", "p"}}));
    ASSERT_EQ(router->calls.size(), 1u);
    EXPECT_EQ(router->calls[0], (std::pair<std::string, JsonValue>{"authority_bootstrap", {{"projectKey", "proj-1"}}}));

    router->answer = JsonValue::array({1, 2});
    auto wrapped = send("POST /bootstrap HTTP/1.1\r\n\r\n{\"workspaceId\":\"w\"}");
    EXPECT_EQ(wrapped.json, JsonValue({{"ok", true}, {"result", {1, 2}}}));

    // A body with blank lines inside arrives whole.
    send("POST /bootstrap HTTP/1.1\r\n\r\n{\"projectKey\":\"p\",\r\n\r\n\"workspaceId\":\"w\"}");
    EXPECT_EQ(router->calls.back().second, JsonValue({{"projectKey", "p"}, {"workspaceId", "w"}}));

    auto badJson = send("POST /bootstrap HTTP/1.1\r\n\r\n[1]");
    EXPECT_EQ(badJson.status, 400);
    EXPECT_EQ(badJson.json, JsonValue({{"ok", false}, {"error", "INVALID_JSON"}}));
    // A non-text selector counts as empty.
    EXPECT_EQ(send("POST /bootstrap HTTP/1.1\r\n\r\n{\"projectKey\":5}").status, 400);

    auto notReady = send("GET /bootstrap?workspaceId=w HTTP/1.1\r\n\r\n", false);
    EXPECT_EQ(notReady.status, 200);
    EXPECT_EQ(notReady.json, JsonValue({{"ok", false}, {"error", "NATIVE_TOOL_ROUTER_NOT_READY"}}));
}

TEST_F(Routes, PlainToolErrorStatusesFollowTheKind) {
    const std::vector<std::pair<ErrorKind, int>> cases = {{ErrorKind::loginRequired, 401},
                                                          {ErrorKind::badRequest, 400},
                                                          {ErrorKind::unavailable, 503},
                                                          {ErrorKind::failure, 500}};
    for (const auto& [kind, status] : cases) {
        router->errorCode = "SOME_CODE_REQUIRED";
        router->errorKind = kind;
        auto response = send("GET /bootstrap?projectKey=p HTTP/1.1\r\n\r\n");
        EXPECT_EQ(response.status, status);
        EXPECT_EQ(response.json, JsonValue({{"ok", false}, {"error", "SOME_CODE_REQUIRED"}}));
    }
}

TEST_F(Routes, BrowserRequestsFromOtherSitesAreRefused) {
    const JsonValue refused = {{"ok", false}, {"error", "ORIGIN_NOT_ALLOWED"}};
    // Pages on other loopback ports are other sites too; browsers mark every
    // request they send with Sec-Fetch-Site.
    for (const char* header : {"Origin: https://evil.example", "Origin: null", "origin: http://127.0.0.1.evil.example",
                               "Origin: http://localhost:3000", "Origin: https://127.0.0.1:4242",
                               "Origin: http://[::1]:4242", "Origin: http://localhost:4242/x",
                               "Sec-Fetch-Site: cross-site", "sec-fetch-site: same-site", "Sec-Fetch-Site:",
                               "Host: evil.example", "HOST: rebind.example:47621", "Host: 127.0.0.2:47621"}) {
        auto response = send(std::string("POST /mcp HTTP/1.1\r\n") + header +
                             "\r\n\r\n{\"id\":1,\"method\":\"tools/call\",\"params\":{\"name\":\"x\"}}");
        EXPECT_EQ(response.status, 403) << header;
        EXPECT_EQ(response.json, refused) << header;
    }
    EXPECT_TRUE(router->calls.empty());

    for (const char* header : {"Origin: http://localhost:4242", "Origin: HTTP://127.0.0.1:4242",
                               "Sec-Fetch-Site: none", "Sec-Fetch-Site: same-origin", "Host: 127.0.0.1:47621",
                               "Host: localhost", "Host: [::1]:47621", "Host: LOCALHOST", "X-Other: https://evil.example"}) {
        auto response = send(std::string("GET /health HTTP/1.1\r\n") + header + "\r\n\r\n");
        EXPECT_EQ(response.status, 200) << header;
    }
}

TEST_F(Routes, EventStreamRequestsOnTheManifestGet405) {
    auto stream = send("GET /mcp HTTP/1.1\r\nAccept: text/event-stream\r\n\r\n");
    EXPECT_EQ(stream.status, 405);
    EXPECT_EQ(stream.json, JsonValue({{"ok", false}, {"error", "SSE_STREAM_NOT_SUPPORTED"}}));
    EXPECT_EQ(send("GET /mcp HTTP/1.1\r\naccept: application/json, Text/Event-Stream\r\n\r\n").status, 405);
    EXPECT_EQ(send("GET /mcp HTTP/1.1\r\nAccept: application/json\r\n\r\n").status, 200);
    // POST with the same Accept (every MCP client sends it) is served normally.
    auto post = send("POST /mcp HTTP/1.1\r\nAccept: application/json, text/event-stream\r\n\r\n"
                     "{\"id\":1,\"method\":\"tools/list\"}");
    EXPECT_EQ(post.status, 200);
    EXPECT_EQ(post.json["result"]["tools"], McpToolContract::toolDefinitions());
}

TEST_F(Routes, AuthorityFailuresKeepTheirStatusAndDetails) {
    router->authorityStatus = 403;
    router->errorCode = "Không có quyền";
    router->authorityDetails = {{"code", "PROJECT_FORBIDDEN"}, {"message", "Không có quyền"}};
    auto plain = send("GET /bootstrap?projectKey=p HTTP/1.1\r\n\r\n");
    EXPECT_EQ(plain.status, 403);
    EXPECT_EQ(plain.json["error"], "Không có quyền");
    EXPECT_EQ(plain.json["details"]["code"], "PROJECT_FORBIDDEN");

    auto rpcAnswer = rpc(R"({"id":1,"method":"tools/call","params":{"name":"authority_bootstrap"}})");
    EXPECT_EQ(rpcAnswer.status, 200);
    EXPECT_EQ(rpcAnswer.json["error"]["code"], -32000);
    EXPECT_EQ(rpcAnswer.json["error"]["message"], "Không có quyền");
    EXPECT_EQ(rpcAnswer.json["error"]["data"]["code"], "PROJECT_FORBIDDEN");
}

}  // namespace
}  // namespace palisor
