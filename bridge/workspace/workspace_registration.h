#pragma once

#include <optional>
#include <string>

#include "bridge/common/json.h"

namespace palisor {

// One registered workspace as the registry keeps and persists it.
struct WorkspaceRegistration {
    std::string workspaceId;
    std::string projectKey;
    std::string workspaceRoot;  // standardised absolute path
    bool validationEnabled = true;

    bool operator==(const WorkspaceRegistration&) const = default;

    JsonValue toJson() const;
    // All four members are required with their JSON types; anything else is
    // not a registration.
    static std::optional<WorkspaceRegistration> fromJson(const JsonValue& value);
};

// The workspace one tool call is about, with the project key its AGENTS.md
// names at the moment of the call.
struct WorkspaceContext {
    std::optional<std::string> workspaceId;  // absent for a folder that is not registered
    std::string projectKey;
    std::string workspaceRoot;
    bool validationEnabled = false;
    bool transient = false;  // named by path, not registered
    std::string agentsPath;

    bool operator==(const WorkspaceContext&) const = default;
};

}  // namespace palisor
