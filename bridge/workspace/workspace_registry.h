#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/common/bridge_error.h"
#include "bridge/common/json.h"
#include "bridge/workspace/settings_store.h"
#include "bridge/workspace/workspace_registration.h"

namespace palisor {

class WorkspaceRegistryError : public BridgeError {
public:
    enum class Case {
        workspaceNotRegistered,
        workspaceNotRegisteredForProject,
        workspaceIdRequired,
        projectKeyMismatch,
        defaultWorkspaceRequired,
        workspaceRootMismatch,
        authorityOriginMismatch,
    };

    static WorkspaceRegistryError workspaceNotRegistered(const std::string& workspaceId);
    static WorkspaceRegistryError workspaceNotRegisteredForProject(const std::string& projectKey);
    static WorkspaceRegistryError workspaceIdRequired(const std::string& projectKey);
    static WorkspaceRegistryError projectKeyMismatch(const std::string& expected, const std::string& actual);
    static WorkspaceRegistryError defaultWorkspaceRequired();
    static WorkspaceRegistryError workspaceRootMismatch();
    static WorkspaceRegistryError authorityOriginMismatch();

    Case errorCase() const noexcept { return case_; }

private:
    WorkspaceRegistryError(Case errorCase, std::string code);
    Case case_;
};

// The registry's whole state: the workspaces in the order they were added and
// the default one. The default is absent exactly when there are no workspaces.
struct WorkspaceRegistrySnapshot {
    std::optional<std::string> defaultWorkspaceId;
    std::vector<WorkspaceRegistration> workspaces;

    bool operator==(const WorkspaceRegistrySnapshot&) const = default;
};

// A readable, stable id for a new workspace of `projectKey`: the key
// lower-cased, every character other than a Unicode letter, number, mark, "_"
// or "-" turned into "-", runs of "-" collapsed and trimmed ("Dự Án/API" gives
// "dự-án-api"); "workspace" when nothing is left; then "-2", "-3", ... until no
// registration in `existing` has it.
std::string uniqueWorkspaceId(std::string_view projectKey, const std::vector<WorkspaceRegistration>& existing);

// The workspaces this bridge serves, for one authority origin, and the answer
// to the first question of every tool call: which workspace is this about?
//
// The list is persisted in the settings store under "workspaceRegistryV1"
// (with the default workspace's root under "workspaceRoot") unless the store
// has persistence disabled (or there is no store). Other programs (the
// window, the command line) change the same file, so every change is a
// read-modify-write of the persisted list under the store's lock, and
// reload() takes in what others wrote.
//
// Safe for concurrent use.
class WorkspaceRegistry {
public:
    WorkspaceRegistry(std::string_view authorityOrigin, std::optional<std::string> legacyWorkspaceRoot,
                      std::shared_ptr<SettingsStore> defaults);

    WorkspaceRegistry(const WorkspaceRegistry&) = delete;
    WorkspaceRegistry& operator=(const WorkspaceRegistry&) = delete;

    const std::string& authorityOrigin() const { return authorityOrigin_; }
    bool persistenceEnabled() const { return persistenceEnabled_; }

    WorkspaceRegistrySnapshot snapshot() const;
    // {"defaultWorkspaceId": id or null, "workspaces": [registration objects]}
    JsonValue snapshotDictionary() const;

    // Registers the folder, or updates the registration that already has its
    // root (keeping its id). Reads the folder's AGENTS.md first; its errors,
    // and an origin other than this registry's, leave the registry unchanged.
    WorkspaceRegistration add(std::string_view workspaceRoot, bool validationEnabled, bool makeDefault);
    void remove(const std::string& workspaceId);
    void setDefault(const std::string& workspaceId);
    void setValidationEnabled(const std::string& workspaceId, bool enabled);

    // Resolves the "workspaceId", "projectKey" and "workspaceRoot" arguments of
    // a tool call (text members only; blank counts as absent) to one
    // workspace, reading its AGENTS.md anew so that an edited pointer counts at
    // once. A folder named by path that is not registered resolves to a
    // transient context when its pointer names this registry's origin.
    WorkspaceContext resolve(const JsonValue& args) const;

    // Replaces the in-memory list with the persisted one when the settings
    // hold a readable list; returns whether anything changed. Does nothing
    // with persistence off. Throws FileError when the settings file cannot be
    // read.
    bool reload();

private:
    using State = WorkspaceRegistrySnapshot;

    void mutate(const std::function<void(State&)>& change);
    void assertAuthorityOrigin(const std::string& origin) const;

    mutable std::mutex lock_;
    std::shared_ptr<SettingsStore> defaults_;
    std::string authorityOrigin_;
    bool persistenceEnabled_;
    State state_;
};

}  // namespace palisor
