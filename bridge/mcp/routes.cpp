#include "bridge/mcp/routes.h"

#include <chrono>
#include <vector>

#include "bridge/activity/activity_scope.h"
#include "bridge/common/bridge_error.h"
#include "bridge/common/text.h"
#include "bridge/common/unicode.h"
#include "bridge/mcp/mcp_tool_contract.h"

namespace palisor {

namespace {

constexpr const char* kSerializeFailed = "{\"ok\":false,\"error\":\"JSON_SERIALIZE_FAILED\"}";

JsonValue failure(const char* code) { return {{"ok", false}, {"error", code}}; }

bool isUnreserved(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

bool isSubDelim(char c) {
    switch (c) {
        case '!': case '$': case '&': case '\'': case '(': case ')': case '*': case '+': case ',': case ';': case '=':
            return true;
        default:
            return false;
    }
}

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Characters a URI may hold in its path, query and fragment, with every "%"
// followed by two hex digits.
bool isValidUriTail(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size() || !isHexDigit(text[i + 1]) || !isHexDigit(text[i + 2])) return false;
            i += 2;
            continue;
        }
        if (!(isUnreserved(c) || isSubDelim(c) || c == ':' || c == '@' || c == '/' || c == '?' || c == '#'))
            return false;
    }
    return true;
}

// Whatever the target adds to the authority "127.0.0.1" before its path must
// still leave a host name and an optional numeric port.
bool isValidAuthoritySuffix(std::string_view suffix) {
    std::size_t i = 0;
    while (i < suffix.size() && suffix[i] != ':') {
        char c = suffix[i];
        if (!(isUnreserved(c) || isSubDelim(c))) return false;
        ++i;
    }
    if (i == suffix.size()) return true;
    for (++i; i < suffix.size(); ++i)
        if (suffix[i] < '0' || suffix[i] > '9') return false;
    return true;
}

std::optional<Route> parseUrlTarget(std::string_view target) {
    std::size_t pathStart = target.find_first_of("/?#");
    std::string_view authority = target.substr(0, pathStart);
    if (!isValidAuthoritySuffix(authority)) return std::nullopt;
    std::string_view rest = pathStart == std::string_view::npos ? std::string_view() : target.substr(pathStart);
    if (!isValidUriTail(rest)) return std::nullopt;

    std::size_t fragment = rest.find('#');
    if (fragment != std::string_view::npos) rest = rest.substr(0, fragment);
    std::size_t question = rest.find('?');
    std::string_view rawPath = rest.substr(0, question);
    std::string_view rawQuery = question == std::string_view::npos ? std::string_view() : rest.substr(question + 1);

    Route route;
    auto path = percentDecode(rawPath);
    if (!path || !isValidUtf8(*path)) return std::nullopt;
    route.path = path->empty() ? "/" : std::move(*path);

    for (std::string_view item : splitKeepingEmpty(rawQuery, "&")) {
        if (item.empty()) continue;
        std::size_t equals = item.find('=');
        auto name = percentDecode(item.substr(0, equals));
        auto value = equals == std::string_view::npos ? std::optional<std::string>("")
                                                      : percentDecode(item.substr(equals + 1));
        if (!name || !value || !isValidUtf8(*name) || !isValidUtf8(*value)) return std::nullopt;
        route.query[*name] = std::move(*value);
    }
    return route;
}

// The names of the endpoint's own address.
bool isOwnHostName(std::string_view host) {
    std::string lower = asciiLower(host);
    return lower == "127.0.0.1" || lower == "localhost" || lower == "[::1]";
}

bool isPort(std::string_view text) {
    if (text.empty() || text.size() > 5) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

// host, host:port, [v6], [v6]:port.
bool isOwnHost(std::string_view authority) {
    std::string_view host = authority;
    std::size_t colon = authority.rfind(':');
    std::size_t bracket = authority.rfind(']');
    if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
        if (!isPort(authority.substr(colon + 1))) return false;
        host = authority.substr(0, colon);
    }
    return isOwnHostName(host);
}

