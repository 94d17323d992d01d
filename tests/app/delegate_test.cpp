// The application controller with a recording view, a main thread that runs
// posted work at once, and background work the test releases by hand, against
// the development authority.
#include <gtest/gtest.h>

#include <deque>
#include <filesystem>

#include "bridge/app/bridge_app_delegate.h"
#include "bridge/app/executor_state_file.h"
#include "bridge/app/headless_view.h"
#include "bridge/authority/authority_client.h"
#include "bridge/common/bridge_error.h"
#include "bridge/common/paths.h"
#include "bridge/credentials/native_token_store.h"
#include "bridge/mcp/local_mcp_server.h"
#include "bridge/workspace/settings_store.h"
#include "bridge/workspace/workspace_registry.h"
#include "tests/credentials/fake_vault.h"
#include "tests/support/http_client.h"
#include "tests/support/temp_dir.h"
#include "tools/dev-authority/dev_authority.h"

namespace palisor {
namespace {

class InlineMainThread : public MainThread {
public:
    void post(std::function<void()> task) override { task(); }
    void postAfter(std::chrono::milliseconds delay, std::function<void()> task) override {
        delayed.push_back(std::move(task));
        delays.push_back(delay);
    }
    // Runs the last task that was posted with this delay.
    void runDelayed(std::chrono::milliseconds delay) {
        for (std::size_t i = delayed.size(); i-- > 0;)
            if (delays[i] == delay) {
                auto task = delayed[i];  // it may post more
                return task();
            }
        FAIL() << "nothing posted after " << delay.count() << " ms";
    }
    std::vector<std::function<void()>> delayed;
    std::vector<std::chrono::milliseconds> delays;
};

// Background work waits here until the test runs it.
class ManualRunner {
public:
    BackgroundRunner runner() {
        return [this](std::function<void()> task) { tasks.push_back(std::move(task)); };
    }
    void runAll() {
        while (!tasks.empty()) {
            auto task = std::move(tasks.front());
            tasks.pop_front();
            task();
        }
    }
    std::deque<std::function<void()>> tasks;
};

class RecordingView : public BridgeView {
public:
    void setStatus(const std::string& text, StatusColor color) override {
        status = text;
        statusColor = color;
    }
    void showSessionControls(const SessionControlsModel& model) override { controls = model; }
    void setActionEnabled(bool enabled) override { actionEnabled = enabled; }
    void setRefreshEnabled(bool enabled) override { refreshEnabled = enabled; }
    void showWorkspaces(const WorkspaceListModel& model) override { list = model; }
    void showAccount(const AccountModel& model) override { account = model; }
    bool confirm(const ConfirmationModel& model) override {
        question = model;
        return confirmAnswer;
    }
    bool copyToClipboard(const std::string& text) override {
        clipboard = text;
        return true;
    }
    std::string emailText() const override { return email; }
    std::string passwordText() const override { return password; }
    void clearPassword() override { password.clear(); }
    void clearCredentialFields() override { email.clear(), password.clear(); }
    std::vector<std::string> chooseWorkspaceFolders(const std::string& title,
                                                    const std::optional<std::string>& start) override {
        chooserTitle = title;
        chooserStart = start;
        return chosenFolders;
    }
    void showWindow() override { shown = true; }
    void activate() override { activated = true; }

    std::string status = "Bridge chưa đăng nhập.";
    StatusColor statusColor = StatusColor::secondary;
    std::vector<std::string> chosenFolders;
    SessionControlsModel controls;
    bool actionEnabled = true, refreshEnabled = true, confirmAnswer = true, shown = false, activated = false;
    WorkspaceListModel list;
    AccountModel account;
    std::optional<ConfirmationModel> question;
    std::string clipboard, email, password, chooserTitle;
    std::optional<std::string> chooserStart;
};

class RecordingExecutors : public ValidationExecutors {
public:
    void reconcile(const std::shared_ptr<AuthorityClient>&, const std::vector<WorkspaceRegistration>& workspaces,
                   bool forceRestart, AuthenticationFailureHandler onAuthenticationFailure,
                   StatusHandler onStatus) override {
        std::vector<std::string> ids;
        for (const auto& workspace : workspaces) ids.push_back(workspace.workspaceId);
        reconciled.push_back({ids, forceRestart});
        lastAuthFailure = std::move(onAuthenticationFailure);
        lastStatus = std::move(onStatus);
        log.push_back("reconcile");
    }
    void stop(const std::string& workspaceId) override { log.push_back("stop " + workspaceId); }
    void stopAll() override { log.push_back("stopAll"); }

