// The development authority in-process, through real HTTP on loopback.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <set>
#include <thread>

#include "bridge/common/jwt.h"
#include "bridge/common/text.h"
#include "bridge/common/time.h"
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

TEST_F(DevAuthorityTest, LoginMeAndCredentialFailures) {
    Answer login = call("POST", "/api/auth/login",
                        JsonValue{{"email", "ANA@example.test"}, {"password", "s3cret"}, {"clientKind", "bridge"}});
    ASSERT_EQ(login.status, 200) << login.raw;
    std::string access = login.body.value("accessToken", "");
    EXPECT_FALSE(access.empty());
    EXPECT_FALSE(login.body.value("refreshToken", "").empty());
    EXPECT_EQ(login.body["user"]["email"], "ana@example.test");
    EXPECT_EQ(login.body["memberships"].size(), 2u);
    auto expires = parseIsoTime(login.body.value("expiresAt", ""));
    auto refreshExpires = parseIsoTime(login.body.value("refreshExpiresAt", ""));
    ASSERT_TRUE(expires && refreshExpires);
    EXPECT_NEAR(std::chrono::duration<double>(*expires - std::chrono::system_clock::now()).count(), 3600, 5);
    EXPECT_GT(*refreshExpires, *expires);

    Answer me = call("GET", "/api/auth/me", std::nullopt, access);
    EXPECT_EQ(me.status, 200);
    EXPECT_EQ(me.body["user"]["email"], "ana@example.test");

    Answer wrongPassword = call("POST", "/api/auth/login", JsonValue{{"email", "ana@example.test"}, {"password", "x"}});
    EXPECT_EQ(wrongPassword.status, 401);
    EXPECT_EQ(wrongPassword.body["code"], "AUTH_INVALID_CREDENTIALS");
    EXPECT_FALSE(wrongPassword.body.value("message", "").empty());
    EXPECT_EQ(call("POST", "/api/auth/login", JsonValue{{"email", "nobody@example.test"}, {"password", "s3cret"}}).status, 401);

    for (const std::string& token : {std::string(), std::string("dev-at-unknown")}) {
        Answer refused = call("GET", "/api/auth/me", std::nullopt, token);
        EXPECT_EQ(refused.status, 401);
        EXPECT_EQ(refused.body["code"], "AUTH_REQUIRED");
    }
    // An agent token is no web session.
    std::string agent = call("POST", "/api/projects/ALPHA/agent-tokens", JsonValue{{"label", "x"}}, access).body["token"];
    EXPECT_EQ(call("GET", "/api/auth/me", std::nullopt, agent).status, 401);

    authority.expireAccessTokens();
    EXPECT_EQ(call("GET", "/api/auth/me", std::nullopt, access).body["code"], "AUTH_REQUIRED");
    // Tokens issued after the expiry work again.
    EXPECT_EQ(call("GET", "/api/auth/me", std::nullopt, signIn().accessToken).status, 200);
}

