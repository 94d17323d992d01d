#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bridge/app/bridge_view.h"
#include "bridge/app/configuration.h"
#include "bridge/common/coalescing_poster.h"
#include "bridge/common/main_thread.h"
#include "bridge/validation/validation_executors.h"
#include "bridge/workspace/workspace_registration.h"

namespace palisor {

class ActivityLog;
class AuthorityClient;
class LocalMcpServer;
class NativeTokenStore;
class SettingsStore;
class SettingsWatcher;
class ToolRouter;
class WorkspaceRegistry;

// Runs a task off the main thread.
using BackgroundRunner = std::function<void(std::function<void()>)>;

// The application's composition root and controller, shared by the window and
// headless `serve`: it creates the components once and in order, runs the
// local endpoint, keeps the login state, and carries out what the user asks
// for. It owns the status line's wording and colour and talks to its view
// only on the main thread. Work that may block runs on background runners and
// holds the delegate weakly.
//
// Every public call is made on the main thread.
class BridgeAppDelegate : public std::enable_shared_from_this<BridgeAppDelegate> {
public:
    struct Options {
        std::shared_ptr<MainThread> mainThread;  // required
        // What the program read from its environment.
        Configuration configuration;
        // Login and logout run here (the user waits for them) ...
        BackgroundRunner runUserInitiated;
        // ... session checks and executor reconciliation here, at lower priority.
        // Both default to process-wide queues.
        BackgroundRunner runUtility;
        // Defaults: the configuration's session store, settings store and
        // authority client.
        std::shared_ptr<NativeTokenStore> tokenStore;
        std::shared_ptr<SettingsStore> defaults;
        std::function<std::shared_ptr<AuthorityClient>(std::shared_ptr<NativeTokenStore>)> makeAuthorityClient;
        // Without it no executor is ever started.
        std::shared_ptr<ValidationExecutors> validationExecutors;
        // Prepares a workspace's skill folder, at start-up and when one is
        // added. Default: the skill folder's own ensureWorkspaceSkillRoot.
        std::function<void(const std::string& workspaceRoot)> ensureWorkspaceSkillRoot;
        // How often the stored session is compared with the one this process
        // holds, so that a login or logout made by another program is taken
        // up; zero switches the check off.
        std::chrono::milliseconds sessionCheckInterval{std::chrono::seconds(5)};
        // How often the authority's health is asked for while the bridge
        // runs (the first time at launch), and how long one check may take
        // before the authority counts as down; a zero interval switches the
        // periodic check off. A tool call that fails on the connection
        // triggers a check either way.
        std::chrono::milliseconds authorityHealthInterval{std::chrono::seconds(30)};
        std::chrono::milliseconds authorityHealthTimeout{std::chrono::seconds(10)};
        // Whether another process's changes to the settings file are followed.
        bool watchSettings = true;
        // Whether the executors' states are published for `palisor-bridge
        // status` (a file per port in the user's runtime folder) while the
        // endpoint runs.
        bool publishExecutorStates = false;
        // How often within `executorRestartWindow` a workspace's rejected
        // executor credentials may trigger a refresh and restart before its
        // error is left standing until the next login or refresh by the user.
        int executorAuthRestartLimit = 3;
        std::chrono::milliseconds executorAuthRestartWindow{std::chrono::minutes(5)};
        // The shortest time between two writes of the published executor
        // states; changes that come sooner are written together at its end.
        std::chrono::milliseconds executorStateWriteInterval{250};
    };

    struct ValidationStatus {
        std::string message;
        bool isError = false;
    };

    static std::shared_ptr<BridgeAppDelegate> create(Options options);
    ~BridgeAppDelegate();
    BridgeAppDelegate(const BridgeAppDelegate&) = delete;
    BridgeAppDelegate& operator=(const BridgeAppDelegate&) = delete;

    const Configuration& configuration() const { return options_.configuration; }

    // The view outlives the delegate's use of it: set it before launching and
    // clear it (nullptr) before the view goes away.
    void setView(BridgeView* view) { window_ = view; }

    // Application lifecycle.
    void applicationDidFinishLaunching();
    void applicationWillTerminate();
    bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }

    // Actions of the window.
    void handleLogin();
    void handleLogout();
    void handleRefresh();
    void handleAddWorkspace();
    void handleSetDefaultWorkspace(const std::string& workspaceId);
    void handleRemoveWorkspace(const std::string& workspaceId);
    void handleToggleWorkspaceValidation(const std::string& workspaceId, bool enabled);
    // Puts the MCP client configuration on the clipboard.
    void handleCopyMcpConfiguration();

    // Registers the folders as handleAddWorkspace does once they are chosen.
    void addWorkspaceFolders(const std::vector<std::string>& folders);
    // Takes in workspace changes another process wrote to the settings.
    void reloadWorkspaces();
    // Compares the stored session with ours and refreshes when another
    // process logged in or out. Runs in the background.
    void checkStoredSession();
    // Asks the authority for its health in the background; the status line
    // changes when the answer differs from the last one. A check asked for
    // while one runs is dropped.
    void checkAuthorityHealth();

