#include "bridge/app/bridge_components.h"

#include <sys/stat.h>

#include "bridge/app/configuration.h"
#include "bridge/common/paths.h"

namespace palisor {

std::string configuredAuthorityOrigin() {
    return environmentValue("PALISOR_BRIDGE_AUTHORITY").value_or(kDefaultAuthorityOrigin);
}

std::optional<std::string> configuredLegacyWorkspaceRoot(const SettingsStore& defaults) {
    if (auto root = environmentValue("PALISOR_BRIDGE_WORKSPACE"); root && !root->empty()) return root;
    try {
        if (auto stored = defaults.stringValue("workspaceRoot"); stored && !stored->empty()) return stored;
    } catch (const std::exception&) {
        // Unreadable settings hold no usable root.
    }
    std::string here = currentDirectory();
    struct stat info {};
    if (::stat(joinPath(here, "AGENTS.md").c_str(), &info) == 0 && S_ISREG(info.st_mode)) return here;
    return std::nullopt;
}

BridgeComponents createBridgeComponents() {
    BridgeComponents components;
    std::uint16_t port = configuredPort(environmentValue("PALISOR_BRIDGE_PORT"));
    components.tokenStore = std::make_shared<NativeTokenStore>();
    AuthorityClient::Options options;
    options.authorityOrigin = configuredAuthorityOrigin();
    options.tokenStore = components.tokenStore;
    components.authorityClient = std::make_shared<AuthorityClient>(options);
    auto defaults = SettingsStore::standard();
    components.workspaceRegistry = std::make_shared<WorkspaceRegistry>(
        components.authorityClient->authorityOrigin(), configuredLegacyWorkspaceRoot(*defaults), defaults);
    components.toolRouter = std::make_shared<ToolRouter>(components.authorityClient, components.workspaceRegistry);
    components.localServer =
        LocalMcpServer::create(port, std::make_shared<ToolRouterEndpoint>(components.toolRouter));
    return components;
}

}  // namespace palisor