    std::vector<std::pair<std::vector<std::string>, bool>> reconciled;
    AuthenticationFailureHandler lastAuthFailure;
    StatusHandler lastStatus;
    std::vector<std::string> log;
};

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}
using Log = std::vector<std::string>;
const std::string kLoggedOut = "Bridge đang chạy. Vui lòng đăng nhập để AI node đọc authority.";
const std::string kValidationOff = "Validation đã tắt cho workspace này.";

class Delegate : public ::testing::Test {
protected:
    void SetUp() override {
        authority.addUser("dev@palisor.test", "right-password", {"ALPHA", "BETA"});
        authority.start();
        configuration.portText = std::to_string(port);
        configuration.authority = authority.origin();
    }
    void TearDown() override {
        if (delegate) {
            delegate->applicationWillTerminate();
            delegate->setView(nullptr);
        }
    }

    std::shared_ptr<NativeTokenStore> storeOn(std::shared_ptr<CredentialVault> backing) const {
        NativeTokenStore::Options options;
        options.keychainEnabled = true;
        options.vault = std::move(backing);
        return std::make_shared<NativeTokenStore>(options);
    }
    // A session kept by another program, or by an earlier run.
    std::shared_ptr<NativeTokenStore> storeSession() {
        auto store = storeOn(vault);
        store->setWebSession(authority.origin(), authority.login("dev@palisor.test", "right-password").answer);
        return store;
    }

    void launch() {
        BridgeAppDelegate::Options options;
        options.mainThread = mainThread;
        options.configuration = configuration;
        options.runUserInitiated = userInitiated.runner();
        options.runUtility = utility.runner();
        options.tokenStore = storeOn(vault);
        options.defaults = defaults;
        options.validationExecutors = executors;
        options.ensureWorkspaceSkillRoot = [this](const std::string& root) {
            skillRoots.push_back(root);
            if (root.find("broken-skills") != std::string::npos)
                throw FileError("DIRECTORY_CREATE_FAILED", "cannot create folder " + root + ": No space left on device",
                                ENOSPC);
        };
        options.watchSettings = false;
        options.publishExecutorStates = publishStates;
        options.executorStateWriteInterval = std::chrono::hours(1);
        options.authorityHealthInterval = healthInterval;
        delegate = BridgeAppDelegate::create(options);
        delegate->setView(headless ? static_cast<BridgeView*>(headless.get()) : &view);
        delegate->applicationDidFinishLaunching();
    }
    // Launched, past the stored-session check, with these workspaces added,
    // then logged in when asked.
    std::vector<WorkspaceRegistration> start(bool loggedIn, const std::vector<std::string>& folders = {}) {
        launch();
        utility.runAll();
        if (!folders.empty()) add(folders);
        if (loggedIn) logIn();
        return delegate->workspaceRegistry()->snapshot().workspaces;
    }
    std::vector<WorkspaceRegistration> add(const std::vector<std::string>& folders) {
        delegate->addWorkspaceFolders(folders);
        utility.runAll();
        return delegate->workspaceRegistry()->snapshot().workspaces;
    }

    std::string workspace(const std::string& name, const std::string& projectKey) const {
        return test::makeWorkspace(home.path(), name, projectKey, authority.origin());
    }
    void registerWorkspace(const std::string& name, const std::string& projectKey, bool validation = true) const {
        WorkspaceRegistry(authority.origin(), std::nullopt, defaults)
            .add(workspace(name, projectKey), true, validation);
    }

    std::string endpoint() const { return "Bridge đang chạy tại http://127.0.0.1:" + std::to_string(port) + "/mcp"; }

    void logIn() {
        view.email = "  dev@palisor.test\n";
        view.password = "right-password";
        delegate->handleLogin();
        userInitiated.runAll();
        utility.runAll();
    }
    // The status line is `text`, or begins with it when `prefix`, in `color`.
    void expectStatus(const std::string& text, StatusColor color, bool prefix = false) const {
        EXPECT_TRUE(prefix ? startsWith(view.status, text) : view.status == text) << view.status << "\n" << text;
        EXPECT_EQ(view.statusColor, color) << view.status;
    }

