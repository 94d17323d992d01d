#pragma once

#include <CLI/CLI.hpp>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "bridge/app/cli/command_action.h"
#include "bridge/app/configuration.h"

namespace palisor {

// `skills sync`: installs a workspace's skills from the authority as an
// agent's "authority_sync_skills" would, for users who want them without one.
void addSkillCommands(CLI::App& app, CommandAction& action, const Configuration& configuration);

struct SkillsSyncOptions {
    std::string workspaceId{};  // an id, a project key or a folder
    std::string itemId{};       // the item whose skills to install, or empty for `skills`
    std::optional<std::string> scope{};
    std::optional<std::string> repoKey{};
    std::vector<std::string> skills{};  // ID or ID@VERSION
    bool json = false;
};
int runSkillsSync(const Configuration& configuration, const SkillsSyncOptions& options, std::ostream& out, std::ostream& err);

}  // namespace palisor
