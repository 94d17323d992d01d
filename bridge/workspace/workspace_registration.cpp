#include "bridge/workspace/workspace_registration.h"

namespace palisor {

JsonValue WorkspaceRegistration::toJson() const {
    return {
        {"workspaceId", workspaceId},
        {"projectKey", projectKey},
        {"workspaceRoot", workspaceRoot},
        {"validationEnabled", validationEnabled},
    };
}

std::optional<WorkspaceRegistration> WorkspaceRegistration::fromJson(const JsonValue& value) {
    auto workspaceId = optString(value, "workspaceId");
    auto projectKey = optString(value, "projectKey");
    auto workspaceRoot = optString(value, "workspaceRoot");
    auto validationEnabled = optBool(value, "validationEnabled");
    if (!workspaceId || !projectKey || !workspaceRoot || !validationEnabled) return std::nullopt;
    return WorkspaceRegistration{std::move(*workspaceId), std::move(*projectKey), std::move(*workspaceRoot),
                                 *validationEnabled};
}

}  // namespace palisor
