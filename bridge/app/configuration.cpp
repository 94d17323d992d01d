#include "bridge/app/configuration.h"

#include <cstdlib>
#include <iostream>
#include <mutex>

#include "bridge/activity/activity_log.h"
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

std::optional<Advice> portFallbackWarning(const std::optional<std::string>& value) {
    if (!value || value->empty()) return std::nullopt;
    std::uint16_t port = configuredPort(value);
    std::string written(trim(*value));
    if (port != LocalMcpServer::kDefaultPort || written == std::to_string(port) || written == "+" + std::to_string(port))
        return std::nullopt;
    return Advice{"PALISOR_BRIDGE_PORT=\"" + *value + "\" không dùng được, bridge dùng " + std::to_string(port) + ".",
                  "Đặt PALISOR_BRIDGE_PORT thành một số từ 1024 đến 65535, hoặc bỏ nó."};
}

std::uint16_t portFromEnvironment() {
    auto value = environmentValue("PALISOR_BRIDGE_PORT");
    static std::once_flag warned;
    if (auto warning = portFallbackWarning(value))
        std::call_once(warned, [&] { std::cerr << "Cảnh báo: " << warning->line() << "\n"; });
    return configuredPort(value);
}

ActivitySetting configuredActivity() {
    return {activityEnabled(environmentValue("PALISOR_BRIDGE_ACTIVITY")), activityLogPath()};
}

}  // namespace palisor
