// The conditional read cache against a scripted authority and a clock the
// test moves; concurrent reads are held at latches, never timed.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <latch>
#include <stdexcept>
#include <thread>
#include <utility>

#include "bridge/authority/authority_client.h"
#include "bridge/authority/authority_read_cache.h"
#include "bridge/common/sha256.h"
#include "tests/support/errors.h"
#include "tests/support/fake_authority.h"
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

class ReadCache : public ::testing::Test {
protected:
    void SetUp() override {
        authority.respond = [this](const AuthorityRequest& request) { return revalidating(request); };
        rebuild([](Cache::Options&) {});
    }
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
        return cache->load(get(path, std::move(traceId), token),
                           [this](const AuthorityRequest& request) { return authority.handle(request); });
    }
    std::int64_t stat(const char* name) { return cache->stats().at(name); }

    // Runs each read on a thread of its own. The authority holds the first
    // `leaders` exchanges; the other reads start once those have arrived, and
    // `whileHeld` runs when `joins` of them have joined. Returns what each
    // read failed with, "" for success.
    std::vector<std::string> runHeld(
        std::size_t leaders, const std::vector<std::function<void()>>& reads, std::int64_t joins,
        const std::function<void()>& whileHeld = [] {}) {
        std::latch arrived(static_cast<std::ptrdiff_t>(leaders)), release(1);
        std::atomic<std::size_t> exchanges{0};
        const auto plain = authority.respond;
        authority.respond = [&](const AuthorityRequest& request) {
            if (exchanges++ < leaders) arrived.count_down();
            release.wait();
            return plain(request);
        };
        std::int64_t joinedBefore = stat("joins");
        std::vector<std::string> failures(reads.size());
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < reads.size(); ++i) {
            if (i == leaders) arrived.wait();
            threads.emplace_back([&, i] { failures[i] = test::failureOf(reads[i]); });
        }
        arrived.wait();
        while (stat("joins") < joinedBefore + joins) std::this_thread::yield();  // no timed sleep
        whileHeld();
        release.count_down();
        for (auto& thread : threads) thread.join();
        authority.respond = plain;
        return failures;
    }

    std::atomic<double> clock{1.7e9};
    // Answers 304 when "If-None-Match" names the current tag, else `body`;
    // tests replace authority.respond for anything else.
    AuthorityHTTPResponse revalidating(const AuthorityRequest& request) {
        if (request.header("If-None-Match") == "\"v1\"")
            return AuthorityHTTPResponse{std::nullopt, 304, std::nullopt, {{"x-request-id", "req-304"}}};
        return ok(body);
    }
    std::optional<std::string> lastIfNoneMatch() { return authority.sent().back().header("If-None-Match"); }

    std::string body = R"({"operationCatalog":{"operations":[]}})";
    test::FakeAuthority authority;  // before the cache that calls it
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
    for (const char* path :
         {"/api/v2/projects/P/skills", "/api/v2/web/skills/s1/get_list", "/api/v2/bridge/skills/s1/get_list"}) {
        EXPECT_TRUE(eligible(std::string(path) + "?view=metadata")) << path;
        EXPECT_FALSE(eligible(std::string(path) + "?view=full")) << path;
        EXPECT_FALSE(eligible(std::string(path) + "/extra?view=metadata")) << path;
    }
    EXPECT_FALSE(eligible("/api/v2/projects//skills?view=metadata"));
    EXPECT_FALSE(eligible("/api/v2/other/skills/s1/get_list?view=metadata"));
    EXPECT_FALSE(eligible("/api/v2/projects/a%2Fb/skills?view=metadata"));  // a slash once decoded

    for (const char* name :
         {"x-palisor-trace-id", "X-Palisor-Span-Id", "x-palisor-parent-span-id", "x-palisor-causal-id",
          "x-palisor-operation-id", "x-palisor-task-id", "x-palisor-task-revision", "x-palisor-source-component"})
        EXPECT_TRUE(Cache::traceHeader(name)) << name;
    for (const char* name : {"x-palisor-project-key", "x-palisor-client-kind", "trace-id", "authorization"})
        EXPECT_FALSE(Cache::traceHeader(name)) << name;
}

