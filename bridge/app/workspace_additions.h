#pragma once

#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "bridge/workspace/workspace_registry.h"

namespace palisor {

struct WorkspaceAddition {
    WorkspaceRegistration registration;
    bool wasRegistered = false;  // the folder was registered before
};

struct WorkspaceAdditions {
    std::vector<WorkspaceAddition> added;
    // "<folder name as the user sees it>: <why>", in the order given.
    std::vector<std::string> failures;
};

// Adds the folders in turn, as the window and the command line both do: each
// is registered (made the default when asked; of several, the last wins),
// then its skill folder is made, since agents look for skills there from the
// start. A workspace whose skill folder cannot be made stays registered and
// is reported among the failures. `why` words a failure for its caller.
WorkspaceAdditions addWorkspaces(WorkspaceRegistry& registry, const std::vector<std::string>& folders,
                                 bool validationEnabled, bool makeDefault,
                                 const std::function<void(const std::string& workspaceRoot)>& ensureSkillRoot,
                                 const std::function<std::string(const std::string& folder, const std::exception&)>& why);

}  // namespace palisor
