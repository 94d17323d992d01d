#pragma once

#include <CLI/CLI.hpp>

#include "bridge/app/cli/command_action.h"

namespace palisor {

// `skills sync`: installs a workspace's skills from the authority as an
// agent's "authority_sync_skills" would, for users who want them without one.
void addSkillCommands(CLI::App& app, CommandAction& action, const Configuration& configuration);

}  // namespace palisor
