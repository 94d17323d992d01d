// The development authority in-process, through real HTTP on loopback.
#include "tools/dev-authority/dev_authority.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <thread>

#include "bridge/common/jwt.h"
#include "bridge/common/text.h"
#include "tests/support/http_client.h"

namespace palisor::dev {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsSupersetOf;
using ::testing::Not;
using ::testing::StartsWith;

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

    Answer get(const std::string& path, const std::string& token = "") { return call("GET", path, {}, token); }
    Answer post(const std::string& path, const JsonValue& body, const std::string& token = "") {
        return call("POST", path, body, token);
    }
    // "<status> <code>" of an answer.
    static std::string outcome(const Answer& answer) {
        return std::to_string(answer.status) + " " + answer.body.value("code", "");
    }

    DevSession signIn() { return authority.login("ana@example.test", "s3cret"); }

    std::string agentToken(const std::string& web, const std::string& encodedProject) {
        return post("/api/projects/" + encodedProject + "/agent-tokens", JsonValue{{"label", "x"}}, web)
            .body.value("token", "");
    }

    // Every operation a catalogue lists is served on its method and
    // template, with the credential its authMode names and with no other: a
    // bridge that sent the wrong token, or none, would be refused in its own
    // tests too. `values` fill the template beside "item" and "noteId".
    void expectEveryOperationServed(const JsonValue& catalog, std::map<std::string, std::string> values,
                                    const std::string& web, const std::string& agent);

    DevAuthority authority;
    std::unique_ptr<httplib::Client> client;
};