    dev::DevAuthority authority;
    test::TempDir home;
    std::uint16_t port = test::freePort();
    Configuration configuration = [this] {
        Configuration c;
        c.folders = UserFolders::resolve({home.path(), {}, {}, {}, home.path(), {}});
        return c;
    }();
    std::shared_ptr<SettingsStore> defaults = std::make_shared<SettingsStore>(home.file("settings.json"));
    std::shared_ptr<test::FakeVault> vault = std::make_shared<test::FakeVault>();
    std::shared_ptr<InlineMainThread> mainThread = std::make_shared<InlineMainThread>();
    ManualRunner userInitiated, utility;
    std::shared_ptr<RecordingExecutors> executors = std::make_shared<RecordingExecutors>();
    std::vector<std::string> skillRoots;
    bool publishStates = false;
    std::chrono::milliseconds healthInterval{0};
    RecordingView view;
    // serve's view instead, when set.
    std::unique_ptr<HeadlessView> headless;
    std::shared_ptr<BridgeAppDelegate> delegate;
};

TEST_F(Delegate, StatusLineThroughLoginExecutorErrorsAndLogout) {
    launch();
    EXPECT_TRUE(view.shown && view.activated);
    // The stored-session check is under way; a second refresh is dropped.
    EXPECT_FALSE(view.refreshEnabled);
    delegate->handleRefresh();
    EXPECT_EQ(utility.tasks.size(), 1u);
    utility.runAll();
    EXPECT_TRUE(view.refreshEnabled);
    EXPECT_FALSE(delegate->isLoggedIn());
    expectStatus(kLoggedOut, StatusColor::secondary);
    EXPECT_EQ(view.controls, (SessionControlsModel{true, false, "Đăng nhập", SessionControlsModel::Action::login}));
    EXPECT_EQ(executors->log, Log{"stopAll"});
    EXPECT_EQ(view.account,
              (AccountModel{"Chưa đăng nhập", "Authority: " + authority.origin() + " (PALISOR_BRIDGE_AUTHORITY)"}));

    // What an agent's MCP configuration needs, whether logged in or not.
    delegate->handleCopyMcpConfiguration();
    EXPECT_EQ(JsonValue::parse(view.clipboard),
              JsonValue::parse(R"({"mcpServers": {"palisor-bridge": {"type": "http", "url": "http://127.0.0.1:)" +
                               std::to_string(port) + R"(/mcp"}}})"));
    EXPECT_EQ(view.statusColor, StatusColor::green);

    // Nothing is sent for an e-mail of blanks.
    view.email = "   ";
    view.password = "right-password";
    delegate->handleLogin();
    expectStatus("Cần nhập email và mật khẩu.", StatusColor::red);
    EXPECT_TRUE(userInitiated.tasks.empty());

    view.email = "dev@palisor.test";
    view.password = "wrong-password";
    delegate->handleLogin();
    EXPECT_EQ(view.status, "Đang đăng nhập authority...");
    EXPECT_FALSE(view.actionEnabled);
    userInitiated.runAll();
    expectStatus("Đăng nhập lỗi: ", StatusColor::red, true);
    EXPECT_TRUE(view.actionEnabled);
    EXPECT_FALSE(delegate->isLoggedIn());

    // Nowhere to keep the session: the code, then the way round it.
    vault->writeStatus = vault_status::kServiceUnavailable;
    logIn();
    EXPECT_TRUE(startsWith(view.status, "Đăng nhập lỗi: KEYCHAIN_")) << view.status;
    EXPECT_NE(view.status.find("\nKhông lưu được phiên vào keyring. Trên máy không có keyring, chạy "
                               "palisor-bridge login --credential-file "),
              std::string::npos)
        << view.status;
    vault->writeStatus.reset();

    logIn();
    EXPECT_TRUE(delegate->isLoggedIn());
    EXPECT_EQ(view.controls, (SessionControlsModel{false, true, "Logout", SessionControlsModel::Action::logout}));
    expectStatus(
        "Đã đăng nhập. " + endpoint() + ". 0 workspace đã đăng ký. Validation hoạt động độc lập theo từng workspace.",
        StatusColor::green);
    ASSERT_EQ(executors->reconciled.size(), 1u);
    EXPECT_FALSE(executors->reconciled[0].second);

    // An executor reports an error, then its authentication failure forces a
    // refresh that restarts every executor.
    WorkspaceRegistration alpha = add({workspace("alpha", "ALPHA")}).at(0);
    executors->lastStatus(alpha, "Executor dừng bất thường.", true);
    expectStatus("Đã đăng nhập. " + endpoint() + ". 1 workspace đã đăng ký. 1 validation executor đang lỗi.",
                 StatusColor::orange);
    EXPECT_EQ(view.list.rows.at(0).validationText, "Executor dừng bất thường.");
    EXPECT_EQ(view.list.rows.at(0).validationColor, StatusColor::orange);
    executors->lastAuthFailure(alpha);
    utility.runAll();
    EXPECT_TRUE(delegate->validationStatuses().empty());
    EXPECT_TRUE(executors->reconciled.back().second);
    EXPECT_EQ(view.statusColor, StatusColor::green);

    // A logout that cannot clear the stored session keeps the logged-in
    // controls, with the executors stopped and not started again.
    executors->log.clear();
    vault->removeStatus = vault_status::kServiceFailed;
    delegate->handleLogout();
    userInitiated.runAll();
    expectStatus("Đăng xuất lỗi: ", StatusColor::red, true);
    EXPECT_TRUE(delegate->isLoggedIn());
    EXPECT_EQ(view.controls.action, SessionControlsModel::Action::logout);
    EXPECT_TRUE(view.actionEnabled && view.refreshEnabled);
    EXPECT_EQ(executors->log, Log{"stopAll"});
    EXPECT_TRUE(utility.tasks.empty());
    vault->removeStatus.reset();

    executors->log.clear();
    delegate->handleLogout();
    EXPECT_EQ(executors->log, Log{"stopAll"});
    EXPECT_EQ(view.status, "Đang đăng xuất...");
    EXPECT_FALSE(view.actionEnabled || view.refreshEnabled);
    userInitiated.runAll();
    EXPECT_FALSE(delegate->isLoggedIn());
    EXPECT_EQ(view.list.rows.at(0).validationText, "Đăng nhập để chạy validation executor.");

    // Termination stops the executors.
    executors->log.clear();
    delegate->applicationWillTerminate();
    EXPECT_EQ(executors->log, Log{"stopAll"});
}

