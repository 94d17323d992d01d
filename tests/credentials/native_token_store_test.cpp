#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bridge/common/time.h"
#include "bridge/credentials/native_token_store.h"
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

NativeTokenStore::Options withVault(std::shared_ptr<FakeVault> vault, std::chrono::milliseconds timeout = 3s) {
    NativeTokenStore::Options options;
    options.keychainEnabled = true;
    options.vault = std::move(vault);
    options.keychainTimeout = timeout;
    return options;
}

std::string codeOf(const std::function<void()>& action) { return test::errorOf<NativeTokenStoreError>(action); }

NativeTokenStore::Options memoryOnly() {
    NativeTokenStore::Options options;
    options.keychainEnabled = false;
    return options;
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
        auto vault = std::make_shared<FakeVault>();
        vault->put(kV3, bad);
        vault->put(kV2, sessionRecord("legacy").dump());
        NativeTokenStore store(withVault(vault));
        EXPECT_EQ(store.readSession(), JsonValue::object()) << bad;
        EXPECT_EQ(vault->calls(), 1) << bad;
        // Unavailable is not "loaded": once the item is repaired it is read.
        vault->put(kV3, sessionRecord("fixed").dump());
        EXPECT_EQ(store.webToken(), "fixed") << bad;
    }
}

TEST(NativeTokenStore, MigratesTheFirstUsableLegacyRecordAndKeepsTheOldItem) {
    auto vault = std::make_shared<FakeVault>();
    std::string bytes = sessionRecord("v2").dump(2);
    vault->put(kV2, bytes);
    EXPECT_EQ(NativeTokenStore(withVault(vault)).webToken(), "v2");
    EXPECT_EQ(vault->get(kV3), bytes);  // the same bytes, not a re-serialisation
    EXPECT_EQ(vault->get(kV2), bytes);

    vault = std::make_shared<FakeVault>();
    vault->put(kV2, "{broken");
    vault->put(kV1, sessionRecord("v1").dump());
    EXPECT_EQ(NativeTokenStore(withVault(vault)).webToken(), "v1");
    EXPECT_EQ(vault->record(kV3), sessionRecord("v1"));

    // A legacy service that cannot be read makes the whole read unavailable.
    vault = std::make_shared<FakeVault>();
    vault->put(kV1, sessionRecord("v1").dump());
    vault->hook = [](Op op, const std::string& service) {
        if (op == Op::read && service == kV2) throw std::runtime_error("keyring fell over");
    };
    EXPECT_EQ(NativeTokenStore(withVault(vault)).readSession(), JsonValue::object());
    EXPECT_FALSE(vault->get(kV3));

    // A failed migration write does not stop the record from being used.
    vault = std::make_shared<FakeVault>();
    vault->writeStatus = -1;
    vault->put(kV1, sessionRecord("v1").dump());
    EXPECT_EQ(NativeTokenStore(withVault(vault)).webToken(), "v1");

    // Other services have no legacy services unless given some.
    auto custom = withVault(vault);
    custom.service = "Custom";
    EXPECT_TRUE(NativeTokenStore(custom).legacyServices().empty());
    EXPECT_EQ(NativeTokenStore(custom).readSession(), JsonValue::object());
}

TEST(NativeTokenStore, SlowKeychainNeverHoldsACallerPastTheTimeout) {
    auto vault = std::make_shared<FakeVault>();
    vault->delay = 1s;
    vault->put(kV3, sessionRecord("stored").dump());
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
    auto vault = std::make_shared<FakeVault>();
    vault->put(kV3, sessionRecord("old").dump());
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
    while (vault->get(kV3)) std::this_thread::sleep_for(5ms);
    // Once it has, calls reach it again, and the late delete is behind them.
    for (int attempt = 0; codeOf([&] { store.writeSession(sessionRecord("new")); }) != "no error"; ++attempt) {
        ASSERT_LT(attempt, 100);
        std::this_thread::sleep_for(5ms);
    }
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(vault->record(kV3), sessionRecord("new"));
}

TEST(NativeTokenStore, AnUpdateTheVaultRefusesIsKeptUntilSavedUnlessAnotherProcessChangedTheSession) {
    auto vault = std::make_shared<FakeVault>();
    vault->put(kV3, sessionRecord("a").dump());
    NativeTokenStore store(withVault(vault));
    vault->writeStatus = vault_status::kFileWriteFailed;
    JsonValue rotated = {{"accessToken", "b"}, {"refreshToken", "r2"}};
    EXPECT_TRUE(store.setRefreshedWebSession(kOrigin, rotated, "r"));
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
    for (std::optional<std::string> elsewhere : {std::optional(sessionRecord("c").dump()), std::optional<std::string>()}) {
        vault->writeStatus = vault_status::kFileWriteFailed;
        EXPECT_TRUE(store.setRefreshedWebSession(kOrigin, {{"accessToken", "d"}, {"refreshToken", "r3"}},
                                                 *stringMember(store.readSession()["web"], "refreshToken")));
        vault->writeStatus.reset();
        if (elsewhere) vault->put(kV3, *elsewhere);
        else ASSERT_EQ(vault->remove(kV3, ""), vault_status::kSuccess);
        EXPECT_TRUE(store.saveUnsavedSession());
        EXPECT_EQ(store.webToken(), elsewhere ? std::optional<std::string>("c") : std::nullopt);
        EXPECT_EQ(vault->get(kV3), elsewhere);
    }
}

