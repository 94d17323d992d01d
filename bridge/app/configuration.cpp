#include "bridge/app/configuration.h"

#include <cstdlib>
#include <mutex>
#include <ostream>
#include <string_view>

#include "bridge/activity/activity_log.h"
#include "bridge/common/text.h"
#include "bridge/mcp/local_mcp_server.h"

namespace palisor {

namespace {

std::optional<std::string> variable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

bool isOne(const char* name) {
    return variable(name) == "1";
}

}  // namespace

Configuration Configuration::fromEnvironment() {
    Configuration configuration;
    configuration.portText = variable("PALISOR_BRIDGE_PORT");
    configuration.authority = variable("PALISOR_BRIDGE_AUTHORITY");
    configuration.credentialFile = variable("PALISOR_BRIDGE_CREDENTIAL_FILE");
    configuration.keychainDisabled = isOne("PALISOR_BRIDGE_DISABLE_KEYCHAIN");
    configuration.validationExecutorDisabled = isOne("PALISOR_BRIDGE_DISABLE_VALIDATION_EXECUTOR");
    configuration.settingsPersistenceDisabled = isOne("PALISOR_BRIDGE_DISABLE_SETTINGS_PERSISTENCE");
    configuration.activity = variable("PALISOR_BRIDGE_ACTIVITY");
    configuration.workspace = variable("PALISOR_BRIDGE_WORKSPACE");
    configuration.display = variable("DISPLAY");
    configuration.waylandDisplay = variable("WAYLAND_DISPLAY");
    configuration.sessionBus = variable("DBUS_SESSION_BUS_ADDRESS");
    configuration.folders =
        UserFolders::resolve({variable("HOME"), variable("XDG_DATA_HOME"), variable("XDG_CONFIG_HOME"),
                              variable("XDG_STATE_HOME"), variable("XDG_RUNTIME_DIR"), variable("XDG_CACHE_HOME")});
    configuration.screenshotFile = variable("PALISOR_BRIDGE_GUI_SCREENSHOT");
    configuration.screenshotDelay = variable("PALISOR_BRIDGE_GUI_SCREENSHOT_DELAY_MS");
    configuration.screenshotOf = variable("PALISOR_BRIDGE_GUI_SCREENSHOT_OF");
    return configuration;
}

std::uint16_t Configuration::port() const {
    return configuredPort(portText);
}

std::optional<Advice> Configuration::portWarning() const {
    return portFallbackWarning(portText);
}

bool Configuration::activityEnabled() const {
    return palisor::activityEnabled(activity);
}

bool Configuration::hasDisplay() const {
    return (display && !display->empty()) || (waylandDisplay && !waylandDisplay->empty());
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

std::uint16_t portSayingFallbackOnce(const Configuration& configuration, std::ostream& err) {
    static std::once_flag warned;
    if (auto warning = configuration.portWarning())
        std::call_once(warned, [&] { err << "Cảnh báo: " << warning->line() << "\n"; });
    return configuration.port();
}

ActivitySetting configuredActivity(const Configuration& configuration) {
    return {configuration.activityEnabled(), activityLogPath(configuration.folders)};
}

}  // namespace palisor
