#include "bridge/app/bridge_app_delegate.h"

#include <sys/resource.h>
#include <unistd.h>

#include <iostream>
#include <utility>

#include "bridge/activity/activity_log.h"
#include "bridge/app/advice.h"
#include "bridge/app/bridge_components.h"
#include "bridge/app/configuration.h"
#include "bridge/app/executor_state_file.h"
#include "bridge/app/settings_watcher.h"
#include "bridge/app/tool_router_endpoint.h"
#include "bridge/app/workspace_additions.h"
#include "bridge/authority/authority_client.h"
#include "bridge/authority/authority_http.h"
#include "bridge/common/bridge_error.h"
#include "bridge/common/paths.h"
#include "bridge/common/text.h"
#include "bridge/common/work_queue.h"
#include "bridge/credentials/native_token_store.h"
#include "bridge/mcp/local_mcp_server.h"
#include "bridge/skills/skill_folder.h"
#include "bridge/tools/tool_router.h"
#include "bridge/workspace/agents_pointer.h"
#include "bridge/workspace/settings_store.h"
#include "bridge/workspace/workspace_registry.h"

namespace palisor {

namespace {

// The e-mail of the account the stored web session belongs to.
std::optional<std::string> accountOf(const JsonValue& web) {
    const JsonValue* user = objectMember(web, "user");
    return user ? nonEmptyString(*user, "email") : std::nullopt;
}

std::string joined(const std::vector<std::string>& parts, const std::string& separator) {
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : separator) + part;
    return text;
}

// A queue whose threads run at `niceness` (Linux sets the nice value per
// thread). Threads only ever lower their own priority, which needs no privilege.
BackgroundRunner runnerAt(const char* label, int niceness) {
    // Never destroyed: background work may still be queued at exit.
    auto* queue = new WorkQueue(label, 16);
    return [queue, niceness](std::function<void()> task) {
        queue->post([niceness, task = std::move(task)] {
            thread_local bool prioritySet = false;
            if (!prioritySet) {
                prioritySet = true;
                if (niceness != 0) ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), niceness);
            }
            task();
        });
    };
}

}  // namespace

BackgroundRunner userInitiatedRunner() {
    static const BackgroundRunner runner = runnerAt("palisor.user-initiated", 0);
    return runner;
}

BackgroundRunner utilityRunner() {
    static const BackgroundRunner runner = runnerAt("palisor.utility", 5);
    return runner;
}

std::shared_ptr<BridgeAppDelegate> BridgeAppDelegate::create(Options options) {
    std::shared_ptr<BridgeAppDelegate> delegate(new BridgeAppDelegate(std::move(options)));
    // An executor may print status lines faster than the main thread takes
    // them in: only the latest per workspace waits, so memory stays flat
    // and a shutdown is not stuck behind a backlog.
    std::weak_ptr<BridgeAppDelegate> weak = delegate;
    delegate->executorStatuses_ = CoalescingPoster<ValidationStatus>::create(
        delegate->options_.mainThread, [weak](const std::string& workspaceId, ValidationStatus status) {
            if (auto self = weak.lock(); self && !self->isTerminated_)
                self->applyExecutorStatus(workspaceId, std::move(status));
        });
    delegate->executorAuthFailures_ = CoalescingPoster<WorkspaceRegistration>::create(
        delegate->options_.mainThread, [weak](const std::string&, WorkspaceRegistration registration) {
            if (auto self = weak.lock(); self && !self->isTerminated_)
                self->handleExecutorAuthenticationFailure(registration);
        });
    return delegate;
}

BridgeAppDelegate::BridgeAppDelegate(Options options) : options_(std::move(options)) {
    if (!options_.mainThread) throw std::invalid_argument("BridgeAppDelegate needs a main thread");
    if (!options_.runUserInitiated) options_.runUserInitiated = userInitiatedRunner();
    if (!options_.runUtility) options_.runUtility = utilityRunner();
    if (!options_.defaults) options_.defaults = settingsStore(options_.configuration);
    if (!options_.makeAuthorityClient)
        options_.makeAuthorityClient = [configuration =
                                            options_.configuration](std::shared_ptr<NativeTokenStore> store) {
            return createAuthorityClient(configuration, std::move(store));
        };
    if (!options_.ensureWorkspaceSkillRoot)
        options_.ensureWorkspaceSkillRoot = [](const std::string& root) { ensureWorkspaceSkillRoot(root); };
    tokenStore_ = options_.tokenStore ? options_.tokenStore : createTokenStore(options_.configuration);
    validationExecutors_ = options_.validationExecutors;
}

