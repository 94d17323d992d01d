#include "bridge/tools/tool_router.h"

#include "bridge/activity/activity_scope.h"
#include "bridge/common/text.h"
#include "bridge/common/uuid.h"

namespace palisor {

ToolRouterError::ToolRouterError(Case errorCase, std::string code)
    : BridgeError(std::move(code), errorCase == Case::requiredArgument || errorCase == Case::pathParamRequired ||
                                           errorCase == Case::operationPathInvalid
                                       ? ErrorKind::badRequest
                                       : ErrorKind::failure),
      case_(errorCase) {}

ToolRouterError ToolRouterError::unknownTool(const std::string& name) { return {Case::unknownTool, "UNKNOWN_TOOL:" + name}; }

ToolRouterError ToolRouterError::requiredArgument(const std::string& name) {
    return {Case::requiredArgument, asciiUpper(name) + "_REQUIRED"};
}

ToolRouterError ToolRouterError::operationNotFound(const std::string& operationId) {
    return {Case::operationNotFound, "AUTHORITY_OPERATION_NOT_FOUND:" + operationId};
}
ToolRouterError ToolRouterError::pathParamRequired(const std::string& name) {
    return {Case::pathParamRequired, "PATH_PARAM_REQUIRED:" + name};
}
ToolRouterError ToolRouterError::queryParamNotAllowed(const std::string& name) {
    return {Case::queryParamNotAllowed, "QUERY_PARAM_NOT_ALLOWED:" + name};
}
ToolRouterError ToolRouterError::operationCatalogMissing() {
    return {Case::operationCatalogMissing, "AUTHORITY_OPERATION_CATALOG_MISSING"};
}
ToolRouterError ToolRouterError::operationPathInvalid() {
    return {Case::operationPathInvalid, "AUTHORITY_OPERATION_PATH_INVALID"};
}
ToolRouterError ToolRouterError::operationPathUnresolved() {
    return {Case::operationPathUnresolved, "AUTHORITY_OPERATION_PATH_UNRESOLVED"};
}

ToolRouter::ToolRouter(std::shared_ptr<AuthorityClient> authorityClient,
                       std::shared_ptr<WorkspaceRegistry> workspaceRegistry)
    : authorityClient_(std::move(authorityClient)),
      workspaceRegistry_(std::move(workspaceRegistry)),
      workEventSpool_(std::make_shared<AiWorkEventSpool>()),
      skillSync_(std::make_shared<SkillSyncService>(authorityClient_)) {}

WorkspaceContext ToolRouter::resolveWorkspace(const JsonValue& args) {
    WorkspaceContext workspace = workspaceRegistry_->resolve(args);
    if (ActivityRecord* record = ActivityScope::current()) {
        record->workspaceId = workspace.workspaceId.value_or("");
        record->projectKey = workspace.projectKey;
    }
    return workspace;
}

JsonValue ToolRouter::call(const std::string& name, const JsonValue& args) {
    if (name == "bridge_list_workspaces") return workspaceRegistry_->snapshotDictionary();
    if (name == "authority_bootstrap") {
        WorkspaceContext workspace = resolveWorkspace(args);
        auto context = bridgeProjectToolContext("authority.get", workspace, args);
        JsonValue answer = authorityClient_->requestWithWebSession(
            "/api/authority?projectKey=" + urlQueryEncode(workspace.projectKey), "GET", std::nullopt, context);
        flushAiWorkEventSpoolBestEffort(workspace);
        return answer;
    }
    if (name == "authority_health")
        return authorityClient_->request("/api/health", "GET", std::nullopt, std::nullopt, true, std::nullopt);
    if (name == "authority_list_operations") {
        WorkspaceContext workspace = resolveWorkspace(args);
        return getOperationCatalog(workspace.projectKey, bridgeProjectToolContext("authority.get", workspace, args));
    }
    if (name == "authority_call_operation") return callAuthorityOperation(resolveWorkspace(args), args);
    if (name == "authority_log_work_event") return logWorkEvent(args);
    if (name == "authority_sync_skills") return syncSkills(args);
    throw ToolRouterError::unknownTool(name);
}

AuthorityTraceContext::Fields ToolRouter::callerTraceFields(const JsonValue& args) {
    AuthorityTraceContext::Fields fields;
    fields.traceId = optString(args, "traceId").value_or("trace-" + randomUuidLower());
    fields.spanId = optString(args, "spanId").value_or("span-bridge-" + randomUuidLower());
    fields.parentSpanId = optString(args, "parentSpanId");
    fields.causalId = optString(args, "causalId").value_or("causal-" + randomUuidLower());
    return fields;
}

AuthorityTraceContext ToolRouter::bridgeProjectToolContext(const std::string& operationId,
                                                           const WorkspaceContext& workspace,
                                                           const JsonValue& args) const {
    const JsonValue* taskMember = objectMember(args, "task");
    const JsonValue& task = taskMember ? *taskMember : JsonValue::object();
    AuthorityTraceContext::Fields fields = callerTraceFields(args);
    fields.operationId = operationId;
    fields.taskId = optString(args, "itemId");
    if (!fields.taskId) fields.taskId = optString(task, "itemId");
    fields.taskRevision = optInt64(args, "sourceTaskRevision");
    if (!fields.taskRevision) fields.taskRevision = optInt64(task, "revision");
    fields.projectKey = workspace.projectKey;
    fields.sourceComponent = "bridge";
    return AuthorityTraceContext(fields);
}

JsonValue ToolRouter::getOperationCatalog(const std::string& projectKey,
                                          const std::optional<AuthorityTraceContext>& traceContext) {
    JsonValue response = authorityClient_->requestCatalogWithWebSession(projectKey, traceContext);
    const JsonValue* catalog = objectMember(response, "operationCatalog");
    const JsonValue* operations = catalog ? arrayMember(*catalog, "operations") : nullptr;
    if (!operations) throw ToolRouterError::operationCatalogMissing();
    for (const JsonValue& operation : *operations)
        if (!operation.is_object()) throw ToolRouterError::operationCatalogMissing();
    return *catalog;
}

std::string ToolRouter::requiredString(const JsonValue& args, const std::string& key) {
    if (auto value = nonEmptyString(args, key)) return *value;
    throw ToolRouterError::requiredArgument(key);
}

}  // namespace palisor
