#include "bridge/credentials/native_token_store.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bridge/common/time.h"
#include "tests/credentials/fake_vault.h"
#include "tests/support/errors.h"

namespace palisor {
namespace {

using namespace std::chrono_literals;
using test::FakeVault;
using Op = FakeVault::Op;

constexpr const char* kV3 = "Palisor Bridge Native Session V3";
constexpr const char* kV2 = "Palisor Bridge Native Session V2";
constexpr const char* kV1 = "Palisor Bridge Native Session";
constexpr const char* kOrigin = "https://authority.example";

std::string inSeconds(long seconds) {
    return isoTime(std::chrono::system_clock::now() + std::chrono::seconds(seconds));
}

JsonValue sessionRecord(const std::string& accessToken) {
    return {{"web", {{"accessToken", accessToken}, {"refreshToken", "r"}, {"expiresAt", "2099-01-01T00:00:00Z"}}},
            {"projectAgents", JsonValue::object()}};
}

// A store on `vault`, or on memory alone without one.
NativeTokenStore::Options withVault(std::shared_ptr<FakeVault> vault, std::chrono::milliseconds timeout = 3s) {
    NativeTokenStore::Options options;
    options.keychainEnabled = vault != nullptr;
    options.vault = std::move(vault);
    options.keychainTimeout = timeout;
    return options;
}

// A vault holding `records` (service, bytes).
std::shared_ptr<FakeVault> vaultWith(const std::vector<std::pair<std::string, std::string>>& records) {
    auto vault = std::make_shared<FakeVault>();
    for (const auto& [service, bytes] : records) vault->put(service, bytes);
    return vault;
}

std::string codeOf(const std::function<void()>& action) {
    return test::errorOf<NativeTokenStoreError>(action);
}

TEST(NativeTokenStore, DisabledKeychainMeansMemoryOnly) {
    auto vault = std::make_shared<FakeVault>();
    NativeTokenStore::Options injected;
    injected.vault = vault;
    injected.credentials.keychainDisabled = true;
    injected.credentials.credentialFile = "/nonexistent/credentials.json";
    EXPECT_EQ(credentialVault(injected.credentials), nullptr);  // wins over the file
    NativeTokenStore store(injected);
    EXPECT_FALSE(store.keychainEnabled());
    store.writeSession(sessionRecord("a"));
    EXPECT_EQ(store.webToken(), "a");
    store.clearSession();
    store.writeSession(sessionRecord("b"));
    EXPECT_EQ(NativeTokenStore(injected).readSession(), JsonValue::object());  // a restart
    EXPECT_EQ(vault->calls(), 0);
    injected.credentials.keychainDisabled = false;
    EXPECT_TRUE(NativeTokenStore(injected).keychainEnabled());
}

TEST(NativeTokenStore, CurrentItemWithoutARecordIsUnavailableAndLegacyIsNotConsulted) {
    for (std::string bad : {"not json", "{}", "[1]", ""}) {
        auto vault = vaultWith({{kV3, bad}, {kV2, sessionRecord("legacy").dump()}});
        NativeTokenStore store(withVault(vault));
        EXPECT_EQ(store.readSession(), JsonValue::object()) << bad;
        EXPECT_EQ(vault->calls(), 1) << bad;
        // Unavailable is not "loaded": once the item is repaired it is read.
        vault->put(kV3, sessionRecord("fixed").dump());
        EXPECT_EQ(store.webToken(), "fixed") << bad;
    }
}

TEST(NativeTokenStore, MigratesTheFirstUsableLegacyRecordAndKeepsTheOldItem) {
    std::string bytes = sessionRecord("v2").dump(2);
    auto vault = vaultWith({{kV2, bytes}});
    EXPECT_EQ(NativeTokenStore(withVault(vault)).webToken(), "v2");
    EXPECT_EQ(vault->get(kV3), bytes);                  // the same bytes, not a re-serialisation
    NativeTokenStore(withVault(vault)).clearSession();  // a logout deletes only the current item
    EXPECT_FALSE(vault->get(kV3));
    EXPECT_EQ(vault->get(kV2), bytes);

    vault = vaultWith({{kV2, "{broken"}, {kV1, sessionRecord("v1").dump()}});
    EXPECT_EQ(NativeTokenStore(withVault(vault)).webToken(), "v1");
    EXPECT_EQ(vault->record(kV3), sessionRecord("v1"));

    // A legacy service that cannot be read makes the whole read unavailable.
    vault = vaultWith({{kV1, sessionRecord("v1").dump()}});
    vault->hook = [](Op op, const std::string& service) {
        if (op == Op::read && service == kV2) throw std::runtime_error("keyring fell over");
    };
    EXPECT_EQ(NativeTokenStore(withVault(vault)).readSession(), JsonValue::object());
    EXPECT_FALSE(vault->get(kV3));

    // A failed migration write does not stop the record from being used.
    vault = vaultWith({{kV1, sessionRecord("v1").dump()}});
    vault->writeStatus = -1;
    EXPECT_EQ(NativeTokenStore(withVault(vault)).webToken(), "v1");

    // Other services have no legacy services unless given some.
    auto custom = withVault(vault);
    custom.service = "Custom";
    EXPECT_EQ(NativeTokenStore(custom).readSession(), JsonValue::object());
}

TEST(NativeTokenStore, SlowKeychainNeverHoldsACallerPastTheTimeout) {
    auto vault = vaultWith({{kV3, sessionRecord("stored").dump()}});
    vault->delay = 1s;
    NativeTokenStore store(withVault(vault, 200ms));
    auto within = [](std::chrono::milliseconds limit, const std::function<void()>& action) {
        auto start = std::chrono::steady_clock::now();
        action();
        EXPECT_LT(std::chrono::steady_clock::now() - start, limit);
    };
    within(700ms, [&] { EXPECT_EQ(store.readSession(), JsonValue::object()); });
    within(700ms, [&] {
        EXPECT_EQ(codeOf([&] { store.writeSession(sessionRecord("new")); }), "KEYCHAIN_SESSION_WRITE_TIMED_OUT");
    });
    within(700ms, [&] { EXPECT_EQ(codeOf([&] { store.clearSession(); }), "KEYCHAIN_SESSION_DELETE_TIMED_OUT"); });
    // Memory was cleared before the error, and is now answered without the keychain.
    within(50ms, [&] { EXPECT_EQ(store.readSession(), JsonValue::object()); });
}

TEST(NativeTokenStore, WhileACallIsOverdueOthersFailAtOnceAndItNeverLandsAfterALaterOne) {
    auto vault = vaultWith({{kV3, sessionRecord("old").dump()}});
    auto gate = std::make_shared<test::Gate>();
    vault->hook = [gate](Op op, const std::string&) {
        if (op == Op::remove) gate->arriveAndWait();
    };
    NativeTokenStore store(withVault(vault, 300ms));
    EXPECT_EQ(codeOf([&] { store.clearSession(); }), "KEYCHAIN_SESSION_DELETE_TIMED_OUT");
    // The keyring has not come back from the logout: a login is told at once.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(codeOf([&] { store.writeSession(sessionRecord("new")); }), "KEYCHAIN_SESSION_WRITE_TIMED_OUT");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
    gate->open();
    for (int wait = 0; vault->get(kV3) && wait < 400; ++wait) std::this_thread::sleep_for(5ms);
    ASSERT_FALSE(vault->get(kV3)) << "the late delete never landed";
    // Once it has, calls reach it again, and the late delete is behind them.
    for (int attempt = 0; codeOf([&] { store.writeSession(sessionRecord("new")); }) != "no error"; ++attempt) {
        ASSERT_LT(attempt, 100);
        std::this_thread::sleep_for(5ms);
    }
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(vault->record(kV3), sessionRecord("new"));
}

TEST(NativeTokenStore, AnUpdateTheVaultRefusesIsKeptUntilSavedUnlessAnotherProcessChangedTheSession) {
    auto vault = vaultWith({{kV3, sessionRecord("a").dump()}});
    NativeTokenStore store(withVault(vault));
    vault->writeStatus = vault_status::kFileWriteFailed;
    EXPECT_TRUE(store.setRefreshedWebSession(kOrigin, {{"accessToken", "b"}, {"refreshToken", "r2"}}, "r"));
    EXPECT_TRUE(store.setProjectAgentToken(kOrigin, "P", "agent", nullptr));
    EXPECT_EQ(store.unsavedSessionFailure(), "KEYCHAIN_WRITE_FAILED:-72103");
    // Reading the vault again must not bring back the spent refresh token.
    EXPECT_TRUE(store.reloadSessionFromKeychain());
    EXPECT_TRUE(store.adoptPersistedSession());  // reports the unsaved state once
    EXPECT_FALSE(store.adoptPersistedSession());
    EXPECT_EQ(store.webToken(), "b");
    EXPECT_EQ(store.projectAgentToken(kOrigin, "P"), "agent");
    EXPECT_EQ(vault->record(kV3)["web"]["accessToken"], "a");

    vault->writeStatus.reset();
    EXPECT_TRUE(store.saveUnsavedSession());
    EXPECT_EQ(vault->record(kV3)["web"]["refreshToken"], "r2");
    EXPECT_EQ(vault->record(kV3)["projectAgents"][std::string(kOrigin) + "::P"]["token"], "agent");
    EXPECT_TRUE(store.adoptPersistedSession());  // and that it was saved
    EXPECT_FALSE(store.unsavedSessionFailure());

    // A logout, or a new login, in another process meanwhile stands.
    for (std::optional<std::string> elsewhere :
         {std::optional(sessionRecord("c").dump()), std::optional<std::string>()}) {
        vault->writeStatus = vault_status::kFileWriteFailed;
        EXPECT_TRUE(store.setRefreshedWebSession(kOrigin, {{"accessToken", "d"}, {"refreshToken", "r3"}},
                                                 *stringMember(store.readSession()["web"], "refreshToken")));
        vault->writeStatus.reset();
        if (elsewhere)
            vault->put(kV3, *elsewhere);
        else
            ASSERT_EQ(vault->remove(kV3, ""), vault_status::kSuccess);
        EXPECT_TRUE(store.saveUnsavedSession());
        EXPECT_EQ(store.webToken(), elsewhere ? std::optional<std::string>("c") : std::nullopt);
        EXPECT_EQ(vault->get(kV3), elsewhere);
    }
}

// A read held on its way back while the store is changed must not bring back
// what it found: a logout over an old record, a login over a miss, a refresh
// stored during a reload of the old record.
TEST(NativeTokenStore, ALoadOvertakenByAClearOrWriteDoesNotBringBackOlderState) {
    struct Case {
        bool stored;
        bool reload;
        std::function<void(NativeTokenStore&)> meanwhile;
        std::optional<std::string> expected;
    };
    const Case cases[] = {{true, false, [](auto& store) { store.clearSession(); }, std::nullopt},
                          {false, false, [](auto& store) { store.writeSession(sessionRecord("new")); }, "new"},
                          {true, true, [](auto& store) { store.writeSession(sessionRecord("new")); }, "new"}};
    for (const Case& c : cases) {
        auto gate = std::make_shared<test::Gate>();
        auto vault = c.stored ? vaultWith({{kV3, sessionRecord("old").dump()}}) : std::make_shared<FakeVault>();
        vault->hook = [gate](Op op, const std::string&) {
            if (op == Op::read) gate->arriveAndWait();
        };
        NativeTokenStore store(withVault(vault));
        auto read = std::async(std::launch::async, [&] {
            return c.reload ? JsonValue(store.reloadSessionFromKeychain()) : store.readSession();
        });
        gate->waitForArrival();
        c.meanwhile(store);
        gate->open();
        JsonValue found = c.expected ? sessionRecord(*c.expected) : JsonValue::object();
        EXPECT_EQ(read.get(), c.reload ? JsonValue(true) : found);
        EXPECT_EQ(store.webToken(), c.expected);
    }
}

TEST(NativeTokenStore, ReloadSeesOtherProcessesAndAHiccupNeitherLogsOutNorErasesTheSession) {
    auto vault = std::make_shared<FakeVault>();
    NativeTokenStore store(withVault(vault));
    EXPECT_FALSE(store.reloadSessionFromKeychain());
    EXPECT_FALSE(store.webToken());                   // missing: answered from memory from now on
    vault->put(kV3, sessionRecord("stored").dump());  // another process logs in
    EXPECT_FALSE(store.webToken());
    EXPECT_TRUE(store.reloadSessionFromKeychain());
    EXPECT_EQ(store.webToken(), "stored");

    NativeTokenStore restarted(withVault(vault));
    EXPECT_EQ(restarted.webToken(), "stored");
    vault->setReadStatus(vault_status::kServiceUnavailable);
    EXPECT_FALSE(restarted.reloadSessionFromKeychain());
    EXPECT_EQ(restarted.webToken(), "stored");
    restarted.setProjectAgentToken(kOrigin, "P", "agent", nullptr);
    JsonValue persisted = vault->record(kV3);
    EXPECT_EQ(persisted["web"]["accessToken"], "stored");
    EXPECT_EQ(persisted["projectAgents"][std::string(kOrigin) + "::P"]["token"], "agent");
}

TEST(NativeTokenStore, FailuresCarryTheirStatusAndLeaveMemoryAsDescribed) {
    auto vault = vaultWith({{kV3, sessionRecord("a").dump()}});
    vault->writeStatus = vault_status::kFileWriteFailed;
    vault->removeStatus = vault_status::kLocked;
    NativeTokenStore store(withVault(vault));
    EXPECT_EQ(codeOf([&] { store.setWebSession(kOrigin, {{"accessToken", "b"}}); }), "KEYCHAIN_WRITE_FAILED:-72103");
    EXPECT_EQ(store.webToken(), "a");
    EXPECT_EQ(codeOf([&] { store.clearSession(); }), "KEYCHAIN_DELETE_FAILED:-72002");
    EXPECT_EQ(store.readSession(), JsonValue::object());
    EXPECT_TRUE(vault->get(kV3));  // only memory is gone

    auto throwing = std::make_shared<FakeVault>();
    throwing->hook = [](Op op, const std::string&) {
        if (op == Op::write) throw std::runtime_error("vault broke");
    };
    NativeTokenStore broken(withVault(throwing));
    EXPECT_EQ(codeOf([&] { broken.writeSession(sessionRecord("a")); }), "KEYCHAIN_WRITE_FAILED:-67671");
    broken.clearSession();
    broken.clearSession();  // deleting what is not there succeeds

    NativeTokenStore scratch(withVault(nullptr));
    EXPECT_EQ(codeOf([&] { scratch.writeSession(JsonValue::array()); }), "KEYCHAIN_SESSION_ENCODE_FAILED");
    EXPECT_EQ(codeOf([&] { scratch.writeSession({{"web", std::string("\xFF")}}); }), "KEYCHAIN_SESSION_ENCODE_FAILED");
}

// Expiry times: what is not a time never expires (the forms are the ISO time
// parser's), and a JWT's is its exp claim in whole UTC seconds, clamped to
// what a clock can hold.
TEST(NativeTokenStore, ExpiryTimesOfSessionsAndJwts) {
    auto expired = [](const JsonValue& value, int skew = 0) { return isExpired(&value, skew); };
    EXPECT_FALSE(expired("2030-01-01T00:00:00.123Z"));
    EXPECT_TRUE(expired("2020-01-01T00:00:00+01:00"));
    for (const JsonValue& unreadable : {JsonValue("2020-01-01"), JsonValue(""), JsonValue(1577836800), JsonValue()})
        EXPECT_FALSE(expired(unreadable)) << unreadable.dump();
    EXPECT_FALSE(isExpired(nullptr, 0));
    EXPECT_TRUE(expired(inSeconds(59), 60));
    EXPECT_FALSE(expired(inSeconds(61), 60));

    EXPECT_EQ(jwtExpiresAt(test::makeJwt({{"exp", 1893456000.9}})), "2030-01-01T00:00:00Z");
    EXPECT_EQ(jwtExpiresAt(".." + test::makeJwt({{"exp", -1}}) + ".."), "1969-12-31T23:59:59Z");
    EXPECT_EQ(jwtExpiresAt(test::makeJwt({{"exp", 1e300}})), "9999-12-31T23:59:59Z");
    EXPECT_EQ(jwtExpiresAt(test::makeJwt({{"exp", -1e300}})), "1000-01-01T00:00:00Z");
    for (const std::string& none :
         {test::makeJwt({{"exp", "1893456000"}}), test::makeJwt({{"exp", 1}}) + ".extra", std::string("a.!!!.c")})
        EXPECT_FALSE(jwtExpiresAt(none)) << none;
}

// Each row: a web session (expiries in seconds from now), then what the
// queries answer about it.
TEST(NativeTokenStore, WebSessionQueriesFollowBothTokensExpiries) {
    auto web = [](JsonValue access, JsonValue refresh, std::optional<long> expiresIn, std::optional<long> refreshIn) {
        JsonValue web = {{"accessToken", access}, {"refreshToken", refresh}};
        if (expiresIn) web["expiresAt"] = inSeconds(*expiresIn);
        if (refreshIn) web["refreshExpiresAt"] = inSeconds(*refreshIn);
        return JsonValue{{"web", web}};
    };
    const std::pair<JsonValue, std::string> cases[] = {
        {JsonValue::object(), "token - token0 - refresh - expired 0 recoverable 0"},
        {web("a", "r", 59, 99), "token - token0 a refresh r expired 0 recoverable 1"},
        {web("a", nullptr, -10, {}), "token - token0 - refresh - expired 1 recoverable 0"},
        {web("a", "r", -10, -1), "token - token0 - refresh - expired 1 recoverable 0"},
        {web("a", "r", -10, {}), "token - token0 - refresh r expired 0 recoverable 1"},
        {web("", "", {}, {}), "token  token0  refresh - expired 0 recoverable 1"},
    };
    NativeTokenStore store(withVault(nullptr));
    auto text = [](std::optional<std::string> value) { return value.value_or("-"); };
    for (const auto& [session, expected] : cases) {
        store.writeSession(session);
        EXPECT_EQ("token " + text(store.webToken()) + " token0 " + text(store.webToken(0)) + " refresh " +
                      text(store.webRefreshToken()) + " expired " + std::to_string(store.hasExpiredWebSession()) +
                      " recoverable " + std::to_string(store.hasRecoverableWebSession()),
                  expected)
            << session.dump();
    }
}

TEST(NativeTokenStore, LoginReplacesTheWebSessionAndKeepsProjectAgents) {
    auto vault = std::make_shared<FakeVault>();
    NativeTokenStore store(withVault(vault));
    store.setWebSession(kOrigin, {{"accessToken", "a1"}, {"refreshToken", "r1"}, {"user", {{"id", 1}}}, {"extra", 1}});
    JsonValue record = store.readSession();
    JsonValue web = record["web"];
    EXPECT_EQ(web["authorityOrigin"], kOrigin);
    EXPECT_TRUE(web["expiresAt"].is_null() && web["refreshExpiresAt"].is_null());
    EXPECT_EQ(web["memberships"], JsonValue::array());
    EXPECT_FALSE(web.contains("extra"));
    EXPECT_TRUE(parseIsoTime(web["updatedAt"].get<std::string>()));
    EXPECT_EQ(record["projectAgents"], JsonValue::object());
    EXPECT_EQ(vault->get(kV3), record.dump());

    store.setProjectAgentToken(kOrigin, "P", "agent", {{"id", "tok"}});
    store.setWebSession(kOrigin, {{"accessToken", "a2"}, {"memberships", nullptr}});
    NativeTokenStore afterRestart(withVault(vault));
    EXPECT_EQ(afterRestart.webToken(), "a2");
    EXPECT_TRUE(afterRestart.readSession()["web"]["memberships"].is_null());  // only a missing list becomes []
    EXPECT_EQ(afterRestart.projectAgentToken(kOrigin, "P"), "agent");
}

TEST(NativeTokenStore, ProjectAgentTokensExpireByItemOrElseByTheirJwt) {
    NativeTokenStore store(withVault(nullptr));
    // Agent tokens are kept only beside a web session: one issued while a
    // logout went through is not written back.
    EXPECT_FALSE(store.setProjectAgentToken(kOrigin, "P", "t", nullptr));
    EXPECT_EQ(store.readSession(), JsonValue::object());
    store.setWebSession(kOrigin, {{"accessToken", "a"}});
    long now =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    store.setProjectAgentToken(kOrigin, "soon", test::makeJwt({{"exp", now + 30}}), nullptr);
    store.setProjectAgentToken(kOrigin, "later", test::makeJwt({{"exp", now + 600}}), nullptr);
    store.setProjectAgentToken(kOrigin, "text", test::makeJwt({{"exp", "1"}}), nullptr);
    // The item's expiry wins over the token's, a null one meaning never.
    store.setProjectAgentToken(kOrigin, "nullItem", test::makeJwt({{"exp", 1}}), {{"expiresAt", nullptr}});
    store.setProjectAgentToken(kOrigin, "pastItem", test::makeJwt({{"exp", now + 600}}),
                               {{"expiresAt", inSeconds(-5)}});
    store.setProjectAgentToken("https://other.example", "soon", "other", nullptr);

    EXPECT_FALSE(store.projectAgentToken(kOrigin, "soon"));
    EXPECT_FALSE(store.projectAgentToken(kOrigin, "pastItem"));
    EXPECT_EQ(store.readSession()["projectAgents"].size(), 4u);  // both removed
    for (const char* kept : {"later", "text", "nullItem"}) EXPECT_TRUE(store.projectAgentToken(kOrigin, kept)) << kept;
    EXPECT_EQ(store.projectAgentToken("https://other.example", "soon"), "other");

    store.clearProjectAgentToken(kOrigin, "later");
    EXPECT_FALSE(store.projectAgentToken(kOrigin, "later"));
    store.writeSession({{"web", {{"accessToken", "a"}}}, {"projectAgents", "nonsense"}});
    store.setProjectAgentToken(kOrigin, "P", "t", nullptr);
    EXPECT_EQ(store.projectAgentToken(kOrigin, "P"), "t");
}

TEST(NativeTokenStore, ConcurrentUpdatesOfDifferentKeysAllSurvive) {
    auto vault = vaultWith({{kV3, sessionRecord("start").dump()}});
    vault->delay = 1ms;  // widens every window between reading and writing
    NativeTokenStore store(withVault(vault));
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 8; ++i) {
                std::string key = std::to_string(t) + "-" + std::to_string(i);
                store.setProjectAgentToken(kOrigin, key, "token-" + key, nullptr);
                if (i % 3 == 0) store.clearProjectAgentToken(kOrigin, "gone-" + key);
            }
        });
    threads.emplace_back([&] {
        for (int i = 0; i < 5; ++i) store.setWebSession(kOrigin, {{"accessToken", "web-" + std::to_string(i)}});
    });
    for (auto& thread : threads) thread.join();

    JsonValue record = NativeTokenStore(withVault(vault)).readSession();  // after a restart
    EXPECT_EQ(record, store.readSession());
    EXPECT_EQ(record["web"]["accessToken"], "web-4");
    ASSERT_EQ(record["projectAgents"].size(), 48u);
    for (const auto& [key, entry] : record["projectAgents"].items())
        EXPECT_EQ(std::string(kOrigin) + "::" + entry["token"].get<std::string>().substr(6), key);
}

}  // namespace
}  // namespace palisor
