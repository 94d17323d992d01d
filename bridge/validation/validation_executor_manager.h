#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bridge/validation/validation_executor_process.h"
#include "bridge/validation/validation_executors.h"
#include "bridge/workspace/workspace_registration.h"

namespace palisor {

// Keeps one validation executor per registered workspace whose validation is
// switched on, keyed by workspace id, and brings the running set in line with
// the registry on every reconcile. Safe for concurrent use: its lock covers
// only the map, never a start or a stop, so two overlapping reconciles are
// serialised by each supervisor on its own.
class ValidationExecutorManager : public ValidationExecutors {
public:
    // Makes the supervisor of a workspace the first time it is started. A
    // factory that throws makes that workspace's start fail with its error;
    // one that returns null leaves the workspace without an executor.
    using ProcessFactory = std::function<std::shared_ptr<ValidationExecutorProcess>(const WorkspaceRegistration&)>;

    struct Options {
        // Absent: a supervisor made with `process` (the default resource
        // folder unless it names one).
        ProcessFactory makeProcess;
        ValidationExecutorProcess::Options process;
    };

    explicit ValidationExecutorManager(Options options);

    // Stops the executors of workspaces that are not given or are switched
    // off (every executor when `forceRestart`), all together, then starts the
    // enabled ones in order. A start that fails becomes the error status
    // "Validation executor chưa sẵn sàng: " + the error's description for its
    // workspace, and the others still start. A running executor that serves
    // the same root is left alone unless `forceRestart`. Never throws; blocks
    // on the authority and on stops. `authorityClient` must not be null.
    //
    // `onStatus` and `onAuthenticationFailure` (with the registration whose
    // executor was refused) are called from any thread, without the
    // manager's lock or a supervisor's lock held.
    void reconcile(const std::shared_ptr<AuthorityClient>& authorityClient,
                   const std::vector<WorkspaceRegistration>& workspaces, bool forceRestart,
                   AuthenticationFailureHandler onAuthenticationFailure, StatusHandler onStatus) override;
    void stop(const std::string& workspaceId) override;
    // Stops every executor together: several children that ignore SIGTERM
    // take one grace period between them, not one each.
    void stopAll() override;

    // The supervisor kept for a workspace, if it has been started.
    std::shared_ptr<ValidationExecutorProcess> executor(const std::string& workspaceId) const;

private:
    static void stopExecutors(const std::vector<std::shared_ptr<ValidationExecutorProcess>>& executors);

    ProcessFactory makeProcess_;
    mutable std::mutex lock_;
    std::map<std::string, std::shared_ptr<ValidationExecutorProcess>> executors_;
};

}  // namespace palisor
