#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/activity/activity_log.h"
#include "bridge/common/json.h"
#include "bridge/mcp/http_response.h"
#include "bridge/mcp/mcp_tool_router.h"

namespace palisor {

struct Route {
    std::string path;
    JsonValue query = JsonValue::object();  // every value a text
};

// What one request may use: the port it arrived on (for the bodies that name
// the endpoint), the tool router, absent until it is ready, and the activity
// log that keeps a record of each tool call, absent when records are off.
struct EndpointContext {
    std::uint16_t port = 0;
    std::shared_ptr<McpToolRouter> toolRouter;
    std::shared_ptr<ActivityLog> activity = nullptr;
};

// Where a tool call's record goes, and the client's name for it.
struct ToolCallRecording {
    std::shared_ptr<ActivityLog> log;  // absent: the call is not recorded
    std::string userAgent;
};

// One request as the route layer sees it: its answer when that is known at
// once, otherwise the tool call that makes it. Tool calls block on the
// authority; everything else is answered without waiting on anything.
struct RoutedRequest {
    std::optional<HttpResponse> answer;
    std::function<HttpResponse()> toolCall;  // set when answer is absent
};

// Parses the raw bytes of one request and routes it. The tool call, if any,
// holds the router that was current here: a request uses one router only.
RoutedRequest routeHttp(std::string_view data, const EndpointContext& context);

// Turns the raw bytes of one request into its response (routeHttp, then the
// tool call). Stateless; safe to run for many connections at once.
HttpResponse handleHttp(std::string_view data, const EndpointContext& context);

Route parseRoute(std::string_view target);

// The plain-HTTP way of calling a tool (the bootstrap shortcut).
HttpResponse handleHttpTool(const std::string& name, const JsonValue& args, McpToolRouter* router,
                            const ToolCallRecording& recording = {});

JsonValue rpcResult(const JsonValue& id, const JsonValue& result);
JsonValue rpcError(const JsonValue& id, int code, const std::string& message,
                   const std::optional<JsonValue>& data = std::nullopt);

// One text item holding the tool value as pretty JSON with sorted keys, or
// the JSON_SERIALIZE_FAILED object when the value is not an object or array
// or cannot be serialised.
JsonValue toMcpToolResult(const JsonValue& value);

// Structured details the error carries (an authority failure's record, the
// next step for an unreadable credential store); absent for every other error.
std::optional<JsonValue> bridgeErrorData(const std::exception& error);

// Status of a failed plain tool call: the error's own, 500 for errors that
// are not the bridge's.
int plainToolErrorStatus(const std::exception& error);

// Browser protection: a request whose Origin is present and is not the
// bridge's own (http://127.0.0.1:PORT or http://localhost:PORT), whose
// Sec-Fetch-Site names a cross-site or same-site request, or whose Host is
// present and names a host other than 127.0.0.1, localhost or [::1], is
// refused. Agents send none of these headers, or ours.
bool isOwnOrigin(std::string_view origin, std::uint16_t port);
// A Host header value, with an optional port, naming 127.0.0.1, localhost or [::1].
bool isOwnHost(std::string_view host);

}  // namespace palisor
