#include <chrono>

#include "bridge/activity/activity_scope.h"
#include "bridge/common/bridge_error.h"
#include "bridge/common/time.h"
#include "bridge/skills/skill_reference_resolver.h"
#include "bridge/tools/tool_router.h"

namespace palisor {

namespace {

// A requested sync leaves the same start and end events as an authority
// operation, under a descriptor of its own.
const JsonValue& localSkillSyncDescriptor() {
    static const JsonValue descriptor = {
        {"id", "bridge.skills.sync"}, {"authMode", "project-agent"}, {"observability", {{"phase", "analysis"}}}};
    return descriptor;
}

constexpr const char* kLocalMethod = "LOCAL";
constexpr const char* kLocalPath = "local:skill-sync";

bool isArrayOfObjects(const JsonValue& value) {
    if (!value.is_array()) return false;
    for (const JsonValue& element : value)
        if (!element.is_object()) return false;
    return true;
}

}  // namespace

JsonValue ToolRouter::syncSkills(const JsonValue& args) {
    WorkspaceContext workspace = resolveWorkspace(args);
    AuthorityTraceContext context = bridgeProjectToolContext("bridge.skills.sync", workspace, args);
    const JsonValue& descriptor = localSkillSyncDescriptor();
    auto start = std::chrono::steady_clock::now();
    recordBridgeEventBestEffort(
        workspace, bridgeOperationEvent(context, descriptor, kLocalMethod, kLocalPath, "started", std::nullopt, nullptr));

    JsonValue value;
    try {
        // The packages' own fetches are not the call's answer: its record
        // holds what was installed and skipped instead.
        ActivityAside aside;
        const std::string* itemId = stringMember(args, "itemId");
        if (itemId && !itemId->empty()) {
            value = skillSync_->syncForProgressItem(workspace.projectKey, workspace.workspaceRoot, *itemId,
                                                    optString(args, "scope"), optString(args, "repoKey"));
        } else {
            std::vector<JsonValue> skills;
            if (const JsonValue* requested = arrayMember(args, "skills")) {
                for (const JsonValue& element : *requested) {
                    if (element.is_string() && !element.get_ref<const std::string&>().empty())
                        skills.push_back({{"skillId", element}});
                    else if (element.is_object())
                        skills.push_back(element);
                }
            }
            std::optional<OrderedJsonValue> task;
            if (const JsonValue* given = objectMember(args, "task")) task = toOrderedJson(*given);
            value = skillSync_->syncExplicit(workspace.projectKey, workspace.workspaceRoot, skills, task);
        }
    } catch (const std::exception& error) {
        recordBridgeEventBestEffort(workspace, bridgeOperationEvent(context, descriptor, kLocalMethod, kLocalPath,
                                                                    "failed", millisecondsSince(start), &error));
        throw;
    }
    if (ActivityRecord* record = ActivityScope::current()) {
        const JsonValue* synced = arrayMember(value, "synced");
        const JsonValue* skipped = arrayMember(value, "skipped");
        record->skillsInstalled = synced ? static_cast<std::int64_t>(synced->size()) : 0;
        record->skillsSkipped = skipped ? static_cast<std::int64_t>(skipped->size()) : 0;
    }
    recordBridgeEventBestEffort(workspace,
                                bridgeOperationEvent(responseTaskContext(context, value), descriptor, kLocalMethod,
                                                     kLocalPath, "succeeded", millisecondsSince(start), nullptr));
    flushAiWorkEventSpoolBestEffort(workspace);
    return value;
}

void ToolRouter::activateSkillsFromAnswer(const WorkspaceContext& workspace, const OrderedJsonValue& received,
                                          JsonValue& answer) {
    ActivityAside aside;
    try {
        skillSync_->syncFromAuthorityResponse(workspace.projectKey, workspace.workspaceRoot, received);
    } catch (const std::exception& error) {
        JsonValue warning = {{"code", "BRIDGE_SKILL_SYNC_REQUIRED"},
                             {"message", errorDescription(error)},
                             {"authorityOperationSucceeded", true},
                             {"retryTool", "authority_sync_skills"}};
        if (answer.is_object()) {
            JsonValue& warnings = answer["bridgeWarnings"];
            if (!isArrayOfObjects(warnings)) warnings = JsonValue::array();
            warnings.push_back(std::move(warning));
        } else {
            answer = {{"result", answer}, {"bridgeWarnings", JsonValue::array({std::move(warning)})}};
        }
    }
}

}  // namespace palisor