BridgeAppDelegate::~BridgeAppDelegate() {
    if (settingsWatcher_) settingsWatcher_->stop();
}

void BridgeAppDelegate::createComponents() {
    if (localServer_) return;
    std::uint16_t port = portSayingFallbackOnce(options_.configuration, std::cerr);
    authorityClient_ = options_.makeAuthorityClient(tokenStore_);
    workspaceRegistry_ = std::make_shared<WorkspaceRegistry>(
        authorityClient_->authorityOrigin(), configuredLegacyWorkspaceRoot(options_.configuration, *options_.defaults),
        options_.defaults);
    toolRouter_ = std::make_shared<ToolRouter>(authorityClient_, workspaceRegistry_);
    // A call that could not reach the authority, or found the session gone,
    // is news for the status line: the periodic checks would tell later.
    std::weak_ptr<BridgeAppDelegate> weak = weak_from_this();
    auto observer = [weak](const std::exception& error) {
        std::optional<ToolFailure> failure;
        if (dynamic_cast<const TransportError*>(&error)) failure = ToolFailure::connection;
        if (auto* authority = dynamic_cast<const AuthorityClientError*>(&error);
            authority && authority->errorCase() == AuthorityClientError::Case::bridgeLoginRequired)
            failure = ToolFailure::loginRequired;
        if (!failure) return;
        if (auto self = weak.lock())
            self->onMain([failure](BridgeAppDelegate& delegate) { delegate.noteToolFailure(*failure); });
    };
    localServer_ = LocalMcpServer::create(port, std::make_shared<ToolRouterEndpoint>(toolRouter_, observer));
    if (ActivitySetting activity = configuredActivity(options_.configuration); activity.enabled) {
        ActivityLog::Options logOptions{activity.path};
        // Records that cannot be written are news for the status line.
        logOptions.onProblem = [weak](const std::optional<std::string>& problem) {
            std::optional<std::string> text;
            if (problem) text = "Không ghi được hoạt động của agent (" + *problem + ").";
            if (auto self = weak.lock())
                self->onMain([text](BridgeAppDelegate& delegate) {
                    delegate.activityProblem_ = text;
                    delegate.refreshSessionUi();
                });
        };
        activityLog_ = std::make_shared<ActivityLog>(std::move(logOptions));
        localServer_->setActivityLog(activityLog_);
    }
}

const std::shared_ptr<AuthorityClient>& BridgeAppDelegate::authorityClient() {
    createComponents();
    return authorityClient_;
}

const std::shared_ptr<WorkspaceRegistry>& BridgeAppDelegate::workspaceRegistry() {
    createComponents();
    return workspaceRegistry_;
}

const std::shared_ptr<ToolRouter>& BridgeAppDelegate::toolRouter() {
    createComponents();
    return toolRouter_;
}

const std::shared_ptr<LocalMcpServer>& BridgeAppDelegate::localServer() {
    createComponents();
    return localServer_;
}

void BridgeAppDelegate::setStatus(const std::string& text, StatusColor color) {
    if (window_) window_->setStatus(text, color);
}

void BridgeAppDelegate::onMain(std::function<void(BridgeAppDelegate&)> task) {
    std::weak_ptr<BridgeAppDelegate> weak = weak_from_this();
    options_.mainThread->post([weak, task = std::move(task)] {
        if (auto self = weak.lock(); self && !self->isTerminated_) task(*self);
    });
}

// Launch.

void BridgeAppDelegate::applicationDidFinishLaunching() {
    auto& server = localServer();
    // The server reports from the thread that starts and stops it: ours.
    std::weak_ptr<BridgeAppDelegate> weak = weak_from_this();
    // The server reports only that it runs or has stopped; its failures are
    // thrown by start() and shown in red there.
    server->setOnStatusChanged([weak](const std::string& text) {
        if (auto self = weak.lock()) self->setStatus(text, StatusColor::green);
    });
    renderWorkspaceList();
    refreshSessionUi();
    if (window_) window_->showWindow();
    startBridge();
    refreshStoredSessionInBackground(false);

    if (options_.watchSettings && workspaceRegistry_->persistenceEnabled()) {
        settingsWatcher_ = std::make_unique<SettingsWatcher>(options_.defaults->path(), [weak] {
            if (auto self = weak.lock()) self->onMain([](BridgeAppDelegate& delegate) { delegate.reloadWorkspaces(); });
        });
        settingsWatcher_->start();
        // Whatever was written between creating the registry and the watch.
        reloadWorkspaces();
    }
    repeatOnMain(options_.sessionCheckInterval, &BridgeAppDelegate::checkStoredSession);
    if (options_.authorityHealthInterval.count() > 0) {
        checkAuthorityHealth();
        repeatOnMain(options_.authorityHealthInterval, &BridgeAppDelegate::checkAuthorityHealth);
    }
    if (window_) window_->activate();
}

