#pragma once

#include <CLI/CLI.hpp>

#include "bridge/app/cli/command_action.h"

namespace palisor {

// `doctor`: checks what the bridge needs on this machine (the credential
// store, the stored session, the port, the authority, the registered
// workspaces, the executors' runtime) and prints one line per check with
// what it found, and for each warning or failure the fix. Exit 0 when
// nothing failed (warnings allowed), 1 otherwise. It reports and changes
// nothing: no refresh, no login, no file repaired.
void addDoctorCommand(CLI::App& app, CommandAction& action, const Configuration& configuration);

}  // namespace palisor
