// The development authority in-process, through real HTTP on loopback.
#include <gtest/gtest.h>
#include <httplib.h>

#include <thread>

#include "bridge/common/text.h"
#include "tests/support/http_client.h"
#include "tools/dev-authority/dev_authority.h"

namespace palisor::dev {
namespace {

using namespace std::chrono_literals;

class DevAuthorityTest : public ::testing::Test {
protected:
    void SetUp() override {
        authority.addProject("ALPHA", "Alpha");
        authority.addProject("my proj", "With a space");
        authority.addProject("OTHER", "Not hers");
        authority.addUser("ana@example.test", "s3cret", {"ALPHA", "my proj"});
        authority.addTask("ALPHA", {{"itemId", "A-1"}, {"status", "open"}});
        authority.addTask("ALPHA", {{"itemId", "A-2"}, {"status", "done"}});
        authority.start();
        client = std::make_unique<httplib::Client>("127.0.0.1", authority.port());
        client->set_keep_alive(true);
        client->set_read_timeout(10, 0);
        client->set_tcp_nodelay(true);
    }

    struct Answer {
        int status = 0;  // 0: no HTTP answer
        JsonValue body;
        std::string raw;
    };

    Answer call(const std::string& method, const std::string& path, const std::optional<JsonValue>& body = {},
                const std::string& token = "") {
        httplib::Headers headers;
        if (!token.empty()) headers.emplace("Authorization", "Bearer " + token);
        std::string text = body ? body->dump() : "";
        auto result = method == "GET" ? client->Get(path.c_str(), headers)
                                      : client->Post(path.c_str(), headers, text, "application/json");
        if (!result) return {};
        return {result->status, parseJsonObject(std::string_view(result->body)), result->body};
    }

    DevSession signIn() { return authority.login("ana@example.test", "s3cret"); }

