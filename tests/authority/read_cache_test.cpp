// The conditional read cache against a scripted authority and a clock the
// test moves; concurrent reads are held at latches, never timed.
#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <mutex>
#include <thread>
#include <utility>

#include "bridge/authority/authority_client.h"
#include "bridge/authority/authority_read_cache.h"
#include "bridge/common/sha256.h"
#include "bridge/credentials/native_token_store.h"
#include "tools/dev-authority/dev_authority.h"

namespace palisor {
namespace {

using Cache = AuthorityConditionalReadCache;
const std::string kOrigin = "https://authority.example";
const std::string kCatalog = "/api/authority?projectKey=P&view=catalog";

AuthorityRequest get(const std::string& path, std::optional<std::string> traceId = std::nullopt,
                     const char* token = "tok") {
    AuthorityRequest request;
    request.url = kOrigin + path;
    request.headers = {{"Accept", "application/json"}, {"x-palisor-client-kind", "bridge-native"}};
    if (token) request.headers.emplace_back("Authorization", std::string("Bearer ") + token);
    if (traceId) request.headers.emplace_back("X-Palisor-Trace-Id", *traceId);
    return request;
}

AuthorityHTTPResponse ok(std::string body, std::map<std::string, std::string> headers = {
                                               {"etag", "\"v1\""}, {"cache-control", "private, no-cache"}}) {
    return {std::move(body), 200, std::nullopt, std::move(headers)};
}

// An authority that answers 304 when "If-None-Match" names its current tag,
// else its current body; tests replace `respond` for anything else.
struct ScriptedAuthority {
    std::mutex mutex;
    std::vector<AuthorityRequest> sent;
    std::string body = R"({"operationCatalog":{"operations":[]}})";
    std::function<AuthorityHTTPResponse(const AuthorityRequest&)> respond = [this](const AuthorityRequest& request) {
        if (request.header("If-None-Match") == "\"v1\"")
            return AuthorityHTTPResponse{std::nullopt, 304, std::nullopt, {{"x-request-id", "req-304"}}};
        return ok(body);
    };

