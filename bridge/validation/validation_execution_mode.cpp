#include "bridge/validation/validation_execution_mode.h"

#include <algorithm>

namespace palisor {

namespace {

const char* codeFor(ValidationExecutionModeError::Case errorCase) {
    switch (errorCase) {
        case ValidationExecutionModeError::Case::invalidBootstrap:
            return "BRIDGE_VALIDATION_BOOTSTRAP_INVALID";
        case ValidationExecutionModeError::Case::explicitOperationsMissing:
            return "BRIDGE_VALIDATION_EXPLICIT_OPERATIONS_MISSING";
        case ValidationExecutionModeError::Case::foundationModeRequired:
            return "BRIDGE_FOUNDATION_VALIDATION_MODE_REQUIRED";
    }
    return "BRIDGE_VALIDATION_BOOTSTRAP_INVALID";
}

}  // namespace

ValidationExecutionModeError::ValidationExecutionModeError(Case errorCase)
    : BridgeError(codeFor(errorCase),
                  errorCase == Case::explicitOperationsMissing ? ErrorKind::failure : ErrorKind::badRequest),
      case_(errorCase) {}

ValidationExecutionMode ValidationExecutionMode::resolve(const JsonValue& bootstrap) {
    using Case = ValidationExecutionModeError::Case;
    if (optBool(bootstrap, "ok") != true) throw ValidationExecutionModeError(Case::invalidBootstrap);
    static const JsonValue empty = JsonValue::object();
    const JsonValue* compatibility = objectMember(bootstrap, "bridgeCompatibility");
    const JsonValue* catalog = objectMember(bootstrap, "operationCatalog");
    if (!compatibility) compatibility = &empty;
    if (!catalog) catalog = &empty;
    bool foundation = optString(*catalog, "version") == "foundation-v2";

    if (optBool(*compatibility, "validationExecutorRequired") == false) {
        // A list that is not all strings counts as absent, like any field of
        // the wrong type.
        const JsonValue* operationIds = arrayMember(*catalog, "operationIds");
        bool listed = operationIds && std::all_of(operationIds->begin(), operationIds->end(),
                                                  [](const JsonValue& id) { return id.is_string(); });
        auto offers = [&](const char* id) {
            return listed && std::find(operationIds->begin(), operationIds->end(), JsonValue(id)) != operationIds->end();
        };
        if (offers("foundation.validation.create") && offers("foundation.validation.report")) return explicitRequests;
        throw ValidationExecutionModeError(Case::explicitOperationsMissing);
    }
    if (foundation) throw ValidationExecutionModeError(Case::foundationModeRequired);
    return queuedWorker;
}

}  // namespace palisor
