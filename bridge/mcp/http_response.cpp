#include "bridge/mcp/http_response.h"

namespace palisor {

const char* HttpResponse::reasonPhrase(int status) {
    switch (status) {
        case 200: return "OK";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 404: return "Not Found";
        default: return "Internal Server Error";
    }
}

HttpResponse HttpResponse::json(int status, const JsonValue& body) {
    std::optional<std::string> payload = dumpCompact(body);
    return jsonText(status, payload ? std::string_view(*payload) : std::string_view("{}"));
}

HttpResponse HttpResponse::jsonText(int status, std::string_view body) {
    std::string data;
    data.reserve(body.size() + 160);
    data += "HTTP/1.1 ";
    data += std::to_string(status);
    data += ' ';
    data += reasonPhrase(status);
    data += "\r\nContent-Type: application/json; charset=utf-8\r\nCache-Control: no-store\r\nContent-Length: ";
    data += std::to_string(body.size());
    data += "\r\nConnection: close\r\n\r\n";
    data += body;
    return HttpResponse{std::move(data)};
}

HttpResponse HttpResponse::jsonRpcError(const JsonValue& id, int code, const std::string& message) {
    return json(200, {{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}});
}

}  // namespace palisor