    AuthorityHeaderTask task() {
        return [this](const AuthorityRequest& request) {
            {
                std::lock_guard guard(mutex);
                sent.push_back(request);
            }
            return respond(request);
        };
    }
    std::size_t exchanges() {
        std::lock_guard guard(mutex);
        return sent.size();
    }
    std::optional<std::string> lastIfNoneMatch() {
        std::lock_guard guard(mutex);
        return sent.back().header("If-None-Match");
    }
};

// Holds every exchange until released; `entered` opens once the expected
// number of exchanges are held.
struct Gate {
    explicit Gate(std::ptrdiff_t expected) : entered(expected), remaining(expected) {}
    std::latch entered;
    std::latch release{1};
    std::atomic<std::ptrdiff_t> remaining;
    void hold(ScriptedAuthority& authority) {
        authority.respond = [this, plain = authority.respond](const AuthorityRequest& request) {
            if (remaining.fetch_sub(1) > 0) entered.count_down();
            release.wait();
            return plain(request);
        };
    }
};

// Spins (no timed sleep) until another thread has reached a state.
template <class Predicate>
void waitUntil(Predicate predicate) {
    while (!predicate()) std::this_thread::yield();
}

std::string failureOf(const std::function<void()>& work) {
    try {
        work();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "";
}

class ReadCache : public ::testing::Test {
protected:
    void SetUp() override { rebuild([](Cache::Options&) {}); }
    void rebuild(const std::function<void(Cache::Options&)>& tweak) {
        Cache::Options options;
        options.now = [this] { return clock.load(); };
        tweak(options);
        cache = std::make_unique<Cache>(options);
        announce(true);
    }
    void announce(bool on) {
        JsonValue optimizations = on ? JsonValue{{"schemaVersion", "authority-reads.v1"}} : JsonValue::object();
        cache->learn({{"operationCatalog", {{"readOptimizations", optimizations}}}});
    }
    AuthorityHTTPResponse read(const std::string& path = kCatalog, std::optional<std::string> traceId = std::nullopt,
                               const char* token = "tok") {
        return cache->load(get(path, std::move(traceId), token), authority.task());
    }
    std::int64_t stat(const char* name) { return cache->stats().at(name); }

    std::atomic<double> clock{1.7e9};
    ScriptedAuthority authority;  // before the cache that calls it
    std::unique_ptr<Cache> cache;
};

TEST(ReadCacheRules, OnlyCompactCatalogueAndSkillMetadataReadsAreEligible) {
    auto eligible = [](const std::string& path, const char* method = "GET") {
        AuthorityRequest request = get(path);
        request.method = method;
        return Cache::allowed(request);
    };
    EXPECT_TRUE(eligible("/api/authority?projectKey=P&view=catalog"));
    EXPECT_TRUE(eligible("/api/authority?view=%63atalog&view=metadata"));  // the first "view" counts
    EXPECT_FALSE(eligible("/api/authority?view=metadata&view=catalog"));
    EXPECT_FALSE(eligible("/api/authority?projectKey=P"));
    EXPECT_FALSE(eligible("/api/authority?view"));
    EXPECT_FALSE(eligible("/api/authority?projectKey=P&view=catalog", "POST"));
    for (const char* path : {"/api/v2/projects/P/skills", "/api/v2/web/skills/s1/get_list",
                             "/api/v2/bridge/skills/s1/get_list"}) {
        EXPECT_TRUE(eligible(std::string(path) + "?view=metadata")) << path;
        EXPECT_FALSE(eligible(std::string(path) + "?view=full")) << path;
        EXPECT_FALSE(eligible(std::string(path) + "/extra?view=metadata")) << path;
    }
    EXPECT_FALSE(eligible("/api/v2/projects//skills?view=metadata"));
    EXPECT_FALSE(eligible("/api/v2/other/skills/s1/get_list?view=metadata"));
    EXPECT_FALSE(eligible("/api/v2/projects/a%2Fb/skills?view=metadata"));  // a slash once decoded

    for (const char* name : {"x-palisor-trace-id", "X-Palisor-Span-Id", "x-palisor-parent-span-id", "x-palisor-causal-id",
                             "x-palisor-operation-id", "x-palisor-task-id", "x-palisor-task-revision",
                             "x-palisor-source-component"})
        EXPECT_TRUE(Cache::traceHeader(name)) << name;
    for (const char* name : {"x-palisor-project-key", "x-palisor-client-kind", "trace-id", "authorization"})
        EXPECT_FALSE(Cache::traceHeader(name)) << name;
}

TEST(ReadCacheRules, KeysHashSortedHeadersAndLeaveTracesOutOfTheCacheKeyOnly) {
    EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // SHA-256 of the compact JSON [url, [[lower-cased name, value], ...]], names sorted.
    auto keys = Cache::keys(get("/api/authority?projectKey=P&view=catalog", "trace-0001"));
    ASSERT_TRUE(keys);
    EXPECT_EQ(keys->flight, "2897c81da83a311b79299b7ee319f0cd915f97c025155400b231fb13927ae2de");
    EXPECT_EQ(keys->cache, "5f310ba958d85bf33d7ad2680ef7361f70ffdd6e4dccfc4d7a990635700c8aa6");

    auto otherTrace = Cache::keys(get(kCatalog, "trace-0002"));
    EXPECT_EQ(otherTrace->cache, keys->cache);
    EXPECT_NE(otherTrace->flight, keys->flight);
    auto otherToken = Cache::keys(get(kCatalog, "trace-0001", "other"));
    EXPECT_NE(otherToken->cache, keys->cache);
    EXPECT_NE(otherToken->flight, keys->flight);
    // A value that no JSON text can hold gets no key rather than a lossy one.
    AuthorityRequest broken = get(kCatalog);
    broken.headers.emplace_back("x-odd", "\xFF");
    EXPECT_FALSE(Cache::keys(broken));
}

TEST_F(ReadCache, PassesThroughUntilAnnouncedAndWithoutACredential) {
    rebuild([](Cache::Options&) {});
    announce(false);
    read();
    read();
    EXPECT_FALSE(cache->supportsCompactReads());
    EXPECT_FALSE(authority.lastIfNoneMatch());
    EXPECT_EQ(stat("entries"), 0);
    EXPECT_EQ(stat("network200"), 0);

    announce(true);
    read(kCatalog, std::nullopt, nullptr);
    EXPECT_EQ(stat("entries"), 0);
    read();
    EXPECT_EQ(stat("entries"), 1);
    cache->learn({{"ok", true}});  // no catalogue: no news
    EXPECT_EQ(stat("entries"), 1);
    announce(false);
    EXPECT_EQ(stat("entries"), 0);
    EXPECT_EQ(stat("bytes"), 0);
}

TEST_F(ReadCache, StoresOnlyPrivateNoCacheObjectsWithAnETagAndNoTraceVary) {
    struct Case {
        std::map<std::string, std::string> headers;
        std::string body;
        bool stored;
    };
    const std::string object = R"({"a":1})";
    const std::vector<Case> cases = {
        {{{"etag", "\"v1\""}, {"cache-control", "Private, No-Cache"}}, object, true},
        {{{"etag", "\"v1\""}, {"cache-control", "no-cache"}}, object, false},
        {{{"etag", "\"v1\""}, {"cache-control", "private, max-age=0"}}, object, false},
        {{{"cache-control", "private, no-cache"}}, object, false},
        {{{"etag", "\"v1\""}, {"cache-control", "private, no-cache"}}, "[1,2]", false},
        {{{"etag", "\"v1\""}, {"cache-control", "private, no-cache"}}, "", false},
        {{{"etag", "\"v1\""}, {"cache-control", "private, no-cache"}, {"vary", " , Accept ,"}}, object, true},
        {{{"etag", "\"v1\""}, {"cache-control", "private, no-cache"}, {"vary", "accept, X-Palisor-Trace-Id"}}, object, false},
        {{{"etag", "\"v1\""}, {"cache-control", "private, no-cache"}, {"vary", "*"}}, object, false},
    };
    for (const Case& c : cases) {
        rebuild([](Cache::Options&) {});
        authority.respond = [&](const AuthorityRequest&) { return ok(c.body, c.headers); };
        EXPECT_EQ(read().data, c.body);
        EXPECT_EQ(stat("network200"), 1);
        EXPECT_EQ(stat("stored"), c.stored ? 1 : 0) << c.body << " " << c.headers.size();
        read();
        EXPECT_EQ(authority.lastIfNoneMatch().has_value(), c.stored);
    }
    // A fresh answer that may not be stored also drops the one it replaces.
    authority.respond = [&](const AuthorityRequest&) {
        return ok(object, {{"etag", "\"v2\""}, {"cache-control", "private, no-cache"}, {"vary", "*"}});
    };
    read();
    EXPECT_EQ(stat("entries"), 0);
}

TEST_F(ReadCache, A304IsRebuiltFromMemoryOrFollowedByAPlainRequest) {
    authority.body = R"({"meta":{"requestId":"req-1","stageTimings":{"db":3},"region":"x"},"v":[1]})";
    read();
    AuthorityHTTPResponse revalidated = read();
    EXPECT_EQ(authority.lastIfNoneMatch(), "\"v1\"");
    EXPECT_EQ(revalidated.statusCode, 200);
    EXPECT_EQ(revalidated.header("x-request-id"), "req-304");
    EXPECT_EQ(parseJsonObject(revalidated.data),
              JsonValue::parse(R"({"meta":{"requestId":"req-304","region":"x"},"v":[1]})"));
    EXPECT_EQ(stat("revalidated"), 1);
    EXPECT_EQ(stat("network304"), 1);

    // The same body cannot be rebuilt without the new request id: ask again.
    authority.respond = [&](const AuthorityRequest& request) {
        if (request.header("If-None-Match")) return AuthorityHTTPResponse{std::nullopt, 304, std::nullopt, {}};
        return ok(R"({"v":[2]})", {{"etag", "\"v2\""}, {"cache-control", "private, no-cache"}});
    };
    EXPECT_EQ(read().data, R"({"v":[2]})");
    EXPECT_EQ(authority.exchanges(), 4u);
    EXPECT_FALSE(authority.lastIfNoneMatch());
    // Without "meta" no request id is needed.
    AuthorityHTTPResponse plain = read();
    EXPECT_EQ(authority.exchanges(), 5u);
    EXPECT_EQ(plain.statusCode, 200);
    EXPECT_EQ(plain.data, R"({"v":[2]})");

    // A 304 to a request that named no tag is no answer either.
    cache->clear();
    authority.respond = [&, first = true](const AuthorityRequest&) mutable {
        return std::exchange(first, false) ? AuthorityHTTPResponse{std::nullopt, 304, std::nullopt, {}} : ok("{}");
    };
    EXPECT_EQ(read().statusCode, 200);
    EXPECT_EQ(authority.exchanges(), 7u);
}

TEST_F(ReadCache, AuthenticationFailuresEmptyTheStore) {
    const auto plain = authority.respond;
    for (int status : {404, 401, 403}) {
        rebuild([](Cache::Options&) {});
        authority.respond = plain;
        read(kCatalog);
        read("/api/authority?projectKey=Q&view=catalog");
        authority.respond = [&](const AuthorityRequest&) { return AuthorityHTTPResponse{"{}", status, std::nullopt, {}}; };
        EXPECT_EQ(read().statusCode, status);
        EXPECT_EQ(stat("entries"), status == 404 ? 2 : 0) << status;
    }
    EXPECT_EQ(stat("bytes"), 0);
}

TEST_F(ReadCache, EntriesIdleFor600SecondsAreDropped) {
    read();
    clock = clock + 599;
    read();  // in time, and the use counts
    EXPECT_TRUE(authority.lastIfNoneMatch());
    clock = clock + 600;
    read();
    EXPECT_FALSE(authority.lastIfNoneMatch());
    EXPECT_EQ(stat("evictions"), 0);
}

TEST_F(ReadCache, LimitsEvictTheLeastRecentlyUsedAndRefuseOversizeBodies) {
    auto project = [](int i) { return "/api/authority?projectKey=P" + std::to_string(i) + "&view=catalog"; };
    for (int i = 0; i < 128; ++i) read(project(i));
    read(project(0));  // now P1 is the least recently used
    read(project(128));
    EXPECT_EQ(stat("entries"), 128);
    EXPECT_EQ(stat("evictions"), 1);
    for (int i : {0, 2, 128}) {
        read(project(i));
        EXPECT_TRUE(authority.lastIfNoneMatch()) << i;
    }
    read(project(1));
    EXPECT_FALSE(authority.lastIfNoneMatch());

    // By bytes: two 40-byte bodies fit in 100, a third pushes out the older.
    rebuild([](Cache::Options& options) { options.maxBytes = 100; });
    authority.body = R"({"pad":")" + std::string(30, 'x') + "\"}";
    for (int i : {0, 1, 2}) read(project(i));
    EXPECT_EQ(stat("entries"), 2);
    EXPECT_EQ(stat("bytes"), 80);
    EXPECT_EQ(stat("evictions"), 1);

    rebuild([](Cache::Options&) {});
    const std::size_t mebibyte = 1024 * 1024;
    authority.body = R"({"pad":")" + std::string(mebibyte - 10, 'x') + "\"}";
    read();
    EXPECT_EQ(stat("bytes"), static_cast<std::int64_t>(mebibyte));
    authority.body = R"({"pad":")" + std::string(mebibyte - 9, 'x') + "\"}";
    authority.respond = [&](const AuthorityRequest&) { return ok(authority.body, {{"etag", "\"v2\""}, {"cache-control", "private, no-cache"}}); };
    read();
    EXPECT_EQ(stat("oversize"), 1);
    EXPECT_EQ(stat("entries"), 0);  // the old answer went too
}

