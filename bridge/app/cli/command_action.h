#pragma once

#include <functional>

#include "bridge/app/configuration.h"

namespace palisor {

// What the parsed command line asks the program to do; returns the exit code.
// Subcommands set it from their parse callback, and main runs it after parsing
// has succeeded, so that a usage error never half-runs a command.
using CommandAction = std::function<int()>;

// Exit codes of every command: 0 success, 1 the action failed (the reason is
// on standard error), 2 the command line itself was wrong.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

}  // namespace palisor