TEST_F(Delegate, ServerDownNoticesAndWorkspaceErrorsAtStart) {
    // A workspace whose AGENTS.md has gone, and one whose skill folder fails.
    registerWorkspace("gone", "ALPHA");
    registerWorkspace("broken-skills", "BETA", false);
    std::filesystem::remove(home.file("gone/AGENTS.md"));
    launch();
    expectStatus("Bridge đang chạy nhưng có workspace lỗi: ALPHA: ", StatusColor::orange, true);
    EXPECT_NE(view.status.find("; BETA: DIRECTORY_CREATE_FAILED: cannot create folder "), std::string::npos)
        << view.status;
    delegate->applicationWillTerminate();
    delegate.reset();

    // The port is taken: the bridge runs without an endpoint and says so.
    view = RecordingView();
    auto blocker = LocalMcpServer::create(port, nullptr);
    blocker->start();
    authority.failNext("GET", "/api/auth/me", 500, JsonValue{{"ok", false}, {"code", "DOWN"}});
    storeSession();
    launch();
    utility.runAll();
    // The authority could not confirm the session: logged in, with a notice.
    EXPECT_TRUE(delegate->isLoggedIn());
    ASSERT_TRUE(delegate->sessionNotice());
    expectStatus(*delegate->sessionNotice() + " Bridge chưa chạy. 2 workspace đã đăng ký.", StatusColor::orange, true);
    blocker->stop();
}

