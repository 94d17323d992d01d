#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "bridge/common/bridge_error.h"
#include "bridge/common/json.h"

namespace palisor {

// Why an event or a spool location was refused; what() is the code agents see.
class AiWorkEventSpoolError : public BridgeError {
public:
    enum class Case { requiredField, workspaceRootRequired, invalidPath, invalidIdempotencyKey, tooLarge };

    // "AI_WORK_EVENT_" + the field name upper-cased as a whole + "_REQUIRED".
    static AiWorkEventSpoolError requiredField(const std::string& name);
    static AiWorkEventSpoolError workspaceRootRequired();
    static AiWorkEventSpoolError invalidPath();
    static AiWorkEventSpoolError invalidIdempotencyKey();
    // "AI_WORK_EVENT_TOO_LARGE": one event that alone would make the spool
    // file larger than its bound.
    static AiWorkEventSpoolError tooLarge();

    Case errorCase() const noexcept { return case_; }
    // The field a requiredField names; empty for the other cases.
    const std::string& field() const noexcept { return field_; }

private:
    AiWorkEventSpoolError(Case errorCase, std::string code, std::string field = {});
    Case case_;
    std::string field_;
};

// Work events that could not reach the authority wait here, one JSON file per
// workspace, until a later flush delivers them. An event is reduced to known
// fields and scrubbed of credentials before it touches the disk, de-duplicated
// by its idempotency key, and the oldest entries give way when the file is
// full. Safe for concurrent use: one lock covers every read-modify-write of
// every file, and each write is durable before the call returns.
class AiWorkEventSpool {
public:
    explicit AiWorkEventSpool(int maxItems = 200, int flushLimit = 20);

    // {"queued","duplicate","pendingCount","droppedCount"}
    JsonValue enqueue(const std::string& workspaceRoot, const std::string& projectKey, const JsonValue& event,
                      const std::string& component = "ai-node");
    // At most flushLimit entry objects, oldest first, as stored.
    std::vector<JsonValue> pending(const std::string& workspaceRoot, const std::string& projectKey);
    // {"removed","pendingCount"}; the file is rewritten only when something was removed.
    JsonValue acknowledge(const std::string& workspaceRoot, const std::string& projectKey,
                          const std::string& idempotencyKey);
    // {"pendingCount","droppedCount"}
    JsonValue snapshot(const std::string& workspaceRoot, const std::string& projectKey);

    // Any JSON value with credentials redacted, sensitive and prohibited keys
    // dropped, strings cut to 4000 characters, containers to 50 members and
    // nesting to 5 levels. Shared with the authority failure records.
    static JsonValue sanitizeDiagnosticValue(const JsonValue& value);

    // An event as the spool stores it: its known fields only, each value
    // sanitised, "component" set to `component`. Throws AiWorkEventSpoolError
    // for a missing required field, an idempotency key outside 8 to 300
    // characters, or a component the spool does not accept.
    static JsonValue sanitizeEvent(const JsonValue& event, const std::string& component);

    // The spool file of a workspace: <root>/.agents/runtime/ai-work-event-spool.v1.json.
    static std::string spoolUrl(const std::string& workspaceRoot);

    static constexpr const char* kSchemaVersion = "palisor.bridge-ai-work-event-spool.v1";
    static constexpr const char* kRelativePath = ".agents/runtime/ai-work-event-spool.v1.json";

    // The file holds at most maxItems entries; its size is bounded by as many
    // times this many bytes. A larger file is not one the spool wrote and is
    // refused; when entries that big would not fit, the oldest give way.
    static constexpr std::size_t kBytesPerEntry = 64 * 1024;
    std::size_t maxFileBytes() const;

private:
    static constexpr const char* kRuntimeFolder = ".agents/runtime";
    static constexpr const char* kFileName = "ai-work-event-spool.v1.json";
    static std::string workspaceOf(const std::string& spoolPath);
    JsonValue readState(const std::string& workspaceRoot, const std::string& projectKey) const;
    // The state as the file's text, the oldest entries given up (and counted
    // as dropped) while it is larger than maxFileBytes().
    std::string serializeWithinBound(JsonValue& state) const;
    void writeState(const std::string& workspaceRoot, JsonValue& state) const;
    static JsonValue emptyState(const std::string& projectKey);

    std::mutex lock_;
    std::size_t maxItems_;
    std::size_t flushLimit_;
};

}  // namespace palisor