    DevAuthority authority;
    std::unique_ptr<httplib::Client> client;
};

// The bridge's renewals run against this: a refresh token works once, a used
// one is answered 409 with a retry delay, an expired one 401.
TEST_F(DevAuthorityTest, RefreshTokensRotateOnce) {
    DevSession first = signIn();
    JsonValue request = {{"clientKind", "bridge"}, {"refreshToken", first.refreshToken}};
    Answer rotated = call("POST", "/api/auth/session/refresh", request);
    ASSERT_EQ(rotated.status, 200) << rotated.raw;
    std::string newAccess = rotated.body["accessToken"];
    std::string newRefresh = rotated.body["refreshToken"];
    EXPECT_NE(newAccess, first.accessToken);
    EXPECT_NE(newRefresh, first.refreshToken);
    EXPECT_EQ(call("GET", "/api/auth/me", std::nullopt, newAccess).status, 200);

    Answer conflict = call("POST", "/api/auth/session/refresh", request);
    EXPECT_EQ(conflict.status, 409);
    EXPECT_EQ(conflict.body["code"], "AUTH_REFRESH_ALREADY_ROTATED");
    EXPECT_EQ(conflict.body["retryAfterMs"], 50);

    authority.expireRefreshTokens();
    Answer expired = call("POST", "/api/auth/session/refresh", JsonValue{{"refreshToken", newRefresh}});
    EXPECT_EQ(expired.status, 401);
    EXPECT_EQ(expired.body["code"], "AUTH_REFRESH_INVALID");
}

// The template filled in segment by segment, each value percent-encoded.
std::string renderTemplate(const std::string& pathTemplate, const std::map<std::string, std::string>& values) {
    std::string path;
    for (std::string_view segment : splitKeepingEmpty(pathTemplate, "/")) {
        if (segment.empty()) continue;
        path += "/";
        path += segment.front() == ':' ? urlEncode(values.at(std::string(segment.substr(1)))) : std::string(segment);
    }
    return path;
}

// Every operation the catalogue lists is served on its method and template,
// with the credential its authMode names and with no other: a bridge that
// sent the wrong token, or none, would be refused in its own tests too.
TEST_F(DevAuthorityTest, BootstrapCatalogueMatchesWhatIsServed) {
    std::string web = signIn().accessToken;
    Answer bootstrap = call("GET", "/api/authority?projectKey=my%20proj", std::nullopt, web);
    ASSERT_EQ(bootstrap.status, 200) << bootstrap.raw;
    EXPECT_EQ(bootstrap.body["projectKey"], "my proj");
    EXPECT_EQ(bootstrap.body["project"]["name"], "With a space");
    const JsonValue& catalog = bootstrap.body["operationCatalog"];
    EXPECT_EQ(catalog["readOptimizations"]["schemaVersion"], "authority-reads.v1");
    ASSERT_TRUE(catalog["operations"].is_array() && !catalog["operations"].empty());
    EXPECT_EQ(catalog, DevAuthority::operationCatalog());

    authority.addTask("my proj", {{"itemId", "a b:c"}, {"status", "open"}});
    std::string agent = call("POST", "/api/projects/my%20proj/agent-tokens", JsonValue{{"label", "x"}}, web).body["token"];
    for (const auto& operation : catalog["operations"]) {
        std::string id = operation.value("id", "");
        std::string method = operation.value("method", "");
        std::string pathTemplate = operation.value("pathTemplate", "");
        for (const auto& required : operation["requiredPathParams"])
            EXPECT_NE(pathTemplate.find(":" + required.get<std::string>()), std::string::npos) << id;
        std::string path = renderTemplate(pathTemplate, {{"projectKey", "my proj"}, {"itemId", "a b:c"},
                                                         {"item", "x"}, {"noteId", "n 1"}});
        std::string token = operation.value("authMode", "") == "project-agent" ? agent : web;
        Answer served = call(method, path, method == "GET" ? std::nullopt : std::optional(JsonValue::object()), token);
        EXPECT_EQ(served.status / 100, 2) << id << " " << path << " " << served.raw;
        EXPECT_EQ(call(method, path, JsonValue::object(), token == web ? agent : web).status, 401) << id;
        EXPECT_EQ(call(method, path, JsonValue::object()).status, 401) << id;
    }

    EXPECT_FALSE(call("GET", "/api/authority?projectKey=ALPHA&view=catalog", std::nullopt, web).body.contains("project"));
    EXPECT_EQ(call("GET", "/api/authority", std::nullopt, web).body["code"], "PROJECT_KEY_REQUIRED");
    EXPECT_EQ(call("GET", "/api/authority?projectKey=OTHER", std::nullopt, web).status, 403);
    // Operations of a project the credential does not reach.
    EXPECT_EQ(call("GET", "/api/projects/OTHER", std::nullopt, web).body["code"], "PROJECT_ACCESS_DENIED");
    Answer foreign = call("GET", "/api/projects/ALPHA/tasks", std::nullopt, agent);
    EXPECT_EQ(foreign.status, 403);
    EXPECT_EQ(foreign.body["code"], "PROJECT_AGENT_SCOPE_MISMATCH");

    Answer missing = call("GET", "/api/nothing-here");
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(missing.body["code"], "NOT_FOUND");
    EXPECT_EQ(call("POST", "/api/health", JsonValue::object()).body["code"], "NOT_FOUND");
    EXPECT_EQ(call("GET", "/api/projects/my%20proj/echo/x", std::nullopt, web).status, 404);  // a segment short
}

// Other tests read back what the bridge logged: each idempotency key once,
// in arrival order, per project.
TEST_F(DevAuthorityTest, WorkEventsAreRecordedOncePerKeyInArrivalOrder) {
    std::string web = signIn().accessToken;
    std::string agent = call("POST", "/api/projects/ALPHA/agent-tokens", JsonValue{{"label", "x"}}, web).body["token"];
    const std::string route = "/api/projects/ALPHA/ai-work-events";
    JsonValue first = {{"idempotencyKey", "k-1"}, {"summary", "first"}, {"component", "ai-node"}};
    JsonValue second = {{"summary", "no key"}};

    ASSERT_EQ(call("POST", route, first, agent).status, 201);
    EXPECT_EQ(call("POST", route, second, agent).status, 201);
    EXPECT_EQ(call("POST", route, first, agent).status, 200);
    EXPECT_EQ(authority.workEvents("ALPHA"), (std::vector<JsonValue>{first, second}));
    EXPECT_TRUE(authority.workEvents("my proj").empty());

    authority.clearWorkEvents();
    EXPECT_TRUE(authority.workEvents("ALPHA").empty());
    EXPECT_EQ(call("POST", route, first, agent).status, 201);  // the key is forgotten too
}

// Hooks take a route by method and raw path, percent escapes and all, never
// by its query; queued answers come in order. Every request is counted and
// recorded with its headers, whatever answered it: other tests' "nothing was
// sent" checks are only as good as this.
TEST_F(DevAuthorityTest, HooksAnswerInOrderAndEveryRequestIsRecorded) {
    std::string web = signIn().accessToken;
    std::string agent = call("POST", "/api/projects/my%20proj/agent-tokens", JsonValue{{"label", "x"}}, web).body["token"];
    authority.addTask("my proj", {{"itemId", "a b"}});
    const std::string task = "/api/projects/my%20proj/tasks/a%20b";
    authority.resetRecords();

    authority.failNext("GET", "/api/projects/my proj/tasks/a b", 500, JsonValue::object());
    EXPECT_EQ(call("GET", task, std::nullopt, agent).status, 200);  // the decoded form is another route
    authority.failNext("GET", task, 503, {{"code", "MAINTENANCE"}, {"retryAfterMs", 5}}, 2);
    authority.failNext("GET", task, 200, JsonValue::array({1, 2}));
    EXPECT_EQ(call("GET", "/api/health").status, 200);  // another route is untouched
    Answer first = call("GET", task + "?limit=1", std::nullopt, agent);
    EXPECT_EQ(first.status, 503);
    EXPECT_EQ(first.body["retryAfterMs"], 5);
    EXPECT_EQ(call("GET", task, std::nullopt, agent).body["code"], "MAINTENANCE");
    EXPECT_EQ(call("GET", task, std::nullopt, agent).raw, "[1,2]");
    EXPECT_EQ(call("GET", task, std::nullopt, agent).status, 200);
    authority.failNext("GET", task, 500, JsonValue::object(), 5);
    authority.clearHooks();
    EXPECT_EQ(call("GET", task, std::nullopt, agent).status, 200);

    const std::string events = "/api/projects/my%20proj/ai-work-events";
    httplib::Headers traced{{"Authorization", "Bearer " + agent}, {"X-Palisor-Trace-Id", "trace-abcdefgh"}};
    ASSERT_TRUE(client->Post((events + "?x=a%26b").c_str(), traced, R"({"n":2})", "application/json"));
    auto recorded = authority.requests("POST", events);
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].query, "x=a%26b");
    EXPECT_EQ(recorded[0].header("authorization"), "Bearer " + agent);
    EXPECT_EQ(recorded[0].header("x-palisor-trace-id"), "trace-abcdefgh");
    EXPECT_EQ(recorded[0].header("content-type"), "application/json");
    EXPECT_EQ(recorded[0].json()["n"], 2);
    EXPECT_EQ(recorded[0].headers.count("remote_addr"), 0u);

