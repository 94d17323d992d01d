#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bridge/authority/authority_client.h"
#include "bridge/authority/authority_trace_context.h"
#include "bridge/common/bridge_error.h"
#include "bridge/common/json.h"
#include "bridge/skills/skill_sync_service.h"
#include "bridge/spool/ai_work_event_spool.h"
#include "bridge/workspace/workspace_registry.h"

namespace palisor {

class ToolRouterError : public BridgeError {
public:
    enum class Case {
        unknownTool,
        requiredArgument,
        operationNotFound,
        pathParamRequired,
        queryParamNotAllowed,
        operationCatalogMissing,
        operationPathInvalid,
        operationPathUnresolved,
    };

    static ToolRouterError unknownTool(const std::string& name);
    static ToolRouterError requiredArgument(const std::string& name);
    static ToolRouterError operationNotFound(const std::string& operationId);
    static ToolRouterError pathParamRequired(const std::string& name);
    static ToolRouterError queryParamNotAllowed(const std::string& name);
    static ToolRouterError operationCatalogMissing();
    static ToolRouterError operationPathInvalid();
    static ToolRouterError operationPathUnresolved();

    Case errorCase() const noexcept { return case_; }

private:
    ToolRouterError(Case errorCase, std::string code);
    Case case_;
};

// Where an MCP tool name becomes work: resolve the workspace, build the trace
// context, call the authority, record the bridge's own events. Holds no
// mutable state of its own; safe for concurrent calls.
class ToolRouter {
public:
    ToolRouter(std::shared_ptr<AuthorityClient> authorityClient, std::shared_ptr<WorkspaceRegistry> workspaceRegistry);

    // The one entry point of the endpoint. Raises errors whose description is
    // the code agents see.
    JsonValue call(const std::string& name, const JsonValue& args);

    AuthorityTraceContext bridgeProjectToolContext(const std::string& operationId, const WorkspaceContext& workspace,
                                                   const JsonValue& args) const;
    JsonValue getOperationCatalog(const std::string& projectKey,
                                  const std::optional<AuthorityTraceContext>& traceContext);
    static std::string requiredString(const JsonValue& args, const std::string& key);

    // Work events.
    JsonValue sendAiWorkEvent(const WorkspaceContext& workspace, const JsonValue& event);
    static bool isTransientAiWorkLogError(const std::exception& error);
    static bool isDiscardableAiWorkLogError(const std::exception& error);
    static std::string safeAiWorkLogErrorCode(const std::exception& error);
    JsonValue flushAiWorkEventSpoolBestEffort(const WorkspaceContext& workspace);

    // Operation calls.
    JsonValue callAuthorityOperation(const WorkspaceContext& workspace, const JsonValue& args);
    static AuthorityTraceContext bridgeOperationContext(const JsonValue& operation, const JsonValue& args,
                                                        const JsonValue& pathParams, const std::string& projectKey);
    static std::string renderPathTemplate(const std::string& pathTemplate, const JsonValue& pathParams,
                                          const std::vector<std::string>& requiredPathParams);
    static std::string stringify(const JsonValue* value);
    static JsonValue bridgeOperationEvent(const AuthorityTraceContext& context, const JsonValue& operation,
                                          const std::string& method, const std::string& requestPath,
                                          const std::string& outcome, std::optional<std::int64_t> durationMs,
                                          const std::exception* error);
    JsonValue recordBridgeEventBestEffort(const WorkspaceContext& workspace, const JsonValue& event);
    static AuthorityTraceContext responseTaskContext(const AuthorityTraceContext& context, const JsonValue& response);

    // Skills.
    JsonValue syncSkills(const JsonValue& args);
    // Installs the skills of the task an operation answered with; a failure
    // leaves the answer standing with a warning in its "bridgeWarnings".
    void activateSkillsFromAnswer(const WorkspaceContext& workspace, const OrderedJsonValue& received,
                                  JsonValue& answer);

private:
    // The trace, span, parent span and causal ids a call names, with fresh
    // prefixed ids for the ones it leaves out.
    static AuthorityTraceContext::Fields callerTraceFields(const JsonValue& args);
    // The registry's resolution, noted in the call's activity record.
    WorkspaceContext resolveWorkspace(const JsonValue& args);
    JsonValue logWorkEvent(const JsonValue& args);

    std::shared_ptr<AuthorityClient> authorityClient_;
    std::shared_ptr<WorkspaceRegistry> workspaceRegistry_;
    std::shared_ptr<AiWorkEventSpool> workEventSpool_;
    // The one sync service of the process: it serialises the syncs of each
    // workspace, so every sync goes through it.
    std::shared_ptr<SkillSyncService> skillSync_;
};

}  // namespace palisor
