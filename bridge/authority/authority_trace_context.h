#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace palisor {

// A trace value as it may travel in an "x-palisor-" header: trimmed, 8 to 200
// user-perceived characters, only Unicode letters, marks and numbers and
// - . _ : @ / + =. Anything else is dropped rather than sent half-right.
std::optional<std::string> normalizedTraceHeader(const std::optional<std::string>& value);

// The trace fields a request carries to the authority. Every field is
// normalised when the context is built; a field that does not pass is absent
// and puts no header on the wire.
class AuthorityTraceContext {
public:
    struct Fields {
        std::optional<std::string> traceId{};
        std::optional<std::string> spanId{};
        std::optional<std::string> parentSpanId{};
        std::optional<std::string> causalId{};
        std::optional<std::string> operationId{};
        std::optional<std::string> taskId{};
        std::optional<std::int64_t> taskRevision{};
        std::optional<std::string> projectKey{};
        std::optional<std::string> sourceComponent{};
    };

    AuthorityTraceContext() = default;
    explicit AuthorityTraceContext(const Fields& fields);

    const std::optional<std::string>& traceId() const { return fields_.traceId; }
    const std::optional<std::string>& spanId() const { return fields_.spanId; }
    const std::optional<std::string>& parentSpanId() const { return fields_.parentSpanId; }
    const std::optional<std::string>& causalId() const { return fields_.causalId; }
    const std::optional<std::string>& operationId() const { return fields_.operationId; }
    const std::optional<std::string>& taskId() const { return fields_.taskId; }
    const std::optional<std::int64_t>& taskRevision() const { return fields_.taskRevision; }
    const std::optional<std::string>& projectKey() const { return fields_.projectKey; }
    const std::optional<std::string>& sourceComponent() const { return fields_.sourceComponent; }

    const Fields& fields() const { return fields_; }

    // The headers of the present fields, in their fixed order.
    std::vector<std::pair<std::string, std::string>> headers() const;

private:
    Fields fields_;
};

}  // namespace palisor