TEST_F(Delegate, AddingFoldersReportsOnlyTheFailingOnes) {
    start(false);
    EXPECT_EQ(view.list.countText, "Chưa có workspace");
    EXPECT_EQ(view.list.emptyHint, "Thêm ít nhất một workspace có AGENTS.md để AI node chọn đúng project.");

    std::string alpha = workspace("alpha", "ALPHA");
    std::filesystem::create_directories(home.file("no-pointer"));
    view.chosenFolders = {home.file("no-pointer"), alpha};
    delegate->handleAddWorkspace();
    EXPECT_EQ(view.chooserTitle, "Thêm workspace chứa AGENTS.md");
    EXPECT_FALSE(view.chooserStart);
    expectStatus("Có workspace không hợp lệ: no-pointer: ", StatusColor::red, true);
    EXPECT_EQ(view.status.find("alpha"), std::string::npos) << view.status;
    EXPECT_EQ(skillRoots, std::vector<std::string>{alpha});

    // A skill folder that fails keeps its workspace registered; the error
    // names the folder and the reason.
    view.chosenFolders = {workspace("broken-skills", "BETA")};
    delegate->handleAddWorkspace();
    EXPECT_EQ(view.chooserStart, alpha);
    EXPECT_EQ(view.status, "Có workspace không hợp lệ: broken-skills: DIRECTORY_CREATE_FAILED: cannot create folder " +
                               skillRoots.back() + ": No space left on device");
    ASSERT_EQ(view.list.rows.size(), 2u);
    EXPECT_EQ(view.list.countText, "2 workspace");

    view.chosenFolders = {workspace("gamma", "ALPHA")};
    delegate->handleAddWorkspace();
    expectStatus("Đã thêm workspace: ALPHA", StatusColor::green);

    // Cancelling changes nothing.
    view.chosenFolders = {};
    delegate->handleAddWorkspace();
    EXPECT_EQ(view.status, "Đã thêm workspace: ALPHA");
    EXPECT_TRUE(executors->reconciled.empty());
}

TEST_F(Delegate, RowsWorkspaceActionsAndLateReportsOfGoneOnes) {
    launch();
    utility.runAll();
    delegate->addWorkspaceFolders({workspace("alpha", "ALPHA"), workspace("beta", "BETA")});
    ASSERT_EQ(view.list.rows.size(), 2u);
    const WorkspaceRowModel& first = view.list.rows[0];
    EXPECT_TRUE(first.isDefault);
    EXPECT_EQ(first.defaultButtonTitle, "Mặc định");
    EXPECT_FALSE(first.defaultButtonEnabled);
    EXPECT_EQ(view.list.rows[1].defaultButtonTitle, "Đặt mặc định");
    EXPECT_TRUE(view.list.rows[1].defaultButtonEnabled);
    EXPECT_EQ(first.validationText, "Đăng nhập để chạy validation executor.");

    logIn();
    EXPECT_EQ(view.list.rows[0].validationText, "Đang chờ khởi động validation executor...");
    EXPECT_EQ(view.list.rows[0].validationColor, StatusColor::secondary);
    auto workspaces = delegate->workspaceRegistry()->snapshot().workspaces;
    std::string alphaId = workspaces[0].workspaceId, betaId = workspaces[1].workspaceId;
    auto report = executors->lastStatus;
    report(workspaces[1], "Executor sẵn sàng.", false);
    EXPECT_EQ(view.list.rows[1].validationText, "Executor sẵn sàng.");
    EXPECT_EQ(view.list.rows[1].validationColor, StatusColor::green);

    delegate->handleSetDefaultWorkspace(betaId);
    EXPECT_TRUE(view.list.rows[1].isDefault);
    EXPECT_FALSE(view.list.rows[0].isDefault);

    executors->log.clear();
    delegate->handleToggleWorkspaceValidation(betaId, false);
    EXPECT_EQ(executors->log.at(0), "stop " + betaId);
    EXPECT_FALSE(delegate->validationStatuses().count(betaId));
    EXPECT_EQ(view.list.rows[1].validationText, kValidationOff);
    utility.runAll();
    EXPECT_EQ(executors->log.back(), "reconcile");

    // Removing asks first; a no keeps everything.
    view.confirmAnswer = false;
    delegate->handleRemoveWorkspace(alphaId);
    ASSERT_TRUE(view.question);
    EXPECT_EQ(view.question->title, "Xóa workspace ALPHA?");
    EXPECT_NE(view.question->message.find(workspaces[0].workspaceRoot), std::string::npos);
    EXPECT_EQ(view.question->confirmTitle + "/" + view.question->cancelTitle, "Xóa/Hủy");
    EXPECT_EQ(delegate->workspaceRegistry()->snapshot().workspaces.size(), 2u);
    view.confirmAnswer = true;
    delegate->handleRemoveWorkspace(alphaId);
    EXPECT_EQ(view.list.rows.size(), 1u);
    EXPECT_NE(view.status.find("1 workspace đã đăng ký"), std::string::npos) << view.status;
    utility.runAll();

    // The executors' last words, after the switch-off and the removal, are
    // dropped.
    report(workspaces[1], "Validation executor đã dừng với mã 1.", true);
    report(workspaces[0], "Validation executor đã dừng với mã 1.", true);
    EXPECT_TRUE(delegate->validationStatuses().empty());
    EXPECT_EQ(view.statusColor, StatusColor::green) << view.status;
    EXPECT_EQ(view.list.rows.at(0).validationText, kValidationOff);

    delegate->handleRemoveWorkspace("no-such-workspace");
    expectStatus("Không cập nhật được workspace: WORKSPACE_NOT_REGISTERED:no-such-workspace", StatusColor::red);
}

