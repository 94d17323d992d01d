// Path and query rendering and the bridge's operation events, without a network.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bridge/authority/authority_client_error.h"
#include "bridge/authority/authority_http.h"
#include "bridge/tools/tool_router.h"
#include "tests/support/errors.h"

namespace palisor {
namespace {

using ::testing::StartsWith;

using R = ToolRouter;
using test::errorOf;

TEST(OperationRendering, PathTemplates) {
    EXPECT_EQ(R::renderPathTemplate("/api/projects/:projectKey/items/:itemId", {{"projectKey", "dự án"}, {"itemId", "a b"}},
                                    {"itemId"}),
              "/api/projects/d%E1%BB%B1%20%C3%A1n/items/a%20b");
    // Overlapping names: the longer placeholder is not eaten by the shorter.
    EXPECT_EQ(R::renderPathTemplate("/api/x/:id/y/:idx", {{"id", "1"}, {"idx", "2"}}, {}), "/api/x/1/y/2");
    // An empty optional value removes its placeholder.
    EXPECT_EQ(R::renderPathTemplate("/api/x/:opt", {{"opt", nullptr}}, {}), "/api/x/");
    // Values as text: numbers without a needless fraction, booleans as 1 or 0, objects as compact JSON.
    EXPECT_EQ(R::renderPathTemplate("/api/n/:n/:b/:f/:w/:o",
                                    {{"n", 5}, {"b", true}, {"f", 2.5}, {"w", 3.0}, {"o", {{"a", 1}}}}, {}),
              "/api/n/5/1/2.5/3/%7B%22a%22:1%7D");
    EXPECT_EQ(errorOf([] { R::renderPathTemplate("/other/:id", {{"id", "1"}}, {}); }), "AUTHORITY_OPERATION_PATH_INVALID");
    EXPECT_EQ(errorOf([] { R::renderPathTemplate("/api/:itemId", {{"itemId", ""}}, {"itemId"}); }),
              "PATH_PARAM_REQUIRED:itemId");
    EXPECT_EQ(errorOf([] { R::renderPathTemplate("/api/:itemId/:other", {{"itemId", "1"}}, {}); }),
              "AUTHORITY_OPERATION_PATH_UNRESOLVED");
    // A colon not followed by a letter is not a placeholder.
    EXPECT_EQ(R::renderPathTemplate("/api/time/12:30", JsonValue::object(), {}), "/api/time/12:30");

    // Each value fills exactly one segment: "/" is encoded, "." and ".." are
    // refused, and a value is never read again for placeholders.
    EXPECT_EQ(R::renderPathTemplate("/api/p/:projectKey/notes/:noteId",
                                    {{"projectKey", "P"}, {"noteId", "../../../../auth/me"}}, {}),
              "/api/p/P/notes/..%2F..%2F..%2F..%2Fauth%2Fme");
    for (const char* dots : {".", ".."})
        EXPECT_EQ(errorOf([&] { R::renderPathTemplate("/api/p/:projectKey/x", {{"projectKey", dots}}, {}); }),
                  "PATH_PARAM_INVALID:projectKey");
    EXPECT_EQ(errorOf([] { R::renderPathTemplate("/api/:a/:b", {{"a", ":b"}, {"b", ".."}}, {}); }),
              "PATH_PARAM_INVALID:b");
    EXPECT_EQ(errorOf([] { R::renderPathTemplate("/api/:a/:b", {{"a", ":b"}, {"b", "x"}}, {}); }),
              "AUTHORITY_OPERATION_PATH_UNRESOLVED");
    // Empty values beside a template's own dots must not step above its fixed part.
    EXPECT_EQ(errorOf([] { R::renderPathTemplate("/api/p/:a..", {{"a", ""}}, {}); }),
              "AUTHORITY_OPERATION_PATH_INVALID");
    EXPECT_EQ(R::renderPathTemplate("/api/p/:a..", {{"a", "x"}}, {}), "/api/p/x..");
}

TEST(OperationEvents, OutcomesKindsAndSeverities) {
    JsonValue operation = {{"id", "tasks.list"}, {"authMode", "project-agent"}, {"observability", {{"phase", "delivery"}}}};
    AuthorityTraceContext context({.traceId = "trace-0001", .spanId = "span-0001", .causalId = "causal-0001",
                                   .taskId = "task-0001", .taskRevision = 4});
    JsonValue started = R::bridgeOperationEvent(context, operation, "GET", "/api/p?x=1", "started", std::nullopt, nullptr);
    EXPECT_EQ(started["idempotencyKey"], "bridge:causal-0001:started");
    EXPECT_EQ(started["kind"], "operation");
    EXPECT_EQ(started["severity"], "info");
    EXPECT_EQ(started["summary"], "Bridge bắt đầu tasks.list.");
    EXPECT_EQ(started["phase"], "delivery");
    EXPECT_EQ(started["attributes"], JsonValue({{"method", "GET"}, {"requestPath", "/api/p?x=1"}, {"authMode", "project-agent"}}));
    EXPECT_EQ(started["taskId"], "task-0001");
    EXPECT_EQ(started["taskRevision"], 4);
    EXPECT_FALSE(started.contains("durationMs"));
    EXPECT_FALSE(started.contains("retryable"));

    auto notFound = AuthorityClientError::httpError(404, "missing", {{"code", "TASK_NOT_FOUND"}});
    JsonValue blocked = R::bridgeOperationEvent(context, operation, "GET", "/api/p", "failed", -5, &notFound);
    EXPECT_EQ(blocked["outcome"], "blocked");
    EXPECT_EQ(blocked["eventType"], "bridge.operation.blocked");
    EXPECT_EQ(blocked["kind"], "blocker");
    EXPECT_EQ(blocked["severity"], "warning");
    EXPECT_EQ(blocked["idempotencyKey"], "bridge:causal-0001:failed");
    EXPECT_EQ(blocked["httpStatus"], 404);
    EXPECT_EQ(blocked["retryable"], false);
    EXPECT_EQ(blocked["durationMs"], 0);
    EXPECT_EQ(blocked["errorCode"], "TASK_NOT_FOUND");
    EXPECT_EQ(blocked["summary"], "Bridge không hoàn tất tasks.list: TASK_NOT_FOUND.");

    auto unavailable = AuthorityClientError::httpError(503, "down", {{"code", "DOWN"}});
    JsonValue failed = R::bridgeOperationEvent(context, operation, "GET", "/api/p", "failed", 12, &unavailable);
    EXPECT_EQ(failed["outcome"], "failed");
    EXPECT_EQ(failed["severity"], "error");
    EXPECT_EQ(failed["retryable"], true);

    TransportError offline(7, "Failed to connect");
    JsonValue transport = R::bridgeOperationEvent(context, operation, "GET", "/api/p", "failed", 1, &offline);
    EXPECT_EQ(transport["retryable"], true);
    EXPECT_FALSE(transport.contains("httpStatus"));
    EXPECT_EQ(transport["errorMessage"], "Failed to connect");

    JsonValue anonymous = R::bridgeOperationEvent(AuthorityTraceContext(), JsonValue::object(), "POST", "/api/q",
                                                  "succeeded", 3, nullptr);
    EXPECT_EQ(anonymous["operationId"], "authority.operation");
    EXPECT_EQ(anonymous["attributes"]["authMode"], "web-session");
    EXPECT_EQ(anonymous["phase"], "infrastructure");
    EXPECT_EQ(anonymous["kind"], "result");
    EXPECT_EQ(anonymous["summary"], "Bridge hoàn tất authority.operation.");
    EXPECT_THAT(anonymous["traceId"].get<std::string>(), StartsWith("trace-"));
    EXPECT_THAT(anonymous["causalId"].get<std::string>(), StartsWith("causal-"));
    // Without a causal id the key takes an upper-case UUID.
    std::string key = anonymous["idempotencyKey"];
    EXPECT_EQ(key.size(), std::string("bridge::succeeded").size() + 36);
}

TEST(OperationEvents, ResponsesRefineTheTaskContext) {
    AuthorityTraceContext context({.traceId = "trace-0001", .taskRevision = 1, .sourceComponent = "validator"});
    auto refined = R::responseTaskContext(context, {{"item", {{"itemId", "task-00077"}, {"revision", 9}}}});
    EXPECT_EQ(refined.taskId(), "task-00077");
    EXPECT_EQ(refined.taskRevision(), 9);
    EXPECT_EQ(refined.sourceComponent(), "bridge");
    EXPECT_EQ(refined.traceId(), "trace-0001");
    auto kept = R::responseTaskContext(refined, {{"itemId", "task-other1"}, {"revision", "x"}});
    EXPECT_EQ(kept.taskId(), "task-00077");
    EXPECT_EQ(kept.taskRevision(), 9);
    EXPECT_EQ(R::responseTaskContext(context, JsonValue::array()).taskRevision(), 1);
}

}  // namespace
}  // namespace palisor
