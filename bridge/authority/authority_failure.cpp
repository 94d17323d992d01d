#include "bridge/authority/authority_failure.h"

#include <array>
#include <string_view>

#include "bridge/authority/authority_client_error.h"
#include "bridge/common/text.h"
#include "bridge/spool/ai_work_event_spool.h"

namespace palisor {

namespace {

// The diagnostic fields agents may see of an authority failure; anything else
// the authority sends stays behind.
constexpr std::array<std::string_view, 18> kAuthorityFailureFields = {
    "code",   "message", "category",  "severity",       "retryable", "retryAfterMs",
    "fields", "details", "blockers",  "blockerDetails", "readiness", "workflowReadiness",
    "errors", "hint",    "requestId", "traceId",        "path",      "method",
};

const JsonValue& emptyObject() {
    static const JsonValue& empty = *new JsonValue(JsonValue::object());
    return empty;
}

}  // namespace

std::optional<std::string> failureText(const JsonValue& value) {
    if (!value.is_string()) return std::nullopt;
    std::string text = trim(value.get_ref<const std::string&>());
    if (text.empty()) return std::nullopt;
    return text;
}

std::optional<std::string> failureMessage(const JsonValue& source) {
    const JsonValue* message = member(source, "message");
    if (message && message->is_array()) {
        // A list of messages speaks for itself, even when every entry is blank.
        std::string joined;
        for (const JsonValue& element : *message) {
            if (auto text = failureText(element)) {
                if (!joined.empty()) joined += "; ";
                joined += *text;
            }
        }
        if (joined.empty()) return std::nullopt;
        return joined;
    }
    if (message)
        if (auto text = failureText(*message)) return text;
    if (const JsonValue* error = member(source, "error")) return failureText(*error);
    return std::nullopt;
}

JsonValue stripInternalDiagnostics(const JsonValue& value) {
    if (value.is_object()) {
        JsonValue out = JsonValue::object();
        for (auto it = value.begin(); it != value.end(); ++it) {
            std::string key = asciiLower(it.key());
            if (key == "stack" || key == "stacktrace") continue;
            out[it.key()] = stripInternalDiagnostics(it.value());
        }
        return out;
    }
    if (value.is_array()) {
        JsonValue out = JsonValue::array();
        for (const JsonValue& element : value) out.push_back(stripInternalDiagnostics(element));
        return out;
    }
    return value;
}

JsonValue authorityFailure(const JsonValue& body, int statusCode) {
    const JsonValue& whole = body.is_object() ? body : emptyObject();
    const JsonValue* error = objectMember(whole, "error");
    const JsonValue& source = error && !error->empty() ? *error : whole;

    JsonValue record = JsonValue::object();
    for (std::string_view key : kAuthorityFailureFields)
        if (const JsonValue* value = member(source, key)) record[std::string(key)] = *value;
    if (const JsonValue* meta = objectMember(whole, "meta")) {
        for (const char* key : {"requestId", "traceId"})
            if (const std::string* text = stringMember(*meta, key)) record[key] = *text;
    }
    const JsonValue* given = member(record, "code");
    std::string code =
        (given ? failureText(*given) : std::nullopt).value_or("AUTHORITY_HTTP_" + std::to_string(statusCode));
    record["statusCode"] = statusCode;
    record["code"] = code;
    record["message"] = failureMessage(source).value_or(code);

    JsonValue cleaned = stripInternalDiagnostics(AiWorkEventSpool::sanitizeDiagnosticValue(record));
    return cleaned.is_object() ? cleaned : JsonValue::object();
}

void assertOperationProjectScope(const std::string& projectKey, const JsonValue& args) {
    for (const char* container : {"pathParams", "query"}) {
        const JsonValue* params = objectMember(args, container);
        if (!params) continue;
        const JsonValue* requested = member(*params, "projectKey");
        if (!requested) continue;
        if (requested->is_string() && requested->get_ref<const std::string&>() == projectKey) continue;
        JsonValue body = {
            {"code", "BRIDGE_OPERATION_PROJECT_MISMATCH"},
            {"message", "Dự án trong yêu cầu khác workspace đã chọn. Chọn lại đúng workspace trước khi gửi."},
            {"fields", JsonValue::array({std::string(container) + ".projectKey"})},
            {"retryable", false},
            {"details", {{"workspaceProjectKey", projectKey}, {"requestedProjectKey", *requested}}},
        };
        JsonValue record = authorityFailure(body, 403);
        const std::string* message = stringMember(record, "message");
        throw AuthorityClientError::httpError(403, message ? *message : "BRIDGE_OPERATION_PROJECT_MISMATCH",
                                              std::move(record));
    }
}

}  // namespace palisor