TEST_F(Delegate, StatusLineFollowsTheAuthorityHealth) {
    using namespace std::chrono_literals;
    healthInterval = 30s;
    start(true, {workspace("alpha", "ALPHA")});
    const std::string healthy = view.status;
    ASSERT_EQ(view.statusColor, StatusColor::green) << healthy;
    const std::string down = "Đã đăng nhập. Không kết nối được authority " + authority.origin() + ": ";
    auto recovers = [&](auto check) {
        authority.start();
        check();
        utility.runAll();
        expectStatus(healthy, StatusColor::green);
    };

    // Down at the next round, and back at the one after, with the session
    // checked again.
    authority.stop();
    mainThread->runDelayed(30s);
    utility.runAll();
    expectStatus(down, StatusColor::orange, true);
    EXPECT_NE(view.status.find(endpoint()), std::string::npos) << view.status;
    std::size_t sessionChecks = authority.requestCount("GET", "/api/auth/me");
    recovers([&] { mainThread->runDelayed(30s); });
    EXPECT_EQ(authority.requestCount("GET", "/api/auth/me"), sessionChecks + 1);

    // A tool call that fails on the connection has it checked at once.
    authority.stop();
    std::string answer = test::post(port, "/mcp",
                                    R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":)"
                                    R"({"name":"authority_bootstrap","arguments":{"projectKey":"ALPHA"}}})");
    EXPECT_EQ(answer.find("\"result\""), std::string::npos) << answer;
    utility.runAll();
    expectStatus(down, StatusColor::orange, true);
    recovers([&] { delegate->checkAuthorityHealth(); });

    // An authority that keeps the check waiting is down once its time is up.
    delegate->checkAuthorityHealth();
    delegate->checkAuthorityHealth();  // one at a time
    mainThread->runDelayed(10s);
    expectStatus("Đã đăng nhập. Authority " + authority.origin() + " không trả lời trong 10 giây.", StatusColor::orange,
                 true);
    EXPECT_EQ(utility.tasks.size(), 1u);
    utility.runAll();
    utility.runAll();
    EXPECT_EQ(view.status, healthy);
}

// Also: executors switched off by the variable are never started.
TEST_F(Delegate, ServeSaysAtOnceThatAToolCallFoundTheSessionGone) {
    std::FILE* out = std::fopen(home.file("serve.err").c_str(), "w+");
    ASSERT_NE(out, nullptr);
    headless = std::make_unique<HeadlessView>(out);
    storeSession();
    registerWorkspace("alpha", "ALPHA");
    configuration.validationExecutorDisabled = true;
    start(false);
    ASSERT_TRUE(startsWith(headless->lastStatus(), "Đã đăng nhập. ")) << headless->lastStatus();
    EXPECT_TRUE(executors->reconciled.empty());

    authority.expireAccessTokens();
    authority.expireRefreshTokens();
    std::string answer = test::post(
        port, "/mcp", R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"authority_bootstrap"}})");
    EXPECT_NE(answer.find("BRIDGE_LOGIN_REQUIRED"), std::string::npos) << answer;
    utility.runAll();
    EXPECT_FALSE(delegate->isLoggedIn());
    delegate->applicationWillTerminate();
    delegate->setView(nullptr);
    std::fclose(out);
    std::string printed = test::readFile(home.file("serve.err"));
    EXPECT_NE(printed.find("\nPhiên đăng nhập không còn hợp lệ. Vui lòng đăng nhập lại.\nBridge đã dừng.\n"),
              std::string::npos)
        << printed;
}

TEST_F(Delegate, TakesUpWhatOtherProcessesChanged) {
    start(true);
    // Nothing changed: no refresh.
    std::size_t meCalls = authority.requestCount("GET", "/api/auth/me");
    delegate->checkStoredSession();
    utility.runAll();
    EXPECT_EQ(authority.requestCount("GET", "/api/auth/me"), meCalls);

    // Another program logs in at another authority: logged out here, and
    // told where that session belongs.
    executors->log.clear();
    auto other = storeOn(vault);
    other->setWebSession("https://elsewhere.example", other->readSession()["web"]);
    delegate->checkStoredSession();
    utility.runAll();
    EXPECT_FALSE(delegate->isLoggedIn());
    EXPECT_EQ(executors->log, Log{"stopAll"});
    expectStatus("Phiên đã lưu đăng nhập với https://elsewhere.example, còn bridge dùng ", StatusColor::orange, true);
}

