#pragma once

#include <CLI/CLI.hpp>

#include <ostream>
#include <string>
#include <vector>

#include "bridge/app/cli/command_action.h"
#include "bridge/app/configuration.h"
#include "bridge/workspace/workspace_registry.h"

namespace palisor {

// `workspace list|add|remove|default|validation`: the workspace registry in
// the same settings file the window and a running bridge use.
void addWorkspaceCommands(CLI::App& app, CommandAction& action, const Configuration& configuration);

// The commands themselves; each returns its exit code.
int runWorkspaceList(const Configuration& configuration, bool json, std::ostream& out, std::ostream& err);
struct WorkspaceAddOptions {
    std::vector<std::string> paths;
    bool makeDefault = false;
    bool noValidation = false;
};
int runWorkspaceAdd(const Configuration& configuration, const WorkspaceAddOptions& options, std::ostream& out, std::ostream& err);
// `name`: an id, a project key or a folder, as resolveWorkspaceName() takes it.
int runWorkspaceRemove(const Configuration& configuration, const std::string& name, std::ostream& out, std::ostream& err);
int runWorkspaceDefault(const Configuration& configuration, const std::string& name, std::ostream& out, std::ostream& err);
int runWorkspaceValidation(const Configuration& configuration, const std::string& name, bool on, std::ostream& out, std::ostream& err);

// One line per workspace, in aligned columns: "*" for the default one, id,
// project key, root and the validation switch. Shared by `workspace list`
// and `status`.
std::string describeWorkspaces(const WorkspaceRegistrySnapshot& snapshot);

// The same for --json: {"defaultWorkspaceId", "workspaces": [{"workspaceId",
// "projectKey", "workspaceRoot", "validationEnabled", "default"}]}.
JsonValue describeWorkspacesJson(const WorkspaceRegistrySnapshot& snapshot);

// The id of the workspace `name` names: its id, its project key when that
// names one workspace, or its folder. Throws WorkspaceRegistryError
// (WORKSPACE_NOT_REGISTERED, or WORKSPACE_ID_REQUIRED_FOR_PROJECT for a key
// that several workspaces share).
std::string resolveWorkspaceName(const WorkspaceRegistrySnapshot& snapshot, const std::string& name);

// What to do about a workspace that could not be found by its name (see the
// registered ones; name one of several by id); empty for other errors.
std::string workspaceFix(const std::exception& error);

}  // namespace palisor
