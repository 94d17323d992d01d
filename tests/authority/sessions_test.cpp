// The session layer against the development authority over real HTTP.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <thread>

#include "bridge/authority/authority_client.h"
#include "bridge/common/jwt.h"
#include "bridge/common/time.h"
#include "bridge/credentials/native_token_store.h"
#include "tests/credentials/fake_vault.h"
#include "tests/support/errors.h"
#include "tools/dev-authority/dev_authority.h"

namespace palisor {
namespace {

using ::testing::HasSubstr;

using namespace std::chrono_literals;

constexpr const char* kEmail = "dev@palisor.local";
constexpr const char* kPassword = "mật-khẩu";
constexpr const char* kProject = "demo-project";
constexpr const char* kRefresh = "/api/auth/session/refresh";

// A store over a vault shared as processes share the keyring.
std::shared_ptr<NativeTokenStore> vaultStore(const std::shared_ptr<test::FakeVault>& vault,
                                             std::chrono::milliseconds timeout = 3s) {
    NativeTokenStore::Options options;
    options.keychainEnabled = true;
    options.vault = vault;
    options.legacyServices = std::vector<std::string>{};
    options.keychainTimeout = timeout;
    return std::make_shared<NativeTokenStore>(options);
}

std::string refreshTokenIn(const JsonValue& record) {
    return optString(record.value("web", JsonValue::object()), "refreshToken").value_or("");
}

JsonValue failure(const char* code, std::optional<int> retryAfterMs = std::nullopt) {
    JsonValue body = {{"code", code}, {"message", code}};
    if (retryAfterMs) body["retryAfterMs"] = *retryAfterMs;
    return body;
}

class Sessions : public ::testing::Test {
protected:
    void startAuthority(dev::DevAuthorityOptions options = {}) {
        authority = std::make_unique<dev::DevAuthority>(options);
        authority->addProject(kProject, "Demo");
        authority->addProject("dự án 2", "Second");
        authority->addUser(kEmail, kPassword, {kProject, "dự án 2"});
        authority->start();
        NativeTokenStore::Options storeOptions;
        storeOptions.keychainEnabled = false;
        store = std::make_shared<NativeTokenStore>(storeOptions);
        client = clientOf(store, [this](std::chrono::milliseconds delay) {
            std::lock_guard guard(mutex);
            delays.push_back(delay.count());
        });
    }
    void SetUp() override { startAuthority(); }

    std::unique_ptr<AuthorityClient> clientOf(std::shared_ptr<NativeTokenStore> tokens,
                                              std::function<void(std::chrono::milliseconds)> sleeper = nullptr) {
        return std::make_unique<AuthorityClient>(
            AuthorityClient::Options{authority->origin(), std::move(tokens), {}, nullptr, std::move(sleeper)});
    }
    std::size_t count(const std::string& method, const std::string& path) {
        return authority->requestCount(method, path);
    }
    // What a session request of `on` fails with, "no error" for none.
    std::string meFails(AuthorityClient& on) {
        return test::errorOf<AuthorityClientError>([&] { on.requestWithWebSession("/api/auth/me"); });
    }
    // How many of `calls` session requests made at once succeed.
    int meInParallel(int calls) {
        std::atomic<int> succeeded{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < calls; ++i)
            threads.emplace_back([&] {
                client->requestWithWebSession("/api/auth/me");
                ++succeeded;
            });
        for (auto& thread : threads) thread.join();
        return succeeded.load();
    }
    // Sets the stored access token to expire `left` from now after living
    // `lifetime`; without a lifetime, as an older record that kept no receipt time.
    void expiresIn(std::chrono::seconds left, std::optional<std::chrono::seconds> lifetime = std::nullopt,
                   NativeTokenStore* target = nullptr) {
        NativeTokenStore& changed = target ? *target : *store;
        JsonValue record = changed.readSession();
        auto now = std::chrono::system_clock::now();
        record["web"]["expiresAt"] = isoTime(now + left);
        record["web"].erase("receivedAt");
        if (lifetime) record["web"]["receivedAt"] = isoTime(now + left - *lifetime);
        changed.writeSession(record);
    }
    // What a renewal by `refreshing` ends in when `logout` runs after the
    // authority has rotated the token but before its answer arrives.
    std::string logoutDuringRefresh(AuthorityClient& refreshing, const std::function<void()>& logout) {
        std::size_t before = count("POST", kRefresh);
        authority->holdAnswerNext("POST", kRefresh, 600ms);
        std::string late;
        std::thread call([&] { late = meFails(refreshing); });
        while (count("POST", kRefresh) == before) std::this_thread::sleep_for(5ms);
        std::this_thread::sleep_for(100ms);  // served: the token has rotated
        logout();
        call.join();
        return late;
    }
    std::string storedAccessToken() {
        return optString(store->readSession().value("web", JsonValue::object()), "accessToken").value_or("");
    }

