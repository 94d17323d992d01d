// Work events: delivering an event as the project agent, classifying what a
// failed delivery means, and the spool that keeps undelivered events.
#include "bridge/authority/authority_client_error.h"
#include "bridge/common/text.h"
#include "bridge/common/unicode.h"
#include "bridge/common/url.h"
#include "bridge/tools/tool_router.h"

#include "bridge/activity/activity_scope.h"

namespace palisor {

namespace {

std::int64_t countMember(const JsonValue& object, const char* key) { return optInt64(object, key).value_or(0); }

JsonValue flushFailure(const std::exception& error) {
    return {{"flushed", 0}, {"discarded", 0}, {"deferred", true}, {"errorCode", ToolRouter::safeAiWorkLogErrorCode(error)}};
}

}  // namespace

JsonValue ToolRouter::sendAiWorkEvent(const WorkspaceContext& workspace, const JsonValue& event) {
    AuthorityTraceContext::Fields fields;
    fields.traceId = optString(event, "traceId");
    fields.spanId = optString(event, "spanId");
    fields.parentSpanId = optString(event, "parentSpanId");
    fields.causalId = optString(event, "causalId");
    fields.operationId = optString(event, "operationId");
    fields.taskId = optString(event, "taskId");
    if (const JsonValue* revision = member(event, "taskRevision"); revision && revision->is_number_integer())
        fields.taskRevision = optInt64(event, "taskRevision");
    fields.projectKey = optString(event, "projectKey");
    fields.sourceComponent = optString(event, "component");
    std::string path = "/api/projects/" + requestPathSegment("projectKey", workspace.projectKey) + "/ai-work-events";
    return authorityClient_->requestWithProjectAgent(workspace.projectKey, path, "POST", event,
                                                     AuthorityTraceContext(fields));
}

bool ToolRouter::isTransientAiWorkLogError(const std::exception& error) {
    if (dynamic_cast<const TransportError*>(&error)) return true;
    auto* authority = dynamic_cast<const AuthorityClientError*>(&error);
    if (!authority || !authority->isHttpError()) return false;
    int status = *authority->statusCode();
    return status == 408 || status == 425 || status == 429 || status >= 500;
}

bool ToolRouter::isDiscardableAiWorkLogError(const std::exception& error) {
    auto* authority = dynamic_cast<const AuthorityClientError*>(&error);
    if (!authority || !authority->isHttpError()) return false;
    int status = *authority->statusCode();
    return status == 400 || status == 409 || status == 422;
}

std::string ToolRouter::safeAiWorkLogErrorCode(const std::exception& error) {
    if (auto* authority = dynamic_cast<const AuthorityClientError*>(&error); authority && authority->isHttpError()) {
        if (auto code = nonEmptyString(*authority->responseDetails(), "code")) return std::string(prefixOfUserPerceivedLength(*code, 160));
    }
    return std::string(prefixOfUserPerceivedLength(errorDescription(error), 160));
}

JsonValue ToolRouter::flushAiWorkEventSpoolBestEffort(const WorkspaceContext& workspace) {
    ActivityAside aside;
    std::vector<JsonValue> entries;
    try {
        entries = workEventSpool_->pending(workspace.workspaceRoot, workspace.projectKey);
    } catch (const std::exception& error) {
        return flushFailure(error);
    }
    int flushed = 0;
    int discarded = 0;
    for (const JsonValue& entry : entries) {
        const std::string* key = stringMember(entry, "idempotencyKey");
        const JsonValue* event = objectMember(entry, "event");
        if (!key || !event) continue;
        bool stop = false;
        try {
            sendAiWorkEvent(workspace, *event);
            workEventSpool_->acknowledge(workspace.workspaceRoot, workspace.projectKey, *key);
            ++flushed;
        } catch (const std::exception& error) {
            if (!isDiscardableAiWorkLogError(error)) {
                // Transient or unknown: the entry and everything after it wait
                // for the next flush, in order.
                stop = true;
            } else {
                try {
                    workEventSpool_->acknowledge(workspace.workspaceRoot, workspace.projectKey, *key);
                    ++discarded;
                } catch (const std::exception& acknowledgeError) {
                    return flushFailure(acknowledgeError);
                }
            }
        }
        if (stop) break;
    }
    JsonValue snapshot;
    try {
        snapshot = workEventSpool_->snapshot(workspace.workspaceRoot, workspace.projectKey);
    } catch (const std::exception& error) {
        return flushFailure(error);
    }
    std::int64_t pendingCount = countMember(snapshot, "pendingCount");
    return {{"flushed", flushed},
            {"discarded", discarded},
            {"deferred", pendingCount > 0},
            {"pendingCount", pendingCount},
            {"droppedCount", countMember(snapshot, "droppedCount")}};
}

JsonValue ToolRouter::logWorkEvent(const JsonValue& args) {
    WorkspaceContext workspace = resolveWorkspace(args);
    const JsonValue* given = objectMember(args, "event");
    if (!given) throw ToolRouterError::requiredArgument("event");
    JsonValue event = *given;
    event["component"] = "ai-node";

    JsonValue flushBefore = flushAiWorkEventSpoolBestEffort(workspace);
    try {
        JsonValue delivered = sendAiWorkEvent(workspace, event);
        JsonValue snapshot = workEventSpool_->snapshot(workspace.workspaceRoot, workspace.projectKey);
        JsonValue result = delivered.is_object() ? delivered : JsonValue{{"result", delivered}};
        result["bridgeWorkEventSpool"] = {{"pendingCount", countMember(snapshot, "pendingCount")},
                                          {"droppedCount", countMember(snapshot, "droppedCount")},
                                          {"flushedBefore", countMember(flushBefore, "flushed")}};
        return result;
    } catch (const std::exception& error) {
        if (!isTransientAiWorkLogError(error)) throw;
        JsonValue queued = workEventSpool_->enqueue(workspace.workspaceRoot, workspace.projectKey, event, "ai-node");
        return {{"ok", true},
                {"recorded", false},
                {"queued", true},
                {"code", "AI_WORK_EVENT_QUEUED_FOR_RETRY"},
                {"retryable", true},
                {"authorityErrorCode", safeAiWorkLogErrorCode(error)},
                {"spool", queued}};
    }
}

}  // namespace palisor
