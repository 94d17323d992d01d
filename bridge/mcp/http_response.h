#pragma once

#include <string>
#include <string_view>

#include "bridge/common/json.h"

namespace palisor {

// The complete bytes of one HTTP response, ready for the socket.
struct HttpResponse {
    std::string data;

    // Compact JSON body ("{}" when it cannot be serialised) with the fixed
    // head: content type, no-store, length, Connection: close.
    static HttpResponse json(int status, const JsonValue& body);
    // The same head around a body that is already compact JSON text.
    static HttpResponse jsonText(int status, std::string_view body);
    static HttpResponse jsonRpcError(const JsonValue& id, int code, const std::string& message);

    // The reason phrases the endpoint has always sent: clients rely on the
    // status number, and anything unnamed is "Internal Server Error".
    static const char* reasonPhrase(int status);
};

}  // namespace palisor
