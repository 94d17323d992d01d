#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/common/json.h"
#include "bridge/mcp/http_response.h"
#include "bridge/mcp/mcp_tool_router.h"

namespace palisor {

struct Route {
    std::string path;
    JsonValue query = JsonValue::object();  // every value a text
};

// What one request may use: the port it arrived on (for the bodies that name
// the endpoint) and the tool router, absent until it is ready.
struct EndpointContext {
    std::uint16_t port = 0;
    std::shared_ptr<McpToolRouter> toolRouter;
};

// Turns the raw bytes of one request into its response. Stateless; safe to
// run for many connections at once.
HttpResponse handleHttp(std::string_view data, const EndpointContext& context);

Route parseRoute(std::string_view target);

// The plain-HTTP way of calling a tool (the bootstrap shortcut).
HttpResponse handleHttpTool(const std::string& name, const JsonValue& args, McpToolRouter* router);

JsonValue rpcResult(const JsonValue& id, const JsonValue& result);
JsonValue rpcError(const JsonValue& id, int code, const std::string& message,
                   const std::optional<JsonValue>& data = std::nullopt);

// One text item holding the tool value as pretty JSON with sorted keys, or
// the JSON_SERIALIZE_FAILED object when the value is not an object or array
// or cannot be serialised.
JsonValue toMcpToolResult(const JsonValue& value);

// Structured details of an authority failure; absent for every other error.
std::optional<JsonValue> bridgeErrorData(const std::exception& error);

// Status of a failed plain tool call.
int plainToolErrorStatus(const std::exception& error);

// Browser protection: a request whose Origin is present and is not an http or
// https origin on 127.0.0.1, localhost or [::1], or whose Host is present and
// names another host, is refused. Agents send neither header, or ours.
bool isLoopbackOrigin(std::string_view origin);
bool isLoopbackHost(std::string_view host);

}  // namespace palisor