TEST_F(ReadCache, IdenticalReadsShareOneExchangeUpToThirtyTwoWaiters) {
    Gate gate(1);
    gate.hold(authority);
    std::vector<std::thread> readers;
    std::vector<AuthorityHTTPResponse> answers(33);
    readers.emplace_back([&] { answers[0] = read(kCatalog, "trace-0001"); });
    gate.entered.wait();
    for (int i = 1; i <= 32; ++i) readers.emplace_back([&, i] { answers[i] = read(kCatalog, "trace-0001"); });
    waitUntil([&] { return stat("joins") == 32; });
    EXPECT_EQ(failureOf([&] { read(kCatalog, "trace-0001"); }), "BRIDGE_READ_WAITERS_LIMIT");
    gate.release.count_down();
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(authority.exchanges(), 1u);
    for (const auto& answer : answers) EXPECT_EQ(answer.data, authority.body);
    EXPECT_EQ(stat("inflight"), 0);

    // Other trace ids make their own exchanges, then share what was stored.
    Gate second(2);
    second.hold(authority);
    cache->clear();
    std::thread a([&] { read(kCatalog, "trace-000a"); });
    std::thread b([&] { read(kCatalog, "trace-000b"); });
    second.entered.wait();
    second.release.count_down();
    a.join();
    b.join();
    EXPECT_EQ(authority.exchanges(), 3u);
    EXPECT_EQ(stat("joins"), 32);
    read(kCatalog, "trace-000c");
    EXPECT_EQ(authority.lastIfNoneMatch(), "\"v1\"");
}

