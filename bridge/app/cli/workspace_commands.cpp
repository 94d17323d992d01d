#include "bridge/app/cli/workspace_commands.h"

#include <algorithm>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/app/advice.h"
#include "bridge/app/bridge_components.h"
#include "bridge/app/workspace_additions.h"
#include "bridge/common/bridge_error.h"
#include "bridge/common/json.h"
#include "bridge/common/paths.h"
#include "bridge/common/unicode.h"
#include "bridge/skills/skill_folder.h"
#include "bridge/workspace/agents_pointer.h"

namespace palisor {

namespace {

std::shared_ptr<WorkspaceRegistry> openRegistry(const Configuration& configuration) {
    return createWorkspaceRegistry(configuration, configuredAuthorityOrigin(configuration));
}

std::string joined(const std::vector<std::string>& parts, const std::string& separator) {
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : separator) + part;
    return text;
}

constexpr const char* kSeeList = "Chạy palisor-bridge workspace list để xem id, dự án và thư mục đã đăng ký.";

int workspaceFailure(std::ostream& err, const std::string& description, const std::string& fix = {}) {
    err << "Không cập nhật được workspace: " << description << "\n";
    if (!fix.empty()) err << fix << "\n";
    return kExitFailure;
}

// With persistence switched off a change would vanish with this process
// while the command claimed success.
bool refusedWithoutPersistence(const WorkspaceRegistry& registry, std::ostream& err) {
    if (registry.persistenceEnabled()) return false;
    workspaceFailure(err, "SETTINGS_PERSISTENCE_DISABLED",
                     "Bỏ PALISOR_BRIDGE_DISABLE_SETTINGS_PERSISTENCE để thay đổi được lưu lại.");
    return true;
}

// The number of characters a terminal shows for UTF-8 text (every character
// of ids, project keys and paths is taken as one column wide).
std::size_t columns(const std::string& text) { return utf8Scalars(text).size(); }

std::string padded(const std::string& text, std::size_t width) {
    std::size_t shown = columns(text);
    return text + std::string(width > shown ? width - shown : 0, ' ');
}

JsonValue workspacesJson(const WorkspaceRegistrySnapshot& snapshot) {
    JsonValue workspaces = JsonValue::array();
    for (const WorkspaceRegistration& workspace : snapshot.workspaces) {
        JsonValue entry = workspace.toJson();
        entry["default"] = snapshot.defaultWorkspaceId == workspace.workspaceId;
        workspaces.push_back(std::move(entry));
    }
    return {{"defaultWorkspaceId", snapshot.defaultWorkspaceId ? JsonValue(*snapshot.defaultWorkspaceId) : JsonValue()},
            {"workspaces", std::move(workspaces)}};
}


// Why a folder could not be added and what to do, as the lines after its name.
std::string addFailure(const std::string& path, const std::exception& error, const std::string& bridgeOrigin) {
    std::string root = standardizePath(path);
    std::string message = errorMessage(error);
    if (dynamic_cast<const AgentsPointerError*>(&error))
        return message + "\n" + agentsPointerFix(joinPath(root, "AGENTS.md"), "<mã dự án>", bridgeOrigin);
    if (errorDescription(error) == "FILE_READ_FAILED:" + joinPath(root, "AGENTS.md"))
        return message + "\n" + agentsUnreadableFix(root);
    if (auto* registry = dynamic_cast<const WorkspaceRegistryError*>(&error);
        registry && registry->errorCase() == WorkspaceRegistryError::Case::authorityOriginMismatch) {
        try {
            Advice mismatch = authorityMismatchAdvice(readAgentsPointer(root), bridgeOrigin);
            return message + ": " + mismatch.finding + "\n" + mismatch.fix;
        } catch (const std::exception&) {
            // Changed since: the code alone.
        }
    }
    return message;
}

// The workspaces of `projectKey`, and which of them a call that names only
// the project reaches.
std::string sharedProjectNote(const WorkspaceRegistrySnapshot& snapshot, const std::string& projectKey) {
    std::vector<std::string> ids;
    for (const WorkspaceRegistration& workspace : snapshot.workspaces)
        if (workspace.projectKey == projectKey) ids.push_back(workspace.workspaceId);
    if (ids.size() < 2) return {};
    std::string note = "Lưu ý: dự án " + projectKey + " có " + std::to_string(ids.size()) + " workspace (" +
                       joined(ids, ", ") + "). ";
    if (snapshot.defaultWorkspaceId && std::ranges::find(ids, *snapshot.defaultWorkspaceId) != ids.end())
        return note + "Lời gọi chỉ ghi projectKey " + projectKey + " sẽ tới workspace mặc định " +
               *snapshot.defaultWorkspaceId + ".";
    return note + "Lời gọi chỉ ghi projectKey " + projectKey +
           " sẽ bị từ chối (cần workspaceId); chạy palisor-bridge workspace default <id> để chọn một workspace.";
}

}  // namespace

