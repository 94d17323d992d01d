#pragma once

#include <memory>
#include <optional>
#include <string>

#include "bridge/authority/authority_client.h"
#include "bridge/credentials/native_token_store.h"
#include "bridge/workspace/settings_store.h"
#include "bridge/workspace/workspace_registry.h"

namespace palisor {

// The authority origin used when PALISOR_BRIDGE_AUTHORITY is not set.
inline constexpr const char* kDefaultAuthorityOrigin = "https://authority.palisor.vn";

// PALISOR_BRIDGE_AUTHORITY when set (even empty), else the built-in origin.
std::string configuredAuthorityOrigin();

// The legacy workspace root: PALISOR_BRIDGE_WORKSPACE when set and non-empty,
// else the stored "workspaceRoot", else the current folder when it holds an
// AGENTS.md, else none.
std::optional<std::string> configuredLegacyWorkspaceRoot(const SettingsStore& defaults);

// The components as the application creates them, for programs that need
// only some of them (the command line): the same configuration, the same stores.
std::shared_ptr<AuthorityClient> createAuthorityClient(std::shared_ptr<NativeTokenStore> tokenStore);
std::shared_ptr<WorkspaceRegistry> createWorkspaceRegistry(const std::string& authorityOrigin);

}  // namespace palisor