namespace {

// The only header fields the routes look at.
enum class Field { origin, host, secFetchSite, accept, userAgent };

struct Header {
    Field field;
    std::string value;
};

struct ParsedHead {
    std::vector<std::string_view> requestLine;
    std::vector<Header> headers;
};

bool equalsAsciiLower(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

std::optional<Field> fieldNamed(std::string_view name) {
    if (equalsAsciiLower(name, "origin")) return Field::origin;
    if (equalsAsciiLower(name, "host")) return Field::host;
    if (equalsAsciiLower(name, "sec-fetch-site")) return Field::secFetchSite;
    if (equalsAsciiLower(name, "accept")) return Field::accept;
    if (equalsAsciiLower(name, "user-agent")) return Field::userAgent;
    return std::nullopt;
}

bool isAsciiSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

ParsedHead parseHead(std::string_view head) {
    ParsedHead parsed;
    bool haveRequestLine = false;
    for (std::string_view line : splitKeepingEmpty(head, "\r\n")) {
        if (line.empty()) continue;
        if (!haveRequestLine) {
            haveRequestLine = true;
            for (std::string_view token : splitKeepingEmpty(line, " "))
                if (!token.empty()) parsed.requestLine.push_back(token);
            continue;
        }
        std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        std::string_view name = line.substr(0, colon);
        // Names are compared after trimming white space; only a name with
        // white space around it (rare) pays for the trim.
        bool padded = !name.empty() && (isAsciiSpace(name.front()) || isAsciiSpace(name.back()) ||
                                        static_cast<unsigned char>(name.front()) >= 0x80 ||
                                        static_cast<unsigned char>(name.back()) >= 0x80);
        std::optional<Field> field = padded ? fieldNamed(trim(name)) : fieldNamed(name);
        if (field) parsed.headers.push_back({*field, trim(line.substr(colon + 1))});
    }
    return parsed;
}

// Browsers send Sec-Fetch-Site on every request and other clients never do;
// only a request the user typed ("none") or one from the bridge's own origin
// may pass. A page on any other site or loopback port is refused, whatever
// method or content type it uses.
bool isAllowedFetchSite(std::string_view site) {
    std::string lower = asciiLower(site);
    return lower == "same-origin" || lower == "none";
}

bool refusedByBrowserGuard(const std::vector<Header>& headers, std::uint16_t port) {
    for (const Header& header : headers) {
        if (header.field == Field::origin && !isOwnOrigin(header.value, port)) return true;
        if (header.field == Field::secFetchSite && !isAllowedFetchSite(header.value)) return true;
        if (header.field == Field::host && !header.value.empty() && !isOwnHost(header.value)) return true;
    }
    return false;
}

bool asksForEventStream(const std::vector<Header>& headers) {
    for (const Header& header : headers)
        if (header.field == Field::accept && containsAsciiCaseInsensitive(header.value, "text/event-stream")) return true;
    return false;
}

// The client's name, bounded while it waits in the writer's queue. The
// record keeps 100 characters of it, cut after scrubbing: cut at 100 here, a
// token could lose the part the scrubber knows it by.
std::string userAgentOf(const std::vector<Header>& headers) {
    for (const Header& header : headers)
        if (header.field == Field::userAgent) return std::string(prefixOfUserPerceivedLength(header.value, 1000));
    return {};
}

// One tool call's record, filled by the layers under the endpoint while the
// call runs (ActivityScope) and written when it ends. Does nothing when the
// call is not recorded.
class CallRecord {
public:
    CallRecord(const ToolCallRecording& recording, const std::string& tool) : recording_(recording) {
        if (!recording_.log) return;
        record_.tool = tool;
        scope_.emplace(record_);
    }
    CallRecord(const CallRecord&) = delete;
    CallRecord& operator=(const CallRecord&) = delete;

    void failed(std::string code) {
        if (recording_.log) record_.error = std::move(code);
    }
    // Ends the call: its record goes to the log.
    void end() {
        if (!recording_.log || ended_) return;
        ended_ = true;
        scope_.reset();
        record_.time = std::chrono::system_clock::now();
        record_.durationMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
        record_.userAgent = recording_.userAgent;
        recording_.log->append(std::move(record_));
    }
    ~CallRecord() { end(); }

private:
    const ToolCallRecording& recording_;
    ActivityRecord record_;
    std::optional<ActivityScope> scope_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    bool ended_ = false;
};

std::string endpointBase(std::uint16_t port) { return "http://127.0.0.1:" + std::to_string(port); }

JsonValue healthObject(std::uint16_t port) {
    return {{"ok", true}, {"service", McpToolContract::serverName}, {"host", "127.0.0.1"}, {"port", port}};
}

JsonValue toolListingObject(std::uint16_t port) {
    return {{"ok", true},
            {"transport", "http"},
            {"mcpEndpoint", endpointBase(port) + "/mcp"},
            {"tools", McpToolContract::toolDefinitions()}};
}

JsonValue manifestObject(std::uint16_t port) {
    const std::string base = endpointBase(port);
    JsonValue names = JsonValue::array();
    for (const JsonValue& definition : McpToolContract::toolDefinitions())
        names.push_back(optString(definition, "name").value_or(""));
    return {
        {"ok", true},
        {"service", McpToolContract::serverName},
        {"host", "127.0.0.1"},
        {"port", port},
        {"mcpEndpoint", base + "/mcp"},
        {"mcpTransport", "POST JSON-RPC"},
        {"message",
         "GET /mcp chỉ là manifest kiểm tra kết nối. Để gọi MCP thật, dùng POST /mcp với JSON-RPC tools/call."},
        {"httpFallback",
         {{"bootstrap", "GET " + base + "/bootstrap?projectKey=<projectKey>"},
          {"tools", "GET " + base + "/tools"},
          {"health", "GET " + base + "/health"}}},
        {"jsonRpcExamples",
         {{"toolsList", {{"jsonrpc", "2.0"}, {"id", 1}, {"method", "tools/list"}, {"params", JsonValue::object()}}},
          {"authorityBootstrap",
           {{"jsonrpc", "2.0"},
            {"id", 2},
            {"method", "tools/call"},
            {"params", {{"name", "authority_bootstrap"}, {"arguments", {{"workspaceId", "<workspaceId>"}}}}}}}}},
        {"tools", names},
    };
}

constexpr const char* kRouterNotReady = "NATIVE_TOOL_ROUTER_NOT_READY";
constexpr const char* kBootstrapWorkspaceRequired = "WORKSPACE_ID_PROJECT_KEY_OR_ROOT_REQUIRED";

JsonValue routerNotReady() { return failure(kRouterNotReady); }

HttpResponse callTool(const JsonValue& id, const std::string& name, const JsonValue& args, McpToolRouter& router,
                      const ToolCallRecording& recording) {
    CallRecord record(recording, name);
    try {
        JsonValue value = router.call(name, args);
        return HttpResponse::json(200, rpcResult(id, toMcpToolResult(value)));
    } catch (const std::exception& error) {
        std::string code = errorDescription(error);
        record.failed(code);
        return HttpResponse::json(200, rpcError(id, -32000, code, bridgeErrorData(error)));
    } catch (...) {
        std::string code = currentExceptionDescription();
        record.failed(code);
        return HttpResponse::json(200, rpcError(id, -32000, code));
    }
}

RoutedRequest routeJsonRpc(std::string_view body, std::shared_ptr<McpToolRouter> router,
                           ToolCallRecording recording) {
    auto request = parseJson(body);
    if (!request || !request->is_object()) return {HttpResponse::jsonRpcError(nullptr, -32700, "INVALID_JSON"), {}};
    const JsonValue* idMember = member(*request, "id");
    JsonValue id = idMember ? *idMember : JsonValue(nullptr);
    const std::string* method = stringMember(*request, "method");

    if (method && *method == "initialize")
        return {HttpResponse::json(200, rpcResult(id, McpToolContract::initializeResult())), {}};
    if (method && *method == "tools/list") {
        // The catalogue never changes: serialise it once and splice the id in,
        // exactly as rpcResult would lay it out (keys in sorted order).
        static const std::string& tools = *new std::string(*dumpCompact({{"tools", McpToolContract::toolDefinitions()}}));
        auto idText = dumpCompact(id);
        if (!idText) return {HttpResponse::json(200, rpcResult(id, {{"tools", McpToolContract::toolDefinitions()}})), {}};
        return {HttpResponse::jsonText(200, "{\"id\":" + *idText + ",\"jsonrpc\":\"2.0\",\"result\":" + tools + "}"), {}};
    }
    // Every receiver answers a ping request; a ping without an id is a
    // notification and is answered like any other.
    if (method && *method == "ping" && idMember)
        return {HttpResponse::json(200, rpcResult(id, JsonValue::object())), {}};
    if (!method || *method != "tools/call")
        return {HttpResponse::json(200, rpcError(id, -32601, "METHOD_NOT_FOUND")), {}};

    const JsonValue* params = objectMember(*request, "params");
    const std::string* name = params ? stringMember(*params, "name") : nullptr;
    if (!name) return {HttpResponse::json(200, rpcError(id, -32602, "INVALID_TOOL_CALL_PARAMS")), {}};
    const JsonValue* arguments = objectMember(*params, "arguments");
    JsonValue args = arguments ? *arguments : JsonValue::object();

    if (!router) {
        CallRecord(recording, *name).failed(kRouterNotReady);
        return {HttpResponse::json(200, rpcResult(id, toMcpToolResult(routerNotReady()))), {}};
    }
    return {std::nullopt, [id = std::move(id), name = *name, args = std::move(args), router = std::move(router),
                           recording = std::move(recording)] { return callTool(id, name, args, *router, recording); }};
}

RoutedRequest routeHttpTool(const std::string& name, JsonValue args, std::shared_ptr<McpToolRouter> router,
                            ToolCallRecording recording) {
    // Answers that need no call are known at once.
    if (!router || (name == "authority_bootstrap" && !nonEmptyString(args, "workspaceId") &&
                    !nonEmptyString(args, "projectKey") && !nonEmptyString(args, "workspaceRoot")))
        return {handleHttpTool(name, args, router.get(), recording), {}};
    return {std::nullopt, [name, args = std::move(args), router = std::move(router), recording = std::move(recording)] {
                return handleHttpTool(name, args, router.get(), recording);
            }};
}

}  // namespace

bool isOwnOrigin(std::string_view origin, std::uint16_t port) {
    std::string lower = asciiLower(origin);
    std::string portText = ":" + std::to_string(port);
    return lower == "http://127.0.0.1" + portText || lower == "http://localhost" + portText;
}

Route parseRoute(std::string_view target) {
    if (auto route = parseUrlTarget(target)) return std::move(*route);
    return Route{std::string(target), JsonValue::object()};
}

JsonValue rpcResult(const JsonValue& id, const JsonValue& result) {
    return {{"jsonrpc", "2.0"}, {"id", id}, {"result", result}};
}

JsonValue rpcError(const JsonValue& id, int code, const std::string& message, const std::optional<JsonValue>& data) {
    JsonValue error = {{"code", code}, {"message", message}};
    if (data) error["data"] = *data;
    return {{"jsonrpc", "2.0"}, {"id", id}, {"error", error}};
}

JsonValue toMcpToolResult(const JsonValue& value) {
    std::optional<std::string> text;
    if (value.is_object() || value.is_array()) text = dumpPretty(value);
    JsonValue item = {{"type", "text"}, {"text", text.value_or(kSerializeFailed)}};
    JsonValue content = JsonValue::array();
    content.push_back(std::move(item));
    return {{"content", std::move(content)}};
}

std::optional<JsonValue> bridgeErrorData(const std::exception& error) {
    auto* ours = dynamic_cast<const BridgeError*>(&error);
    return ours ? ours->data() : std::nullopt;
}

int plainToolErrorStatus(const std::exception& error) {
    auto* ours = dynamic_cast<const BridgeError*>(&error);
    return ours ? ours->httpStatus() : 500;
}

HttpResponse handleHttpTool(const std::string& name, const JsonValue& args, McpToolRouter* router,
                            const ToolCallRecording& recording) {
    CallRecord record(recording, name);
    if (name == "authority_bootstrap" && !nonEmptyString(args, "workspaceId") && !nonEmptyString(args, "projectKey") &&
        !nonEmptyString(args, "workspaceRoot")) {
        record.failed(kBootstrapWorkspaceRequired);
        return HttpResponse::json(400, failure(kBootstrapWorkspaceRequired));
    }
    if (!router) {
        record.failed(kRouterNotReady);
        return HttpResponse::json(200, routerNotReady());
    }
    try {
        JsonValue value = router->call(name, args);
        if (value.is_object()) return HttpResponse::json(200, value);
        return HttpResponse::json(200, {{"ok", true}, {"result", value}});
    } catch (const std::exception& error) {
        std::string code = errorDescription(error);
        record.failed(code);
        JsonValue body = {{"ok", false}, {"error", code}};
        if (auto details = bridgeErrorData(error)) body["details"] = *details;
        return HttpResponse::json(plainToolErrorStatus(error), body);
    } catch (...) {
        std::string code = currentExceptionDescription();
        record.failed(code);
        return HttpResponse::json(500, {{"ok", false}, {"error", code}});
    }
}

RoutedRequest routeHttp(std::string_view data, const EndpointContext& context) {
    if (!isValidUtf8(data)) return {HttpResponse::json(400, failure("INVALID_HTTP_TEXT")), {}};
    std::size_t separator = data.find("\r\n\r\n");
    std::string_view head = data.substr(0, separator);
    std::string_view body = separator == std::string_view::npos ? std::string_view() : data.substr(separator + 4);

    ParsedHead parsed = parseHead(head);
    if (parsed.requestLine.size() < 2) return {HttpResponse::json(400, failure("INVALID_HTTP_REQUEST")), {}};
    if (refusedByBrowserGuard(parsed.headers, context.port))
        return {HttpResponse::json(403, failure("ORIGIN_NOT_ALLOWED")), {}};

    std::string_view method = parsed.requestLine[0];
    Route route = parseRoute(parsed.requestLine[1]);
    auto recording = [&] {
        return ToolCallRecording{context.activity, context.activity ? userAgentOf(parsed.headers) : std::string()};
    };

    if (method == "GET") {
        if (route.path == "/health") return {HttpResponse::json(200, healthObject(context.port)), {}};
        if (route.path == "/mcp") {
            // MCP clients probe for a server event stream here; a 200 would make
            // them reconnect for ever, 405 tells them there is none.
            if (asksForEventStream(parsed.headers))
                return {HttpResponse::json(405, failure("SSE_STREAM_NOT_SUPPORTED")), {}};
            return {HttpResponse::json(200, manifestObject(context.port)), {}};
        }
        if (route.path == "/tools") return {HttpResponse::json(200, toolListingObject(context.port)), {}};
        if (route.path == "/bootstrap" || route.path == "/authority/bootstrap")
            return routeHttpTool("authority_bootstrap", std::move(route.query), context.toolRouter, recording());
    } else if (method == "POST") {
        if (route.path == "/bootstrap" || route.path == "/authority/bootstrap") {
            auto args = parseJson(body);
            if (!args || !args->is_object()) return {HttpResponse::json(400, failure("INVALID_JSON")), {}};
            return routeHttpTool("authority_bootstrap", std::move(*args), context.toolRouter, recording());
        }
        if (route.path == "/mcp") return routeJsonRpc(body, context.toolRouter, recording());
    }
    return {HttpResponse::json(404, failure("NOT_FOUND")), {}};
}

HttpResponse handleHttp(std::string_view data, const EndpointContext& context) {
    RoutedRequest routed = routeHttp(data, context);
    return routed.answer ? std::move(*routed.answer) : routed.toolCall();
}

}  // namespace palisor
