#include "bridge/app/cli/skill_commands.h"

#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bridge/app/bridge_components.h"
#include "bridge/app/cli/workspace_commands.h"
#include "bridge/common/bridge_error.h"
#include "bridge/common/json.h"
#include "bridge/credentials/native_token_store.h"
#include "bridge/skills/skill_sync_service.h"
#include "bridge/workspace/workspace_registry.h"

namespace palisor {

namespace {

// "ID@VERSION" pins a version; the last "@" separates them, so an id may
// itself hold one.
JsonValue skillReference(const std::string& text) {
    auto at = text.rfind('@');
    if (at == std::string::npos || at == 0 || at + 1 == text.size()) return {{"skillId", text}};
    return {{"skillId", text.substr(0, at)}, {"version", text.substr(at + 1)}};
}

std::string valueText(const JsonValue& record, const char* key) { return optString(record, key).value_or(""); }

void printReport(const JsonValue& report, std::ostream& out) {
    const JsonValue* synced = arrayMember(report, "synced");
    const JsonValue* skipped = arrayMember(report, "skipped");
    for (const JsonValue& record : synced ? *synced : JsonValue::array()) {
        std::string version = valueText(record, "version");
        out << "Đã cài " << valueText(record, "skillId") << (version.empty() ? "" : "@" + version) << " ("
                  << optInt64(record, "fileCount").value_or(0) << " file) vào " << valueText(record, "targetPath")
                  << "\n";
    }
    for (const JsonValue& record : skipped ? *skipped : JsonValue::array()) {
        std::string id = valueText(record, "skillId");
        out << "Bỏ qua " << (id.empty() ? "(không có skillId)" : id) << ": " << valueText(record, "reason")
                  << "\n";
    }
    out << (synced ? synced->size() : 0) << " skill đã cài, " << (skipped ? skipped->size() : 0)
              << " bỏ qua. Lock: " << valueText(report, "lockPath") << "\n";
}

}  // namespace

int runSkillsSync(const Configuration& configuration, const SkillsSyncOptions& options, std::ostream& out, std::ostream& err) {
    try {
        auto client = createAuthorityClient(configuration, createTokenStore(configuration));
        auto registry = createWorkspaceRegistry(configuration, client->authorityOrigin());
        WorkspaceContext workspace =
            registry->resolve({{"workspaceId", resolveWorkspaceName(registry->snapshot(), options.workspaceId)}});
        SkillSyncService service(client);
        JsonValue report;
        if (!options.itemId.empty()) {
            report = service.syncForProgressItem(workspace.projectKey, workspace.workspaceRoot, options.itemId,
                                                 options.scope, options.repoKey);
        } else {
            std::vector<JsonValue> references;
            for (const std::string& skill : options.skills) references.push_back(skillReference(skill));
            report = service.syncExplicit(workspace.projectKey, workspace.workspaceRoot, references);
        }
        if (options.json) {
            out << dumpPretty(report).value_or("{}") << "\n";
        } else {
            printReport(report, out);
        }
        return kExitSuccess;
    } catch (const std::exception& error) {
        err << "Không đồng bộ được skill: " << errorMessage(error) << "\n";
        auto* ours = dynamic_cast<const BridgeError*>(&error);
        std::string fix = ours && ours->kind() == ErrorKind::loginRequired ? "Chạy palisor-bridge login rồi thử lại."
                                                                           : workspaceFix(error);
        if (!fix.empty()) err << fix << "\n";
        return kExitFailure;
    }
}

void addSkillCommands(CLI::App& app, CommandAction& action, const Configuration& configuration) {
    auto* skills = app.add_subcommand("skills", "Cài các gói skill từ authority vào một workspace.");
    skills->require_subcommand(1);

    auto options = std::make_shared<SkillsSyncOptions>();
    auto* sync = skills->add_subcommand(
        "sync", "Cài các skill mà một progress item cần (--item), hoặc các skill ghi bằng --skill.");
    sync->add_option("--workspace", options->workspaceId, "Workspace: id, mã dự án hoặc thư mục (xem `workspace list`)")->required();
    auto* item = sync->add_option("--item", options->itemId, "Id của progress item (task)");
    auto* scope = sync->add_option_function<std::string>(
        "--scope", [options](const std::string& value) { options->scope = value; },
        "Phạm vi của item, ví dụ repo-level");
    auto* repo = sync->add_option_function<std::string>(
        "--repo", [options](const std::string& value) { options->repoKey = value; },
        "Mã repository của một item repo-level");
    auto* skill = sync->add_option("--skill", options->skills, "Id của skill, hoặc ID@VERSION để chọn một phiên bản (dùng được nhiều lần)");
    sync->add_flag("--json", options->json, "In toàn bộ báo cáo dưới dạng JSON");
    scope->needs(item);
    repo->needs(item);
    item->excludes(skill);
    skill->excludes(item);
    sync->callback([item, skill, &action, &configuration, options] {
        if (item->count() == 0 && skill->count() == 0)
            throw CLI::RequiredError("--item hoặc --skill");
        if (item->count() > 0 && options->itemId.empty()) throw CLI::ValidationError("--item", "không được để trống");
        action = [&configuration, options] { return runSkillsSync(configuration, *options, std::cout, std::cerr); };
    });
}

}  // namespace palisor
