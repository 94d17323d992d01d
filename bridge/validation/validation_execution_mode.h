#pragma once

#include "bridge/common/bridge_error.h"
#include "bridge/common/json.h"

namespace palisor {

class ValidationExecutionModeError : public BridgeError {
public:
    enum class Case { invalidBootstrap, explicitOperationsMissing, foundationModeRequired };

    explicit ValidationExecutionModeError(Case errorCase);
    Case errorCase() const noexcept { return case_; }
    bool operator==(const ValidationExecutionModeError& other) const noexcept { return case_ == other.case_; }

private:
    Case case_;
};

// How a project's validation jobs reach its executor, decided from the
// project's bootstrap document before an executor is started.
class ValidationExecutionMode {
public:
    enum Value {
        // The authority sends each validation as an explicit request through
        // "foundation.validation.create" and "foundation.validation.report";
        // no executor runs in the background.
        explicitRequests,
        // The executor runs a worker that takes jobs from the authority's queue.
        queuedWorker,
    };

    constexpr ValidationExecutionMode(Value value) : value_(value) {}
    constexpr operator Value() const { return value_; }

    // Reads "ok", "bridgeCompatibility.validationExecutorRequired",
    // "operationCatalog.version" and "operationCatalog.operationIds"; fields of
    // the wrong type count as absent. Throws ValidationExecutionModeError for
    // a bootstrap that is not ok, an explicit-request project without both
    // foundation validation operations, and a foundation project ("foundation-v2")
    // that does not choose explicit requests.
    static ValidationExecutionMode resolve(const JsonValue& bootstrap);

private:
    Value value_;
};

}  // namespace palisor
