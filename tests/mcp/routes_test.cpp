#include "bridge/mcp/routes.h"

#include <gtest/gtest.h>

#include <mutex>

#include "bridge/common/bridge_error.h"
#include "bridge/mcp/mcp_tool_contract.h"
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
        return answer;
    }
    std::mutex mutex;
    std::vector<std::pair<std::string, JsonValue>> calls;
    JsonValue answer = {{"ok", true}};
    std::string errorCode;
    int authorityStatus = 0;
    JsonValue authorityDetails = JsonValue::object();
};

JsonValue failure(const std::string& code) {
    return {{"ok", false}, {"error", code}};
}

JsonValue rpcFailure(const JsonValue& id, int code, const std::string& message) {
    return {{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}};
}

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
    std::string toolText(const std::string& body, bool withRouter = true) {
        return rpc(body, withRouter).json["result"]["content"][0]["text"].get<std::string>();
    }
    std::shared_ptr<ScriptedRouter> router = std::make_shared<ScriptedRouter>();
};

TEST_F(Routes, ResponseBytesHaveTheFixedHead) {
    std::string data = HttpResponse::json(200, {{"ok", true}}).data;
    EXPECT_EQ(data,
              "HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=utf-8\r\nCache-Control: no-store\r\n"
              "Content-Length: 11\r\nConnection: close\r\n\r\n{\"ok\":true}");
    for (const auto& [status, line] :
         {std::pair{403, "HTTP/1.1 403 Internal Server Error"}, std::pair{401, "HTTP/1.1 401 Unauthorized"}})
        EXPECT_EQ(test::parseResponse(HttpResponse::json(status, JsonValue::object()).data).statusLine, line);
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

    // What the refusals below leave alone: percent-encoded paths are decoded,
    // blank lines before the request line skipped, and a plain Accept is
    // served. (POSTs with the Accept every MCP client sends: the client tests.)
    EXPECT_EQ(send("\r\nGET /hea%6Cth HTTP/1.1\r\n\r\n").status, 200);
    EXPECT_EQ(send("GET /mcp HTTP/1.1\r\nAccept: application/json\r\n\r\n").status, 200);
}