TEST(ReadCacheRules, KeysHashSortedHeadersAndLeaveTracesOutOfTheCacheKeyOnly) {
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
    announce(false);
    read();
    read();
    EXPECT_FALSE(cache->supportsCompactReads());
    EXPECT_FALSE(lastIfNoneMatch());
    EXPECT_EQ(stat("network200"), 0);

    announce(true);
    read(kCatalog, std::nullopt, nullptr);
    EXPECT_EQ(stat("entries"), 0);
    read();
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
        {{{"etag", "\"v1\""}, {"cache-control", "private, no-cache"}, {"vary", "accept, X-Palisor-Trace-Id"}},
         object,
         false},
        {{{"etag", "\"v1\""}, {"cache-control", "private, no-cache"}, {"vary", "*"}}, object, false},
    };
    for (const Case& c : cases) {
        rebuild([](Cache::Options&) {});
        authority.respond = [&](const AuthorityRequest&) { return ok(c.body, c.headers); };
        EXPECT_EQ(read().data, c.body);
        EXPECT_EQ(stat("network200"), 1);
        EXPECT_EQ(stat("stored"), c.stored ? 1 : 0) << c.body << " " << c.headers.size();
        read();
        EXPECT_EQ(lastIfNoneMatch().has_value(), c.stored);
    }
    // A fresh answer that may not be stored also drops the one it replaces.
    authority.respond = [&](const AuthorityRequest&) {
        return ok(object, {{"etag", "\"v2\""}, {"cache-control", "private, no-cache"}, {"vary", "*"}});
    };
    read();
    EXPECT_EQ(stat("entries"), 0);
}

TEST_F(ReadCache, A304IsRebuiltFromMemoryOrFollowedByAPlainRequest) {
    body = R"({"meta":{"requestId":"req-1","stageTimings":{"db":3},"region":"x"},"v":[1]})";
    read();
    AuthorityHTTPResponse revalidated = read();
    EXPECT_EQ(lastIfNoneMatch(), "\"v1\"");
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
    EXPECT_EQ(authority.sent().size(), 4u);
    EXPECT_FALSE(lastIfNoneMatch());
    // Without "meta" no request id is needed.
    AuthorityHTTPResponse plain = read();
    EXPECT_EQ(authority.sent().size(), 5u);
    EXPECT_EQ(plain.statusCode, 200);
    EXPECT_EQ(plain.data, R"({"v":[2]})");

    // A 304 to a request that named no tag is no answer either.
    cache->clear();
    authority.respond = [&, first = true](const AuthorityRequest&) mutable {
        return std::exchange(first, false) ? AuthorityHTTPResponse{std::nullopt, 304, std::nullopt, {}} : ok("{}");
    };
    EXPECT_EQ(read().statusCode, 200);
    EXPECT_EQ(authority.sent().size(), 7u);
}

TEST_F(ReadCache, AuthenticationFailuresEmptyTheStore) {
    const auto plain = authority.respond;
    for (int status : {404, 401, 403}) {
        rebuild([](Cache::Options&) {});
        authority.respond = plain;
        read(kCatalog);
        read("/api/authority?projectKey=Q&view=catalog");
        authority.respond = [&](const AuthorityRequest&) {
            return AuthorityHTTPResponse{"{}", status, std::nullopt, {}};
        };
        EXPECT_EQ(read().statusCode, status);
        EXPECT_EQ(stat("entries"), status == 404 ? 2 : 0) << status;
    }
    EXPECT_EQ(stat("bytes"), 0);
}