int runWorkspaceList(const Configuration& configuration, bool json, std::ostream& out, std::ostream&) {
    WorkspaceRegistrySnapshot snapshot = openRegistry(configuration)->snapshot();
    if (json)
        out << dumpPretty(workspacesJson(snapshot)).value_or("{}") << "\n";
    else if (snapshot.workspaces.empty())
        out << "Chưa có workspace nào.\n";
    else
        out << describeWorkspaces(snapshot);
    return kExitSuccess;
}

int runWorkspaceAdd(const Configuration& configuration, const WorkspaceAddOptions& options, std::ostream& out, std::ostream& err) {
    auto registry = openRegistry(configuration);
    if (refusedWithoutPersistence(*registry, err)) return kExitFailure;
    WorkspaceAdditions result = addWorkspaces(
        *registry, options.paths, !options.noValidation, options.makeDefault,
        [](const std::string& root) { ensureWorkspaceSkillRoot(root); },
        [&](const std::string& path, const std::exception& error) {
            return addFailure(path, error, registry->authorityOrigin());
        });
    std::vector<std::string> projects;
    for (const auto& [registration, known] : result.added) {
        out << (known ? "Đã đăng ký từ trước: workspace " : "Đã thêm workspace ") << registration.workspaceId
                  << " (dự án " << registration.projectKey << ", " << registration.workspaceRoot << ")\n";
        if (std::ranges::find(projects, registration.projectKey) == projects.end())
            projects.push_back(registration.projectKey);
    }
    WorkspaceRegistrySnapshot snapshot = registry->snapshot();
    for (const std::string& projectKey : projects)
        if (std::string note = sharedProjectNote(snapshot, projectKey); !note.empty()) out << note << "\n";
    for (const std::string& failure : result.failures) err << "Có workspace không hợp lệ: " << failure << "\n";
    return result.failures.empty() ? kExitSuccess : kExitFailure;
}

namespace {

// remove, default and validation: one registry change to the workspace
// `name` names, reported the same way.
int runChange(const Configuration& configuration, const std::string& name, std::ostream& out, std::ostream& err,
              const std::function<std::string(WorkspaceRegistry&, const std::string&)>& change) {
    try {
        auto registry = openRegistry(configuration);
        if (refusedWithoutPersistence(*registry, err)) return kExitFailure;
        out << change(*registry, resolveWorkspaceName(registry->snapshot(), name)) << "\n";
        return kExitSuccess;
    } catch (const std::exception& error) {
        return workspaceFailure(err, errorMessage(error), workspaceFix(error));
    }
}

}  // namespace

int runWorkspaceRemove(const Configuration& configuration, const std::string& name, std::ostream& out, std::ostream& err) {
    return runChange(configuration, name, out, err, [](WorkspaceRegistry& registry, const std::string& id) {
        registry.remove(id);
        return "Đã xóa workspace: " + id;
    });
}

int runWorkspaceDefault(const Configuration& configuration, const std::string& name, std::ostream& out, std::ostream& err) {
    return runChange(configuration, name, out, err, [](WorkspaceRegistry& registry, const std::string& id) {
        registry.setDefault(id);
        return "Workspace mặc định: " + id;
    });
}

int runWorkspaceValidation(const Configuration& configuration, const std::string& name, bool on, std::ostream& out,
                           std::ostream& err) {
    return runChange(configuration, name, out, err, [on](WorkspaceRegistry& registry, const std::string& id) {
        registry.setValidationEnabled(id, on);
        return "Validation " + std::string(on ? "bật" : "tắt") + " cho workspace: " + id;
    });
}

std::string workspaceFix(const std::exception& error) {
    auto* registry = dynamic_cast<const WorkspaceRegistryError*>(&error);
    if (!registry) return {};
    switch (registry->errorCase()) {
        case WorkspaceRegistryError::Case::workspaceNotRegistered:
            return kSeeList;
        case WorkspaceRegistryError::Case::workspaceIdRequired:
            return "Dự án này có nhiều workspace: gọi workspace bằng id hoặc thư mục của nó. " + std::string(kSeeList);
        default:
            return {};
    }
}

