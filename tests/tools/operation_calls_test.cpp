// "authority_call_operation" end to end against the development authority's
// catalogue. What a refusal's record holds, scrubbed, is the client's to test.
#include <gmock/gmock.h>

#include "tests/tools/tools_fixture.h"

namespace palisor {
namespace {

class OperationCalls : public test::ToolsFixture {
protected:
    void SetUp() override {
        ToolsFixture::SetUp();
        login();
        authority.clearWorkEvents();
    }
    std::string errorOf(const std::string& operationId, const JsonValue& arguments = JsonValue::object()) {
        return callOperation(operationId, arguments)["error"].value("message", "no error");
    }
};

TEST_F(OperationCalls, PathsAndQueriesAreRenderedFromTheCatalogueOrRefused) {
    // Arguments naming another project are refused before anything is sent.
    authority.resetRecords();
    JsonValue refused = callOperation("dev.echo.get", {{"pathParams", {{"projectKey", "OTHER"}, {"item", "x"}}}});
    EXPECT_EQ(refused["error"]["data"]["code"], "BRIDGE_OPERATION_PROJECT_MISMATCH");
    EXPECT_EQ(authority.totalRequests(), 0u);
    JsonValue echo = toolValue(callOperation("dev.echo.get", {{"pathParams", {{"item", "a b"}, {"itemId", "y"}}},
                                                              {"query", {{"limit", 5}, {"status", ""}}},
                                                              {"body", {{"ignored", true}}}}));
    EXPECT_EQ(echo["path"], "/api/projects/DEMO-PROJECT/echo/a%20b/y");
    EXPECT_EQ(echo["rawQuery"], "limit=5&projectKey=DEMO-PROJECT");
    EXPECT_EQ(echo["pathParams"], JsonValue({{"projectKey", kProject}, {"item", "a b"}, {"itemId", "y"}}));
    EXPECT_TRUE(echo["body"].is_null());  // a GET carries no body

    JsonValue posted = toolValue(callOperation("dev.echo.post", {{"pathParams", {{"item", "x"}}}}));
    EXPECT_EQ(posted["body"], JsonValue::object());  // other methods send {} when no body is given

    toolValue(callOperation("tasks.list", {{"query", {{"limit", 5}, {"foo", ""}}}}));
    auto sent = authority.requests("GET", "/api/projects/DEMO-PROJECT/tasks");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].query, "limit=5");  // the default projectKey is dropped silently

    EXPECT_EQ(errorOf("tasks.list", {{"query", {{"foo", "x"}}}}), "QUERY_PARAM_NOT_ALLOWED:foo");
    EXPECT_EQ(errorOf("dev.echo.get"), "PATH_PARAM_REQUIRED:item");
    EXPECT_EQ(errorOf("no.such.operation"), "AUTHORITY_OPERATION_NOT_FOUND:no.such.operation");
    EXPECT_EQ(callTool("authority_call_operation")["error"]["message"], "OPERATIONID_REQUIRED");
    EXPECT_TRUE(bridgeEvents().empty());  // none of these capture events
}

TEST_F(OperationCalls, CapturedOperationsRecordStartAndEnd) {
    authority.addTask(kProject, {{"itemId", "TASK-00001"}, {"title", "Sửa lỗi"}, {"status", "open"}, {"revision", 1}});
    JsonValue claimed = toolValue(
        callOperation("progress.native.claim", {{"body", {{"itemId", "TASK-00001"}}}, {"causalId", "causal-claim-1"}}));
    EXPECT_EQ(claimed["item"]["revision"], 2);  // so the event's revision below is a real one
    auto events = bridgeEvents();
    ASSERT_EQ(events.size(), 2u);
    test::expectFields(events[0], {{"eventType", "bridge.operation.started"},
                                   {"idempotencyKey", "bridge:causal-claim-1:started"},
                                   {"phase", "execution"}});
    test::expectFields(events[1],
                       {{"eventType", "bridge.operation.succeeded"}, {"taskId", "TASK-00001"}, {"taskRevision", 2}});
    EXPECT_TRUE(events[1]["durationMs"].is_number_integer());

    // A refusal and an outage end the pair as the authority's answer says.
    authority.failNext("GET", "/api/projects/DEMO-PROJECT/tasks/TASK-00001", 503,
                       {{"code", "DOWN"}, {"message", "down"}});
    for (auto [itemId, outcome, status] : std::vector<std::tuple<std::string, std::string, int>>{
             {"NOPE", "blocked", 404}, {"TASK-00001", "failed", 503}}) {
        authority.clearWorkEvents();
        EXPECT_EQ(callOperation("tasks.get", {{"pathParams", {{"itemId", itemId}}}})["error"]["data"]["statusCode"],
                  status);
        events = bridgeEvents();
        ASSERT_EQ(events.size(), 2u) << itemId;
        test::expectFields(events[1], {{"outcome", outcome}, {"httpStatus", status}});
    }

    // The work-event operations never record events about themselves.
    authority.clearWorkEvents();
    EXPECT_TRUE(toolValue(callOperation("ai.work_events.list")).contains("items"));
    EXPECT_TRUE(bridgeEvents().empty());
}

}  // namespace
}  // namespace palisor