TEST_F(ReadCache, TheNinthDistinctReadIsRefusedNotQueued) {
    Gate gate(8);
    gate.hold(authority);
    std::vector<std::thread> readers;
    std::atomic<int> succeeded{0};
    for (int i = 0; i < 8; ++i)
        readers.emplace_back([&, i] {
            if (read("/api/authority?projectKey=P" + std::to_string(i) + "&view=catalog").statusCode == 200) ++succeeded;
        });
    gate.entered.wait();
    EXPECT_EQ(stat("inflight"), 8);
    EXPECT_EQ(failureOf([&] { read("/api/authority?projectKey=P8&view=catalog"); }), "BRIDGE_READ_CAPACITY");
    // Requests that are not eligible reads are not limited.
    auto health = cache->load(get("/api/health"), [](const AuthorityRequest&) { return ok("{}"); });
    EXPECT_EQ(health.statusCode, 200);
    gate.release.count_down();
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(succeeded, 8);
    EXPECT_EQ(read("/api/authority?projectKey=P8&view=catalog").statusCode, 200);
}

TEST_F(ReadCache, ALeadersFailureReachesEveryWaiterAndTheSlotIsFreed) {
    Gate gate(1);
    authority.respond = [](const AuthorityRequest&) -> AuthorityHTTPResponse {
        throw TransportError(7, "Couldn't connect to server");
    };
    gate.hold(authority);
    std::vector<std::string> failures(4);
    std::vector<std::thread> readers;
    readers.emplace_back([&] { failures[0] = failureOf([&] { read(); }); });
    gate.entered.wait();
    for (int i = 1; i < 4; ++i) readers.emplace_back([&, i] { failures[i] = failureOf([&] { read(); }); });
    waitUntil([&] { return stat("joins") == 3; });
    gate.release.count_down();
    for (auto& reader : readers) reader.join();
    for (const auto& failure : failures) EXPECT_EQ(failure, "Couldn't connect to server");
    EXPECT_EQ(stat("inflight"), 0);
    authority.respond = [](const AuthorityRequest&) { return ok("{}"); };
    EXPECT_EQ(read().statusCode, 200);
}

