#include "bridge/app/configuration.h"

#include <cstdlib>

#include "bridge/common/text.h"
#include "bridge/mcp/local_mcp_server.h"

namespace palisor {

std::optional<std::string> environmentValue(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

std::uint16_t configuredPort(const std::optional<std::string>& value) {
    constexpr std::uint16_t fallback = LocalMcpServer::kDefaultPort;
    if (!value) return fallback;
    std::string_view text(*value);
    // Unsigned: a leading "+" is accepted, a "-" only in front of zero, which
    // is below the limit anyway.
    if (!text.empty() && text.front() == '-') return fallback;
    auto parsed = parseDecimalInteger(text);
    if (!parsed || *parsed < 1024 || *parsed > 65535) return fallback;
    return static_cast<std::uint16_t>(*parsed);
}

}  // namespace palisor
