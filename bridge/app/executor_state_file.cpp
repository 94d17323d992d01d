#include "bridge/app/executor_state_file.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "bridge/common/atomic_file.h"
#include "bridge/common/child_process.h"
#include "bridge/common/json.h"
#include "bridge/common/paths.h"
#include "bridge/common/time.h"

namespace palisor {

namespace {

const char* stateName(StatusColor color) {
    switch (color) {
        case StatusColor::green: return "ok";
        case StatusColor::orange:
        case StatusColor::red: return "error";
        case StatusColor::secondary: break;
    }
    return "idle";
}

}  // namespace

std::string executorStatePath(const UserFolders& folders, std::uint16_t port) {
    return joinPath(folders.runtime, "executors-" + std::to_string(port) + ".json");
}

void writeExecutorStates(const std::string& path, std::uint16_t port, const WorkspaceListModel& list,
                         const std::optional<std::string>& sessionWarning) {
    JsonValue workspaces = JsonValue::array();
    for (const WorkspaceRowModel& row : list.rows)
        workspaces.push_back({{"workspaceId", row.workspaceId},
                              {"projectKey", row.projectKey},
                              {"text", row.validationText},
                              {"state", stateName(row.validationColor)}});
    JsonValue document = {{"pid", static_cast<std::int64_t>(::getpid())},
                          {"port", port},
                          {"updatedAt", isoNow()},
                          {"workspaces", std::move(workspaces)}};
    if (sessionWarning) document["sessionWarning"] = *sessionWarning;
    createDirectories(parentPath(path), 0700);
    writeFileAtomically(path, dumpPrettyForFile(document) + "\n", 0600);
}

namespace {

// The document a live bridge published for `port`.
std::optional<JsonValue> readPublished(const std::string& path, std::uint16_t port) {
    std::optional<std::string> bytes;
    try {
        bytes = readFileIfExists(path);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (!bytes) return std::nullopt;
    auto document = parseJson(*bytes);
    if (!document || !document->is_object()) return std::nullopt;
    if (optInt64(*document, "port") != static_cast<std::int64_t>(port)) return std::nullopt;
    auto pid = optInt64(*document, "pid").value_or(0);
    if (pid > INT_MAX || !processExists(static_cast<pid_t>(pid))) return std::nullopt;
    return document;
}

}  // namespace

std::optional<PublishedBridgeState> readPublishedState(const std::string& path, std::uint16_t port) {
    auto document = readPublished(path, port);
    if (!document) return std::nullopt;
    const JsonValue* workspaces = arrayMember(*document, "workspaces");
    if (!workspaces) return std::nullopt;
    PublishedBridgeState state;
    for (const JsonValue& entry : *workspaces) {
        if (!entry.is_object()) continue;
        state.executors.push_back({optString(entry, "workspaceId").value_or(""),
                                   optString(entry, "projectKey").value_or(""), optString(entry, "text").value_or(""),
                                   optString(entry, "state").value_or("idle")});
    }
    state.sessionWarning = nonEmptyString(*document, "sessionWarning");
    return state;
}

std::optional<std::vector<PublishedExecutorState>> readExecutorStates(const std::string& path, std::uint16_t port) {
    auto state = readPublishedState(path, port);
    if (!state) return std::nullopt;
    return std::move(state->executors);
}

}  // namespace palisor
