#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <iosfwd>

#include "bridge/app/cli/command_action.h"
#include "bridge/app/configuration.h"

namespace palisor {

// `stdio`: for agents that can only start an MCP server as a child process.
// Relays newline-delimited JSON-RPC between standard input/output and the
// running bridge's endpoint.
void addStdioCommand(CLI::App& app, CommandAction& action, const Configuration& configuration);

// The relay itself, on any streams (standard input, output and error for
// the command), to the configured port. Returns when `in` ends and every
// answer has been written.
int runStdioRelay(const Configuration& configuration, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace palisor