void BridgeAppDelegate::startBridge() {
    WorkspaceRegistrySnapshot snapshot = workspaceRegistry()->snapshot();
    std::vector<std::string> messages;
    for (const WorkspaceRegistration& workspace : snapshot.workspaces) {
        try {
            readAgentsPointer(workspace.workspaceRoot);
            if (options_.ensureWorkspaceSkillRoot) options_.ensureWorkspaceSkillRoot(workspace.workspaceRoot);
        } catch (const std::exception& error) {
            messages.push_back(workspace.projectKey + ": " + errorMessage(error));
        }
    }
    try {
        localServer_->start();
    } catch (const std::exception& error) {
        setStatus("Không thể mở bridge local: " + errorMessage(error), StatusColor::red);
        return;
    }
    if (!messages.empty())
        setStatus("Bridge đang chạy nhưng có workspace lỗi: " + joined(messages, "; "), StatusColor::orange);
    publishExecutorStates(workspaceListModel());
}

// Session.

void BridgeAppDelegate::refreshSessionUi() {
    if (window_) {
        SessionControlsModel controls;
        controls.credentialFieldsVisible = !isLoggedIn_;
        controls.refreshButtonVisible = isLoggedIn_;
        controls.actionTitle = isLoggedIn_ ? "Logout" : "Đăng nhập";
        controls.action = isLoggedIn_ ? SessionControlsModel::Action::logout : SessionControlsModel::Action::login;
        window_->showSessionControls(controls);
        AccountModel account;
        account.accountText = isLoggedIn_ ? "Tài khoản: " + account_.value_or("không rõ") : "Chưa đăng nhập";
        // Where the configured origin came from, unless the client was made
        // with another one.
        AuthoritySetting authority = configuredAuthority(options_.configuration);
        const std::string& origin = authorityClient()->authorityOrigin();
        account.authorityText = "Authority: " + (authority.origin == origin ? describeAuthority(authority) : origin);
        window_->showAccount(account);
    }
    std::size_t workspaceCount = workspaceRegistry()->snapshot().workspaces.size();
    std::size_t executorErrors = 0;
    for (const auto& [id, status] : validationStatuses_)
        if (status.isError) ++executorErrors;
    bool serverRunning = localServer_->isRunning();
    // An authority that does not answer comes right after the session, since
    // every tool call fails until it is back.
    std::string authority = authorityProblem_ ? *authorityProblem_ + " " : "";
    // Records of tool calls that cannot be written end every line.
    std::string activity = activityProblem_ ? " " + *activityProblem_ : "";

    if (isLoggedIn_) {
        std::string text = sessionNotice_.value_or("Đã đăng nhập.");
        text += " " + authority;
        // The sentence ends with the ". " that follows, so the stopped form
        // drops its own full stop rather than show two.
        text += serverRunning ? "Bridge đang chạy tại http://127.0.0.1:" + std::to_string(localServer_->port()) + "/mcp"
                              : std::string("Bridge chưa chạy");
        text += ". " + std::to_string(workspaceCount) + " workspace đã đăng ký";
        text += ". ";
        text += executorErrors > 0 ? std::to_string(executorErrors) + " validation executor đang lỗi"
                                   : std::string("Validation hoạt động độc lập theo từng workspace");
        text += "." + activity;
        bool healthy =
            !sessionNotice_ && !authorityProblem_ && !activityProblem_ && executorErrors == 0 && serverRunning;
        setStatus(text, healthy ? StatusColor::green : StatusColor::orange);
    } else if (sessionNotice_) {
        setStatus(*sessionNotice_ + (authorityProblem_ ? " " + *authorityProblem_ : "") + activity, StatusColor::orange);
    } else if (authorityProblem_) {
        // Logging in cannot work either until it is back.
        setStatus((serverRunning ? "Bridge đang chạy. " : "") + *authorityProblem_ + activity, StatusColor::orange);
    } else if (serverRunning) {
        setStatus("Bridge đang chạy. Vui lòng đăng nhập để AI node đọc authority." + activity,
                  activityProblem_ ? StatusColor::orange : StatusColor::secondary);
    }
}

