#pragma once

#include <CLI/CLI.hpp>

#include "bridge/app/cli/command_action.h"
#include "bridge/workspace/workspace_registry.h"

namespace palisor {

// `workspace list|add|remove|default|validation`: the workspace registry in
// the same settings file the window and a running bridge use.
void addWorkspaceCommands(CLI::App& app, CommandAction& action);

// One line per workspace: "*" for the default one, id, project key, root and
// the validation switch. Shared by `workspace list` and `status`.
std::string describeWorkspaces(const WorkspaceRegistrySnapshot& snapshot);

}  // namespace palisor