// The bridge's renewals run against this: a refresh token works once, a used
// one is answered 409 with a retry delay, an expired one 401.
TEST_F(DevAuthorityTest, RefreshTokensRotateOnce) {
    DevSession first = signIn();
    JsonValue request = {{"clientKind", "bridge"}, {"refreshToken", first.refreshToken}};
    Answer rotated = post("/api/auth/session/refresh", request);
    ASSERT_EQ(rotated.status, 200) << rotated.raw;
    std::string newAccess = rotated.body["accessToken"], newRefresh = rotated.body["refreshToken"];
    EXPECT_TRUE(newAccess != first.accessToken && newRefresh != first.refreshToken);
    EXPECT_EQ(get("/api/auth/me", newAccess).status, 200);

    Answer conflict = post("/api/auth/session/refresh", request);
    EXPECT_EQ(outcome(conflict), "409 AUTH_REFRESH_ALREADY_ROTATED");
    EXPECT_EQ(conflict.body["retryAfterMs"], 50);

    authority.expireRefreshTokens();
    request["refreshToken"] = newRefresh;
    EXPECT_EQ(outcome(post("/api/auth/session/refresh", request)), "401 AUTH_REFRESH_INVALID");
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

void DevAuthorityTest::expectEveryOperationServed(const JsonValue& catalog, std::map<std::string, std::string> values,
                                                  const std::string& web, const std::string& agent) {
    values.insert({{"item", "x"}, {"noteId", "n 1"}});
    ASSERT_TRUE(catalog["operations"].is_array() && !catalog["operations"].empty());
    JsonValue ids = JsonValue::array();
    for (const auto& operation : catalog["operations"]) {
        std::string id = operation.value("id", "");
        ids.push_back(id);
        std::string method = operation.value("method", "");
        std::string pathTemplate = operation.value("pathTemplate", "");
        for (const auto& required : operation["requiredPathParams"])
            EXPECT_THAT(pathTemplate, HasSubstr(":" + required.get<std::string>())) << id;
        std::string path = renderTemplate(pathTemplate, values);
        std::string token = operation.value("authMode", "") == "project-agent" ? agent : web;
        Answer served = call(method, path, method == "GET" ? std::nullopt : std::optional(JsonValue::object()), token);
        EXPECT_EQ(served.status / 100, 2) << id << " " << path << " " << served.raw;
        EXPECT_EQ(call(method, path, JsonValue::object(), token == web ? agent : web).status, 401) << id;
        EXPECT_EQ(call(method, path, JsonValue::object()).status, 401) << id;
    }
    EXPECT_EQ(catalog["operationIds"], ids);
}

TEST_F(DevAuthorityTest, BootstrapCatalogueMatchesWhatIsServed) {
    std::string web = signIn().accessToken;
    Answer bootstrap = get("/api/authority?projectKey=my%20proj", web);
    ASSERT_EQ(bootstrap.status, 200) << bootstrap.raw;
    EXPECT_EQ(bootstrap.body["projectKey"], "my proj");
    EXPECT_EQ(bootstrap.body["project"]["name"], "With a space");
    const JsonValue& catalog = bootstrap.body["operationCatalog"];
    EXPECT_EQ(catalog, DevAuthority::operationCatalog());
    // An older project's validation goes through the queued worker.
    EXPECT_EQ(bootstrap.body["bridgeCompatibility"]["validationExecutorRequired"], true);
    EXPECT_FALSE(bootstrap.body.contains("mode"));

    authority.addTask("my proj", {{"itemId", "a b:c"}, {"status", "open"}});
    std::string agent = agentToken(web, "my%20proj");
    expectEveryOperationServed(catalog, {{"projectKey", "my proj"}, {"itemId", "a b:c"}}, web, agent);

    EXPECT_FALSE(get("/api/authority?projectKey=ALPHA&view=catalog", web).body.contains("project"));
    // Refused: no project key, a project the credential does not reach,
    // routes that do not exist (or lack a segment).
    std::vector<std::string> outcomes;
    for (const Answer& answer :
         {get("/api/authority", web), get("/api/authority?projectKey=OTHER", web), get("/api/projects/OTHER", web),
          get("/api/projects/ALPHA/tasks", agent), get("/api/nothing-here"), post("/api/health", JsonValue::object()),
          get("/api/projects/my%20proj/echo/x", web)})
        outcomes.push_back(outcome(answer));
    EXPECT_EQ(outcomes, (std::vector<std::string>{"400 PROJECT_KEY_REQUIRED", "403 PROJECT_ACCESS_DENIED",
                                                  "403 PROJECT_ACCESS_DENIED", "403 PROJECT_AGENT_SCOPE_MISMATCH",
                                                  "404 NOT_FOUND", "404 NOT_FOUND", "404 NOT_FOUND"}));
}

// A foundation project shows its generation in the bootstrap and the
// catalogue read alike, and reads tasks and skill records only through the
// catalogued resource operation, with the credential its project chose.
TEST_F(DevAuthorityTest, FoundationProjectsReadTasksAndSkillsThroughTheCatalogue) {
    authority.addFoundationProject("NEXT", "Next", {});
    FoundationProjectOptions olderWeb{
        .resourceAuthMode = "web-session", .announcePackageView = false, .explicitValidation = false};
    authority.addFoundationProject("WEB", "Web reads", olderWeb);
    authority.addUser("ana@example.test", "s3cret", {"ALPHA", "NEXT", "WEB"});
    authority.addTask("NEXT", {{"itemId", "N-1"}, {"skillOutputs", {{"zeta", "z"}, {"alpha", "a"}}}});
    authority.addTask("WEB", {{"itemId", "W-1"}});
    SkillFiles first = {{"SKILL.md", "# Lint\n"}};
    SkillFiles second = {{"SKILL.md", "# Lint 2\n"}, {"fix.sh", "echo fix\n"}, {"notes/usage.md", "use it\n"}};
    std::string firstHash = authority.publishSkill("lint", "1.0.0", first);
    std::string secondHash = authority.publishSkill("lint", "2.0.0", second, {.layout = PublishOptions::Layout::split});
    authority.publishSkill("lint", "3.0.0-rc", {{"SKILL.md", "# Lint 3\n"}}, {.makeCurrent = false});
    std::string web = signIn().accessToken;
    std::string agent = agentToken(web, "NEXT");

    Answer bootstrap = get("/api/authority?projectKey=NEXT", web);
    ASSERT_EQ(bootstrap.status, 200) << bootstrap.raw;
    EXPECT_THAT(bootstrap.body.value("mode", ""), StartsWith("foundation-"));
    EXPECT_EQ(bootstrap.body["bridgeCompatibility"]["validationExecutorRequired"], false);
    const JsonValue& catalog = bootstrap.body["operationCatalog"];
    EXPECT_EQ(catalog, DevAuthority::foundationOperationCatalog());
    EXPECT_EQ(catalog["version"], "foundation-v2");
    EXPECT_EQ(catalog["readOptimizations"]["skillPackageView"], "package");
    EXPECT_THAT(
        catalog["operationIds"].get<std::vector<std::string>>(),
        IsSupersetOf({"foundation.validation.create", "foundation.validation.report", "progress.native.claim"}));
    Answer compact = get("/api/authority?projectKey=NEXT&view=catalog", web);
    EXPECT_EQ(compact.body["mode"], bootstrap.body["mode"]);
    EXPECT_EQ(compact.body["operationCatalog"], catalog);

    std::string validation = post("/api/v2/projects/NEXT/validations", JsonValue{{"repoKey", "web"}}, agent)
                                 .body["validation"]
                                 .value("validationId", "");
    std::map<std::string, std::string> values = {{"projectKey", "NEXT"}, {"itemId", "N-1"}, {"resource", "tasks"}};
    values.insert({{"id", "N-1"}, {"validationId", validation}});
    expectEveryOperationServed(catalog, values, web, agent);

    // Tasks come back as stored, members in the order given.
    Answer task = get("/api/v2/projects/NEXT/resources/tasks/N-1", agent);
    EXPECT_NE(task.raw.find(R"("skillOutputs":{"zeta":"z","alpha":"a"})"), std::string::npos) << task.raw;
    EXPECT_EQ(task.body["data"]["itemId"], "N-1");

    const std::string record = "/api/v2/projects/NEXT/resources/skills/global%3Alint";
    auto versionsOf = [&](const std::string& query) {
        Answer answer = get(record + query, agent);
        std::vector<std::string> versions;
        for (const auto& entry : answer.body["data"]["versions"]) versions.push_back(entry.value("version", ""));
        return versions;
    };
    Answer whole = get(record, agent);
    const JsonValue& data = whole.body["data"];
    EXPECT_EQ(JsonValue::array({data["skillId"], data["status"], data["currentVersion"]}),
              JsonValue({"lint", "active", "2.0.0"}));
    EXPECT_EQ(versionsOf(""), (std::vector<std::string>{"1.0.0", "2.0.0", "3.0.0-rc"}));
    EXPECT_EQ(versionsOf("?view=package"), std::vector<std::string>{"2.0.0"});
    EXPECT_EQ(versionsOf("?view=package&version=1.0.0"), std::vector<std::string>{"1.0.0"});
    EXPECT_TRUE(versionsOf("?view=package&version=9.9.9").empty());
    auto published = [](const char* version, const std::string& hash, const char* files) {
        JsonValue entry = JsonValue::parse(files);
        entry.update({{"version", version}, {"status", "published"}, {"contentHash", hash}});
        return entry;
    };
    EXPECT_EQ(data["versions"][0], published("1.0.0", firstHash, R"({"fileTreeSnapshot":{"SKILL.md":"# Lint\n"}})"));
    // The split layout leaves out fileTreeSnapshot, as some publishers do.
    EXPECT_EQ(data["versions"][1],
              published("2.0.0", secondHash,
                        R"({"documentation":{"SKILL.md":"# Lint 2\n","notes/usage.md":"use it\n"},)"
                        R"("scripts":{"fix.sh":"echo fix\n"}})"));
    for (const std::string missing : {"skills/lint", "skills/global%3Anope", "tasks/N-404", "widgets/N-1"})
        EXPECT_EQ(outcome(get("/api/v2/projects/NEXT/resources/" + missing, agent)), "404 RESOURCE_NOT_FOUND")
            << missing;
    // Only foundation projects have the route.
    EXPECT_EQ(get("/api/v2/projects/ALPHA/resources/tasks/A-1", agentToken(web, "ALPHA")).body["code"], "NOT_FOUND");

    // A project that reads with the web session, announces no package view
    // and still wants the queued worker.
    Answer older = get("/api/authority?projectKey=WEB", web);
    const JsonValue& webCatalog = older.body["operationCatalog"];
    EXPECT_EQ(older.body["bridgeCompatibility"]["validationExecutorRequired"], true);
    EXPECT_FALSE(webCatalog["readOptimizations"].contains("skillPackageView"));
    EXPECT_THAT(webCatalog["operationIds"].get<std::vector<std::string>>(),
                Not(Contains("foundation.validation.create")));
    values = {{"projectKey", "WEB"}, {"itemId", "W-1"}, {"resource", "skills"}, {"id", "global:lint"}};
    expectEveryOperationServed(webCatalog, values, web, agentToken(web, "WEB"));
    EXPECT_EQ(post("/api/v2/projects/WEB/validations", JsonValue::object(), agentToken(web, "WEB")).status, 404);

    EXPECT_THROW(authority.addFoundationProject("BAD", "", {.resourceAuthMode = "cookie"}), std::invalid_argument);
}

// The older generation's package paths: the current version, or an exact
// version and hash. A package changed in place gets a new hash, and its old
// exact path stops answering, as a republished package's would.
TEST_F(DevAuthorityTest, PublishedPackagesOnFixedPaths) {
    SkillFiles first = {{"SKILL.md", "# Deploy\n"}, {"deploy.sh", "echo deploy\n"}};
    SkillFiles second = {{"SKILL.md", "# Deploy 2\n"}};
    std::string firstHash = authority.publishSkill("deploy", "1.0.0", first, {.layout = PublishOptions::Layout::split});
    std::string secondHash = authority.publishSkill("deploy", "2.0.0", second);
    authority.publishSkill("draft", "0.1.0", {{"SKILL.md", "# Draft\n"}}, {.makeCurrent = false});
    EXPECT_EQ(firstHash.size() + firstHash.find_first_not_of("0123456789abcdef"), 64 + std::string::npos);
    EXPECT_TRUE(firstHash == DevAuthority::contentHash(first) && firstHash != secondHash);
    std::string web = signIn().accessToken;

    const std::string exact = "/api/public/skills/deploy/1.0.0/" + firstHash + "/package";
    EXPECT_EQ(get("/api/skills/deploy/package", web).body,
              JsonValue({{"ok", true},
                         {"skillId", "deploy"},
                         {"version", "2.0.0"},
                         {"contentHash", secondHash},
                         {"fileTreeSnapshot", {{"SKILL.md", "# Deploy 2\n"}}},
                         {"downloadUrl", "/api/public/skills/deploy/2.0.0/" + secondHash + "/package"}}));

    // A split version still hands out all its files in one snapshot.
    Answer pinned = get(exact, web);
    EXPECT_EQ(pinned.body["fileTreeSnapshot"], JsonValue(first)) << pinned.raw;
    EXPECT_EQ(pinned.body["downloadUrl"], exact);
    // A hash of another version, a skill with nothing current, an unknown one, no session.
    for (const auto& [path, token] : {std::pair{"/api/public/skills/deploy/1.0.0/" + secondHash + "/package", web},
                                      {"/api/skills/draft/package", web},
                                      {"/api/skills/nope/package", web},
                                      {"/api/skills/deploy/package", std::string()}})
        EXPECT_EQ(outcome(get(path, token)), token.empty() ? "401 AUTH_REQUIRED" : "404 SKILL_PACKAGE_NOT_FOUND")
            << path;

    SkillFiles changed = {{"SKILL.md", "# Deploy, fixed\n"}};
    std::string changedHash = authority.changePublishedPackage("deploy", "1.0.0", changed);
    EXPECT_EQ(changedHash, DevAuthority::contentHash(changed));
    EXPECT_EQ(get(exact, web).status, 404);
    Answer republished = get("/api/public/skills/deploy/1.0.0/" + changedHash + "/package", web);
    EXPECT_EQ(republished.body["fileTreeSnapshot"], JsonValue(changed));
    EXPECT_THROW(authority.changePublishedPackage("deploy", "9.0.0", changed), std::invalid_argument);
    EXPECT_THROW(authority.changePublishedPackage("nope", "1.0.0", changed), std::invalid_argument);

    // Hooks and counters name the route without its query.
    authority.resetRecords();
    authority.failNext("GET", "/api/skills/deploy/package", 503, {{"code", "MAINTENANCE"}});
    EXPECT_EQ(get("/api/skills/deploy/package?ref=x", web).status, 503);
    EXPECT_EQ(get("/api/skills/deploy/package?ref=x", web).status, 200);
    EXPECT_EQ(authority.requestCount("GET", "/api/skills/deploy/package"), 2u);
}

// A progress item answers on its own candidate path only, wrapped as asked,
// and its task comes back byte for byte in the order it was given: the
// bridge reads skill outputs in the order the authority wrote them.
TEST_F(DevAuthorityTest, ProgressItemsAnswerOnlyOnTheirOwnPathInTheGivenOrder) {
    using Place = ProgressItemOptions::Place;
    OrderedJson task = {{"itemId", "P-1"},
                        {"revision", 3},
                        {"skillOutputs", {{"zeta", {{"version", "2"}}}, {"alpha", "x"}, {"mid", nullptr}}},
                        {"requiredSkills", {"lint"}},
                        {"skillState", {{"bindings", OrderedJson::array()}}}};
    authority.addProgressItem("ALPHA", task);
    authority.addProgressItem("ALPHA", {{"itemId", "P-2"}, {"skills", {"lint"}}},
                              {.where = Place::projectLevel, .wrapper = "item"});
    authority.addProgressItem("ALPHA", {{"id", "P-3"}, {"supportSkills", {"deploy"}}},
                              {.where = Place::repoLevel, .repoKey = "web", .wrapper = "progressItem"});
    authority.addProgressItem("ALPHA", {{"title", "no id of its own"}},
                              {.where = Place::repoLevelWithoutRepo, .wrapper = "", .itemId = "P-4"});
    EXPECT_THROW(authority.addProgressItem("ALPHA", {{"title", "no id"}}), std::invalid_argument);
    std::string web = signIn().accessToken;

    auto candidates = [](const std::string& item) {
        const std::string base = "/api/projects/ALPHA/progress/";
        return std::vector<std::string>{base + item, base + "project-level/" + item, base + "repo-level/web/" + item,
                                        base + "repo-level/" + item};
    };
    const std::vector<std::string> items = {"P-1", "P-2", "P-3", "P-4"};
    for (std::size_t own = 0; own < items.size(); ++own) {
        auto paths = candidates(items[own]);
        for (std::size_t i = 0; i < paths.size(); ++i) {
            Answer answer = get(paths[i], web);
            EXPECT_EQ(outcome(answer), i == own ? "200 " : "404 PROGRESS_ITEM_NOT_FOUND") << paths[i] << answer.raw;
        }
    }
    EXPECT_EQ(get(candidates("P-1")[0], web).raw, R"({"ok":true,"data":)" + task.dump() + "}");
    EXPECT_EQ(get(candidates("P-2")[1], web).body["item"]["skills"], JsonValue::array({"lint"}));
    EXPECT_EQ(get(candidates("P-3")[2], web).body["progressItem"]["id"], "P-3");
    EXPECT_EQ(get(candidates("P-4")[3], web).raw, R"({"title":"no id of its own"})");
    EXPECT_EQ(get("/api/projects/ALPHA/progress/repo-level/api/P-3", web).status, 404);

    // Adding again at the same path replaces the item.
    authority.addProgressItem("ALPHA", {{"itemId", "P-1"}, {"revision", 4}});
    EXPECT_EQ(get(candidates("P-1")[0], web).body["data"]["revision"], 4);

    // Members' web sessions only.
    std::vector<int> refused;
    for (const Answer& answer :
         {get(candidates("P-1")[0]), get(candidates("P-1")[0], agentToken(web, "ALPHA")),
          get("/api/projects/OTHER/progress/P-1", web), get("/api/projects/NOPE/progress/P-1", web)})
        refused.push_back(answer.status);
    EXPECT_EQ(refused, (std::vector<int>{401, 401, 403, 404}));

    // A claim answers with the whole claimed record, in its order, so that a
    // client can install the claimed task's skills from it.
    authority.addTask(
        "my proj",
        {{"itemId", "C-1"}, {"skillOutputs", {{"zeta", "z"}, {"alpha", "a"}}}, {"requiredSkills", {"lint"}}});
    Answer claimed = post("/api/projects/my%20proj/progress/native/claim", JsonValue{{"itemId", "C-1"}},
                          agentToken(web, "my%20proj"));
    EXPECT_NE(claimed.raw.find(R"("skillOutputs":{"zeta":"z","alpha":"a"},"requiredSkills":["lint"])"),
              std::string::npos)
        << claimed.raw;
    EXPECT_EQ(claimed.body["item"]["status"], "in_progress");
}

// Whoever holds an agent token can ask who it is; a dead one is refused as a
// dead web token is.
TEST_F(DevAuthorityTest, AuthMeDescribesTheNodeOfAnAgentToken) {
    std::string web = signIn().accessToken, agent = agentToken(web, "ALPHA");
    Answer me = get("/api/auth/me", agent);
    EXPECT_EQ(me.status, 200) << me.raw;
    EXPECT_EQ(me.body["nodeId"], jwtPayload(agent).value_or(JsonValue::object())["nodeId"]);
    EXPECT_THAT(me.body.value("nodeId", ""), StartsWith("node-"));
    EXPECT_EQ(me.body["projectKey"], "ALPHA");
    EXPECT_EQ(get("/api/auth/me", agent + "x").status, 401);

    DevAuthority expiring({.agentTokenLifetime = std::chrono::seconds(0)});
    expiring.addUser("ana@example.test", "s3cret", {"ALPHA"});
    expiring.start();
    client = std::make_unique<httplib::Client>("127.0.0.1", expiring.port());
    web = expiring.login("ana@example.test", "s3cret").accessToken;
    EXPECT_EQ(get("/api/auth/me", agentToken(web, "ALPHA")).status, 401);
    EXPECT_EQ(get("/api/auth/me", web).status, 200);
}

// Each idempotency key is recorded once, as received, per project.
TEST_F(DevAuthorityTest, WorkEventsAreRecordedOncePerKey) {
    std::string agent = agentToken(signIn().accessToken, "ALPHA");
    const std::string route = "/api/projects/ALPHA/ai-work-events";
    JsonValue first = {{"idempotencyKey", "k-1"}}, second = {{"summary", "no key"}};
    std::vector<int> statuses = {post(route, first, agent).status, post(route, second, agent).status,
                                 post(route, first, agent).status};
    EXPECT_EQ(statuses, (std::vector<int>{201, 201, 200}));
    EXPECT_EQ(authority.workEvents("ALPHA"), (std::vector<JsonValue>{first, second}));
    EXPECT_TRUE(authority.workEvents("my proj").empty());
    authority.clearWorkEvents();
    EXPECT_EQ(post(route, first, agent).status, 201);  // the key is forgotten too
}

// Hooks take a route by method and raw path, percent escapes and all, never
// by its query; queued answers come in order. Every request is counted,
// whatever answered it: other tests' "nothing was sent" checks are only as
// good as this. What is recorded of a request (its raw query, its headers by
// lower-case name) and the counts of a route the tests that read them check.
TEST_F(DevAuthorityTest, HooksAnswerInOrderAndEveryRequestIsRecorded) {
    std::string web = signIn().accessToken;
    std::string agent = agentToken(web, "my%20proj");
    authority.addTask("my proj", {{"itemId", "a b"}});
    const std::string task = "/api/projects/my%20proj/tasks/a%20b";
    authority.resetRecords();

    authority.failNext("GET", "/api/projects/my proj/tasks/a b", 500, JsonValue::object());
    EXPECT_EQ(get(task, agent).status, 200);  // the decoded form is another route
    authority.failNext("GET", task, 503, {{"code", "MAINTENANCE"}, {"retryAfterMs", 5}}, 2);
    authority.failNext("GET", task, 200, JsonValue::array({1, 2}));
    EXPECT_EQ(get("/api/health").status, 200);  // another route is untouched
    Answer first = get(task + "?limit=1", agent);
    EXPECT_EQ(first.body["retryAfterMs"], 5);
    std::vector<std::string> queued = {outcome(first), outcome(get(task, agent)), get(task, agent).raw,
                                       outcome(get(task, agent))};
    EXPECT_EQ(queued, (std::vector<std::string>{"503 MAINTENANCE", "503 MAINTENANCE", "[1,2]", "200 "}));
    authority.failNext("GET", task, 500, JsonValue::object(), 5);
    authority.clearHooks();
    EXPECT_EQ(get(task, agent).status, 200);

    const std::string events = "/api/projects/my%20proj/ai-work-events";
    ASSERT_TRUE(client->Post(events.c_str(), {{"Authorization", "Bearer " + agent}}, R"({"n":2})", "application/json"));
    const RecordedRequest sent = authority.requests("POST", events).at(0);
    EXPECT_EQ(sent.header("content-type") + " " + sent.json().dump(), R"(application/json {"n":2})");
    EXPECT_EQ(sent.headers.count("remote_addr"), 0u);
    EXPECT_EQ(authority.totalRequests(), 8u);
}

// What a client makes of a cut answer, and a delayed answer's wait, the
// session, endpoint and doctor tests see.
TEST_F(DevAuthorityTest, DropCutsTheAnswerShortAndDelayHoldsOnlyTheNextBack) {
    authority.dropNext("GET", "/api/health");
    // At the wire: a status line and headers promising more body than comes.
    auto raw = test::parseResponse(test::get(authority.port(), "/api/health"));
    EXPECT_EQ(raw.status, 200);
    EXPECT_THAT(raw.head, HasSubstr("Content-Length: 64"));
    EXPECT_LT(raw.body.size(), 64u);

    authority.delayNext("GET", "/api/health", 300ms);
    get("/api/health");
    auto started = std::chrono::steady_clock::now();
    get("/api/health");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 250ms);
    EXPECT_EQ(authority.requestCount("GET", "/api/health"), 3u);
}

// It stops promptly while clients hold connections or wait; it can count
// requests without keeping them. The program's port drops show that it
// comes back on its port with its data.
TEST(DevAuthorityLifecycle, StopsPromptlyWhileClientsHoldConnections) {
    DevAuthority authority({.recordRequests = false});
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
    EXPECT_FALSE(idle.Get("/api/health"));
    EXPECT_TRUE(authority.requests().empty());
}

}  // namespace
}  // namespace palisor::dev
