// "authority_call_operation" end to end against the development authority's catalogue.
#include <gmock/gmock.h>
#include "tests/tools/tools_fixture.h"

namespace palisor {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class OperationCalls : public test::ToolsFixture {
protected:
    void SetUp() override {
        ToolsFixture::SetUp();
        login();
        authority.clearWorkEvents();
    }
    JsonValue call(const std::string& operationId, JsonValue args = JsonValue::object()) {
        args["operationId"] = operationId;
        return callTool("authority_call_operation", args);
    }
    std::vector<JsonValue> bridgeEvents() {
        std::vector<JsonValue> events;
        for (const JsonValue& event : authority.workEvents(kProject))
            if (event.value("component", "") == "bridge") events.push_back(event);
        return events;
    }
};

TEST_F(OperationCalls, PathsAndQueriesAreRenderedFromTheCatalogue) {
    JsonValue echo = toolValue(call("dev.echo.get", {{"pathParams", {{"item", "a b"}, {"itemId", "y"}}},
                                                     {"query", {{"limit", 5}, {"status", ""}}},
                                                     {"body", {{"ignored", true}}}}));
    EXPECT_EQ(echo["path"], "/api/projects/DEMO-PROJECT/echo/a%20b/y");
    EXPECT_EQ(echo["rawQuery"], "limit=5&projectKey=DEMO-PROJECT");
    EXPECT_EQ(echo["pathParams"], JsonValue({{"projectKey", kProject}, {"item", "a b"}, {"itemId", "y"}}));
    EXPECT_TRUE(echo["body"].is_null());  // a GET carries no body

    JsonValue posted = toolValue(call("dev.echo.post", {{"pathParams", {{"item", "x"}}}}));
    EXPECT_EQ(posted["body"], JsonValue::object());  // other methods send {} when no body is given

    auto sent = authority.requests("GET", "/api/projects/DEMO-PROJECT/tasks");
    EXPECT_TRUE(sent.empty());
    toolValue(call("tasks.list", {{"query", {{"limit", 5}, {"foo", ""}}}}));
    sent = authority.requests("GET", "/api/projects/DEMO-PROJECT/tasks");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].query, "limit=5");  // the default projectKey is dropped silently

    EXPECT_EQ(call("tasks.list", {{"query", {{"foo", "x"}}}})["error"]["message"], "QUERY_PARAM_NOT_ALLOWED:foo");
    EXPECT_EQ(call("dev.echo.get")["error"]["message"], "PATH_PARAM_REQUIRED:item");
    EXPECT_EQ(call("no.such.operation")["error"]["message"], "AUTHORITY_OPERATION_NOT_FOUND:no.such.operation");
    EXPECT_EQ(callTool("authority_call_operation")["error"]["message"], "OPERATIONID_REQUIRED");
    EXPECT_TRUE(bridgeEvents().empty());  // none of these capture events
}

TEST_F(OperationCalls, PathParametersNeverLeaveTheirOperationsPath) {
    // Another route of the same session, or another project's token minting,
    // is not reachable by walking up from a parameter.
    JsonValue walked =
        toolValue(call("dev.echo.get", {{"pathParams", {{"item", "../../../../../auth/me"}, {"itemId", "y"}}}}));
    EXPECT_EQ(walked["path"], "/api/projects/DEMO-PROJECT/echo/..%2F..%2F..%2F..%2F..%2Fauth%2Fme/y");
    authority.resetRecords();
    EXPECT_EQ(call("dev.echo.post", {{"pathParams", {{"item", "x"}, {"itemId", ".."}}}})["error"]["message"],
              "PATH_PARAM_INVALID:itemId");
    ToolRouterEndpoint endpoint(router);
    auto plain = test::parseResponse(handleHttpTool("authority_call_operation",
                                                    {{"operationId", "dev.echo.post"},
                                                     {"pathParams", {{"item", "."}, {"itemId", "OTHER"}}}},
                                                    &endpoint)
                                         .data);
    EXPECT_EQ(plain.status, 400);
    EXPECT_EQ(plain.json["error"], "PATH_PARAM_INVALID:item");
    for (const auto& sent : authority.requests()) EXPECT_EQ(sent.method, "GET") << sent.path;
}