TEST_F(DevAuthorityTest, RefreshRotatesAndAnswersConflictForAUsedToken) {
    DevSession first = signIn();
    JsonValue request = {{"clientKind", "bridge"}, {"refreshToken", first.refreshToken}};
    Answer rotated = call("POST", "/api/auth/session/refresh", request);
    ASSERT_EQ(rotated.status, 200) << rotated.raw;
    std::string newAccess = rotated.body["accessToken"];
    std::string newRefresh = rotated.body["refreshToken"];
    EXPECT_NE(newAccess, first.accessToken);
    EXPECT_NE(newRefresh, first.refreshToken);
    EXPECT_TRUE(rotated.body.contains("user") && rotated.body.contains("memberships"));
    EXPECT_EQ(call("GET", "/api/auth/me", std::nullopt, newAccess).status, 200);
    // The access token beside the used refresh token lives out its lifetime.
    EXPECT_EQ(call("GET", "/api/auth/me", std::nullopt, first.accessToken).status, 200);

    Answer conflict = call("POST", "/api/auth/session/refresh", request);
    EXPECT_EQ(conflict.status, 409);
    EXPECT_EQ(conflict.body["code"], "AUTH_REFRESH_ALREADY_ROTATED");
    EXPECT_EQ(conflict.body["retryAfterMs"], 50);
    authority.setRefreshRetryAfterMs(std::nullopt);
    EXPECT_FALSE(call("POST", "/api/auth/session/refresh", request).body.contains("retryAfterMs"));

    // Another process of the same user rotating first leaves us with a used token.
    DevSession elsewhere = authority.rotateSession(newRefresh);
    EXPECT_EQ(call("POST", "/api/auth/session/refresh", JsonValue{{"refreshToken", newRefresh}}).status, 409);
    EXPECT_EQ(call("POST", "/api/auth/session/refresh", JsonValue{{"refreshToken", elsewhere.refreshToken}}).status, 200);

    Answer unknown = call("POST", "/api/auth/session/refresh", JsonValue{{"refreshToken", "dev-rt-unknown"}});
    EXPECT_EQ(unknown.status, 401);
    EXPECT_EQ(unknown.body["code"], "AUTH_REFRESH_INVALID");
    DevSession expiring = signIn();
    authority.expireRefreshTokens();
    EXPECT_EQ(call("POST", "/api/auth/session/refresh", JsonValue{{"refreshToken", expiring.refreshToken}}).status, 401);
}

TEST_F(DevAuthorityTest, LogoutEndsTheWholeSessionAndAlwaysSucceeds) {
    DevSession session = signIn();
    DevSession rotated = authority.rotateSession(session.refreshToken);
    DevSession unrelated = signIn();

    EXPECT_EQ(call("POST", "/api/auth/logout", JsonValue{{"refreshToken", rotated.refreshToken}}).status, 200);
    // Every token of the rotation chain is gone, another sign-in is not.
    EXPECT_EQ(call("GET", "/api/auth/me", std::nullopt, session.accessToken).status, 401);
    EXPECT_EQ(call("GET", "/api/auth/me", std::nullopt, rotated.accessToken).status, 401);
    EXPECT_EQ(call("POST", "/api/auth/session/refresh", JsonValue{{"refreshToken", rotated.refreshToken}}).status, 401);
    EXPECT_EQ(call("GET", "/api/auth/me", std::nullopt, unrelated.accessToken).status, 200);

    // With only the bearer, and with nothing at all.
    EXPECT_EQ(call("POST", "/api/auth/logout", JsonValue::object(), unrelated.accessToken).status, 200);
    EXPECT_EQ(call("GET", "/api/auth/me", std::nullopt, unrelated.accessToken).status, 401);
    EXPECT_EQ(call("POST", "/api/auth/logout", JsonValue::object()).status, 200);
    EXPECT_EQ(call("POST", "/api/auth/logout", JsonValue::array()).status, 400);
}

