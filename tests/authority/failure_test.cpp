// Failure records: what an agent sees of an authority failure.
#include <gtest/gtest.h>

#include <functional>

#include "bridge/authority/authority_client.h"
#include "bridge/authority/authority_client_error.h"
#include "bridge/authority/authority_failure.h"
#include "tests/support/errors.h"
#include "tests/support/fake_authority.h"

namespace palisor {
namespace {

TEST(FailureRecord, TakesKnownFieldsFromTheErrorObjectOrTheBody) {
    JsonValue body = {{"error",
                       {{"code", "TASK_CONFLICT"},
                        {"message", "  Nhiệm vụ đã thay đổi \n"},
                        {"stack", "at handler (server.js:10)"},
                        {"internalNote", "not for agents"}}},
                      {"meta", {{"requestId", "req-meta-1"}, {"traceId", 42}}},
                      {"code", "IGNORED_TOP_LEVEL"}};
    EXPECT_EQ(authorityFailure(body, 409), JsonValue({{"code", "TASK_CONFLICT"},
                                                      {"message", "Nhiệm vụ đã thay đổi"},
                                                      {"requestId", "req-meta-1"},
                                                      {"statusCode", 409}}));

    // An empty "error" object does not hide the fields beside it.
    body = {{"error", JsonValue::object()},
            {"code", "NOT_READY"},
            {"message", "chưa sẵn sàng"},
            {"category", "workflow"},
            {"retryable", true},
            {"retryAfterMs", 1500},
            {"hint", nullptr},
            {"requestId", "req-body"},
            {"other", 1}};
    EXPECT_EQ(authorityFailure(body, 422), JsonValue({{"code", "NOT_READY"},
                                                      {"message", "chưa sẵn sàng"},
                                                      {"category", "workflow"},
                                                      {"retryable", true},
                                                      {"retryAfterMs", 1500},
                                                      {"hint", nullptr},
                                                      {"requestId", "req-body"},
                                                      {"statusCode", 422}}));

    // "error" as text: the whole body is the source and the text the message.
    EXPECT_EQ(authorityFailure({{"error", "Unauthorized"}}, 401),
              JsonValue({{"code", "AUTHORITY_HTTP_401"}, {"message", "Unauthorized"}, {"statusCode", 401}}));
}

TEST(FailureRecord, AlwaysHasCodeMessageAndStatus) {
    const JsonValue bare = {{"code", "AUTHORITY_HTTP_502"}, {"message", "AUTHORITY_HTTP_502"}, {"statusCode", 502}};
    for (const JsonValue& odd : {JsonValue(), JsonValue::array({1}), JsonValue("text"), JsonValue::object(),
                                 JsonValue({{"code", "   "}, {"message", 12}}), JsonValue({{"error", 5}})})
        EXPECT_EQ(authorityFailure(odd, 502), bare) << odd;

    // A list of messages is joined; blank entries are skipped.
    JsonValue listed = authorityFailure({{"code", "BAD"}, {"message", {"Thiếu tên", "  ", " Sai ngày "}}}, 400);
    EXPECT_EQ(listed["message"], "Thiếu tên; Sai ngày");
    // A list with nothing in it speaks for itself: the code, not "error".
    EXPECT_EQ(authorityFailure({{"code", "BAD"}, {"message", {" ", ""}}, {"error", "Bad Request"}}, 400)["message"],
              "BAD");
    // A number is no message; the "error" text stands in.
    EXPECT_EQ(authorityFailure({{"message", 12}, {"error", " Conflict "}}, 409)["message"], "Conflict");

    EXPECT_EQ(failureText(JsonValue(" \t x \n")), "x");
    EXPECT_FALSE(failureText(JsonValue(" \n ")));
    EXPECT_FALSE(failureText(JsonValue(3)));
    EXPECT_FALSE(failureMessage(JsonValue::array()));
}

TEST(FailureRecord, HoldsNoSecretsAndNoStacks) {
    JsonValue details = {{"stackTrace", "frames"},
                         {"query", {{"Stack", "frames"}, {"keep", 1}, {"list", {{{"STACKTRACE", "x"}, {"y", 2}}}}}},
                         {"sessionId", "abc"},
                         {"dsn", "mongodb://root:pw@db:27017"},
                         {"deep", {{"a", {{"b", {{"c", {{"d", {{"e", 1}}}}}}}}}}}};
    JsonValue record = authorityFailure(
        {{"code", "UPSTREAM"}, {"message", "call with Bearer sk-live-123 failed"}, {"details", details}}, 500);
    EXPECT_EQ(record["message"], "call with [REDACTED] failed");
    EXPECT_EQ(record["details"], JsonValue({{"query", {{"keep", 1}, {"list", {{{"y", 2}}}}}},
                                            {"dsn", "mongodb://[REDACTED]@db:27017"},
                                            {"deep", {{"a", {{"b", {{"c", "[TRUNCATED_DEPTH]"}}}}}}}}));
    EXPECT_EQ(authorityFailure({{"message", std::string(4500, 'm')}}, 500)["message"].get<std::string>().size(), 4000u);

    // The endpoint builds the record again from the record: nothing changes.
    EXPECT_EQ(authorityFailure(record, 500), record);
    JsonValue listed = authorityFailure({{"message", {"a", "b"}}, {"errors", {{{"field", "x"}}}}}, 400);
    EXPECT_EQ(authorityFailure(listed, 400), listed);

    EXPECT_EQ(stripInternalDiagnostics(JsonValue::array({{{"stack", 1}, {"a", 2}}, "stack"})),
              JsonValue::array({{{"a", 2}}, "stack"}));
}

TEST(FailureRecord, ClientErrorsCarryTheRecord) {
    test::FakeAuthority authority;
    authority.respond = [](const AuthorityRequest&) {
        return test::answerWith(403, R"({"error":{"code":"DENIED","message":"token Bearer abc.def leaked",)"
                                     R"("stack":"s"},"meta":{"requestId":"req-9"}})");
    };
    auto error = test::thrown<AuthorityClientError>([&] { authority.client()->request("/api/x"); });
    ASSERT_TRUE(error) << "a 403 must raise";
    EXPECT_STREQ(error->what(), "token [REDACTED] leaked");
    EXPECT_EQ(error->statusCode(), 403);
    ASSERT_NE(error->responseDetails(), nullptr);
    EXPECT_EQ(*error->responseDetails(), JsonValue({{"code", "DENIED"},
                                                    {"message", "token [REDACTED] leaked"},
                                                    {"requestId", "req-9"},
                                                    {"statusCode", 403}}));
}

std::function<void()> scopeCheck(const std::string& projectKey, const JsonValue& args) {
    return [=] { assertOperationProjectScope(projectKey, args); };
}

TEST(ProjectScope, RefusesArgumentsNamingAnotherProject) {
    auto refusal = [](const std::function<void()>& call) -> JsonValue {
        auto error = test::thrown<AuthorityClientError>(call);
        if (!error) return nullptr;
        EXPECT_EQ(error->statusCode(), 403);
        EXPECT_STREQ(error->what(), "Dự án trong yêu cầu khác workspace đã chọn. Chọn lại đúng workspace trước khi gửi.");
        return *error->responseDetails();
    };

    JsonValue record = refusal(scopeCheck("PRJ-A", {{"pathParams", {{"projectKey", "PRJ-B"}}}}));
    EXPECT_EQ(record, JsonValue({{"code", "BRIDGE_OPERATION_PROJECT_MISMATCH"},
                                 {"message",
                                  "Dự án trong yêu cầu khác workspace đã chọn. Chọn lại đúng workspace "
                                  "trước khi gửi."},
                                 {"fields", {"pathParams.projectKey"}},
                                 {"retryable", false},
                                 {"details", {{"workspaceProjectKey", "PRJ-A"}, {"requestedProjectKey", "PRJ-B"}}},
                                 {"statusCode", 403}}));

    record = refusal(scopeCheck("PRJ-A", {{"pathParams", {{"id", 1}}}, {"query", {{"projectKey", 42}}}}));
    EXPECT_EQ(record["fields"], JsonValue({"query.projectKey"}));
    EXPECT_EQ(record["details"]["requestedProjectKey"], 42);
    // Comparison is exact: another letter case is another project.
    record = refusal(scopeCheck("PRJ-A", {{"query", {{"projectKey", "prj-a"}}}}));
    EXPECT_EQ(record["fields"], JsonValue({"query.projectKey"}));
    // Path parameters are checked first.
    record = refusal(scopeCheck("PRJ-A", {{"pathParams", {{"projectKey", "X"}}}, {"query", {{"projectKey", "Y"}}}}));
    EXPECT_EQ(record["fields"], JsonValue({"pathParams.projectKey"}));

    for (const JsonValue& fine :
         {JsonValue::object(),
          JsonValue({{"pathParams", {{"projectKey", "PRJ-A"}}}, {"query", {{"projectKey", "PRJ-A"}, {"q", "x"}}}}),
          JsonValue({{"query", "projectKey=PRJ-B"}, {"pathParams", {"PRJ-B"}}}),
          JsonValue({{"body", {{"projectKey", "PRJ-B"}}}}), JsonValue("not an object")})
        EXPECT_NO_THROW(assertOperationProjectScope("PRJ-A", fine)) << fine;
}

}  // namespace
}  // namespace palisor