    std::unique_ptr<dev::DevAuthority> authority;
    std::shared_ptr<NativeTokenStore> store;
    std::unique_ptr<AuthorityClient> client;
    std::mutex mutex;
    std::vector<long long> delays;
};

TEST_F(Sessions, LoginStoresTheSessionAndAnswersForTheWindow) {
    // An answer without both tokens stores nothing.
    authority->failNext("POST", "/api/auth/login", 200, {{"accessToken", "a"}, {"refreshToken", ""}});
    EXPECT_EQ(test::errorOf<AuthorityClientError>([&] { client->login(kEmail, kPassword); }),
              "AUTH_LOGIN_ACCESS_TOKEN_MISSING");
    EXPECT_EQ(store->readSession(), JsonValue::object());

    JsonValue answer = client->login(kEmail, kPassword);
    EXPECT_EQ(answer["ok"], true);
    EXPECT_TRUE(answer["user"].is_object() && answer["memberships"].is_array() && answer["expiresAt"].is_string());
    EXPECT_FALSE(storedAccessToken().empty());
    EXPECT_EQ(client->validateWebSession().loggedIn, true);
    auto refused = test::thrown<AuthorityClientError>([&] { client->login(kEmail, "wrong"); });
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->statusCode(), 401);
}

TEST_F(Sessions, TokensAreRenewedAheadOfExpiryByTheirLifetime) {
    client->login(kEmail, kPassword);
    // Long-lived tokens, and records that do not say how long theirs lives,
    // are renewed 15 minutes ahead; a short-lived one when less than a third
    // of its life is left.
    struct Case {
        std::chrono::seconds left;
        std::optional<std::chrono::seconds> lifetime;
        std::size_t refreshes;
    };
    for (const Case& c : std::vector<Case>{
             {10min, 1h, 1}, {20min, 1h, 0}, {10min, std::nullopt, 1}, {150s, 10min, 1}, {250s, 10min, 0}}) {
        SCOPED_TRACE(c.left.count());
        expiresIn(c.left, c.lifetime);
        std::size_t before = count("POST", kRefresh);
        client->requestWithWebSession("/api/auth/me");
        EXPECT_EQ(count("POST", kRefresh) - before, c.refreshes);
    }

    // Tokens that live 10 minutes are not renewed on every call: parallel
    // calls neither refresh nor trip over one another's rotation.
    startAuthority({.accessTokenLifetime = 10min});
    client->login(kEmail, kPassword);
    EXPECT_EQ(meInParallel(10), 10);
    EXPECT_LE(count("POST", kRefresh), 1u);
}

TEST_F(Sessions, ALogoutDuringARefreshStaysDone) {
    // In one process: the authority does not hear of the logout (it is down
    // for that moment), so only the bridge can keep it done.
    client->login(kEmail, kPassword);
    expiresIn(1min);
    authority->failNext("POST", "/api/auth/logout", 503, failure("DOWN"), 2);
    EXPECT_EQ(logoutDuringRefresh(*client, [&] { client->logout(); }), "BRIDGE_LOGIN_REQUIRED");
    EXPECT_EQ(store->readSession(), JsonValue::object());

    // Across two processes sharing one vault: a logout in the second one.
    auto vault = std::make_shared<test::FakeVault>();
    auto first = vaultStore(vault);
    auto refreshing = clientOf(first), loggingOut = clientOf(vaultStore(vault));
    refreshing->login(kEmail, kPassword);
    expiresIn(1min, std::nullopt, first.get());
    EXPECT_EQ(logoutDuringRefresh(*refreshing, [&] { loggingOut->logout(); }), "BRIDGE_LOGIN_REQUIRED");
    EXPECT_EQ(vaultStore(vault)->readSession(), JsonValue::object());
    EXPECT_FALSE(loggingOut->validateWebSession().loggedIn);
}

TEST_F(Sessions, RotationConflictsAreRetriedWithTheirDelaysAndOtherFailuresRaisedAtOnce) {
    client->login(kEmail, kPassword);
    // Each refresh fails `times` in a row with `body`; the client waits the
    // delays the authority asks for, or 100, 200 and 400 ms, at most three times.
    struct Case {
        int status;
        JsonValue body;
        int times;
        std::vector<long long> delays;
        int failure;  // the status raised, 0 for none
    };
    const std::vector<Case> cases = {
        {409, failure("AUTH_REFRESH_ALREADY_ROTATED", 5), 1, {50}, 0},
        {409, failure("AUTH_REFRESH_CONCURRENT_ROTATION", 5000), 1, {1000}, 0},
        {409, failure("AUTH_REFRESH_ALREADY_ROTATED"), 3, {100, 200, 400}, 0},
        {409, failure("AUTH_REFRESH_ALREADY_ROTATED"), 4, {100, 200, 400}, 409},
        {409, failure("SOMETHING_ELSE", 5), 1, {}, 409},
        {400, failure("BAD"), 1, {}, 400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body.dump());
        delays.clear();
        expiresIn(1min);
        std::size_t before = count("POST", kRefresh);
        authority->failNext("POST", kRefresh, c.status, c.body, c.times);
        auto raised = test::thrown<AuthorityClientError>([&] { client->requestWithWebSession("/api/auth/me"); });
        EXPECT_EQ(raised ? raised->statusCode() : 0, c.failure);
        EXPECT_EQ(delays, c.delays);
        EXPECT_EQ(count("POST", kRefresh) - before, c.delays.size() + 1);
    }
}

TEST_F(Sessions, TwoThreadsWithOneStaleTokenRefreshOnce) {
    client->login(kEmail, kPassword);
    authority->expireAccessTokens();
    authority->delayNext("POST", kRefresh, 300ms);
    EXPECT_EQ(meInParallel(2), 2);
    EXPECT_EQ(count("POST", kRefresh), 1u);
}

TEST_F(Sessions, AFailureThatSurvivesARefreshEndsTheSession) {
    client->login(kEmail, kPassword);
    authority->failNext("GET", "/api/auth/me", 401, failure("AUTH_REQUIRED"), 2);
    EXPECT_EQ(meFails(*client), "BRIDGE_LOGIN_REQUIRED");
    EXPECT_EQ(count("POST", kRefresh), 1u);
    EXPECT_EQ(store->readSession(), JsonValue::object());

    // A 403 that names no login code is the caller's problem: no refresh.
    client->login(kEmail, kPassword);
    authority->failNext("GET", "/api/auth/me", 403, failure("FORBIDDEN"));
    auto forbidden = test::thrown<AuthorityClientError>([&] { client->requestWithWebSession("/api/auth/me"); });
    ASSERT_TRUE(forbidden);
    EXPECT_EQ(forbidden->statusCode(), 403);
    EXPECT_EQ(count("POST", kRefresh), 1u);

    // A connection dropped mid-answer is a transport error, and no end.
    authority->dropNext("GET", "/api/auth/me");
    EXPECT_THROW(client->requestWithWebSession("/api/auth/me"), TransportError);
    EXPECT_NO_THROW(client->requestWithWebSession("/api/auth/me"));
}

TEST_F(Sessions, ProjectAgentTokensAreIssuedOnceAndReissuedOnceOnRejection) {
    client->login(kEmail, kPassword);
    const std::string tokens = "/api/projects/demo-project/agent-tokens";
    client->requestWithProjectAgent(kProject, "/api/health");
    client->requestWithProjectAgent(kProject, "/api/health");
    EXPECT_EQ(count("POST", tokens), 1u);

    authority->failNext("GET", "/api/health", 401, failure("AUTH_REQUIRED"));
    client->requestWithProjectAgent(kProject, "/api/health");
    EXPECT_EQ(count("POST", tokens), 2u);
    EXPECT_EQ(count("GET", "/api/health"), 4u);

    authority->failNext("GET", "/api/health", 403, failure("SKILL_FIRST_SHADOW_TOKEN_DISABLED"));
    EXPECT_THROW(client->requestWithProjectAgent(kProject, "/api/health"), AuthorityClientError);
    EXPECT_EQ(count("POST", tokens), 2u);

    ProjectAgentCredentials credentials = client->validationExecutorCredentials(kProject);
    auto payload = jwtPayload(credentials.token);
    ASSERT_TRUE(payload);
    EXPECT_EQ((*payload)["nodeId"], credentials.nodeId);
    EXPECT_FALSE(credentials.nodeId.empty());
    EXPECT_EQ(credentials.webToken, storedAccessToken());

    // Project keys are encoded in paths and queries; the first catalogue read
    // announced compact reads, so the second asks for the compact view.
    client->requestWithProjectAgent("dự án 2", "/api/health");
    EXPECT_EQ(count("POST", "/api/projects/d%E1%BB%B1%20%C3%A1n%202/agent-tokens"), 1u);
    EXPECT_TRUE(client->requestCatalogWithWebSession(kProject).contains("operationCatalog"));
    client->requestCatalogWithWebSession("dự án 2");
    EXPECT_EQ(authority->requests("GET", "/api/authority").back().query,
              "projectKey=d%E1%BB%B1%20%C3%A1n%202&view=catalog");
}

TEST_F(Sessions, SessionCheckWarnsOrLogsOut) {
    EXPECT_EQ(client->validateWebSession().loggedIn, false);
    EXPECT_FALSE(client->validateWebSession().warning);

    client->login(kEmail, kPassword);
    authority->failNext("GET", "/api/auth/me", 401, failure("AUTH_REQUIRED"));
    EXPECT_FALSE(client->validateWebSession().loggedIn);  // its words: the status command's tests
    EXPECT_EQ(store->readSession(), JsonValue::object());

    client->login(kEmail, kPassword);
    authority->stop();
    WebSessionValidation unreachable = client->validateWebSession();
    EXPECT_TRUE(unreachable.loggedIn);
    const std::string prefix = "Không kiểm tra được phiên với authority: ";
    EXPECT_THAT(unreachable.warning.value_or(""), ::testing::StartsWith(prefix));
    EXPECT_GT(unreachable.warning.value_or("").size(), prefix.size());

    // Logging out with the authority down still forgets the session.
    EXPECT_NO_THROW(client->logout());
    EXPECT_EQ(store->readSession(), JsonValue::object());
}

TEST_F(Sessions, ASessionMadeWithAnotherAuthorityIsNeitherSentThereNorCleared) {
    dev::DevAuthority elsewhere;
    elsewhere.addProject(kProject, "Demo");
    elsewhere.addUser(kEmail, kPassword, {kProject});
    elsewhere.start();
    AuthorityClient moved{{elsewhere.origin() + "/", store, {}, nullptr, nullptr}};
    // An agent token issued there before the login here is not used there either.
    moved.login(kEmail, kPassword);
    moved.requestWithProjectAgent(kProject, "/api/health");
    client->login(kEmail, kPassword);
    elsewhere.resetRecords();
    EXPECT_EQ(moved.foreignSessionOrigin(), authority->origin());

    JsonValue fresh = store->readSession(), stale = fresh;  // only a refresh could make `stale` usable
    stale["web"]["expiresAt"] = "2020-01-01T00:00:00Z";
    for (const JsonValue& record : {fresh, stale}) {
        store->writeSession(record);
        WebSessionValidation check = moved.validateWebSession();
        EXPECT_FALSE(check.loggedIn);
        EXPECT_EQ(check.warning, "Phiên đã lưu đăng nhập với " + authority->origin() + ", còn bridge dùng " +
                                     elsewhere.origin() + ". Vui lòng đăng nhập lại với " + elsewhere.origin() +
                                     ", hoặc đặt PALISOR_BRIDGE_AUTHORITY=" + authority->origin() +
                                     " để dùng lại phiên đó.");
        EXPECT_EQ(meFails(moved), "BRIDGE_LOGIN_REQUIRED");
        EXPECT_EQ(test::errorOf<AuthorityClientError>([&] { moved.requestWithProjectAgent(kProject, "/api/health"); }),
                  "BRIDGE_LOGIN_REQUIRED");
        EXPECT_EQ(test::errorOf<AuthorityClientError>([&] { moved.validationExecutorCredentials(kProject); }),
                  "BRIDGE_LOGIN_REQUIRED");
        moved.logout();
        EXPECT_EQ(store->readSession(), record);
    }
    EXPECT_EQ(elsewhere.totalRequests(), 0u);
    client->requestWithWebSession("/api/auth/me");  // still the session here, renewed as usual
    EXPECT_EQ(count("POST", kRefresh), 1u);

    // Records from before origins were kept are this authority's; origins compare normalised.
    JsonValue record = store->readSession();
    record["web"].erase("authorityOrigin");
    store->writeSession(record);
    EXPECT_TRUE(client->validateWebSession().loggedIn);
    record["web"]["authorityOrigin"] = authority->origin() + "/";
    store->writeSession(record);
    EXPECT_TRUE(client->validateWebSession().loggedIn);
}

TEST_F(Sessions, ARotatedSessionTheVaultRefusesIsKeptAndSavedLater) {
    auto vault = std::make_shared<test::FakeVault>();
    auto first = vaultStore(vault);
    auto bridge = clientOf(first);
    bridge->login(kEmail, kPassword);
    std::string loggedIn = refreshTokenIn(first->readSession());
    expiresIn(1min, std::nullopt, first.get());

    // The disk fills up as the token rotates: the new one lives in memory.
    vault->writeStatus = vault_status::kFileWriteFailed;
    for (int call = 0; call < 3; ++call) EXPECT_NO_THROW(bridge->requestWithWebSession("/api/auth/me"));
    EXPECT_EQ(count("POST", kRefresh), 1u);
    std::string rotatedTo = refreshTokenIn(first->readSession());
    EXPECT_NE(rotatedTo, loggedIn);
    EXPECT_EQ(refreshTokenIn(vault->record(NativeTokenStore::kDefaultService)), loggedIn);
    EXPECT_EQ(first->unsavedSessionFailure(), "KEYCHAIN_WRITE_FAILED:-72103");
    WebSessionValidation shown = bridge->validateWebSession();
    EXPECT_TRUE(shown.loggedIn);
    EXPECT_THAT(shown.warning.value_or(""), HasSubstr("KEYCHAIN_WRITE_FAILED:-72103"));

    // Space comes back: the next call saves it, and a new process finds it.
    vault->writeStatus.reset();
    bridge->requestWithWebSession("/api/auth/me");
    EXPECT_FALSE(first->unsavedSessionFailure());
    auto restarted = vaultStore(vault);
    EXPECT_EQ(refreshTokenIn(restarted->readSession()), rotatedTo);
    expiresIn(1min, std::nullopt, restarted.get());
    EXPECT_NO_THROW(clientOf(restarted)->requestWithWebSession("/api/auth/me"));

    // Still unsaved when the process ends: it is saved on the way out.
    std::string atExit;
    {
        auto last = vaultStore(vault);
        auto ending = clientOf(last);
        expiresIn(1min, std::nullopt, last.get());
        vault->writeStatus = vault_status::kFileWriteFailed;
        ending->requestWithWebSession("/api/auth/me");
        atExit = refreshTokenIn(last->readSession());
        vault->writeStatus.reset();
    }
    EXPECT_EQ(refreshTokenIn(vault->record(NativeTokenStore::kDefaultService)), atExit);
    EXPECT_NE(atExit, rotatedTo);
}

TEST_F(Sessions, AKeyringThatStoppedAnsweringCostsEachCallOneTimeout) {
    auto vault = std::make_shared<test::FakeVault>();
    vaultStore(vault)->setWebSession(authority->origin(), {{"accessToken", "a"}, {"refreshToken", "r"}});
    // The keyring daemon is stopped: calls reach it and never come back. The
    // abandoned call wakes after the test has ended, so it holds the gate.
    auto stopped = std::make_shared<test::Gate>();
    vault->hook = [stopped](test::FakeVault::Op, const std::string&) {
        auto gate = stopped;
        gate->arriveAndWait();
    };
    auto store = vaultStore(vault, 200ms);
    auto bridge = clientOf(store);

    auto started = std::chrono::steady_clock::now();
    std::vector<std::string> errors(6);
    std::vector<std::thread> calls;
    for (std::string& error : errors) calls.emplace_back([&] { error = meFails(*bridge); });
    for (auto& call : calls) call.join();
    // One timeout, not one (or several) per call in turn behind the refresh lock.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
    EXPECT_EQ(errors, std::vector<std::string>(6, "CREDENTIAL_STORE_UNAVAILABLE"));
    WebSessionValidation shown = bridge->validateWebSession();
    EXPECT_TRUE(shown.storeUnavailable);
    EXPECT_THAT(shown.warning.value_or(""), HasSubstr("palisor-bridge doctor"));
    stopped->open();  // a login told at once meanwhile is the store's to test
}

}  // namespace
}  // namespace palisor