TEST_F(ReadCache, EntriesIdleFor600SecondsAreDropped) {
    read();
    clock = clock + 599;
    read();  // in time, and the use counts
    EXPECT_TRUE(lastIfNoneMatch());
    clock = clock + 600;
    read();
    EXPECT_FALSE(lastIfNoneMatch());
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
        EXPECT_TRUE(lastIfNoneMatch()) << i;
    }
    read(project(1));
    EXPECT_FALSE(lastIfNoneMatch());

    // By bytes: two 40-byte bodies fit in 100, a third pushes out the older.
    rebuild([](Cache::Options& options) { options.maxBytes = 100; });
    body = R"({"pad":")" + std::string(30, 'x') + "\"}";
    for (int i : {0, 1, 2}) read(project(i));
    EXPECT_EQ(stat("entries"), 2);
    EXPECT_EQ(stat("bytes"), 80);
    EXPECT_EQ(stat("evictions"), 1);

    rebuild([](Cache::Options&) {});
    const std::size_t mebibyte = 1024 * 1024;
    body = R"({"pad":")" + std::string(mebibyte - 10, 'x') + "\"}";
    read();
    EXPECT_EQ(stat("bytes"), static_cast<std::int64_t>(mebibyte));
    body = R"({"pad":")" + std::string(mebibyte - 9, 'x') + "\"}";
    authority.respond = [&](const AuthorityRequest&) {
        return ok(body, {{"etag", "\"v2\""}, {"cache-control", "private, no-cache"}});
    };
    read();
    EXPECT_EQ(stat("oversize"), 1);
    EXPECT_EQ(stat("entries"), 0);  // the old answer went too
}

TEST_F(ReadCache, IdenticalReadsShareOneExchangeUpToThirtyTwoWaiters) {
    auto sameTrace = [&] {
        if (read(kCatalog, "trace-0001").data != body) throw std::runtime_error("another answer");
    };
    auto failures = runHeld(1, std::vector<std::function<void()>>(33, sameTrace), 32,
                            [&] { EXPECT_EQ(test::failureOf(sameTrace), "BRIDGE_READ_WAITERS_LIMIT"); });
    EXPECT_EQ(failures, std::vector<std::string>(33, ""));
    EXPECT_EQ(authority.sent().size(), 1u);
    EXPECT_EQ(stat("inflight"), 0);

    // Reads with other trace ids make their own exchanges, then share what was stored.
    cache->clear();
    runHeld(2, {[&] { read(kCatalog, "trace-000a"); }, [&] { read(kCatalog, "trace-000b"); }}, 0);
    EXPECT_EQ(authority.sent().size(), 3u);
    EXPECT_EQ(stat("joins"), 32);
    read(kCatalog, "trace-000c");
    EXPECT_EQ(lastIfNoneMatch(), "\"v1\"");
}

TEST_F(ReadCache, TheNinthDistinctReadIsRefusedNotQueued) {
    auto project = [&](int i) {
        return [&, i] { read("/api/authority?projectKey=P" + std::to_string(i) + "&view=catalog"); };
    };
    std::vector<std::function<void()>> eight;
    for (int i = 0; i < 8; ++i) eight.push_back(project(i));
    auto failures = runHeld(8, eight, 0, [&] {
        EXPECT_EQ(stat("inflight"), 8);
        EXPECT_EQ(test::failureOf(project(8)), "BRIDGE_READ_CAPACITY");
        // Requests that are not eligible reads are not limited.
        EXPECT_EQ(cache->load(get("/api/health"), [](const AuthorityRequest&) { return ok("{}"); }).statusCode, 200);
    });
    EXPECT_EQ(failures, std::vector<std::string>(8, ""));
    EXPECT_EQ(test::failureOf(project(8)), "");
}

TEST_F(ReadCache, ALeadersFailureReachesEveryWaiterAndTheSlotIsFreed) {
    authority.respond = [](const AuthorityRequest&) -> AuthorityHTTPResponse {
        throw TransportError(7, "Couldn't connect to server");
    };
    auto failures = runHeld(1, std::vector<std::function<void()>>(4, [&] { read(); }), 3);
    EXPECT_EQ(failures, std::vector<std::string>(4, "Couldn't connect to server"));
    EXPECT_EQ(stat("inflight"), 0);
    authority.respond = [](const AuthorityRequest&) { return ok("{}"); };
    EXPECT_EQ(read().statusCode, 200);
}

TEST_F(ReadCache, ASessionChangeDuringAReadFailsItAndItsWaitersAndStoresNothing) {
    for (bool revalidating : {false, true}) {
        rebuild([](Cache::Options&) {});
        if (revalidating) read();
        std::int64_t stored = stat("stored");
        auto failures = runHeld(1, {[&] { read(); }, [&] { read(); }}, 1, [&] { cache->clear(); });
        EXPECT_EQ(failures, std::vector<std::string>(2, "BRIDGE_SESSION_CHANGED_DURING_READ"));
        EXPECT_EQ(stat("entries"), 0);
        EXPECT_EQ(stat("stored"), stored);
        EXPECT_EQ(stat("revalidated"), 0);
    }
}

