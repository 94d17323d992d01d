// Feeds arbitrary bytes to the request framing and the route layer, as a
// client on the loopback port could. A tool router that echoes its arguments
// makes every parsed tool call travel the whole way back through the result
// serialisation.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "bridge/common/bridge_error.h"
#include "bridge/mcp/local_mcp_server.h"
#include "bridge/mcp/routes.h"

namespace {

class EchoRouter : public palisor::McpToolRouter {
public:
    palisor::JsonValue call(const std::string& name, const palisor::JsonValue& args) override {
        if (name.size() % 3 == 1) throw palisor::BridgeError(name + "_REQUIRED");
        if (name.size() % 3 == 2) return name;  // a bare text value
        return {{"name", name}, {"args", args}};
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const auto router = std::make_shared<EchoRouter>();
    std::string_view bytes(reinterpret_cast<const char*>(data), size);

    auto expected = palisor::LocalMcpServer::expectedHttpRequestLength(bytes);
    if (expected && *expected < 4) __builtin_trap();  // at least the terminator

    bool withRouter = size > 0 && (data[0] & 1);
    auto response = palisor::handleHttp(bytes, palisor::EndpointContext{47621, withRouter ? router : nullptr});
    // Every answer is a complete HTTP response with a JSON body.
    if (response.data.rfind("HTTP/1.1 ", 0) != 0) __builtin_trap();
    auto bodyAt = response.data.find("\r\n\r\n");
    if (bodyAt == std::string::npos) __builtin_trap();
    if (!palisor::parseJson(std::string_view(response.data).substr(bodyAt + 4))) __builtin_trap();
    return 0;
}