TEST_F(ReadCache, ASessionChangeDuringAReadFailsItAndStoresNothing) {
    const auto plain = authority.respond;
    for (bool revalidating : {false, true}) {
        rebuild([](Cache::Options&) {});
        authority.respond = plain;
        if (revalidating) read();
        std::int64_t storedBefore = stat("stored");
        Gate gate(1);
        gate.hold(authority);
        std::string leader, waiter;
        std::thread first([&] { leader = failureOf([&] { read(); }); });
        gate.entered.wait();
        std::thread second([&] { waiter = failureOf([&] { read(); }); });
        waitUntil([&] { return stat("joins") == 1; });
        cache->clear();
        gate.release.count_down();
        first.join();
        second.join();
        EXPECT_EQ(leader, "BRIDGE_SESSION_CHANGED_DURING_READ");
        EXPECT_EQ(waiter, "BRIDGE_SESSION_CHANGED_DURING_READ");
        EXPECT_EQ(stat("entries"), 0);
        EXPECT_EQ(stat("stored"), storedBefore);
        EXPECT_EQ(stat("revalidated"), 0);
    }
}

TEST_F(ReadCache, AWaiterGivesUpAtItsDeadline) {
    rebuild([](Cache::Options& options) { options.waitSeconds = 0; });
    Gate gate(1);
    gate.hold(authority);
    AuthorityHTTPResponse led;
    std::thread leader([&] { led = read(); });
    gate.entered.wait();
    EXPECT_EQ(failureOf([&] { read(); }), "BRIDGE_READ_WAIT_TIMEOUT");
    gate.release.count_down();
    leader.join();
    EXPECT_EQ(led.statusCode, 200);
    EXPECT_EQ(stat("joins"), 1);
}