TEST_F(DevAuthorityTest, AgentTokensAreJwtsScopedToOneProject) {
    std::string web = signIn().accessToken;
    authority.setAgentTokenLifetime(600s);
    Answer issued = call("POST", "/api/projects/my%20proj/agent-tokens", JsonValue{{"label", "Palisor Bridge Native"}}, web);
    ASSERT_EQ(issued.status / 100, 2) << issued.raw;
    std::string token = issued.body["token"];
    EXPECT_EQ(std::count(token.begin(), token.end(), '.'), 2);
    EXPECT_EQ(token.find_first_of("=+/"), std::string::npos);  // base64url without padding
    auto claims = jwtPayload(token);
    ASSERT_TRUE(claims);
    const JsonValue& item = issued.body["item"];
    EXPECT_EQ((*claims)["projectKey"], "my proj");
    EXPECT_FALSE(claims->value("nodeId", "").empty());
    EXPECT_EQ((*claims)["nodeId"], item["nodeId"]);
    EXPECT_EQ(item["label"], "Palisor Bridge Native");
    auto itemExpiry = parseIsoTime(item.value("expiresAt", ""));
    ASSERT_TRUE(itemExpiry && (*claims)["exp"].is_number_integer());
    EXPECT_EQ((*claims)["exp"].get<std::int64_t>(),
              std::chrono::duration_cast<std::chrono::seconds>(itemExpiry->time_since_epoch()).count());
    EXPECT_NEAR(std::chrono::duration<double>(*itemExpiry - std::chrono::system_clock::now()).count(), 600, 5);
    // Each issue is a new node.
    Answer second = call("POST", "/api/projects/my%20proj/agent-tokens", JsonValue{{"label", "again"}}, web);
    EXPECT_NE(jwtPayload(second.body.value("token", ""))->value("nodeId", ""), (*claims)["nodeId"]);

    // Remembered, and only for its own project.
    EXPECT_EQ(call("GET", "/api/projects/my%20proj/tasks", std::nullopt, token).status, 200);
    Answer otherProject = call("GET", "/api/projects/ALPHA/tasks", std::nullopt, token);
    EXPECT_EQ(otherProject.status, 403);
    EXPECT_EQ(otherProject.body["code"], "PROJECT_AGENT_SCOPE_MISMATCH");
    EXPECT_EQ(call("GET", "/api/projects/ALPHA/tasks", std::nullopt, web).status, 401);  // web token is no agent token
    authority.expireAgentTokens();
    EXPECT_EQ(call("GET", "/api/projects/my%20proj/tasks", std::nullopt, token).status, 401);

    Answer notMember = call("POST", "/api/projects/OTHER/agent-tokens", JsonValue{{"label", "x"}}, web);
    EXPECT_EQ(notMember.status, 403);
    EXPECT_EQ(notMember.body["code"], "PROJECT_ACCESS_DENIED");
    EXPECT_EQ(call("POST", "/api/projects/NOPE/agent-tokens", JsonValue{{"label", "x"}}, web).body["code"], "PROJECT_NOT_FOUND");
    EXPECT_EQ(call("POST", "/api/projects/ALPHA/agent-tokens", JsonValue{{"label", "x"}}).status, 401);
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
// with the credential its authMode names and with no other; and the catalogue
// holds the kinds of operation the bridge's tests need.
TEST_F(DevAuthorityTest, BootstrapCatalogueMatchesWhatIsServed) {
    std::string web = signIn().accessToken;
    Answer bootstrap = call("GET", "/api/authority?projectKey=my%20proj", std::nullopt, web);
    ASSERT_EQ(bootstrap.status, 200) << bootstrap.raw;
    EXPECT_EQ(bootstrap.body["projectKey"], "my proj");
    EXPECT_EQ(bootstrap.body["project"]["name"], "With a space");
    const JsonValue& catalog = bootstrap.body["operationCatalog"];
    EXPECT_TRUE(catalog["version"].is_string());
    EXPECT_EQ(catalog["readOptimizations"]["schemaVersion"], "authority-reads.v1");
    ASSERT_TRUE(catalog["operations"].is_array() && !catalog["operations"].empty());
    EXPECT_EQ(catalog, DevAuthority::operationCatalog());

    authority.addTask("my proj", {{"itemId", "a b:c"}, {"status", "open"}});
    std::string agent = call("POST", "/api/projects/my%20proj/agent-tokens", JsonValue{{"label", "x"}}, web).body["token"];
    std::set<std::string> kinds;
    for (const auto& operation : catalog["operations"]) {
        std::string id = operation.value("id", "");
        std::string method = operation.value("method", "");
        std::string mode = operation.value("authMode", "");
        bool captured = operation.contains("observability");
        if (captured) {
            EXPECT_EQ(operation["observability"]["capturePolicy"], "bridge-authority") << id;
            EXPECT_TRUE(operation["observability"]["phase"].is_string()) << id;
        }
        kinds.insert(method);
        kinds.insert(mode);
        kinds.insert(captured ? "captured" : "quiet");
        for (const auto& name : operation["queryParams"]) kinds.insert("query:" + name.get<std::string>());
        if (id.rfind("ai.work_events.", 0) == 0 && captured) kinds.insert("captured ai.work_events");
        if (id == "progress.native.claim" && method == "POST" && mode == "project-agent") kinds.insert("claim");

        std::string pathTemplate = operation.value("pathTemplate", "");
        for (const auto& required : operation["requiredPathParams"])
            EXPECT_NE(pathTemplate.find(":" + required.get<std::string>()), std::string::npos) << id;
        std::string path = renderTemplate(pathTemplate, {{"projectKey", "my proj"}, {"itemId", "a b:c"},
                                                         {"item", "x"}, {"noteId", "n 1"}});
        std::string token = mode == "project-agent" ? agent : web;
        Answer served = call(method, path, method == "GET" ? std::nullopt : std::optional(JsonValue::object()), token);
        EXPECT_EQ(served.status / 100, 2) << id << " " << path << " " << served.raw;
        EXPECT_EQ(call(method, path, JsonValue::object(), token == web ? agent : web).status, 401) << id;
        EXPECT_EQ(call(method, path, JsonValue::object()).status, 401) << id;
    }
    for (const char* kind : {"GET", "POST", "web-session", "project-agent", "captured", "quiet", "query:status",
                             "query:limit", "query:projectKey", "captured ai.work_events", "claim"})
        EXPECT_TRUE(kinds.count(kind)) << kind;

    EXPECT_FALSE(call("GET", "/api/authority?projectKey=ALPHA&view=catalog", std::nullopt, web).body.contains("project"));
    EXPECT_EQ(call("GET", "/api/authority", std::nullopt, web).body["code"], "PROJECT_KEY_REQUIRED");
    EXPECT_EQ(call("GET", "/api/authority?projectKey=OTHER", std::nullopt, web).status, 403);
    EXPECT_EQ(call("GET", "/api/authority?projectKey=ALPHA").status, 401);
    // Operations of a project the credential does not reach.
    EXPECT_EQ(call("GET", "/api/projects/OTHER", std::nullopt, web).body["code"], "PROJECT_ACCESS_DENIED");
    EXPECT_EQ(call("GET", "/api/projects/ALPHA/tasks", std::nullopt, agent).body["code"], "PROJECT_AGENT_SCOPE_MISMATCH");

    Answer health = call("GET", "/api/health");
    EXPECT_EQ(health.status, 200);
    EXPECT_EQ(health.body["ok"], true);
    EXPECT_EQ(health.body["service"], "palisor-dev-authority");
    Answer missing = call("GET", "/api/nothing-here");
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(missing.body["code"], "NOT_FOUND");
    EXPECT_EQ(call("POST", "/api/health", JsonValue::object()).body["code"], "NOT_FOUND");
    EXPECT_EQ(call("GET", "/api/projects/my%20proj/echo/x", std::nullopt, web).status, 404);  // a segment short
}

// What a test reads back to check what the bridge sent: path parameters
// decoded and named by the template, the query, the body.
TEST_F(DevAuthorityTest, OperationsAnswerWhatTheyReceived) {
    std::string web = signIn().accessToken;
    std::string agent = call("POST", "/api/projects/ALPHA/agent-tokens", JsonValue{{"label", "x"}}, web).body["token"];

    Answer echoed = call("GET", "/api/projects/my%20proj/echo/x/a%20b%2Fc?limit=5&projectKey=my%20proj", std::nullopt, web);
    ASSERT_EQ(echoed.status, 200) << echoed.raw;
    EXPECT_EQ(echoed.body["operationId"], "dev.echo.get");
    EXPECT_EQ(echoed.body["path"], "/api/projects/my%20proj/echo/x/a%20b%2Fc");
    EXPECT_EQ(echoed.body["pathParams"], (JsonValue{{"projectKey", "my proj"}, {"item", "x"}, {"itemId", "a b/c"}}));
    EXPECT_EQ(echoed.body["query"], (JsonValue{{"limit", "5"}, {"projectKey", "my proj"}}));
    EXPECT_EQ(echoed.body["rawQuery"], "limit=5&projectKey=my%20proj");
    EXPECT_TRUE(echoed.body["body"].is_null());

    Answer posted = call("POST", "/api/projects/ALPHA/echo/x/xId?mode=m", JsonValue{{"text", "hi"}}, web);
    EXPECT_EQ(posted.body["operationId"], "dev.echo.post");
    EXPECT_EQ(posted.body["body"], (JsonValue{{"text", "hi"}}));
    EXPECT_EQ(posted.body["pathParams"]["itemId"], "xId");
    EXPECT_EQ(call("POST", "/api/projects/ALPHA/echo/x/y", JsonValue::object(), web).body["body"], JsonValue::object());
    EXPECT_EQ(client->Post("/api/projects/ALPHA/echo/x/y", {{"Authorization", "Bearer " + web}}, "{oops", "application/json")->status, 400);

    Answer note = call("GET", "/api/projects/ALPHA/tasks/A-1/notes/n%3A1", std::nullopt, web);
    EXPECT_EQ(note.body["note"]["noteId"], "n:1");
    EXPECT_EQ(note.body["note"]["itemId"], "A-1");

    Answer open = call("GET", "/api/projects/ALPHA/tasks?status=open&limit=5", std::nullopt, agent);
    ASSERT_EQ(open.body["items"].size(), 1u);
    EXPECT_EQ(open.body["items"][0]["itemId"], "A-1");
    EXPECT_EQ(call("GET", "/api/projects/ALPHA/tasks?limit=zero", std::nullopt, agent).status, 400);
    EXPECT_EQ(call("GET", "/api/projects/ALPHA/tasks/A-9", std::nullopt, agent).body["code"], "TASK_NOT_FOUND");
}

TEST_F(DevAuthorityTest, ClaimTakesTheNamedOrFirstOpenTaskOnce) {
    std::string web = signIn().accessToken;
    std::string agent = call("POST", "/api/projects/ALPHA/agent-tokens", JsonValue{{"label", "x"}}, web).body["token"];
    const std::string claim = "/api/projects/ALPHA/progress/native/claim";

    Answer first = call("POST", claim, JsonValue::object(), agent);
    ASSERT_EQ(first.status, 200) << first.raw;
    EXPECT_EQ(first.body["item"]["itemId"], "A-1");
    EXPECT_EQ(first.body["item"]["status"], "in_progress");
    EXPECT_EQ(first.body["item"]["revision"], 2);
    EXPECT_EQ(call("GET", "/api/projects/ALPHA/tasks/A-1", std::nullopt, agent).body["item"]["revision"], 2);
    EXPECT_EQ(call("POST", claim, JsonValue::object(), agent).body["code"], "NO_CLAIMABLE_TASK");
    EXPECT_EQ(call("POST", claim, JsonValue{{"itemId", "A-1"}}, agent).body["code"], "TASK_NOT_CLAIMABLE");

    authority.addTask("ALPHA", {{"itemId", "A-3"}, {"revision", 4}});
    Answer stale = call("POST", claim, JsonValue{{"itemId", "A-3"}, {"expectedRevision", 3}}, agent);
    EXPECT_EQ(stale.status, 409);
    EXPECT_EQ(stale.body["currentRevision"], 4);
    EXPECT_EQ(call("POST", claim, JsonValue{{"itemId", "A-3"}, {"expectedRevision", 4}}, agent).body["item"]["revision"], 5);
    EXPECT_EQ(call("POST", claim, JsonValue{{"itemId", "A-9"}}, agent).status, 404);
}

TEST_F(DevAuthorityTest, WorkEventsAreRecordedOncePerKeyInArrivalOrder) {
    std::string web = signIn().accessToken;
    std::string agent = call("POST", "/api/projects/ALPHA/agent-tokens", JsonValue{{"label", "x"}}, web).body["token"];
    std::string elsewhere = call("POST", "/api/projects/my%20proj/agent-tokens", JsonValue{{"label", "x"}}, web).body["token"];
    const std::string route = "/api/projects/ALPHA/ai-work-events";
    JsonValue first = {{"idempotencyKey", "k-1"}, {"summary", "first"}, {"component", "ai-node"}};
    JsonValue second = {{"summary", "no key"}};

    Answer accepted = call("POST", route, first, agent);
    ASSERT_EQ(accepted.status, 201) << accepted.raw;
    EXPECT_EQ(accepted.body["duplicate"], false);
    std::string eventId = accepted.body["eventId"];
    EXPECT_FALSE(eventId.empty());
    EXPECT_EQ(call("POST", route, second, agent).status, 201);
    Answer again = call("POST", route, first, agent);
    EXPECT_EQ(again.status, 200);
    EXPECT_EQ(again.body["duplicate"], true);
    EXPECT_EQ(again.body["eventId"], eventId);

    // Refused: not an object, no body, a web token, another project's agent.
    Answer array = call("POST", route, JsonValue::array({first}), agent);
    EXPECT_EQ(array.status, 400);
    EXPECT_EQ(array.body["code"], "INVALID_JSON_BODY");
    EXPECT_EQ(call("POST", route, std::nullopt, agent).body["code"], "INVALID_JSON_BODY");
    EXPECT_EQ(call("POST", route, second, web).status, 401);
    Answer foreign = call("POST", route, second, elsewhere);
    EXPECT_EQ(foreign.status, 403);
    EXPECT_EQ(foreign.body["code"], "PROJECT_AGENT_SCOPE_MISMATCH");

    EXPECT_EQ(authority.workEvents("ALPHA"), (std::vector<JsonValue>{first, second}));
    EXPECT_TRUE(authority.workEvents("my proj").empty());
    Answer listed = call("GET", route + "?limit=1", std::nullopt, agent);
    ASSERT_EQ(listed.body["items"].size(), 1u);
    EXPECT_EQ(listed.body["total"], 2);
    EXPECT_EQ(listed.body["items"][0]["eventId"], eventId);
    EXPECT_EQ(listed.body["items"][0]["event"], first);

    authority.clearWorkEvents();
    EXPECT_TRUE(authority.workEvents("ALPHA").empty());
    EXPECT_EQ(call("POST", route, first, agent).status, 201);  // the key is forgotten too
}

// Hooks match the raw path as sent, percent escapes and all; every request
// is recorded with its headers, whatever answered it.
TEST_F(DevAuthorityTest, HooksMatchRawPathsAndEveryRequestIsRecorded) {
    std::string web = signIn().accessToken;
    std::string agent = call("POST", "/api/projects/my%20proj/agent-tokens", JsonValue{{"label", "x"}}, web).body["token"];
    authority.addTask("my proj", {{"itemId", "a b"}});
    const std::string task = "/api/projects/my%20proj/tasks/a%20b";
    const std::string events = "/api/projects/my%20proj/ai-work-events";

    authority.failNext("GET", "/api/projects/my proj/tasks/a b", 500, JsonValue::object());
    EXPECT_EQ(call("GET", task, std::nullopt, agent).status, 200);  // the decoded form is another route
    authority.failNext("GET", task, 503, {{"code", "MAINTENANCE"}});
    EXPECT_EQ(call("GET", task, std::nullopt, agent).body["code"], "MAINTENANCE");
    authority.answerNextRaw("POST", events, 502, "<html></html>", "text/html");
    EXPECT_EQ(call("POST", events, JsonValue{{"n", 1}}, agent).status, 502);
    authority.dropNext("POST", events);
    httplib::Headers traced{{"Authorization", "Bearer " + agent}, {"X-Palisor-Trace-Id", "trace-abcdefgh"}};
    EXPECT_FALSE(client->Post(events.c_str(), traced, R"({"n":2})", "application/json"));

    auto recorded = authority.requests("POST", events);
    ASSERT_EQ(recorded.size(), 2u);
    for (const auto& request : recorded) EXPECT_EQ(request.header("authorization"), "Bearer " + agent);
    EXPECT_EQ(recorded[1].header("x-palisor-trace-id"), "trace-abcdefgh");
    EXPECT_EQ(recorded[1].json()["n"], 2);
    EXPECT_EQ(authority.requestCount("GET", task), 2u);
    EXPECT_TRUE(authority.workEvents("my proj").empty());
}

// A flapping route under 32 clients at once: exactly every n-th request
// fails, nothing accepted is lost or recorded twice.
TEST_F(DevAuthorityTest, FlappingRouteFailsEveryNthRequestUnderConcurrency) {
    std::string web = signIn().accessToken;
    std::string agent = call("POST", "/api/projects/ALPHA/agent-tokens", JsonValue{{"label", "x"}}, web).body["token"];
    const std::string events = "/api/projects/ALPHA/ai-work-events";

    authority.failNext("POST", events, 422, JsonValue::object());
    authority.failEvery("POST", events, 503, {{"code", "FLAPPING"}}, 2);
    EXPECT_EQ(call("POST", events, JsonValue{{"idempotencyKey", "pre"}}, agent).status, 422);  // not counted
    EXPECT_EQ(call("POST", events, JsonValue{{"idempotencyKey", "pre"}}, agent).status, 201);
    EXPECT_EQ(call("POST", events, JsonValue{{"idempotencyKey", "pre"}}, agent).body["code"], "FLAPPING");
    authority.failEvery("POST", events, 503, {{"code", "FLAPPING"}}, 3);  // restarts the count
    authority.resetRecords();
    authority.clearWorkEvents();

    constexpr int kClients = 32;
    constexpr int kEvents = 10;
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kClients; ++t) {
        threads.emplace_back([&, t] {
            httplib::Client own("127.0.0.1", authority.port());
            own.set_keep_alive(true);
            own.set_tcp_nodelay(true);
            httplib::Headers headers{{"Authorization", "Bearer " + agent}};
            for (int i = 0; i < kEvents; ++i) {
                std::string body = JsonValue{{"idempotencyKey", std::to_string(t) + "-" + std::to_string(i)}}.dump();
                for (int attempt = 0; attempt < 50; ++attempt) {
                    auto result = own.Post(events.c_str(), headers, body, "application/json");
                    if (result && result->status == 201) break;
                    if (result && result->status == 503) ++failed;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    std::size_t sent = authority.requestCount("POST", events);
    EXPECT_EQ(failed.load(), static_cast<int>(sent / 3));
    auto recorded = authority.workEvents("ALPHA");
    std::set<std::string> keys;
    for (const auto& event : recorded) keys.insert(event.value("idempotencyKey", ""));
    EXPECT_EQ(recorded.size(), std::size_t{kClients * kEvents});
    EXPECT_EQ(keys.size(), recorded.size());

    authority.dropEvery("POST", events, 1);
    EXPECT_FALSE(client->Post(events.c_str(), {{"Authorization", "Bearer " + agent}}, "{}", "application/json"));
    authority.stopFlapping("POST", events);
    EXPECT_EQ(call("POST", events, JsonValue::object(), agent).status, 201);
    authority.failEvery("POST", events, 500, JsonValue::object(), 1);
    authority.clearHooks();
    EXPECT_EQ(call("POST", events, JsonValue::object(), agent).status, 201);
}

TEST_F(DevAuthorityTest, HooksFailDelayAndCountPerRoute) {
    authority.failNext("get", "/api/health", 503, {{"code", "MAINTENANCE"}, {"retryAfterMs", 5}}, 2);
    EXPECT_EQ(call("GET", "/api/health").status, 503);
    Answer second = call("GET", "/api/health");
    EXPECT_EQ(second.status, 503);
    EXPECT_EQ(second.body["retryAfterMs"], 5);
    EXPECT_EQ(call("GET", "/api/health").status, 200);
    // A query does not make another route.
    authority.failNext("GET", "/api/authority", 500, JsonValue::object());
    EXPECT_EQ(call("GET", "/api/authority?projectKey=ALPHA").status, 500);
    // Another route is untouched, queued answers come in order.
    authority.answerNextRaw("POST", "/api/auth/login", 502, "<html>Bad gateway</html>", "text/html");
    authority.failNext("POST", "/api/auth/login", 200, JsonValue::array({1, 2}));
    EXPECT_EQ(call("GET", "/api/health").status, 200);
    Answer html = call("POST", "/api/auth/login", JsonValue::object());
    EXPECT_EQ(html.status, 502);
    EXPECT_EQ(html.raw, "<html>Bad gateway</html>");
    EXPECT_EQ(call("POST", "/api/auth/login", JsonValue::object()).raw, "[1,2]");
    authority.failNext("GET", "/api/health", 500, JsonValue::object(), 5);
    authority.clearHooks();
    EXPECT_EQ(call("GET", "/api/health").status, 200);

    authority.delayNext("GET", "/api/health", 300ms);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(call("GET", "/api/health").status, 200);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 300ms);
    started = std::chrono::steady_clock::now();
    call("GET", "/api/health");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 250ms);

    EXPECT_EQ(authority.requestCount("GET", "/api/health"), 7u);
    EXPECT_EQ(authority.requestCount("POST", "/api/auth/login"), 2u);
    EXPECT_EQ(authority.requestCount("GET", "/api/authority"), 1u);
}

TEST_F(DevAuthorityTest, RecordsWhatTheClientSent) {
    httplib::Headers headers{{"X-Palisor-Trace-Id", "trace-12345678"}, {"Authorization", "Bearer abc"}};
    client->Post("/api/projects/my%20proj/agent-tokens?x=a%26b", headers, R"({"label":"L"})", "application/json");
    auto recorded = authority.requests("POST", "/api/projects/my%20proj/agent-tokens");
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].query, "x=a%26b");
    EXPECT_EQ(recorded[0].header("x-palisor-trace-id"), "trace-12345678");
    EXPECT_EQ(recorded[0].header("authorization"), "Bearer abc");
    EXPECT_EQ(recorded[0].header("content-type"), "application/json");
    EXPECT_EQ(recorded[0].json()["label"], "L");
    EXPECT_EQ(recorded[0].headers.count("remote_addr"), 0u);
    authority.resetRecords();
    EXPECT_TRUE(authority.requests().empty());
    EXPECT_EQ(authority.totalRequests(), 0u);
}

TEST_F(DevAuthorityTest, DropClosesTheConnectionInTheMiddleOfTheAnswer) {
    authority.dropNext("GET", "/api/health");
    // At the wire: a status line and headers promising more body than comes.
    auto raw = test::parseResponse(test::get(authority.port(), "/api/health"));
    EXPECT_EQ(raw.status, 200);
    EXPECT_NE(raw.head.find("Content-Length: 64"), std::string::npos);
    EXPECT_LT(raw.body.size(), 64u);
    // A client sees a failed exchange, on a connection it was reusing too.
    EXPECT_EQ(call("GET", "/api/health").status, 200);
    authority.dropNext("GET", "/api/health");
    auto failed = client->Get("/api/health");
    EXPECT_FALSE(failed);
    EXPECT_EQ(call("GET", "/api/health").status, 200);
    EXPECT_EQ(authority.requestCount("GET", "/api/health"), 4u);
}

TEST_F(DevAuthorityTest, CountsAcceptedConnectionsAndReusesKeepAlive) {
    for (int i = 0; i < 20; ++i) ASSERT_EQ(call("GET", "/api/health").status, 200);
    EXPECT_EQ(authority.acceptedConnections(), 1u);

    // 64 clients at once, each reusing its own connection.
    constexpr int kClients = 64;
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kClients; ++t) {
        threads.emplace_back([&] {
            httplib::Client own("127.0.0.1", authority.port());
            own.set_keep_alive(true);
            for (int i = 0; i < 10; ++i) {
                auto result = own.Get("/api/health");
                if (result && result->status == 200) ++good;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(good.load(), kClients * 10);
    EXPECT_EQ(authority.acceptedConnections(), 1u + kClients);
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
