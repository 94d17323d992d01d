#include "bridge/app/bridge_components.h"

#include <sys/stat.h>

#include "bridge/app/configuration.h"
#include "bridge/common/paths.h"

namespace palisor {

AuthoritySetting configuredAuthority() {
    if (auto value = environmentValue("PALISOR_BRIDGE_AUTHORITY"))
        return {*value, AuthoritySetting::Source::environment};
    if (auto remembered = rememberedSetting(kRememberedAuthorityKey))
        return {*remembered, AuthoritySetting::Source::remembered};
    return {kDefaultAuthorityOrigin, AuthoritySetting::Source::builtIn};
}

std::string configuredAuthorityOrigin() { return configuredAuthority().origin; }

std::string authoritySource(const AuthoritySetting& setting) {
    switch (setting.source) {
        case AuthoritySetting::Source::environment: return "PALISOR_BRIDGE_AUTHORITY";
        case AuthoritySetting::Source::remembered: return "đã nhớ từ palisor-bridge login";
        case AuthoritySetting::Source::builtIn: break;
    }
    return "mặc định";
}

std::string describeAuthority(const AuthoritySetting& setting) {
    return setting.origin + " (" + authoritySource(setting) + ")";
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

std::shared_ptr<AuthorityClient> createAuthorityClient(std::shared_ptr<NativeTokenStore> tokenStore,
                                                       std::optional<std::string> authorityOrigin) {
    AuthorityClient::Options options;
    options.authorityOrigin = authorityOrigin ? std::move(*authorityOrigin) : configuredAuthorityOrigin();
    options.tokenStore = std::move(tokenStore);
    return std::make_shared<AuthorityClient>(options);
}

std::shared_ptr<WorkspaceRegistry> createWorkspaceRegistry(const std::string& authorityOrigin) {
    auto defaults = SettingsStore::standard();
    return std::make_shared<WorkspaceRegistry>(authorityOrigin, configuredLegacyWorkspaceRoot(*defaults), defaults);
}

}  // namespace palisor