// The client and the development authority over real HTTP.
class ReadCacheThroughTheClient : public ::testing::Test {
protected:
    void SetUp() override {
        authority.addUser("dev@palisor.local", "secret", {"demo-project"});
        authority.start();
        NativeTokenStore::Options storeOptions;
        storeOptions.keychainEnabled = false;
        client = std::make_unique<AuthorityClient>(AuthorityClient::Options{
            authority.origin(), std::make_shared<NativeTokenStore>(storeOptions), {},
            [this](const AuthorityRequest& request) {
                if (request.url.find("view=catalog") != std::string::npos && holdNextCatalog.exchange(false)) {
                    held.count_down();
                    release.wait();
                }
                return syncHeaderDataTask(request);
            },
            nullptr, nullptr});
        client->login("dev@palisor.local", "secret");
    }
    JsonValue catalog() { return client->requestCatalogWithWebSession("demo-project"); }
    std::int64_t stat(const char* name) { return client->readCacheStats().at(name); }

    dev::DevAuthority authority;
    std::atomic<bool> holdNextCatalog{false};
    std::latch held{1};
    std::latch release{1};
    std::unique_ptr<AuthorityClient> client;
};

TEST_F(ReadCacheThroughTheClient, TheCompactCatalogueIsRevalidatedOnceAnnounced) {
    EXPECT_FALSE(client->supportsCompactReads());
    EXPECT_TRUE(catalog().contains("project"));  // the first read is plain
    EXPECT_TRUE(client->supportsCompactReads());
    authority.resetRecords();
    JsonValue fetched = catalog();
    std::size_t bytes = authority.bodyBytesSent("GET", "/api/authority");
    JsonValue revalidated = catalog();

    auto seen = authority.requests("GET", "/api/authority");
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].query, "projectKey=demo-project&view=catalog");
    EXPECT_EQ(seen[0].header("if-none-match"), "");
    EXPECT_NE(seen[1].header("if-none-match"), "");
    EXPECT_EQ(authority.answersWithStatus("GET", "/api/authority", 304), 1u);
    EXPECT_EQ(authority.bodyBytesSent("GET", "/api/authority"), bytes);
    EXPECT_EQ(revalidated["operationCatalog"], fetched["operationCatalog"]);
    EXPECT_TRUE(fetched["meta"].contains("stageTimings"));
    EXPECT_FALSE(revalidated["meta"].contains("stageTimings"));
    EXPECT_EQ(revalidated["meta"]["requestId"].get<std::string>().rfind("req-", 0), 0u);
    EXPECT_NE(revalidated["meta"]["requestId"], fetched["meta"]["requestId"]);
    EXPECT_EQ(stat("stored"), 1);
    EXPECT_EQ(stat("revalidated"), 1);
}

TEST_F(ReadCacheThroughTheClient, SessionChangesEmptyTheCacheAndFailReadsInFlight) {
    catalog();
    catalog();
    EXPECT_EQ(stat("entries"), 1);
    // A 401 empties it; the retry after the refresh asks unconditionally.
    authority.failNext("GET", "/api/authority", 401, {{"code", "AUTH_REQUIRED"}, {"message", "Unauthorized"}});
    catalog();
    EXPECT_EQ(authority.requestCount("POST", "/api/auth/session/refresh"), 1u);
    EXPECT_EQ(authority.requests("GET", "/api/authority").back().header("if-none-match"), "");
    client->logout();
    EXPECT_EQ(stat("entries"), 0);

    client->login("dev@palisor.local", "secret");
    holdNextCatalog = true;
    std::string failure;
    std::thread reader([&] {
        try {
            catalog();
        } catch (const std::exception& error) {
            failure = error.what();
        }
    });
    held.wait();
    client->login("dev@palisor.local", "secret");
    release.count_down();
    reader.join();
    EXPECT_EQ(failure, "BRIDGE_SESSION_CHANGED_DURING_READ");
    EXPECT_EQ(stat("entries"), 0);
}

}  // namespace
}  // namespace palisor