void BridgeAppDelegate::applySession(bool loggedIn, std::optional<std::string> notice, bool statusesChanged,
                                     std::optional<std::string> account) {
    bool loginStateChanged = isLoggedIn_ != loggedIn;
    // A session a tool call found gone would otherwise read as never having
    // been there.
    if (!loggedIn && !notice && sessionLostInCall_ && isLoggedIn_)
        notice = "Phiên đăng nhập không còn hợp lệ. Vui lòng đăng nhập lại.";
    sessionLostInCall_ = false;
    isLoggedIn_ = loggedIn;
    sessionNotice_ = std::move(notice);
    account_ = loggedIn ? std::move(account) : std::nullopt;
    refreshSessionUi();
    // The rows' validation lines depend on the login state and the statuses.
    if (loginStateChanged || statusesChanged) renderWorkspaceList();
    // `status` shows the session's warning too.
    else publishExecutorStates(workspaceListModel());
}

void BridgeAppDelegate::refreshStoredSessionInBackground(bool forceRestartValidationExecutors) {
    if (isRefreshingSession_) return;
    isRefreshingSession_ = true;
    if (window_) window_->setRefreshEnabled(false);
    std::weak_ptr<BridgeAppDelegate> weak = weak_from_this();
    auto client = authorityClient();
    options_.runUtility([weak, client, forceRestartValidationExecutors] {
        WebSessionValidation validation;
        std::optional<std::string> account;
        // A delegate that went away counts as logged out, without a notice.
        if (!weak.expired()) validation = client->validateWebSession();
        if (validation.loggedIn) {
            const JsonValue record = client->tokenStore()->readSession();
            if (const JsonValue* web = objectMember(record, "web")) account = accountOf(*web);
        }
        auto self = weak.lock();
        if (!self) return;
        self->onMain([validation, account, forceRestartValidationExecutors](BridgeAppDelegate& delegate) {
            delegate.isRefreshingSession_ = false;
            if (delegate.window_) delegate.window_->setRefreshEnabled(true);
            bool statusesCleared = !validation.loggedIn || forceRestartValidationExecutors;
            if (!validation.loggedIn && delegate.validationExecutors_) delegate.validationExecutors_->stopAll();
            if (statusesCleared) delegate.validationStatuses_.clear();
            bool again = std::exchange(delegate.refreshAgain_, false);
            delegate.applySession(validation.loggedIn, validation.warning, statusesCleared, account);
            if (again && validation.loggedIn) {
                delegate.sessionLostInCall_ = true;
                delegate.refreshStoredSessionInBackground(false);
                return;
            }
            if (validation.loggedIn) delegate.startValidationExecutorsInBackground(forceRestartValidationExecutors);
        });
    });
}

void BridgeAppDelegate::handleRefresh() {
    executorAuthRestarts_.clear();
    refreshStoredSessionInBackground(true);
}

void BridgeAppDelegate::startValidationExecutorsInBackground(bool forceRestart) {
    if (!isLoggedIn_) return;
    if (options_.configuration.validationExecutorDisabled) return;
    if (!validationExecutors_) return;
    std::vector<WorkspaceRegistration> workspaces = workspaceRegistry()->snapshot().workspaces;
    std::weak_ptr<BridgeAppDelegate> weak = weak_from_this();
    auto executors = validationExecutors_;
    auto client = authorityClient_;
    options_.runUtility([weak, executors, client, workspaces, forceRestart, statuses = executorStatuses_,
                         authFailures = executorAuthFailures_] {
        if (weak.expired()) return;
        executors->reconcile(
            client, workspaces, forceRestart,
            [authFailures](const WorkspaceRegistration& registration) {
                authFailures->offer(registration.workspaceId, registration);
            },
            [statuses](const WorkspaceRegistration& registration, const std::string& message, bool isError) {
                statuses->offer(registration.workspaceId, ValidationStatus{message, isError});
            });
    });
}

void BridgeAppDelegate::applyExecutorStatus(const std::string& workspaceId, ValidationStatus status) {
    // A report that arrives after its workspace was removed, switched off or
    // logged out of would otherwise count as an executor error for ever.
    if (!isLoggedIn_ || !validationWanted(workspaceId)) return;
    validationStatuses_[workspaceId] = std::move(status);
    renderWorkspaceList();
    refreshSessionUi();
}