TEST_F(OperationCalls, ArgumentsNamingAnotherProjectAreRefusedBeforeSending) {
    authority.resetRecords();
    JsonValue refused = call("dev.echo.get", {{"pathParams", {{"projectKey", "OTHER"}, {"item", "x"}}}});
    EXPECT_EQ(refused["error"]["code"], -32000);
    EXPECT_EQ(refused["error"]["data"]["code"], "BRIDGE_OPERATION_PROJECT_MISMATCH");
    EXPECT_EQ(refused["error"]["data"]["fields"], JsonValue::array({"pathParams.projectKey"}));
    EXPECT_EQ(authority.totalRequests(), 0u);

    ToolRouterEndpoint endpoint(router);
    auto plain = test::parseResponse(
        handleHttpTool("authority_call_operation",
                       {{"operationId", "dev.echo.get"}, {"query", {{"projectKey", 7}}}, {"pathParams", {{"item", "x"}}}},
                       &endpoint)
            .data);
    EXPECT_EQ(plain.status, 403);
    EXPECT_EQ(plain.json["details"]["fields"], JsonValue::array({"query.projectKey"}));
    EXPECT_EQ(plain.json["details"]["details"]["requestedProjectKey"], 7);
}

TEST_F(OperationCalls, CapturedOperationsRecordStartAndEnd) {
    authority.addTask(kProject, {{"itemId", "TASK-00001"}, {"title", "Sửa lỗi"}, {"status", "open"}, {"revision", 1}});
    JsonValue claimed = toolValue(call("progress.native.claim", {{"body", {{"itemId", "TASK-00001"}}}, {"causalId", "causal-claim-1"}}));
    EXPECT_EQ(claimed["item"]["itemId"], "TASK-00001");
    EXPECT_EQ(claimed["item"]["revision"], 2);  // so the event's revision below is a real one
    auto events = bridgeEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0]["eventType"], "bridge.operation.started");
    EXPECT_EQ(events[0]["idempotencyKey"], "bridge:causal-claim-1:started");
    EXPECT_EQ(events[0]["phase"], "execution");
    EXPECT_EQ(events[1]["eventType"], "bridge.operation.succeeded");
    EXPECT_EQ(events[1]["taskId"], "TASK-00001");
    EXPECT_EQ(events[1]["taskRevision"], claimed["item"]["revision"]);
    EXPECT_TRUE(events[1]["durationMs"].is_number_integer());

    authority.clearWorkEvents();
    EXPECT_EQ(call("tasks.get", {{"pathParams", {{"itemId", "NOPE"}}}})["error"]["data"]["statusCode"], 404);
    events = bridgeEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1]["outcome"], "blocked");
    EXPECT_EQ(events[1]["severity"], "warning");
    EXPECT_EQ(events[1]["httpStatus"], 404);
    EXPECT_EQ(events[1]["retryable"], false);

    authority.clearWorkEvents();
    authority.failNext("GET", "/api/projects/DEMO-PROJECT/tasks/TASK-00001", 503, {{"code", "DOWN"}, {"message", "down"}});
    call("tasks.get", {{"pathParams", {{"itemId", "TASK-00001"}}}});
    events = bridgeEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1]["outcome"], "failed");
    EXPECT_EQ(events[1]["severity"], "error");
    EXPECT_EQ(events[1]["retryable"], true);

    // The work-event operations never record events about themselves.
    authority.clearWorkEvents();
    EXPECT_TRUE(toolValue(call("ai.work_events.list")).contains("items"));
    EXPECT_TRUE(bridgeEvents().empty());
}

TEST_F(OperationCalls, FailureRecordsAreScrubbedOnTheWayToTheAgent) {
    authority.failNext("GET", "/api/projects/DEMO-PROJECT", 500,
                       {{"error", {{"code", "BOOM"},
                                   {"message", "failed with Authorization: Bearer sk-live-123456"},
                                   {"stack", "at secret.js:1"},
                                   {"details", {{"password", "hunter2"}, {"dsn", "postgres://u:p4ss@db/x"}}}}}});
    JsonValue failed = call("projects.get");
    std::string text = failed.dump();
    EXPECT_EQ(failed["error"]["data"]["code"], "BOOM");
    for (const char* secret : {"sk-live-123456", "hunter2", "p4ss", "secret.js"})
        EXPECT_THAT(text, Not(HasSubstr(secret))) << secret;
    EXPECT_THAT(text, HasSubstr("[REDACTED]"));
}

}  // namespace
}  // namespace palisor
