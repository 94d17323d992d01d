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

JsonValue json(const char* text) {
    return JsonValue::parse(text);
}

TEST(FailureRecord, TakesKnownFieldsFromTheErrorObjectOrTheBody) {
    struct Case {
        const char* body;
        int status;
        const char* record;
    };
    const std::vector<Case> cases = {
        {R"x({"error":{"code":"TASK_CONFLICT","message":"  Nhiệm vụ đã thay đổi \n","stack":"at handler (server.js:10)",)x"
         R"("internalNote":"not for agents"},"meta":{"requestId":"req-meta-1","traceId":42},"code":"IGNORED_TOP_LEVEL"})",
         409, R"({"code":"TASK_CONFLICT","message":"Nhiệm vụ đã thay đổi","requestId":"req-meta-1","statusCode":409})"},
        // An empty "error" object does not hide the fields beside it.
        {R"({"error":{},"code":"NOT_READY","message":"chưa sẵn sàng","category":"workflow","retryable":true,)"
         R"("retryAfterMs":1500,"hint":null,"requestId":"req-body","other":1})",
         422,
         R"({"code":"NOT_READY","message":"chưa sẵn sàng","category":"workflow","retryable":true,"retryAfterMs":1500,)"
         R"("hint":null,"requestId":"req-body","statusCode":422})"},
        // "error" as text: the whole body is the source and the text the message.
        {R"({"error":"Unauthorized"})", 401,
         R"({"code":"AUTHORITY_HTTP_401","message":"Unauthorized","statusCode":401})"},
    };
    for (const Case& c : cases) EXPECT_EQ(authorityFailure(json(c.body), c.status), json(c.record)) << c.body;
}

TEST(FailureRecord, AlwaysHasCodeMessageAndStatus) {
    const JsonValue bare = {{"code", "AUTHORITY_HTTP_502"}, {"message", "AUTHORITY_HTTP_502"}, {"statusCode", 502}};
    for (const JsonValue& odd : {JsonValue(), JsonValue::array({1}), JsonValue("text"), JsonValue::object(),
                                 JsonValue({{"code", "   "}, {"message", 12}}), JsonValue({{"error", 5}})})
        EXPECT_EQ(authorityFailure(odd, 502), bare) << odd;

    // A list of messages is joined and blank entries skipped; a list with
    // nothing in it speaks for itself: the code, not "error"; a number is no
    // message, the "error" text stands in.
    for (const auto& [body, message] : std::vector<std::pair<const char*, const char*>>{
             {R"({"code":"BAD","message":["Thiếu tên","  "," Sai ngày "]})", "Thiếu tên; Sai ngày"},
             {R"({"code":"BAD","message":[" ",""],"error":"Bad Request"})", "BAD"},
             {R"({"message":12,"error":" Conflict "})", "Conflict"}})
        EXPECT_EQ(authorityFailure(json(body), 400)["message"], message) << body;

    EXPECT_EQ(failureText(JsonValue(" \t x \n")), "x");
    EXPECT_FALSE(failureText(JsonValue(" \n ")));
    EXPECT_FALSE(failureText(JsonValue(3)));
    EXPECT_FALSE(failureMessage(JsonValue::array()));
}