void BridgeAppDelegate::handleLogin() {
    if (!window_) return;
    std::string email = trim(window_->emailText());
    std::string password = window_->passwordText();
    if (email.empty() || password.empty()) {
        setStatus("Cần nhập email và mật khẩu.", StatusColor::red);
        return;
    }
    window_->setActionEnabled(false);
    setStatus("Đang đăng nhập authority...", StatusColor::secondary);
    std::weak_ptr<BridgeAppDelegate> weak = weak_from_this();
    auto client = authorityClient();
    options_.runUserInitiated([weak, client, email, password, configuration = options_.configuration] {
        if (weak.expired()) return;
        std::optional<std::string> failure;
        std::optional<std::string> account = email;
        try {
            JsonValue answer = client->login(email, password);
            if (auto confirmed = accountOf(answer)) account = confirmed;
        } catch (const std::exception& error) {
            std::string advice = sessionStoreAdvice(configuration, error);
            failure = errorMessage(error) + (advice.empty() ? "" : "\n" + advice);
        }
        auto self = weak.lock();
        if (!self) return;
        self->onMain([failure, account](BridgeAppDelegate& delegate) {
            if (failure) {
                delegate.setStatus("Đăng nhập lỗi: " + *failure, StatusColor::red);
                if (delegate.window_) delegate.window_->setActionEnabled(true);
                return;
            }
            if (delegate.window_) {
                delegate.window_->clearPassword();
                delegate.window_->setActionEnabled(true);
            }
            delegate.executorAuthRestarts_.clear();
            delegate.applySession(true, std::nullopt, false, account);
            delegate.startValidationExecutorsInBackground(false);
        });
    });
}

bool BridgeAppDelegate::validationWanted(const std::string& workspaceId) {
    for (const WorkspaceRegistration& workspace : workspaceRegistry()->snapshot().workspaces)
        if (workspace.workspaceId == workspaceId) return workspace.validationEnabled;
    return false;
}

void BridgeAppDelegate::handleExecutorAuthenticationFailure(const WorkspaceRegistration& registration) {
    if (isTerminated_ || !isLoggedIn_) return;
    // An agent token the authority keeps refusing would otherwise restart
    // every executor for ever: after a few tries the workspace's error stays
    // until the user logs in or refreshes.
    auto now = std::chrono::steady_clock::now();
    auto& restarts = executorAuthRestarts_[registration.workspaceId];
    while (!restarts.empty() && now - restarts.front() >= options_.executorAuthRestartWindow) restarts.pop_front();
    if (static_cast<int>(restarts.size()) >= options_.executorAuthRestartLimit) return;
    restarts.push_back(now);

    std::weak_ptr<BridgeAppDelegate> weak = weak_from_this();
    auto client = authorityClient();
    std::string projectKey = registration.projectKey;
    options_.runUtility([weak, client, projectKey] {
        // The restart has to ask for a new agent token rather than hand the
        // refused one to the executor again.
        try {
            client->tokenStore()->clearProjectAgentToken(client->authorityOrigin(), projectKey);
        } catch (const std::exception&) {
            // The refresh below still runs; the authority will refuse again
            // and the bound above ends the loop.
        }
        if (auto self = weak.lock())
            self->onMain([](BridgeAppDelegate& delegate) { delegate.refreshStoredSessionInBackground(true); });
    });
}

void BridgeAppDelegate::handleLogout() {
    if (validationExecutors_) validationExecutors_->stopAll();
    validationStatuses_.clear();
    if (window_) {
        window_->setActionEnabled(false);
        window_->setRefreshEnabled(false);
    }
    setStatus("Đang đăng xuất...", StatusColor::secondary);
    std::weak_ptr<BridgeAppDelegate> weak = weak_from_this();
    auto client = authorityClient();
    options_.runUserInitiated([weak, client] {
        if (weak.expired()) return;
        std::optional<std::string> failure;
        try {
            client->logout();
        } catch (const std::exception& error) {
            failure = errorMessage(error);
        }
        auto self = weak.lock();
        if (!self) return;
        self->onMain([failure](BridgeAppDelegate& delegate) {
            if (delegate.window_) {
                delegate.window_->setActionEnabled(true);
                delegate.window_->setRefreshEnabled(true);
            }
            if (failure) {
                // Still logged in; the executors stay stopped until the next start.
                delegate.setStatus("Đăng xuất lỗi: " + *failure, StatusColor::red);
                return;
            }
            if (delegate.window_) delegate.window_->clearCredentialFields();
            delegate.applySession(false, std::nullopt, false, std::nullopt);
        });
    });
}

