#include "bridge/app/cli/workspace_commands.h"

#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/app/bridge_components.h"
#include "bridge/common/bridge_error.h"
#include "bridge/common/paths.h"
#include "bridge/skills/skill_folder.h"

namespace palisor {

namespace {

std::shared_ptr<WorkspaceRegistry> openRegistry() { return createWorkspaceRegistry(configuredAuthorityOrigin()); }

std::string joined(const std::vector<std::string>& parts, const std::string& separator) {
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : separator) + part;
    return text;
}

int workspaceFailure(const std::string& description) {
    std::cerr << "Không cập nhật được workspace: " << description << "\n";
    return kExitFailure;
}

// With persistence switched off a change would vanish with this process
// while the command claimed success.
bool refusedWithoutPersistence(const WorkspaceRegistry& registry) {
    if (registry.persistenceEnabled()) return false;
    workspaceFailure("SETTINGS_PERSISTENCE_DISABLED");
    return true;
}

int runList() {
    WorkspaceRegistrySnapshot snapshot = openRegistry()->snapshot();
    if (snapshot.workspaces.empty())
        std::cout << "Chưa có workspace nào.\n";
    else
        std::cout << describeWorkspaces(snapshot);
    return kExitSuccess;
}

struct AddOptions {
    std::vector<std::string> paths;
    bool makeDefault = false;
    bool noValidation = false;
};

int runAdd(const AddOptions& options) {
    auto registry = openRegistry();
    if (refusedWithoutPersistence(*registry)) return kExitFailure;
    std::vector<std::string> added;
    std::vector<std::string> failures;
    for (const std::string& path : options.paths) {
        try {
            // Only the last folder of several becomes the default.
            WorkspaceRegistration registration = registry->add(path, !options.noValidation, options.makeDefault);
            // Agents look for skills there from the start; a workspace whose
            // skill folder cannot be made stays registered, reported below.
            ensureWorkspaceSkillRoot(registration.workspaceRoot);
            added.push_back(registration.projectKey);
        } catch (const std::exception& error) {
            // Named as the user sees the folder ("." is the current one).
            failures.push_back(lastPathComponent(standardizePath(path)) + ": " + errorMessage(error));
        }
    }
    if (!added.empty()) std::cout << "Đã thêm workspace: " << joined(added, ", ") << "\n";
    if (failures.empty()) return kExitSuccess;
    std::cerr << "Có workspace không hợp lệ: " << joined(failures, "; ") << "\n";
    return kExitFailure;
}

// remove, default and validation: one registry change, reported the same way.
int runChange(const std::string& doneLine, const std::function<void(WorkspaceRegistry&)>& change) {
    try {
        auto registry = openRegistry();
        if (refusedWithoutPersistence(*registry)) return kExitFailure;
        change(*registry);
        std::cout << doneLine << "\n";
        return kExitSuccess;
    } catch (const std::exception& error) {
        return workspaceFailure(errorMessage(error));
    }
}

}  // namespace

std::string describeWorkspaces(const WorkspaceRegistrySnapshot& snapshot) {
    std::ostringstream text;
    for (const WorkspaceRegistration& workspace : snapshot.workspaces) {
        bool isDefault = snapshot.defaultWorkspaceId == workspace.workspaceId;
        text << (isDefault ? "* " : "  ") << workspace.workspaceId << "  " << workspace.projectKey << "  "
             << workspace.workspaceRoot << "  " << (isDefault ? "Mặc định" : "-") << "  Validation: "
             << (workspace.validationEnabled ? "bật" : "tắt") << "\n";
    }
    return text.str();
}

void addWorkspaceCommands(CLI::App& app, CommandAction& action) {
    auto* workspace = app.add_subcommand("workspace", "List and change the registered workspaces.");
    workspace->require_subcommand(1);

    workspace->add_subcommand("list", "List the workspaces; \"*\" marks the default one.")->callback([&action] {
        action = runList;
    });

    auto addOptions = std::make_shared<AddOptions>();
    auto* add = workspace->add_subcommand("add", "Register folders whose AGENTS.md names this authority.");
    add->add_option("path", addOptions->paths, "Workspace folder")->required()->expected(1, -1);
    add->add_flag("--default", addOptions->makeDefault, "Make the folder the default workspace");
    add->add_flag("--no-validation", addOptions->noValidation, "Register with validation switched off");
    add->callback([&action, addOptions] { action = [addOptions] { return runAdd(*addOptions); }; });

    auto id = std::make_shared<std::string>();
    auto* remove = workspace->add_subcommand("remove", "Unregister a workspace (its folder is left alone).");
    remove->add_option("id", *id, "Workspace id")->required();
    remove->callback([&action, id] {
        action = [id] {
            return runChange("Đã xoá workspace: " + *id, [&](WorkspaceRegistry& r) { r.remove(*id); });
        };
    });

    auto* makeDefault = workspace->add_subcommand("default", "Make a workspace the default one.");
    makeDefault->add_option("id", *id, "Workspace id")->required();
    makeDefault->callback([&action, id] {
        action = [id] {
            return runChange("Workspace mặc định: " + *id, [&](WorkspaceRegistry& r) { r.setDefault(*id); });
        };
    });

    auto enabled = std::make_shared<std::string>();
    auto* validation = workspace->add_subcommand("validation", "Switch validation of a workspace on or off.");
    validation->add_option("id", *id, "Workspace id")->required();
    validation->add_option("state", *enabled, "on or off")->required()->check(CLI::IsMember({"on", "off"}));
    validation->callback([&action, id, enabled] {
        action = [id, enabled] {
            bool on = *enabled == "on";
            return runChange("Validation " + std::string(on ? "bật" : "tắt") + " cho workspace: " + *id,
                             [&](WorkspaceRegistry& r) { r.setValidationEnabled(*id, on); });
        };
    });
}

}  // namespace palisor
