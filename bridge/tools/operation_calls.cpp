// "authority_call_operation": catalogue lookup, path and query rendering, the
// credential the operation asks for, and the bridge's start and end events.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "bridge/activity/activity_scope.h"
#include "bridge/authority/authority_client_error.h"
#include "bridge/authority/authority_failure.h"
#include "bridge/common/text.h"
#include "bridge/common/time.h"
#include "bridge/common/unicode.h"
#include "bridge/common/url.h"
#include "bridge/common/uuid.h"
#include "bridge/skills/skill_reference_resolver.h"
#include "bridge/tools/tool_router.h"

namespace palisor {

namespace {

std::vector<std::string> stringsOf(const JsonValue& object, const char* key) {
    std::vector<std::string> out;
    if (const JsonValue* list = arrayMember(object, key))
        for (const JsonValue& item : *list)
            if (item.is_string()) out.push_back(item.get<std::string>());
    return out;
}

// A leftover placeholder: ":" then an ASCII letter.
bool hasPlaceholder(const std::string& path) {
    for (std::size_t i = 0; i + 1 < path.size(); ++i) {
        char next = path[i + 1];
        if (path[i] == ':' && ((next >= 'a' && next <= 'z') || (next >= 'A' && next <= 'Z'))) return true;
    }
    return false;
}

// The path a server acts on: "." and ".." segments (also written %2E)
// resolved as a URL parser does.
std::string withoutDotSegments(const std::string& path) {
    std::vector<std::string> kept;
    for (std::string_view segment : splitKeepingEmpty(path, "/")) {
        std::string plain = asciiLower(segment);
        for (std::size_t at; (at = plain.find("%2e")) != std::string::npos;) plain.replace(at, 3, ".");
        if (plain == "..") {
            if (kept.size() > 1) kept.pop_back();
        } else if (plain != ".") {
            kept.emplace_back(segment);
        }
    }
    std::string out;
    for (std::size_t i = 0; i < kept.size(); ++i) out += (i ? "/" : "") + kept[i];
    return out;
}

}  // namespace

std::string ToolRouter::stringify(const JsonValue* value) {
    if (!value || value->is_null()) return "";
    if (value->is_string()) return value->get<std::string>();
    // Booleans read from JSON have always been written as 1 and 0 here.
    if (value->is_boolean()) return value->get<bool>() ? "1" : "0";
    if (value->is_number_float()) {
        double number = value->get<double>();
        if (std::isfinite(number) && number == std::trunc(number) && std::fabs(number) < 1e21) {
            char buffer[32];
            std::snprintf(buffer, sizeof buffer, "%.0f", number);
            return buffer;
        }
    }
    return dumpCompact(*value).value_or("");
}

std::string ToolRouter::renderPathTemplate(const std::string& pathTemplate, const JsonValue& pathParams,
                                           const std::vector<std::string>& requiredPathParams) {
    if (!startsWith(pathTemplate, "/api/")) throw ToolRouterError::operationPathInvalid();
    for (const std::string& name : requiredPathParams)
        if (stringify(member(pathParams, name)).empty()) throw ToolRouterError::pathParamRequired(name);
    // Longer names first, so that :itemId is filled before :item can eat its
    // beginning.
    std::vector<std::string> names;
    if (pathParams.is_object())
        for (auto it = pathParams.begin(); it != pathParams.end(); ++it) names.push_back(it.key());
    std::stable_sort(names.begin(), names.end(),
                     [](const std::string& a, const std::string& b) { return a.size() > b.size(); });

    // One pass over the template: a value is never read again for
    // placeholders, and each fills exactly one segment ("/" encoded, "." and
    // ".." refused), so a caller cannot walk out of the operation's path into
    // another route or another project.
    std::string path;
    std::size_t literalPrefix = std::string::npos;
    for (std::size_t i = 0; i < pathTemplate.size();) {
        const std::string* filled = nullptr;
        if (pathTemplate[i] == ':')
            for (const std::string& name : names)
                if (!name.empty() && pathTemplate.compare(i + 1, name.size(), name) == 0) {
                    filled = &name;
                    break;
                }
        if (!filled) {
            path += pathTemplate[i++];
            continue;
        }
        if (literalPrefix == std::string::npos) literalPrefix = path.size();
        path += requestPathSegment(*filled, stringify(&pathParams[*filled]));
        i += 1 + filled->size();
    }
    // Empty values next to dots in a template can still make a step up; the
    // path the server resolves must stay under the template's fixed part.
    if (literalPrefix != std::string::npos &&
        !startsWith(withoutDotSegments(path), withoutDotSegments(pathTemplate.substr(0, literalPrefix))))
        throw ToolRouterError::operationPathInvalid();
    if (hasPlaceholder(path)) throw ToolRouterError::operationPathUnresolved();
    return path;
}

AuthorityTraceContext ToolRouter::bridgeOperationContext(const JsonValue& operation, const JsonValue& args,
                                                         const JsonValue& pathParams, const std::string& projectKey) {
    const JsonValue* bodyMember = objectMember(args, "body");
    const JsonValue& body = bodyMember ? *bodyMember : JsonValue::object();
    AuthorityTraceContext::Fields fields = callerTraceFields(args);
    fields.operationId = optString(operation, "id");
    fields.taskId = optString(pathParams, "itemId");
    if (!fields.taskId) fields.taskId = optString(pathParams, "taskId");
    if (!fields.taskId) fields.taskId = optString(body, "itemId");
    if (!fields.taskId) fields.taskId = optString(body, "taskId");
    fields.taskRevision = optInt64(body, "expectedRevision");
    if (!fields.taskRevision) fields.taskRevision = optInt64(body, "sourceTaskRevision");
    fields.projectKey = projectKey;
    fields.sourceComponent = "bridge";
    return AuthorityTraceContext(fields);
}

JsonValue ToolRouter::bridgeOperationEvent(const AuthorityTraceContext& context, const JsonValue& operation,
                                           const std::string& method, const std::string& requestPath,
                                           const std::string& outcome, std::optional<std::int64_t> durationMs,
                                           const std::exception* error) {
    auto* authority = dynamic_cast<const AuthorityClientError*>(error);
    int status = authority && authority->isHttpError() ? *authority->statusCode() : 0;
    std::optional<int> httpStatus;
    if (status != 0) httpStatus = status;
    bool blocked = outcome == "failed" && httpStatus && *httpStatus >= 400 && *httpStatus <= 499;
    std::string effective = blocked ? "blocked" : outcome;
    std::string name = optString(operation, "id").value_or("authority.operation");
    const JsonValue* observability = objectMember(operation, "observability");

    JsonValue event = {
        {"idempotencyKey", "bridge:" + context.causalId().value_or(randomUuidUpper()) + ":" + outcome},
        {"traceId", context.traceId().value_or("trace-" + randomUuidLower())},
        {"spanId", context.spanId().value_or("span-bridge-" + randomUuidLower())},
        {"causalId", context.causalId().value_or("causal-" + randomUuidLower())},
        {"operationId", name},
        {"component", "bridge"},
        {"kind", outcome == "started" ? "operation" : outcome == "failed" ? "blocker" : "result"},
        {"eventType", "bridge.operation." + effective},
        {"phase", observability ? optString(*observability, "phase").value_or("infrastructure") : "infrastructure"},
        {"operationName", name},
        {"outcome", effective},
        {"severity", outcome == "failed" ? (blocked ? "warning" : "error") : "info"},
        {"attributes",
         {{"method", method},
          {"requestPath", requestPath},
          {"authMode", optString(operation, "authMode").value_or("web-session")}}},
    };
    if (outcome == "started") {
        event["summary"] = "Bridge bắt đầu " + name + ".";
    } else if (outcome == "failed") {
        std::string code = error ? safeAiWorkLogErrorCode(*error) : "BRIDGE_OPERATION_FAILED";
        event["summary"] = "Bridge không hoàn tất " + name + ": " + code + ".";
    } else {
        event["summary"] = "Bridge hoàn tất " + name + ".";
    }
    if (context.parentSpanId()) event["parentSpanId"] = *context.parentSpanId();
    if (context.taskId()) event["taskId"] = *context.taskId();
    if (context.taskRevision()) event["taskRevision"] = *context.taskRevision();
    if (durationMs) event["durationMs"] = std::max<std::int64_t>(0, *durationMs);
    if (error) {
        event["errorCode"] = safeAiWorkLogErrorCode(*error);
        event["errorMessage"] = std::string(prefixOfUserPerceivedLength(errorDescription(*error), 4000));
        event["retryable"] = !httpStatus || *httpStatus == 408 || *httpStatus == 425 || *httpStatus == 429 ||
                             *httpStatus >= 500;
    }
    if (status != 0) event["httpStatus"] = status;
    return event;
}

JsonValue ToolRouter::recordBridgeEventBestEffort(const WorkspaceContext& workspace, const JsonValue& event) {
    ActivityAside aside;
    try {
        sendAiWorkEvent(workspace, event);
        return {{"recorded", true}, {"queued", false}};
    } catch (const std::exception& error) {
        if (isDiscardableAiWorkLogError(error))
            return {{"recorded", false}, {"queued", false}, {"errorCode", safeAiWorkLogErrorCode(error)}};
        std::string deliveryCode = safeAiWorkLogErrorCode(error);
        try {
            JsonValue queued = workEventSpool_->enqueue(workspace.workspaceRoot, workspace.projectKey, event, "bridge");
            return {{"recorded", false}, {"queued", true}, {"spool", queued}, {"errorCode", deliveryCode}};
        } catch (const std::exception& spoolError) {
            return {{"recorded", false}, {"queued", false}, {"errorCode", safeAiWorkLogErrorCode(spoolError)}};
        }
    } catch (...) {
        return {{"recorded", false}, {"queued", false}, {"errorCode", "UNKNOWN_ERROR"}};
    }
}

AuthorityTraceContext ToolRouter::responseTaskContext(const AuthorityTraceContext& context, const JsonValue& response) {
    const JsonValue& answer = response.is_object() ? response : JsonValue::object();
    const JsonValue* itemMember = objectMember(answer, "item");
    const JsonValue& item = itemMember ? *itemMember : JsonValue::object();
    AuthorityTraceContext::Fields fields = context.fields();
    if (!fields.taskId) {
        fields.taskId = optString(item, "itemId");
        if (!fields.taskId) fields.taskId = optString(answer, "itemId");
    }
    if (auto revision = optInt64(item, "revision")) fields.taskRevision = revision;
    else if (auto topRevision = optInt64(answer, "revision")) fields.taskRevision = topRevision;
    fields.sourceComponent = "bridge";
    return AuthorityTraceContext(fields);
}

JsonValue ToolRouter::callAuthorityOperation(const WorkspaceContext& workspace, const JsonValue& args) {
    const std::string& projectKey = workspace.projectKey;
    assertOperationProjectScope(projectKey, args);
    std::string operationId = requiredString(args, "operationId");
    ActivityRecord* record = ActivityScope::current();
    if (record) record->operationId = operationId;
    JsonValue catalog = getOperationCatalog(projectKey, std::nullopt);
    const JsonValue* operation = nullptr;
    for (const JsonValue& candidate : catalog["operations"]) {
        if (optString(candidate, "id") == operationId) {
            operation = &candidate;
            break;
        }
    }
    if (!operation) throw ToolRouterError::operationNotFound(operationId);

    JsonValue pathParams = {{"projectKey", projectKey}};
    if (const JsonValue* given = objectMember(args, "pathParams"))
        for (auto it = given->begin(); it != given->end(); ++it) pathParams[it.key()] = it.value();
    AuthorityTraceContext context = bridgeOperationContext(*operation, args, pathParams, projectKey);
    std::string path = renderPathTemplate(requiredString(*operation, "pathTemplate"), pathParams,
                                          stringsOf(*operation, "requiredPathParams"));

    JsonValue queryParams = {{"projectKey", projectKey}};
    if (const JsonValue* given = objectMember(args, "query"))
        for (auto it = given->begin(); it != given->end(); ++it) queryParams[it.key()] = it.value();
    std::vector<std::string> allowed = stringsOf(*operation, "queryParams");
    std::vector<std::string> pairs;
    std::vector<std::string> names;
    for (auto it = queryParams.begin(); it != queryParams.end(); ++it) {
        std::string value = stringify(&it.value());
        if (value.empty()) continue;
        if (std::find(allowed.begin(), allowed.end(), it.key()) != allowed.end()) {
            pairs.push_back(urlQueryEncode(it.key()) + "=" + urlQueryEncode(value));
            names.push_back(it.key());
        } else if (it.key() != "projectKey") {
            throw ToolRouterError::queryParamNotAllowed(it.key());
        }
    }
    std::sort(pairs.begin(), pairs.end());
    std::string query;
    for (const std::string& pair : pairs) query += (query.empty() ? "?" : "&") + pair;

    std::string method = asciiUpper(optString(*operation, "method").value_or("GET"));
    const JsonValue* body = objectMember(args, "body");
    std::string requestPath = path + query;
    if (record) {
        record->method = method;
        record->path = path;
        record->queryNames = std::move(names);
    }
    const JsonValue* observability = objectMember(*operation, "observability");
    bool eventsOn = observability && optString(*observability, "capturePolicy") == "bridge-authority" &&
                    !startsWith(operationId, "ai.work_events.");

    auto start = std::chrono::steady_clock::now();
    if (eventsOn)
        recordBridgeEventBestEffort(workspace, bridgeOperationEvent(context, *operation, method, requestPath, "started",
                                                                    std::nullopt, nullptr));
    std::optional<JsonValue> bodySent;
    if (method != "GET") bodySent = body ? *body : JsonValue::object();
    bool asProjectAgent = optString(*operation, "authMode") == "project-agent";
    bool activateSkills = SkillAutoSyncPolicy::shouldActivate(operationId, optBool(args, "autoSyncSkills"));
    // The skills of a task are read in the order the authority listed them.
    OrderedJsonValue received;
    OrderedJsonValue* receivedOrder = activateSkills ? &received : nullptr;

    JsonValue answer;
    try {
        answer = asProjectAgent ? authorityClient_->requestWithProjectAgent(projectKey, requestPath, method, bodySent,
                                                                            context, receivedOrder)
                                : authorityClient_->requestWithWebSession(requestPath, method, bodySent, context,
                                                                          receivedOrder);
    } catch (const std::exception& error) {
        if (eventsOn)
            recordBridgeEventBestEffort(workspace, bridgeOperationEvent(context, *operation, method, requestPath,
                                                                        "failed", millisecondsSince(start), &error));
        throw;
    }
    if (activateSkills) activateSkillsFromAnswer(workspace, received, answer);
    if (eventsOn)
        recordBridgeEventBestEffort(workspace,
                                    bridgeOperationEvent(responseTaskContext(context, answer), *operation, method,
                                                         requestPath, "succeeded", millisecondsSince(start), nullptr));
    flushAiWorkEventSpoolBestEffort(workspace);
    return answer;
}

}  // namespace palisor