    // The `mcpServers` entry an agent needs for this bridge's endpoint.
    std::string mcpClientConfiguration();

    // The components, created together on first use.
    const std::shared_ptr<NativeTokenStore>& tokenStore() const { return tokenStore_; }
    const std::shared_ptr<AuthorityClient>& authorityClient();
    const std::shared_ptr<WorkspaceRegistry>& workspaceRegistry();
    const std::shared_ptr<ToolRouter>& toolRouter();
    const std::shared_ptr<LocalMcpServer>& localServer();

    bool isLoggedIn() const { return isLoggedIn_; }
    bool isRefreshingSession() const { return isRefreshingSession_; }
    const std::optional<std::string>& sessionNotice() const { return sessionNotice_; }
    const std::map<std::string, ValidationStatus>& validationStatuses() const { return validationStatuses_; }
    // Why the authority counts as down; absent while it answers.
    const std::optional<std::string>& authorityProblem() const { return authorityProblem_; }

    // Internal steps, public for the headless program and tests.
    void startBridge();
    void refreshStoredSessionInBackground(bool forceRestartValidationExecutors);
    void startValidationExecutorsInBackground(bool forceRestart);
    void refreshSessionUi();
    void renderWorkspaceList();
    void showWorkspaceError(const std::exception& error);

    // The list as renderWorkspaceList shows it.
    WorkspaceListModel workspaceListModel() const;

private:
    explicit BridgeAppDelegate(Options options);
    void createComponents();
    void setStatus(const std::string& text, StatusColor color);
    // Takes a session outcome in: the login state, the notice, the status
    // line, and the rows when the state or the executor statuses changed.
    void applySession(bool loggedIn, std::optional<std::string> notice, bool statusesChanged,
                      std::optional<std::string> account);
    void applyAuthorityHealth(std::optional<std::string> problem);
    // Runs `task` on the main thread every `interval` (none when it is not
    // positive) until the application terminates.
    void repeatOnMain(std::chrono::milliseconds interval, void (BridgeAppDelegate::*task)());
    // What a failed tool call says about the authority or the session.
    enum class ToolFailure { connection, loginRequired };
    void noteToolFailure(ToolFailure failure);
    void onMain(std::function<void(BridgeAppDelegate&)> task);
    void handleExecutorAuthenticationFailure(const WorkspaceRegistration& registration);
    void applyExecutorStatus(const std::string& workspaceId, ValidationStatus status);
    // Whether the workspace is registered with validation switched on.
    bool validationWanted(const std::string& workspaceId);
    // `scheduled`: the write that ends an interval between writes.
    void publishExecutorStates(const WorkspaceListModel& list, bool scheduled = false);

    BridgeView* window_ = nullptr;
    Options options_;
    std::shared_ptr<NativeTokenStore> tokenStore_;
    std::shared_ptr<AuthorityClient> authorityClient_;
    std::shared_ptr<WorkspaceRegistry> workspaceRegistry_;
    std::shared_ptr<ToolRouter> toolRouter_;
    std::shared_ptr<LocalMcpServer> localServer_;
    std::shared_ptr<ActivityLog> activityLog_;
    std::shared_ptr<ValidationExecutors> validationExecutors_;
    std::unique_ptr<SettingsWatcher> settingsWatcher_;

    bool isLoggedIn_ = false;
    bool isRefreshingSession_ = false;
    bool isTerminated_ = false;
    std::optional<std::string> sessionNotice_;
    std::optional<std::string> account_;  // the logged-in user's e-mail, when known
    // A tool call was refused for want of a session while we were logged in.
    bool sessionLostInCall_ = false;
    bool refreshAgain_ = false;
    std::optional<std::string> authorityProblem_;
    std::optional<std::string> activityProblem_;  // records of tool calls cannot be written
    bool isCheckingAuthority_ = false;
    std::uint64_t authorityChecks_ = 0;
    std::map<std::string, ValidationStatus> validationStatuses_;
    // Restarts caused by rejected executor credentials, per workspace id.
    std::map<std::string, std::deque<std::chrono::steady_clock::time_point>> executorAuthRestarts_;
    // What the executors report from their own threads, the latest per
    // workspace, on its way to the main thread.
    std::shared_ptr<CoalescingPoster<ValidationStatus>> executorStatuses_;
    std::shared_ptr<CoalescingPoster<WorkspaceRegistration>> executorAuthFailures_;
    std::string executorStatePath_;  // set by the first publication
    std::optional<std::vector<WorkspaceRowModel>> publishedRows_;
    std::optional<std::string> publishedWarning_;
    std::optional<std::chrono::steady_clock::time_point> lastStateWrite_;
    bool stateWriteScheduled_ = false;
};

// The process-wide background runners: login and logout at normal priority,
// background checks at a lower one.
BackgroundRunner userInitiatedRunner();
BackgroundRunner utilityRunner();

}  // namespace palisor
