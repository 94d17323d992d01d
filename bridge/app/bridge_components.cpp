#include "bridge/app/bridge_components.h"

#include <sys/stat.h>

#include "bridge/common/paths.h"
#include "bridge/validation/validation_executor_manager.h"

namespace palisor {

AuthoritySetting configuredAuthority(const Configuration& configuration) {
    if (configuration.authority) return {*configuration.authority, AuthoritySetting::Source::environment};
    if (auto remembered = rememberedSetting(*settingsStore(configuration), kRememberedAuthorityKey))
        return {*remembered, AuthoritySetting::Source::remembered};
    return {kDefaultAuthorityOrigin, AuthoritySetting::Source::builtIn};
}

std::string configuredAuthorityOrigin(const Configuration& configuration) {
    return configuredAuthority(configuration).origin;
}

std::shared_ptr<SettingsStore> settingsStore(const Configuration& configuration) {
    return SettingsStore::standard(configuration.folders, !configuration.settingsPersistenceDisabled);
}

CredentialSettings credentialSettings(const Configuration& configuration) {
    return {configuration.keychainDisabled, configuration.credentialFile, settingsStore(configuration),
            standardCredentialFilePath(configuration.folders)};
}

std::shared_ptr<NativeTokenStore> createTokenStore(const Configuration& configuration) {
    NativeTokenStore::Options options;
    options.credentials = credentialSettings(configuration);
    return std::make_shared<NativeTokenStore>(std::move(options));
}

std::string authoritySource(const AuthoritySetting& setting) {
    switch (setting.source) {
        case AuthoritySetting::Source::environment:
            return "PALISOR_BRIDGE_AUTHORITY";
        case AuthoritySetting::Source::remembered:
            return "đã nhớ từ palisor-bridge login";
        case AuthoritySetting::Source::builtIn:
            break;
    }
    return "mặc định";
}

std::string describeAuthority(const AuthoritySetting& setting) {
    return setting.origin + " (" + authoritySource(setting) + ")";
}

std::optional<std::string> configuredLegacyWorkspaceRoot(const Configuration& configuration,
                                                         const SettingsStore& defaults) {
    if (const auto& root = configuration.workspace; root && !root->empty()) return root;
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

std::shared_ptr<AuthorityClient> createAuthorityClient(const Configuration& configuration,
                                                       std::shared_ptr<NativeTokenStore> tokenStore,
                                                       std::optional<std::string> authorityOrigin) {
    AuthorityClient::Options options;
    options.authorityOrigin = authorityOrigin ? std::move(*authorityOrigin) : configuredAuthorityOrigin(configuration);
    options.tokenStore = std::move(tokenStore);
    return std::make_shared<AuthorityClient>(options);
}

std::shared_ptr<WorkspaceRegistry> createWorkspaceRegistry(const Configuration& configuration,
                                                           const std::string& authorityOrigin) {
    auto defaults = settingsStore(configuration);
    return std::make_shared<WorkspaceRegistry>(authorityOrigin, configuredLegacyWorkspaceRoot(configuration, *defaults),
                                               defaults);
}

std::shared_ptr<ValidationExecutors> createValidationExecutors(const Configuration& configuration) {
    ValidationExecutorManager::Options options;
    options.process.folders = configuration.folders;
    return std::make_shared<ValidationExecutorManager>(std::move(options));
}

}  // namespace palisor
