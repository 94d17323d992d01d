#include "bridge/app/workspace_additions.h"

#include <algorithm>

#include "bridge/common/paths.h"

namespace palisor {

WorkspaceAdditions addWorkspaces(WorkspaceRegistry& registry, const std::vector<std::string>& folders,
                                 bool validationEnabled, bool makeDefault,
                                 const std::function<void(const std::string& workspaceRoot)>& ensureSkillRoot,
                                 const std::function<std::string(const std::string& folder, const std::exception&)>& why) {
    WorkspaceAdditions result;
    for (const std::string& folder : folders) {
        try {
            std::string root = standardizePath(folder);
            bool known = std::ranges::any_of(registry.snapshot().workspaces, [&](const WorkspaceRegistration& w) {
                return w.workspaceRoot == root;
            });
            WorkspaceRegistration registration = registry.add(folder, validationEnabled, makeDefault);
            if (ensureSkillRoot) ensureSkillRoot(registration.workspaceRoot);
            result.added.push_back({std::move(registration), known});
        } catch (const std::exception& error) {
            // Named as the user sees the folder ("." is the current one).
            result.failures.push_back(lastPathComponent(standardizePath(folder)) + ": " + why(folder, error));
        }
    }
    return result;
}

}  // namespace palisor
