#pragma once

#include <memory>
#include <optional>
#include <string>

#include "bridge/app/configuration.h"
#include "bridge/authority/authority_client.h"
#include "bridge/credentials/native_token_store.h"
#include "bridge/workspace/settings_store.h"
#include "bridge/workspace/workspace_registry.h"

namespace palisor {

class ValidationExecutors;

// The authority origin used when PALISOR_BRIDGE_AUTHORITY is not set.
inline constexpr const char* kDefaultAuthorityOrigin = "https://authority.palisor.vn";

// The authority origin every program of the bridge uses, and where it came
// from: PALISOR_BRIDGE_AUTHORITY when set (even empty), else the one
// `palisor-bridge login --authority` remembered, else the built-in origin.
struct AuthoritySetting {
    enum class Source { environment, remembered, builtIn };
    std::string origin;
    Source source = Source::builtIn;
};
AuthoritySetting configuredAuthority(const Configuration& configuration);
std::string configuredAuthorityOrigin(const Configuration& configuration);
// Where the origin came from, in words: "PALISOR_BRIDGE_AUTHORITY", "đã nhớ
// từ palisor-bridge login" or "mặc định".
std::string authoritySource(const AuthoritySetting& setting);
// "https://x (PALISOR_BRIDGE_AUTHORITY)": the origin and where it came from,
// as status and the window show it.
std::string describeAuthority(const AuthoritySetting& setting);

// The legacy workspace root: PALISOR_BRIDGE_WORKSPACE when set and non-empty,
// else the stored "workspaceRoot", else the current folder when it holds an
// AGENTS.md, else none.
std::optional<std::string> configuredLegacyWorkspaceRoot(const Configuration& configuration,
                                                         const SettingsStore& defaults);

// The user's settings file, with persistence as the configuration says.
std::shared_ptr<SettingsStore> settingsStore(const Configuration& configuration);
// What decides where sessions are kept, and a session store that keeps them there.
CredentialSettings credentialSettings(const Configuration& configuration);
std::shared_ptr<NativeTokenStore> createTokenStore(const Configuration& configuration);

// The components as the application creates them, for programs that need
// only some of them (the command line): the same configuration, the same stores.
// `authorityOrigin` replaces the configured origin (a login naming its authority).
std::shared_ptr<AuthorityClient> createAuthorityClient(const Configuration& configuration,
                                                       std::shared_ptr<NativeTokenStore> tokenStore,
                                                       std::optional<std::string> authorityOrigin = std::nullopt);
std::shared_ptr<WorkspaceRegistry> createWorkspaceRegistry(const Configuration& configuration,
                                                           const std::string& authorityOrigin);
// The validation executors, their locks and state in the configuration's user folders.
std::shared_ptr<ValidationExecutors> createValidationExecutors(const Configuration& configuration);

}  // namespace palisor