// Requests turned away before any tool runs: the status and code of each.
TEST_F(Routes, RefusedRequestsGetTheirStatusAndCode) {
    const std::string selectorRequired = "WORKSPACE_ID_PROJECT_KEY_OR_ROOT_REQUIRED";
    const std::vector<std::tuple<std::string, int, std::string>> cases = {
        // Routing is exact on method and path.
        {"GET /mcp/ HTTP/1.1\r\n\r\n", 404, "NOT_FOUND"},
        {"get /health HTTP/1.1\r\n\r\n", 404, "NOT_FOUND"},
        {"POST /health HTTP/1.1\r\n\r\n", 404, "NOT_FOUND"},
        {"DELETE /mcp HTTP/1.1\r\n\r\n", 404, "NOT_FOUND"},
        {"GET /nope HTTP/1.1\r\n\r\n", 404, "NOT_FOUND"},
        {"GET /health|x HTTP/1.1\r\n\r\n", 404, "NOT_FOUND"},
        {"GET\r\n\r\n", 400, "INVALID_HTTP_REQUEST"},
        {"GET /health HTTP/1.1\r\nX: \xFF\xFE\r\n\r\n", 400, "INVALID_HTTP_TEXT"},
        // The plain bootstrap route needs a selector; a non-text one counts as empty.
        {"GET /bootstrap HTTP/1.1\r\n\r\n", 400, selectorRequired},
        {"GET /bootstrap?projectKey= HTTP/1.1\r\n\r\n", 400, selectorRequired},
        {"POST /bootstrap HTTP/1.1\r\n\r\n{\"projectKey\":5}", 400, selectorRequired},
        {"POST /bootstrap HTTP/1.1\r\n\r\n[1]", 400, "INVALID_JSON"},
        // No event stream is offered on the manifest.
        {"GET /mcp HTTP/1.1\r\nAccept: text/event-stream\r\n\r\n", 405, "SSE_STREAM_NOT_SUPPORTED"},
        {"GET /mcp HTTP/1.1\r\naccept: application/json, Text/Event-Stream\r\n\r\n", 405, "SSE_STREAM_NOT_SUPPORTED"},
    };
    for (const auto& [request, status, code] : cases) {
        SCOPED_TRACE(request);
        auto response = send(request);
        EXPECT_EQ(response.status, status);
        EXPECT_EQ(response.json, failure(code));
    }
    EXPECT_TRUE(router->calls.empty());
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

TEST_F(Routes, JsonRpcEnvelopeErrorsIdsAndLocalMethods) {
    for (const std::string& body :
         {std::string(""), std::string("[{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"tools/list\"}]"),
          std::string("{\"id\":"), std::string(2000, '[') + std::string(2000, ']')})
        EXPECT_EQ(rpc(body).json, rpcFailure(nullptr, -32700, "INVALID_JSON")) << body.substr(0, 40);

    auto notification = rpc(R"({"jsonrpc":"2.0","method":"notifications/initialized"})");
    EXPECT_EQ(notification.status, 200);
    EXPECT_EQ(notification.json, rpcFailure(nullptr, -32601, "METHOD_NOT_FOUND"));
    EXPECT_EQ(rpc(R"({"id":3,"method":7})").json["error"]["code"], -32601);
    // A ping without an id is a notification, answered as every other one.
    EXPECT_EQ(rpc(R"({"jsonrpc":"2.0","method":"ping"})").json["error"]["code"], -32601);

    for (const char* params : {R"("params":{})", R"("params":{"name":5})", R"("params":"x")", R"("x":1)"}) {
        auto response = rpc(std::string(R"({"id":"a","method":"tools/call",)") + params + "}");
        EXPECT_EQ(response.json, rpcFailure("a", -32602, "INVALID_TOOL_CALL_PARAMS")) << params;
    }

    // Ids come back unchanged, and the local methods answer.
    for (const char* id : {"\"abc\"", "7", "-1.5", "null", "true", "[1,\"x\"]", "{\"k\":1}", "18446744073709551615"}) {
        auto response = rpc(std::string(R"({"jsonrpc":"2.0","method":"tools/list","id":)") + id + "}");
        EXPECT_EQ(response.json["id"], JsonValue::parse(id)) << id;
        // The cached catalogue is laid out exactly as the general envelope.
        EXPECT_EQ(response.body,
                  dumpCompact(rpcResult(JsonValue::parse(id), {{"tools", McpToolContract::toolDefinitions()}})))
            << id;
    }
    EXPECT_EQ(rpc(R"({"jsonrpc":"2.0","id":"p","method":"ping"})").json,
              JsonValue({{"jsonrpc", "2.0"}, {"id", "p"}, {"result", JsonValue::object()}}));
}

TEST_F(Routes, ToolCallsWrapValuesAndErrors) {
    router->answer = {{"b", 1}, {"a", {{"z", true}}}};
    auto ok = rpc(R"({"id":1,"method":"tools/call","params":{"name":"authority_health","arguments":5}})");
    ASSERT_EQ(router->calls.size(), 1u);
    EXPECT_EQ(router->calls[0], (std::pair<std::string, JsonValue>{"authority_health", JsonValue::object()}));
    EXPECT_EQ(ok.json["result"],
              JsonValue({{"content",
                          {{{"type", "text"}, {"text", "{\n  \"a\": {\n    \"z\": true\n  },\n  \"b\": 1\n}"}}}}}));

    const std::string anyTool = R"({"id":2,"method":"tools/call","params":{"name":"x"}})";
    for (const JsonValue& unsendable : {JsonValue("bare text"), JsonValue({{"bad", std::string("\xC3")}})}) {
        router->answer = unsendable;
        EXPECT_EQ(toolText(anyTool), "{\"ok\":false,\"error\":\"JSON_SERIALIZE_FAILED\"}");
    }

    EXPECT_EQ(toolText(anyTool, false), "{\n  \"error\": \"NATIVE_TOOL_ROUTER_NOT_READY\",\n  \"ok\": false\n}");
}

TEST_F(Routes, PlainBootstrapRoute) {
    router->answer = {{"project", "p"}};
    EXPECT_EQ(send("GET /authority/bootstrap?projectKey=proj-1 HTTP/1.1\r\n\r\n").json, router->answer);
    ASSERT_EQ(router->calls.size(), 1u);
    EXPECT_EQ(router->calls[0], (std::pair<std::string, JsonValue>{"authority_bootstrap", {{"projectKey", "proj-1"}}}));

    router->answer = JsonValue::array({1, 2});
    auto wrapped = send("POST /bootstrap HTTP/1.1\r\n\r\n{\"workspaceId\":\"w\"}");
    EXPECT_EQ(wrapped.json, JsonValue({{"ok", true}, {"result", {1, 2}}}));

    // A body with blank lines inside arrives whole.
    send("POST /bootstrap HTTP/1.1\r\n\r\n{\"projectKey\":\"p\",\r\n\r\n\"workspaceId\":\"w\"}");
    EXPECT_EQ(router->calls.back().second, JsonValue({{"projectKey", "p"}, {"workspaceId", "w"}}));

    auto notReady = send("GET /bootstrap?workspaceId=w HTTP/1.1\r\n\r\n", false);
    EXPECT_EQ(notReady.status, 200);
    EXPECT_EQ(notReady.json, failure("NATIVE_TOOL_ROUTER_NOT_READY"));
}

TEST_F(Routes, BrowserRequestsFromOtherSitesAreRefused) {
    // Pages on other loopback ports are other sites too; browsers mark every
    // request they send with Sec-Fetch-Site.
    for (const char* header :
         {"Origin: https://evil.example", "Origin: null", "origin: http://127.0.0.1.evil.example",
          "Origin: http://localhost:3000", "Origin: https://127.0.0.1:4242", "Origin: http://[::1]:4242",
          "Origin: http://localhost:4242/x", "Sec-Fetch-Site: cross-site", "sec-fetch-site: same-site",
          "Sec-Fetch-Site:", "Host: evil.example", "HOST: rebind.example:47621", "Host: 127.0.0.2:47621"}) {
        auto response = send(std::string("POST /mcp HTTP/1.1\r\n") + header +
                             "\r\n\r\n{\"id\":1,\"method\":\"tools/call\",\"params\":{\"name\":\"x\"}}");
        EXPECT_EQ(response.status, 403) << header;
        EXPECT_EQ(response.json, failure("ORIGIN_NOT_ALLOWED")) << header;
    }
    EXPECT_TRUE(router->calls.empty());

    for (const char* header : {"Origin: http://localhost:4242", "Origin: HTTP://127.0.0.1:4242", "Sec-Fetch-Site: none",
                               "Sec-Fetch-Site: same-origin", "Host: 127.0.0.1:47621", "Host: localhost",
                               "Host: [::1]:47621", "Host: LOCALHOST", "X-Other: https://evil.example"}) {
        auto response = send(std::string("GET /health HTTP/1.1\r\n") + header + "\r\n\r\n");
        EXPECT_EQ(response.status, 200) << header;
    }
}

TEST_F(Routes, AuthorityFailuresKeepTheirStatusAndDetails) {
    router->authorityStatus = 403;
    router->errorCode = "Không có quyền";
    router->authorityDetails = {{"code", "PROJECT_FORBIDDEN"}, {"message", "Không có quyền"}};
    auto plain = send("GET /bootstrap?projectKey=p HTTP/1.1\r\n\r\n");
    EXPECT_EQ(plain.status, 403);
    EXPECT_EQ(plain.json,
              JsonValue({{"ok", false}, {"error", "Không có quyền"}, {"details", router->authorityDetails}}));
}

}  // namespace
}  // namespace palisor