void BridgeAppDelegate::checkStoredSession() {
    std::weak_ptr<BridgeAppDelegate> weak = weak_from_this();
    auto store = tokenStore_;
    options_.runUtility([weak, store] {
        if (weak.expired()) return;
        bool changed = false;
        try {
            changed = store->adoptPersistedSession();
        } catch (const std::exception&) {
            // An unreadable store is asked again at the next check.
        }
        if (!changed) return;
        if (auto self = weak.lock())
            self->onMain([](BridgeAppDelegate& delegate) { delegate.refreshStoredSessionInBackground(false); });
    });
}

void BridgeAppDelegate::checkAuthorityHealth() {
    if (isCheckingAuthority_ || isTerminated_) return;
    isCheckingAuthority_ = true;
    auto client = authorityClient();
    std::string origin = client->authorityOrigin();
    std::weak_ptr<BridgeAppDelegate> weak = weak_from_this();
    std::uint64_t check = ++authorityChecks_;
    // An authority that accepts the connection and then says nothing is down
    // too; the exchange itself may take minutes to give up.
    auto limit = std::chrono::duration_cast<std::chrono::seconds>(options_.authorityHealthTimeout);
    options_.mainThread->postAfter(options_.authorityHealthTimeout, [weak, check, origin, limit] {
        auto self = weak.lock();
        if (!self || self->isTerminated_ || !self->isCheckingAuthority_ || self->authorityChecks_ != check) return;
        self->applyAuthorityHealth("Authority " + origin + " không trả lời trong " + std::to_string(limit.count()) +
                                   " giây.");
    });
    options_.runUtility([weak, client, origin] {
        if (weak.expired()) return;
        std::optional<std::string> problem;
        try {
            client->request("/api/health", "GET", std::nullopt, std::nullopt, false, std::nullopt);
        } catch (const TransportError& error) {
            problem = "Không kết nối được authority " + origin + ": " + errorMessage(error) + ".";
        } catch (const std::exception& error) {
            problem = "Authority " + origin + " trả lời lỗi: " + errorMessage(error) + ".";
        }
        if (auto self = weak.lock())
            self->onMain([problem](BridgeAppDelegate& delegate) {
                delegate.isCheckingAuthority_ = false;
                delegate.applyAuthorityHealth(problem);
            });
    });
}

void BridgeAppDelegate::applyAuthorityHealth(std::optional<std::string> problem) {
    if (problem == authorityProblem_) return;
    bool wasDown = authorityProblem_.has_value();
    authorityProblem_ = std::move(problem);
    refreshSessionUi();
    // Back again: what could not be checked while it was away (the session,
    // and with it the executors) is checked now.
    if (wasDown && !authorityProblem_) refreshStoredSessionInBackground(false);
}

void BridgeAppDelegate::repeatOnMain(std::chrono::milliseconds interval, void (BridgeAppDelegate::*task)()) {
    if (interval.count() <= 0) return;
    std::weak_ptr<BridgeAppDelegate> weak = weak_from_this();
    options_.mainThread->postAfter(interval, [weak, interval, task] {
        auto self = weak.lock();
        if (!self || self->isTerminated_) return;
        (self.get()->*task)();
        self->repeatOnMain(interval, task);
    });
}

void BridgeAppDelegate::noteToolFailure(ToolFailure failure) {
    if (failure == ToolFailure::connection) {
        checkAuthorityHealth();
    } else if (isLoggedIn_) {
        // The authority refused the session and the call cleared it.
        sessionLostInCall_ = true;
        // A check under way may have read the session before the call
        // cleared it.
        if (isRefreshingSession_) refreshAgain_ = true;
        else refreshStoredSessionInBackground(false);
    }
}

// Workspaces.

