#pragma once

#include <CLI/CLI.hpp>

#include <chrono>
#include <functional>
#include <ostream>
#include <string>

#include "bridge/app/cli/command_action.h"
#include "bridge/app/configuration.h"

namespace palisor {

struct ActivityCommandOptions {
    std::string workspace;  // a workspace id or project key; empty for all
    std::string since;      // an age such as "10m"; empty for the whole log
    bool failedOnly = false;
    bool json = false;
    bool follow = false;
    std::chrono::milliseconds pollInterval{200};
};

// `activity`: prints the local activity log (in the configuration's state
// folder), oldest first, as a table or as
// its JSON records, read from the file itself so that no bridge need run.
// With `follow` it goes on printing new records, across rotations, until
// `stop` returns true. Returns the exit code.
int runActivityCommand(const Configuration& configuration, const ActivityCommandOptions& options, std::ostream& out, std::ostream& err,
                       const std::function<bool()>& stop = [] { return true; });

void addActivityCommand(CLI::App& app, CommandAction& action, const Configuration& configuration);

}  // namespace palisor