    EXPECT_EQ(authority.requestCount("GET", task), 6u);
    EXPECT_EQ(authority.requestCount("GET", "/api/health"), 1u);
    EXPECT_EQ(authority.totalRequests(), 8u);
    authority.resetRecords();
    EXPECT_TRUE(authority.requests().empty());
    EXPECT_EQ(authority.totalRequests(), 0u);
}

TEST_F(DevAuthorityTest, DropCutsTheAnswerShortAndDelayHoldsItBack) {
    authority.dropNext("GET", "/api/health");
    // At the wire: a status line and headers promising more body than comes.
    auto raw = test::parseResponse(test::get(authority.port(), "/api/health"));
    EXPECT_EQ(raw.status, 200);
    EXPECT_NE(raw.head.find("Content-Length: 64"), std::string::npos);
    EXPECT_LT(raw.body.size(), 64u);
    // A client sees a failed exchange, on a connection it was reusing too.
    EXPECT_EQ(call("GET", "/api/health").status, 200);
    authority.dropNext("GET", "/api/health");
    EXPECT_FALSE(client->Get("/api/health"));
    EXPECT_EQ(call("GET", "/api/health").status, 200);

    authority.delayNext("GET", "/api/health", 300ms);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(call("GET", "/api/health").status, 200);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 300ms);
    started = std::chrono::steady_clock::now();
    call("GET", "/api/health");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 250ms);
    EXPECT_EQ(authority.requestCount("GET", "/api/health"), 6u);
}

TEST(DevAuthorityLifecycle, StopsPromptlyWhileClientsHoldConnectionsOrWait) {
    DevAuthority authority;
    authority.start();
    ASSERT_NE(authority.port(), 0);
    EXPECT_EQ(authority.origin(), "http://127.0.0.1:" + std::to_string(authority.port()));
    httplib::Client idle("127.0.0.1", authority.port());
    idle.set_keep_alive(true);
    ASSERT_TRUE(idle.Get("/api/health"));
    authority.delayNext("GET", "/api/health", 20s);
    std::thread waiting([&] { httplib::Client("127.0.0.1", authority.port()).Get("/api/health"); });
    while (authority.requestCount("GET", "/api/health") < 2) std::this_thread::sleep_for(5ms);

    auto started = std::chrono::steady_clock::now();
    authority.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
    waiting.join();
    authority.stop();  // again: nothing to do
}

}  // namespace
}  // namespace palisor::dev
