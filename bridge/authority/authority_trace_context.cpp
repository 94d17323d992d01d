#include "bridge/authority/authority_trace_context.h"

#include "bridge/common/text.h"
#include "bridge/common/unicode.h"

namespace palisor {

namespace {

bool isTraceMark(char32_t c) {
    switch (c) {
        case U'-': case U'.': case U'_': case U':': case U'@': case U'/': case U'+': case U'=':
            return true;
        default:
            return false;
    }
}

}  // namespace

std::optional<std::string> normalizedTraceHeader(const std::optional<std::string>& value) {
    if (!value) return std::nullopt;
    std::string trimmed = trim(*value);
    if (!isValidUtf8(trimmed)) return std::nullopt;
    std::size_t length = userPerceivedLength(trimmed);
    if (length < 8 || length > 200) return std::nullopt;
    for (char32_t c : utf8Scalars(trimmed)) {
        if (isUnicodeLetter(c) || isUnicodeMark(c) || isUnicodeNumber(c) || isTraceMark(c)) continue;
        return std::nullopt;
    }
    return trimmed;
}

AuthorityTraceContext::AuthorityTraceContext(const Fields& fields) {
    fields_.traceId = normalizedTraceHeader(fields.traceId);
    fields_.spanId = normalizedTraceHeader(fields.spanId);
    fields_.parentSpanId = normalizedTraceHeader(fields.parentSpanId);
    fields_.causalId = normalizedTraceHeader(fields.causalId);
    fields_.operationId = normalizedTraceHeader(fields.operationId);
    fields_.taskId = normalizedTraceHeader(fields.taskId);
    if (fields.taskRevision && *fields.taskRevision >= 0) fields_.taskRevision = fields.taskRevision;
    fields_.projectKey = normalizedTraceHeader(fields.projectKey);
    // Exact words only: this names who speaks, it is not free text.
    if (fields.sourceComponent == "bridge" || fields.sourceComponent == "validator")
        fields_.sourceComponent = fields.sourceComponent;
}

std::vector<std::pair<std::string, std::string>> AuthorityTraceContext::headers() const {
    std::vector<std::pair<std::string, std::string>> out;
    auto add = [&](const char* name, const std::optional<std::string>& value) {
        if (value) out.emplace_back(name, *value);
    };
    add("x-palisor-trace-id", fields_.traceId);
    add("x-palisor-span-id", fields_.spanId);
    add("x-palisor-parent-span-id", fields_.parentSpanId);
    add("x-palisor-causal-id", fields_.causalId);
    add("x-palisor-operation-id", fields_.operationId);
    add("x-palisor-task-id", fields_.taskId);
    if (fields_.taskRevision) out.emplace_back("x-palisor-task-revision", std::to_string(*fields_.taskRevision));
    add("x-palisor-project-key", fields_.projectKey);
    add("x-palisor-source-component", fields_.sourceComponent);
    return out;
}

}  // namespace palisor
