#include "bridge/validation/validation_executor_manager.h"

#include <algorithm>
#include <set>
#include <system_error>
#include <thread>

#include "bridge/authority/authority_client.h"
#include "bridge/common/bridge_error.h"

namespace palisor {

ValidationExecutorManager::ValidationExecutorManager(Options options)
    : makeProcess_(options.makeProcess ? std::move(options.makeProcess)
                                       : [process = options.process](const WorkspaceRegistration&) {
                                             return std::make_shared<ValidationExecutorProcess>(process);
                                         }) {}

void ValidationExecutorManager::reconcile(const std::shared_ptr<AuthorityClient>& authorityClient,
                                          const std::vector<WorkspaceRegistration>& workspaces, bool forceRestart,
                                          AuthenticationFailureHandler onAuthenticationFailure,
                                          StatusHandler onStatus) {
    std::vector<WorkspaceRegistration> enabled;
    std::set<std::string> enabledIds;
    for (const WorkspaceRegistration& registration : workspaces) {
        if (!registration.validationEnabled) continue;
        enabled.push_back(registration);
        enabledIds.insert(registration.workspaceId);
    }

    std::vector<std::shared_ptr<ValidationExecutorProcess>> removed;
    {
        std::lock_guard guard(lock_);
        for (auto entry = executors_.begin(); entry != executors_.end();) {
            if (forceRestart || !enabledIds.count(entry->first)) {
                removed.push_back(std::move(entry->second));
                entry = executors_.erase(entry);
            } else {
                ++entry;
            }
        }
    }
    stopExecutors(removed);
    if (!authorityClient) return;

    for (const WorkspaceRegistration& registration : enabled) {
        std::string failure;
        try {
            std::shared_ptr<ValidationExecutorProcess> executor = this->executor(registration.workspaceId);
            if (!executor) {
                std::shared_ptr<ValidationExecutorProcess> made = makeProcess_(registration);
                if (!made) continue;
                // Another reconcile may have stored one meanwhile: that one serves.
                std::lock_guard guard(lock_);
                executor = executors_.try_emplace(registration.workspaceId, std::move(made)).first->second;
            }
            executor->start(
                *authorityClient, registration.workspaceRoot,
                [onAuthenticationFailure, registration] {
                    if (onAuthenticationFailure) onAuthenticationFailure(registration);
                },
                [onStatus, registration](const std::string& message, bool isError) {
                    if (onStatus) onStatus(registration, message, isError);
                },
                registration.projectKey);
            continue;
        } catch (...) {
            failure = currentExceptionMessage();
        }
        if (onStatus) onStatus(registration, "Validation executor chưa sẵn sàng: " + failure, true);
    }
}

void ValidationExecutorManager::stop(const std::string& workspaceId) {
    std::shared_ptr<ValidationExecutorProcess> executor;
    {
        std::lock_guard guard(lock_);
        auto entry = executors_.find(workspaceId);
        if (entry == executors_.end()) return;
        executor = std::move(entry->second);
        executors_.erase(entry);
    }
    if (executor) executor->stop();
}

void ValidationExecutorManager::stopAll() {
    std::vector<std::shared_ptr<ValidationExecutorProcess>> all;
    {
        std::lock_guard guard(lock_);
        for (auto& [id, executor] : executors_) all.push_back(std::move(executor));
        executors_.clear();
    }
    stopExecutors(all);
}

std::shared_ptr<ValidationExecutorProcess> ValidationExecutorManager::executor(const std::string& workspaceId) const {
    std::lock_guard guard(lock_);
    auto entry = executors_.find(workspaceId);
    return entry == executors_.end() ? nullptr : entry->second;
}

void ValidationExecutorManager::stopExecutors(const std::vector<std::shared_ptr<ValidationExecutorProcess>>& executors) {
    std::vector<std::thread> stopping;
    for (const auto& executor : executors) {
        if (!executor) continue;
        try {
            stopping.emplace_back([executor] { executor->stop(); });
        } catch (const std::system_error&) {
            // No thread to spare: this one waits its grace period in line.
            executor->stop();
        }
    }
    for (std::thread& thread : stopping) thread.join();
}

}  // namespace palisor