TEST_F(Delegate, RefusedExecutorCredentialsAskForANewAgentTokenAFewTimesOnly) {
    WorkspaceRegistration alpha = start(true, {workspace("alpha", "ALPHA")}).at(0);
    auto client = delegate->authorityClient();
    auto agentToken = [&] { return delegate->tokenStore()->projectAgentToken(client->authorityOrigin(), "ALPHA"); };
    auto refused = [&] {
        executors->lastAuthFailure(alpha);
        utility.runAll();
    };

    std::size_t reconciles = executors->reconciled.size();
    for (int attempt = 0; attempt < 3; ++attempt) {
        client->validationExecutorCredentials("ALPHA");
        ASSERT_TRUE(agentToken());
        refused();
        // The refused token is gone, so the restart asks the authority anew.
        EXPECT_FALSE(agentToken()) << attempt;
        EXPECT_EQ(executors->reconciled.size(), ++reconciles) << attempt;
        EXPECT_TRUE(executors->reconciled.back().second);
    }
    // A fourth refusal within the window leaves the error standing.
    executors->lastStatus(alpha, "Validation executor lỗi: AUTHORITY_HTTP_401", true);
    client->validationExecutorCredentials("ALPHA");
    refused();
    EXPECT_TRUE(agentToken());
    EXPECT_EQ(executors->reconciled.size(), reconciles);
    EXPECT_EQ(view.list.rows.at(0).validationText, "Validation executor lỗi: AUTHORITY_HTTP_401");

    // The user's own refresh starts the count again.
    delegate->handleRefresh();
    utility.runAll();
    refused();
    EXPECT_FALSE(agentToken());
    EXPECT_EQ(executors->reconciled.size(), reconciles + 2);
}

TEST_F(Delegate, PublishesTheExecutorStatesWhileTheEndpointRuns) {
    std::string path = executorStatePath(configuration.folders, port);
    ASSERT_EQ(path, home.path() + "/palisor-bridge/executors-" + std::to_string(port) + ".json");
    publishStates = true;
    start(false);
    namespace fs = std::filesystem;
    ASSERT_TRUE(fs::exists(path));
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status(parentPath(path)).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_TRUE(readExecutorStates(path, port)->empty());

    // Changes within the interval since the last write are written together
    // once it is over: a flood of statuses costs one write, and the file
    // still ends on the last state.
    std::size_t timers = mainThread->delayed.size();
    logIn();
    auto workspaces = add({workspace("alpha", "ALPHA"), workspace("beta", "BETA")});
    for (int i = 0; i < 1000; ++i)
        executors->lastStatus(workspaces.at(0), "Validation executor lỗi: E" + std::to_string(i), true);
    executors->lastStatus(workspaces.at(0), "Validation executor đã sẵn sàng cho 2 repo.", false);
    delegate->handleToggleWorkspaceValidation(workspaces.at(1).workspaceId, false);
    utility.runAll();
    EXPECT_TRUE(readExecutorStates(path, port)->empty());
    ASSERT_EQ(mainThread->delayed.size(), timers + 1);
    mainThread->delayed.back()();
    auto states = readExecutorStates(path, port);
    ASSERT_TRUE(states);
    ASSERT_EQ(states->size(), 2u);
    EXPECT_EQ(states->at(0).projectKey, "ALPHA");
    EXPECT_EQ(states->at(0).text + "|" + states->at(0).state, "Validation executor đã sẵn sàng cho 2 repo.|ok");
    EXPECT_EQ(states->at(1).text + "|" + states->at(1).state, kValidationOff + "|idle");
    // Another port's reader, or a file left by a process that is gone, says nothing.
    EXPECT_FALSE(readExecutorStates(path, static_cast<std::uint16_t>(port + 1)));
    auto stale = JsonValue::parse(test::readFile(path));
    stale["pid"] = 999999999;
    test::writeFile(home.file("stale.json"), stale.dump());
    EXPECT_FALSE(readExecutorStates(home.file("stale.json"), port));

    delegate->applicationWillTerminate();
    EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace palisor