TEST(NativeTokenStore, ALoadOvertakenByAClearOrWriteDoesNotBringBackOlderState) {
    auto gatedVault = [](std::shared_ptr<test::Gate> gate) {
        auto vault = std::make_shared<FakeVault>();
        vault->hook = [gate](Op op, const std::string&) {
            if (op == Op::read) gate->arriveAndWait();
        };
        return vault;
    };
    {
        // Logout while the first read is on its way back with the old record.
        auto gate = std::make_shared<test::Gate>();
        auto vault = gatedVault(gate);
        vault->put(kV3, sessionRecord("old").dump());
        NativeTokenStore store(withVault(vault));
        auto read = std::async(std::launch::async, [&] { return store.readSession(); });
        gate->waitForArrival();
        store.clearSession();
        gate->open();
        EXPECT_EQ(read.get(), JsonValue::object());
        EXPECT_EQ(store.readSession(), JsonValue::object());
    }
    {
        // A login while a read that found nothing is on its way back.
        auto gate = std::make_shared<test::Gate>();
        NativeTokenStore store(withVault(gatedVault(gate)));
        auto read = std::async(std::launch::async, [&] { return store.readSession(); });
        gate->waitForArrival();
        store.writeSession(sessionRecord("new"));
        gate->open();
        EXPECT_EQ(read.get(), sessionRecord("new"));
        EXPECT_EQ(store.webToken(), "new");
    }
    {
        // A refresh stored while a reload was on its way back with the old record.
        auto gate = std::make_shared<test::Gate>();
        auto vault = gatedVault(gate);
        vault->put(kV3, sessionRecord("old").dump());
        NativeTokenStore store(withVault(vault));
        auto reload = std::async(std::launch::async, [&] { return store.reloadSessionFromKeychain(); });
        gate->waitForArrival();
        store.writeSession(sessionRecord("new"));
        gate->open();
        EXPECT_TRUE(reload.get());
        EXPECT_EQ(store.webToken(), "new");
    }
}

TEST(NativeTokenStore, ReloadSeesOtherProcessesAndAHiccupNeitherLogsOutNorErasesTheSession) {
    auto vault = std::make_shared<FakeVault>();
    NativeTokenStore store(withVault(vault));
    EXPECT_FALSE(store.reloadSessionFromKeychain());
    EXPECT_FALSE(store.webToken());  // missing: answered from memory from now on
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
    auto vault = std::make_shared<FakeVault>();
    vault->writeStatus = vault_status::kFileWriteFailed;
    vault->removeStatus = vault_status::kLocked;
    vault->put(kV3, sessionRecord("a").dump());
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

    NativeTokenStore scratch(memoryOnly());
    EXPECT_EQ(codeOf([&] { scratch.writeSession(JsonValue::array()); }), "KEYCHAIN_SESSION_ENCODE_FAILED");
    EXPECT_EQ(codeOf([&] { scratch.writeSession({{"web", std::string("\xFF")}}); }), "KEYCHAIN_SESSION_ENCODE_FAILED");
}

TEST(NativeTokenStore, ExpiryTimesAreReadWithAndWithoutFractionsOnly) {
    auto expired = [](const JsonValue& value, int skew = 0) { return isExpired(&value, skew); };
    // The forms themselves are the ISO time parser's; here, what is not a time is never expired.
    EXPECT_FALSE(expired("2030-01-01T00:00:00.123Z"));
    EXPECT_TRUE(expired("2020-01-01T00:00:00+01:00"));
    for (const JsonValue& unreadable : {JsonValue("2020-01-01"), JsonValue(""), JsonValue(1577836800), JsonValue()})
        EXPECT_FALSE(expired(unreadable)) << unreadable.dump();
    EXPECT_FALSE(isExpired(nullptr, 0));
    EXPECT_TRUE(expired(inSeconds(59), 60));
    EXPECT_FALSE(expired(inSeconds(61), 60));
}