std::string resolveWorkspaceName(const WorkspaceRegistrySnapshot& snapshot, const std::string& name) {
    std::vector<const WorkspaceRegistration*> byKey;
    std::optional<std::string> byRoot;
    std::string root = name.empty() ? std::string() : standardizePath(name);
    for (const WorkspaceRegistration& workspace : snapshot.workspaces) {
        if (workspace.workspaceId == name) return name;
        if (workspace.projectKey == name) byKey.push_back(&workspace);
        if (workspace.workspaceRoot == root) byRoot = workspace.workspaceId;
    }
    if (byKey.size() == 1) return byKey.front()->workspaceId;
    if (byRoot) return *byRoot;
    if (byKey.size() > 1) throw WorkspaceRegistryError::workspaceIdRequired(name);
    throw WorkspaceRegistryError::workspaceNotRegistered(name);
}

std::string describeWorkspaces(const WorkspaceRegistrySnapshot& snapshot) {
    std::size_t idWidth = 0, keyWidth = 0, rootWidth = 0;
    for (const WorkspaceRegistration& workspace : snapshot.workspaces) {
        idWidth = std::max(idWidth, columns(workspace.workspaceId));
        keyWidth = std::max(keyWidth, columns(workspace.projectKey));
        rootWidth = std::max(rootWidth, columns(workspace.workspaceRoot));
    }
    std::ostringstream text;
    for (const WorkspaceRegistration& workspace : snapshot.workspaces) {
        bool isDefault = snapshot.defaultWorkspaceId == workspace.workspaceId;
        text << (isDefault ? "* " : "  ") << padded(workspace.workspaceId, idWidth) << "  "
             << padded(workspace.projectKey, keyWidth) << "  " << padded(workspace.workspaceRoot, rootWidth) << "  "
             << padded(isDefault ? "Mặc định" : "-", columns("Mặc định")) << "  Validation: "
             << (workspace.validationEnabled ? "bật" : "tắt") << "\n";
    }
    return text.str();
}

JsonValue describeWorkspacesJson(const WorkspaceRegistrySnapshot& snapshot) { return workspacesJson(snapshot); }

void addWorkspaceCommands(CLI::App& app, CommandAction& action, const Configuration& configuration) {
    auto* workspace = app.add_subcommand("workspace", "Xem và thay đổi các workspace đã đăng ký.");
    workspace->require_subcommand(1);
    const std::string named = "Workspace: id, mã dự án (khi chỉ một workspace có mã đó) hoặc thư mục";

    auto listJson = std::make_shared<bool>(false);
    auto* list = workspace->add_subcommand("list", "Liệt kê các workspace; \"*\" đánh dấu workspace mặc định.");
    list->add_flag("--json", *listJson, "In danh sách dưới dạng JSON");
    list->callback([&action, &configuration, listJson] { action = [&configuration, listJson] { return runWorkspaceList(configuration, *listJson, std::cout, std::cerr); }; });

    auto addOptions = std::make_shared<WorkspaceAddOptions>();
    auto* add = workspace->add_subcommand("add", "Đăng ký các thư mục có AGENTS.md trỏ tới authority này.");
    add->add_option("path", addOptions->paths, "Thư mục workspace")->required()->expected(1, -1);
    add->add_flag("--default", addOptions->makeDefault, "Đặt thư mục làm workspace mặc định");
    add->add_flag("--no-validation", addOptions->noValidation, "Đăng ký với validation tắt");
    add->callback([&action, &configuration, addOptions] {
        action = [&configuration, addOptions] { return runWorkspaceAdd(configuration, *addOptions, std::cout, std::cerr); };
    });

    auto name = std::make_shared<std::string>();
    auto* remove = workspace->add_subcommand("remove", "Bỏ đăng ký một workspace (thư mục của nó được giữ nguyên).");
    remove->add_option("workspace", *name, named)->required();
    remove->callback([&action, &configuration, name] {
        action = [&configuration, name] { return runWorkspaceRemove(configuration, *name, std::cout, std::cerr); };
    });

    auto* makeDefault = workspace->add_subcommand("default", "Đặt một workspace làm workspace mặc định.");
    makeDefault->add_option("workspace", *name, named)->required();
    makeDefault->callback(
        [&action, &configuration, name] {
            action = [&configuration, name] { return runWorkspaceDefault(configuration, *name, std::cout, std::cerr); };
        });

    auto enabled = std::make_shared<std::string>();
    auto* validation = workspace->add_subcommand("validation", "Bật hoặc tắt validation của một workspace.");
    validation->add_option("workspace", *name, named)->required();
    validation->add_option("state", *enabled, "on hoặc off")->required()->check(CLI::IsMember({"on", "off"}));
    validation->callback([&action, &configuration, name, enabled] {
        action = [&configuration, name, enabled] {
            return runWorkspaceValidation(configuration, *name, *enabled == "on", std::cout, std::cerr);
        };
    });
}

}  // namespace palisor
