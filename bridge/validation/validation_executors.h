#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bridge/workspace/workspace_registration.h"

namespace palisor {

class AuthorityClient;

// What the application asks of the validation executors: one supervised
// executor per workspace with validation switched on, while the user is
// logged in.
class ValidationExecutors {
public:
    using StatusHandler =
        std::function<void(const WorkspaceRegistration& registration, const std::string& message, bool isError)>;
    // Called when a workspace's executor reports that the authority refused
    // its credentials.
    using AuthenticationFailureHandler = std::function<void(const WorkspaceRegistration& registration)>;

    virtual ~ValidationExecutors() = default;

    // Starts executors for the given workspaces that have none (all of them
    // when `forceRestart`), and stops those of workspaces no longer given or
    // switched off. Blocks; runs off the main thread.
    virtual void reconcile(const std::shared_ptr<AuthorityClient>& authorityClient,
                           const std::vector<WorkspaceRegistration>& workspaces, bool forceRestart,
                           AuthenticationFailureHandler onAuthenticationFailure, StatusHandler onStatus) = 0;
    virtual void stop(const std::string& workspaceId) = 0;
    virtual void stopAll() = 0;
};

}  // namespace palisor
