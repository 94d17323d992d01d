#pragma once

#include <CLI/CLI.hpp>

#include "bridge/app/cli/command_action.h"

namespace palisor {

// `login`, `logout` and `status`: the user's authority session in the same
// credential store the window and the running bridge use.
void addSessionCommands(CLI::App& app, CommandAction& action, const Configuration& configuration);

}  // namespace palisor