WorkspaceListModel BridgeAppDelegate::workspaceListModel() const {
    WorkspaceListModel list;
    if (!workspaceRegistry_) return list;
    WorkspaceRegistrySnapshot snapshot = workspaceRegistry_->snapshot();
    list.countText = snapshot.workspaces.empty() ? "Chưa có workspace"
                                                 : std::to_string(snapshot.workspaces.size()) + " workspace";
    if (snapshot.workspaces.empty()) {
        list.emptyHint = "Thêm ít nhất một workspace có AGENTS.md để AI node chọn đúng project.";
        return list;
    }
    for (const WorkspaceRegistration& workspace : snapshot.workspaces) {
        WorkspaceRowModel row;
        row.workspaceId = workspace.workspaceId;
        row.projectKey = workspace.projectKey;
        row.workspaceRoot = workspace.workspaceRoot;
        row.validationEnabled = workspace.validationEnabled;
        row.isDefault = snapshot.defaultWorkspaceId == workspace.workspaceId;
        row.defaultButtonTitle = row.isDefault ? "Mặc định" : "Đặt mặc định";
        row.defaultButtonEnabled = !row.isDefault;
        auto status = validationStatuses_.find(workspace.workspaceId);
        if (!workspace.validationEnabled) {
            row.validationText = "Validation đã tắt cho workspace này.";
            row.validationColor = StatusColor::secondary;
        } else if (!isLoggedIn_) {
            row.validationText = "Đăng nhập để chạy validation executor.";
            row.validationColor = StatusColor::secondary;
        } else if (status != validationStatuses_.end()) {
            row.validationText = status->second.message;
            row.validationColor = status->second.isError ? StatusColor::orange : StatusColor::green;
        } else {
            row.validationText = "Đang chờ khởi động validation executor...";
            row.validationColor = StatusColor::secondary;
        }
        list.rows.push_back(std::move(row));
    }
    return list;
}

void BridgeAppDelegate::renderWorkspaceList() {
    createComponents();
    WorkspaceListModel list = workspaceListModel();
    publishExecutorStates(list);
    if (window_) window_->showWorkspaces(list);
}

void BridgeAppDelegate::publishExecutorStates(const WorkspaceListModel& list, bool scheduled) {
    if (!options_.publishExecutorStates || isTerminated_ || !localServer_ || !localServer_->isRunning()) return;
    // A write already scheduled takes the rows as they are by then.
    std::optional<std::string> warning = isLoggedIn_ ? sessionNotice_ : std::nullopt;
    if ((publishedRows_ == list.rows && publishedWarning_ == warning) || stateWriteScheduled_) return;
    // Each write is synced to disk; an executor changing its status many
    // times a second must not cost a write each. The first change after a
    // quiet spell is written at once, later ones together when the interval
    // is over, so the last state always reaches the file.
    auto now = std::chrono::steady_clock::now();
    auto due = lastStateWrite_.value_or(now) + options_.executorStateWriteInterval;
    if (!scheduled && lastStateWrite_ && now < due) {
        stateWriteScheduled_ = true;
        std::weak_ptr<BridgeAppDelegate> weak = weak_from_this();
        options_.mainThread->postAfter(std::chrono::ceil<std::chrono::milliseconds>(due - now), [weak] {
            auto self = weak.lock();
            if (!self) return;
            self->stateWriteScheduled_ = false;
            self->publishExecutorStates(self->workspaceListModel(), true);
        });
        return;
    }
    lastStateWrite_ = now;
    if (executorStatePath_.empty())
        executorStatePath_ = executorStatePath(options_.configuration.folders, localServer_->port());
    try {
        writeExecutorStates(executorStatePath_, localServer_->port(), list, warning);
        publishedRows_ = list.rows;
        publishedWarning_ = warning;
    } catch (const std::exception&) {
        // Only `palisor-bridge status` reads the file; the next change tries again.
    }
}

void BridgeAppDelegate::showWorkspaceError(const std::exception& error) {
    setStatus("Không cập nhật được workspace: " + errorMessage(error), StatusColor::red);
}

void BridgeAppDelegate::handleAddWorkspace() {
    if (!window_) return;
    WorkspaceRegistrySnapshot snapshot = workspaceRegistry()->snapshot();
    std::optional<std::string> startFolder;
    for (const WorkspaceRegistration& workspace : snapshot.workspaces)
        if (workspace.workspaceId == snapshot.defaultWorkspaceId) startFolder = workspace.workspaceRoot;
    std::vector<std::string> folders = window_->chooseWorkspaceFolders("Thêm workspace chứa AGENTS.md", startFolder);
    if (folders.empty()) return;
    addWorkspaceFolders(folders);
}

void BridgeAppDelegate::addWorkspaceFolders(const std::vector<std::string>& folders) {
    WorkspaceAdditions result =
        addWorkspaces(*workspaceRegistry(), folders, true, false, options_.ensureWorkspaceSkillRoot,
                      [](const std::string&, const std::exception& error) { return errorMessage(error); });
    renderWorkspaceList();
    if (isLoggedIn_) startValidationExecutorsInBackground(false);
    std::vector<std::string> added;
    for (const WorkspaceAddition& addition : result.added) added.push_back(addition.registration.projectKey);
    if (!result.failures.empty())
        setStatus("Có workspace không hợp lệ: " + joined(result.failures, "; "), StatusColor::red);
    else
        setStatus("Đã thêm workspace: " + joined(added, ", "), StatusColor::green);
}