TEST(FailureRecord, HoldsNoSecretsAndNoStacks) {
    JsonValue record = authorityFailure(
        json(R"({"code":"UPSTREAM","message":"call with Bearer sk-live-123 failed","details":{"stackTrace":"frames",)"
             R"("query":{"Stack":"frames","keep":1,"list":[{"STACKTRACE":"x","y":2}]},"sessionId":"abc",)"
             R"("dsn":"mongodb://root:pw@db:27017","deep":{"a":{"b":{"c":{"d":{"e":1}}}}}}})"),
        500);
    EXPECT_EQ(record["message"], "call with [REDACTED] failed");
    EXPECT_EQ(record["details"], json(R"({"query":{"keep":1,"list":[{"y":2}]},"dsn":"mongodb://[REDACTED]@db:27017",)"
                                      R"("deep":{"a":{"b":{"c":"[TRUNCATED_DEPTH]"}}}})"));
    EXPECT_EQ(authorityFailure({{"message", std::string(4500, 'm')}}, 500)["message"].get<std::string>().size(), 4000u);

    // The endpoint builds the record again from the record: nothing changes.
    EXPECT_EQ(authorityFailure(record, 500), record);
    JsonValue listed = authorityFailure({{"message", {"a", "b"}}, {"errors", {{{"field", "x"}}}}}, 400);
    EXPECT_EQ(authorityFailure(listed, 400), listed);

    EXPECT_EQ(stripInternalDiagnostics(JsonValue::array({{{"stack", 1}, {"a", 2}}, "stack"})),
              JsonValue::array({{{"a", 2}}, "stack"}));
}

// The client's error says the record's scrubbed message and carries the
// record; its status the session tests read.
TEST(FailureRecord, ClientErrorsCarryTheRecord) {
    test::FakeAuthority authority;
    authority.respond = [](const AuthorityRequest&) {
        return test::answerWith(403, R"({"error":{"code":"DENIED","message":"token Bearer abc.def leaked",)"
                                     R"("stack":"s"},"meta":{"requestId":"req-9"}})");
    };
    auto error = test::thrown<AuthorityClientError>([&] { authority.client()->request("/api/x"); });
    ASSERT_TRUE(error && error->responseDetails()) << "a 403 must raise with its record";
    EXPECT_STREQ(error->what(), "token [REDACTED] leaked");
    EXPECT_EQ(*error->responseDetails(),
              json(R"({"code":"DENIED","message":"token [REDACTED] leaked","requestId":"req-9","statusCode":403})"));
}

TEST(ProjectScope, RefusesArgumentsNamingAnotherProject) {
    // The record of the refusal, null when the arguments pass.
    auto refusal = [](const char* args) -> JsonValue {
        auto error = test::thrown<AuthorityClientError>([&] { assertOperationProjectScope("PRJ-A", json(args)); });
        if (!error) return nullptr;
        EXPECT_EQ(error->statusCode(), 403);
        EXPECT_EQ((*error->responseDetails())["message"], error->what());
        return *error->responseDetails();
    };
    EXPECT_EQ(refusal(R"({"pathParams":{"projectKey":"PRJ-B"}})"),
              json(R"({"code":"BRIDGE_OPERATION_PROJECT_MISMATCH","message":"Dự án trong yêu cầu khác workspace đã )"
                   R"(chọn. Chọn lại đúng workspace trước khi gửi.","fields":["pathParams.projectKey"],)"
                   R"("retryable":false,"statusCode":403,)"
                   R"("details":{"workspaceProjectKey":"PRJ-A","requestedProjectKey":"PRJ-B"}})"));

    JsonValue record = refusal(R"({"pathParams":{"id":1},"query":{"projectKey":42}})");
    EXPECT_EQ(record["fields"], JsonValue({"query.projectKey"}));
    EXPECT_EQ(record["details"]["requestedProjectKey"], 42);
    // Comparison is exact: another letter case is another project.
    EXPECT_EQ(refusal(R"({"query":{"projectKey":"prj-a"}})")["fields"], JsonValue({"query.projectKey"}));
    // Path parameters are checked first.
    EXPECT_EQ(refusal(R"({"pathParams":{"projectKey":"X"},"query":{"projectKey":"Y"}})")["fields"],
              JsonValue({"pathParams.projectKey"}));

    for (const char* fine : {"{}", R"({"pathParams":{"projectKey":"PRJ-A"},"query":{"projectKey":"PRJ-A","q":"x"}})",
                             R"({"query":"projectKey=PRJ-B","pathParams":["PRJ-B"]})",
                             R"({"body":{"projectKey":"PRJ-B"}})", R"("not an object")"})
        EXPECT_EQ(refusal(fine), nullptr) << fine;
}

}  // namespace
}  // namespace palisor