TEST(NativeTokenStore, WebSessionQueriesFollowBothTokensExpiries) {
    NativeTokenStore store(memoryOnly());
    auto web = [&](JsonValue session) { store.writeSession({{"web", std::move(session)}}); };
    EXPECT_FALSE(store.hasExpiredWebSession());
    EXPECT_FALSE(store.hasRecoverableWebSession());

    web({{"accessToken", "a"}, {"refreshToken", "r"}, {"expiresAt", inSeconds(59)}, {"refreshExpiresAt", inSeconds(99)}});
    EXPECT_FALSE(store.webToken());
    EXPECT_EQ(store.webToken(0), "a");
    EXPECT_FALSE(store.hasExpiredWebSession());
    EXPECT_EQ(store.webRefreshToken(), "r");

    web({{"accessToken", "a"}, {"refreshToken", nullptr}, {"expiresAt", inSeconds(-10)}});
    EXPECT_TRUE(store.hasExpiredWebSession());
    EXPECT_FALSE(store.hasRecoverableWebSession());
    EXPECT_FALSE(store.webRefreshToken());

    web({{"accessToken", "a"}, {"refreshToken", "r"}, {"expiresAt", inSeconds(-10)}, {"refreshExpiresAt", inSeconds(-1)}});
    EXPECT_TRUE(store.hasExpiredWebSession());
    EXPECT_FALSE(store.hasRecoverableWebSession());
    EXPECT_FALSE(store.webRefreshToken());

    web({{"accessToken", "a"}, {"refreshToken", "r"}, {"expiresAt", inSeconds(-10)}});
    EXPECT_FALSE(store.hasExpiredWebSession());
    EXPECT_TRUE(store.hasRecoverableWebSession());

    web({{"accessToken", ""}, {"refreshToken", ""}});
    EXPECT_EQ(store.webToken(), "");
    EXPECT_FALSE(store.webRefreshToken());
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
    NativeTokenStore store(memoryOnly());
    // Agent tokens are kept only beside a web session: one issued while a
    // logout went through is not written back.
    EXPECT_FALSE(store.setProjectAgentToken(kOrigin, "P", "t", nullptr));
    EXPECT_EQ(store.readSession(), JsonValue::object());
    store.setWebSession(kOrigin, {{"accessToken", "a"}});
    long now = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    store.setProjectAgentToken(kOrigin, "soon", test::makeJwt({{"exp", now + 30}}), nullptr);
    store.setProjectAgentToken(kOrigin, "later", test::makeJwt({{"exp", now + 600}}), nullptr);
    store.setProjectAgentToken(kOrigin, "text", test::makeJwt({{"exp", "1"}}), nullptr);
    // The item's expiry wins over the token's, a null one meaning never.
    store.setProjectAgentToken(kOrigin, "nullItem", test::makeJwt({{"exp", 1}}), {{"expiresAt", nullptr}});
    store.setProjectAgentToken(kOrigin, "pastItem", test::makeJwt({{"exp", now + 600}}), {{"expiresAt", inSeconds(-5)}});
    store.setProjectAgentToken("https://other.example", "soon", "other", nullptr);

    EXPECT_FALSE(store.projectAgentToken(kOrigin, "soon"));
    EXPECT_FALSE(store.projectAgentToken(kOrigin, "pastItem"));
    EXPECT_EQ(store.readSession()["projectAgents"].size(), 4u);  // both removed
    EXPECT_TRUE(store.projectAgentToken(kOrigin, "later"));
    EXPECT_TRUE(store.projectAgentToken(kOrigin, "text"));
    EXPECT_TRUE(store.projectAgentToken(kOrigin, "nullItem"));
    EXPECT_EQ(store.projectAgentToken("https://other.example", "soon"), "other");

    store.clearProjectAgentToken(kOrigin, "later");
    EXPECT_FALSE(store.projectAgentToken(kOrigin, "later"));
    store.writeSession({{"web", {{"accessToken", "a"}}}, {"projectAgents", "nonsense"}});
    store.setProjectAgentToken(kOrigin, "P", "t", nullptr);
    EXPECT_EQ(store.projectAgentToken(kOrigin, "P"), "t");
}

TEST(NativeTokenStore, JwtExpiryIsTheExpClaimInWholeUtcSeconds) {
    EXPECT_EQ(jwtExpiresAt(test::makeJwt({{"exp", 1893456000.9}})), "2030-01-01T00:00:00Z");
    EXPECT_EQ(jwtExpiresAt(".." + test::makeJwt({{"exp", -1}}) + ".."), "1969-12-31T23:59:59Z");
    // Values no clock can hold are clamped, not overflowed.
    EXPECT_EQ(jwtExpiresAt(test::makeJwt({{"exp", 1e300}})), "9999-12-31T23:59:59Z");
    EXPECT_EQ(jwtExpiresAt(test::makeJwt({{"exp", -1e300}})), "1000-01-01T00:00:00Z");
    EXPECT_FALSE(jwtExpiresAt(test::makeJwt({{"exp", "1893456000"}})));
    EXPECT_FALSE(jwtExpiresAt(test::makeJwt({{"exp", 1}}) + ".extra"));
    EXPECT_FALSE(jwtExpiresAt("a.!!!.c"));
}

TEST(NativeTokenStore, ConcurrentUpdatesOfDifferentKeysAllSurvive) {
    auto vault = std::make_shared<FakeVault>();
    vault->delay = 1ms;  // widens every window between reading and writing
    vault->put(kV3, sessionRecord("start").dump());
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

    NativeTokenStore afterRestart(withVault(vault));
    JsonValue record = afterRestart.readSession();
    EXPECT_EQ(record, store.readSession());
    EXPECT_EQ(record["web"]["accessToken"], "web-4");
    ASSERT_EQ(record["projectAgents"].size(), 48u);
    for (const auto& [key, entry] : record["projectAgents"].items())
        EXPECT_EQ(std::string(kOrigin) + "::" + entry["token"].get<std::string>().substr(6), key);
}

}  // namespace
}  // namespace palisor