void BridgeAppDelegate::handleSetDefaultWorkspace(const std::string& workspaceId) {
    try {
        workspaceRegistry()->setDefault(workspaceId);
    } catch (const std::exception& error) {
        showWorkspaceError(error);
        return;
    }
    renderWorkspaceList();
    refreshSessionUi();
}

void BridgeAppDelegate::handleToggleWorkspaceValidation(const std::string& workspaceId, bool enabled) {
    try {
        workspaceRegistry()->setValidationEnabled(workspaceId, enabled);
    } catch (const std::exception& error) {
        showWorkspaceError(error);
        return;
    }
    if (!enabled) {
        if (validationExecutors_) validationExecutors_->stop(workspaceId);
        validationStatuses_.erase(workspaceId);
    }
    renderWorkspaceList();
    if (isLoggedIn_) startValidationExecutorsInBackground(false);
}

void BridgeAppDelegate::handleRemoveWorkspace(const std::string& workspaceId) {
    for (const WorkspaceRegistration& workspace : workspaceRegistry()->snapshot().workspaces) {
        if (workspace.workspaceId != workspaceId) continue;
        ConfirmationModel question;
        question.title = "Xóa workspace " + workspace.projectKey + "?";
        question.message = "Bridge sẽ không phục vụ " + workspace.workspaceRoot +
                           " nữa và dừng validation executor của nó. Thư mục và các file trong đó vẫn được giữ nguyên.";
        question.confirmTitle = "Xóa";
        question.cancelTitle = "Hủy";
        if (!window_ || !window_->confirm(question)) return;
    }
    try {
        workspaceRegistry()->remove(workspaceId);
    } catch (const std::exception& error) {
        showWorkspaceError(error);
        return;
    }
    if (validationExecutors_) validationExecutors_->stop(workspaceId);
    validationStatuses_.erase(workspaceId);
    renderWorkspaceList();
    refreshSessionUi();
}

std::string BridgeAppDelegate::mcpClientConfiguration() {
    JsonValue server = {{"type", "http"},
                        {"url", "http://127.0.0.1:" + std::to_string(localServer()->port()) + "/mcp"}};
    return JsonValue{{"mcpServers", {{"palisor-bridge", server}}}}.dump(2) + "\n";
}

void BridgeAppDelegate::handleCopyMcpConfiguration() {
    if (!window_ || !window_->copyToClipboard(mcpClientConfiguration())) return;
    setStatus("Đã sao chép cấu hình MCP cho http://127.0.0.1:" + std::to_string(localServer_->port()) +
                  "/mcp. Dán nó vào cấu hình MCP của agent (mục mcpServers).",
              StatusColor::green);
}

void BridgeAppDelegate::reloadWorkspaces() {
    bool changed = false;
    try {
        changed = workspaceRegistry()->reload();
    } catch (const std::exception&) {
        // An unreadable file keeps what we have; its next write is seen again.
    }
    if (!changed) return;
    // Forget the statuses of workspaces that are gone or switched off; the
    // reconciliation stops their executors and starts those of new ones.
    WorkspaceRegistrySnapshot snapshot = workspaceRegistry_->snapshot();
    std::map<std::string, ValidationStatus> kept;
    for (const WorkspaceRegistration& workspace : snapshot.workspaces) {
        auto status = validationStatuses_.find(workspace.workspaceId);
        if (workspace.validationEnabled && status != validationStatuses_.end()) kept.insert(*status);
    }
    validationStatuses_ = std::move(kept);
    renderWorkspaceList();
    refreshSessionUi();
    if (isLoggedIn_) startValidationExecutorsInBackground(false);
}

// Termination.

void BridgeAppDelegate::applicationWillTerminate() {
    if (isTerminated_) return;
    isTerminated_ = true;
    if (settingsWatcher_) settingsWatcher_->stop();
    if (validationExecutors_) validationExecutors_->stopAll();
    if (localServer_) localServer_->stop();
    // The records of the last calls are written before the process ends.
    if (activityLog_) activityLog_->flush();
    if (!executorStatePath_.empty()) ::unlink(executorStatePath_.c_str());
    // A session only memory holds would end with the process.
    if (tokenStore_) {
        try {
            tokenStore_->saveUnsavedSession();
        } catch (const std::exception&) {
            // Nothing more can be done for it; the store tries once more as it goes.
        }
    }
}

}  // namespace palisor