TEST_F(ReadCache, AWaiterGivesUpAtItsDeadline) {
    rebuild([](Cache::Options& options) { options.waitSeconds = 0; });
    auto failures = runHeld(1, {[&] { read(); }}, 0,
                            [&] { EXPECT_EQ(test::failureOf([&] { read(); }), "BRIDGE_READ_WAIT_TIMEOUT"); });
    EXPECT_EQ(failures, std::vector<std::string>{""});
    EXPECT_EQ(stat("joins"), 1);
}

// Serves one connection on loopback with a fixed answer, written byte for
// byte, so that a test can send what no HTTP library would compose. Returns
// the port and the thread that serves it (joined when it goes).
std::pair<std::uint16_t, std::jthread> serveOnce(std::string answer) {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("cannot listen on loopback");
    return {ntohs(address.sin_port), std::jthread([listener, answer = std::move(answer)] {
                int connection = ::accept(listener, nullptr, nullptr);
                std::string request;
                char buffer[4096];
                for (ssize_t got = 1; connection >= 0 && got > 0 && request.find("\r\n\r\n") == std::string::npos;)
                    if ((got = ::recv(connection, buffer, sizeof buffer, 0)) > 0) request.append(buffer, got);
                ::send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
                ::close(connection);
                ::close(listener);
            })};
}

TEST_F(ReadCache, AFieldRepeatedOnSeveralLinesIsReadWhole) {
    // The trace named on the first of two "Vary" lines must still stop the store.
    auto [port, server] = serveOnce(
        "HTTP/1.1 200 OK\r\nETag: \"v1\"\r\nCache-Control: private, no-cache\r\nVary: X-Palisor-Trace-Id\r\n"
        "vary: Accept\r\nContent-Length: 7\r\nConnection: close\r\n\r\n{\"a\":1}");
    AuthorityRequest request = get(kCatalog);
    request.url = "http://127.0.0.1:" + std::to_string(port) + kCatalog;
    AuthorityHTTPResponse answer = cache->load(request, syncHeaderDataTask);
    EXPECT_EQ(answer.statusCode, 200);
    EXPECT_EQ(answer.header("vary"), "X-Palisor-Trace-Id, Accept");
    EXPECT_EQ(stat("network200"), 1);
    EXPECT_EQ(stat("stored"), 0);
}

// The client and the development authority over real HTTP.
TEST(ReadCacheThroughTheClient, TheCompactCatalogueIsRevalidatedUntilTheSessionChanges) {
    dev::DevAuthority authority;
    authority.addUser("dev@palisor.local", "secret", {"demo-project"});
    authority.start();
    AuthorityClient client({authority.origin(), test::memoryStore(), {}, nullptr, nullptr});
    client.login("dev@palisor.local", "secret");
    auto catalog = [&] { return client.requestCatalogWithWebSession("demo-project"); };
    auto stat = [&](const char* name) { return client.readCacheStats().at(name); };

    EXPECT_TRUE(catalog().contains("project"));  // the first read is plain and brings the announcement
    EXPECT_TRUE(client.supportsCompactReads());
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
    EXPECT_EQ(revalidated["operationCatalog"], fetched["operationCatalog"]);  // the meta: the cache's tests

    // Every change of session empties the store: a 403 on any request, even
    // one the caller accepts and the cache never saw, a login, a logout.
    authority.failNext("GET", "/api/health", 403, {{"code", "FORBIDDEN"}});
    client.request("/api/health", "GET", std::nullopt, std::nullopt, true, std::nullopt);
    EXPECT_EQ(stat("entries"), 0);
    catalog();
    EXPECT_EQ(stat("entries"), 1);
    client.login("dev@palisor.local", "secret");
    EXPECT_EQ(stat("entries"), 0);
    catalog();
    client.logout();
    EXPECT_EQ(stat("entries"), 0);
}

}  // namespace
}  // namespace palisor
