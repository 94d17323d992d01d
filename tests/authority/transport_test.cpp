// The request layer with a scripted transport (what goes on the wire, how
// answers become JSON or errors), and the real exchange's size limit.
#include <gtest/gtest.h>

#include "bridge/authority/authority_client.h"
#include "bridge/credentials/native_token_store.h"
#include "tests/support/errors.h"
#include "tests/support/fake_authority.h"
#include "tools/dev-authority/dev_authority.h"

namespace palisor {
namespace {

using test::errorOf;

// The fake answers with `next` whatever is asked.
class Transport : public ::testing::Test {
protected:
    Transport() {
        authority.respond = [this](const AuthorityRequest&) { return next; };
    }
    AuthorityHTTPResponse next = test::answerWith(200, "{\"ok\":true}");
    test::FakeAuthority authority;
    std::shared_ptr<AuthorityClient> client = authority.client("https://authority.example:8443/", false);
};

std::string traceValue(std::size_t length) {
    return std::string(length, 'a');
}

TEST(TraceContext, ValuesAreNormalisedWhenBuilt) {
    EXPECT_FALSE(normalizedTraceHeader(traceValue(7)));
    EXPECT_EQ(normalizedTraceHeader(traceValue(8)), traceValue(8));
    EXPECT_EQ(normalizedTraceHeader(traceValue(200)), traceValue(200));
    EXPECT_FALSE(normalizedTraceHeader(traceValue(201)));
    EXPECT_EQ(normalizedTraceHeader(std::string("  trace-123\n")), "trace-123");
    EXPECT_FALSE(normalizedTraceHeader(std::string("trace 1234")));
    EXPECT_FALSE(normalizedTraceHeader(std::string("trace#12345")));
    EXPECT_EQ(normalizedTraceHeader(std::string("Đặt-hàng-số-12")), "Đặt-hàng-số-12");
    EXPECT_EQ(normalizedTraceHeader(std::string("span:a.b_c@d/e+f=g")), "span:a.b_c@d/e+f=g");
    // Eight user-perceived characters even though the decomposed accents add
    // more scalars; seven such characters are too few.
    EXPECT_TRUE(normalizedTraceHeader(std::string("e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301")));
    EXPECT_FALSE(normalizedTraceHeader(std::string("e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301")));
    EXPECT_FALSE(normalizedTraceHeader(std::nullopt));

    AuthorityTraceContext context(
        {.traceId = "trace-0001", .taskRevision = -1, .projectKey = "short", .sourceComponent = "Validator"});
    EXPECT_EQ(context.traceId(), "trace-0001");
    EXPECT_FALSE(context.taskRevision());
    EXPECT_FALSE(context.projectKey());  // a key under 8 characters is never sent
    EXPECT_FALSE(context.sourceComponent());
    EXPECT_EQ(AuthorityTraceContext({.taskRevision = 0}).taskRevision(), 0);
    EXPECT_EQ(AuthorityTraceContext({.sourceComponent = "validator"}).sourceComponent(), "validator");
    EXPECT_FALSE(AuthorityTraceContext({.sourceComponent = " bridge"}).sourceComponent());
}

// The headers as sent, in order, "name: value" joined with " | ".
std::string headerLines(const AuthorityRequest& request) {
    std::string lines;
    for (const auto& [name, value] : request.headers) lines += (lines.empty() ? "" : " | ") + name + ": " + value;
    return lines;
}

TEST_F(Transport, FixedAndTraceHeadersInOrder) {
    client->request("/api/x", "POST", JsonValue{{"a", 1}}, std::string("tok"), false,
                    AuthorityTraceContext({.traceId = "trace-0001",
                                           .spanId = "span-0001",
                                           .parentSpanId = "parent-01",
                                           .causalId = "causal-01",
                                           .operationId = "project.read",
                                           .taskId = "task-0001",
                                           .taskRevision = 3,
                                           .projectKey = "project-key",
                                           .sourceComponent = "bridge"}));
    client->request("/api/y");
    ASSERT_EQ(authority.sent().size(), 2u);
    const AuthorityRequest full = authority.sent()[0];
    EXPECT_EQ(full.url, "https://authority.example:8443/api/x");
    EXPECT_EQ(full.method, "POST");
    EXPECT_EQ(full.body, "{\"a\":1}");
    EXPECT_EQ(headerLines(full),
              "Accept: application/json | x-palisor-client-kind: bridge-native | Content-Type: application/json | "
              "Authorization: Bearer tok | x-palisor-trace-id: trace-0001 | x-palisor-span-id: span-0001 | "
              "x-palisor-parent-span-id: parent-01 | x-palisor-causal-id: causal-01 | "
              "x-palisor-operation-id: project.read | x-palisor-task-id: task-0001 | x-palisor-task-revision: 3 | "
              "x-palisor-project-key: project-key | x-palisor-source-component: bridge");
    EXPECT_EQ(full.header("AUTHORIZATION"), "Bearer tok");
    // Without a trace context the only custom header is the client kind.
    EXPECT_EQ(headerLines(authority.sent()[1]), "Accept: application/json | x-palisor-client-kind: bridge-native");
    EXPECT_FALSE(authority.sent()[1].body);
}

TEST_F(Transport, MethodsChooseTheirTimeLimits) {
    client->request("/r", "get");
    client->request("/w", "PATCH");
    EXPECT_EQ(authority.sent()[0].method, "GET");
    EXPECT_EQ(authority.sent()[0].timeoutSeconds, 180);
    EXPECT_EQ(authority.sent()[1].timeoutSeconds, 30);
    EXPECT_EQ(AuthorityTimeoutPolicy::forMethod("head").resource, 300);
    EXPECT_EQ(AuthorityTimeoutPolicy::forMethod("PATCH").resource, 120);
}

TEST_F(Transport, RequestsStayOnTheConfiguredOrigin) {
    for (const char* path : {"https://evil.example/api/x", "//evil.example/api/x", "http://authority.example:8443/x",
                             "https://authority.example/x"})
        EXPECT_EQ(errorOf<AuthorityClientError>([&] { client->request(path); }), "AUTHORITY_ORIGIN_MISMATCH") << path;
    EXPECT_TRUE(authority.sent().empty());
    // A query in the path goes on the wire as written.
    client->request("/api/authority?projectKey=a%20b&view=catalog");
    EXPECT_EQ(authority.sent().back().url,
              "https://authority.example:8443/api/authority?projectKey=a%20b&view=catalog");

    EXPECT_EQ(errorOf<AuthorityClientError>([&] { authority.client("not a url", false)->request("/x"); }),
              "INVALID_AUTHORITY_ORIGIN");
}

TEST_F(Transport, AnswersBecomeObjectsOrTypedErrors) {
    next = {std::string(R"({"message":"Hỏng rồi","code":"BOOM"})"), 500, std::nullopt, {}};
    EXPECT_EQ(client->request("/x", "GET", std::nullopt, std::nullopt, true),
              JsonValue({{"message", "Hỏng rồi"}, {"code", "BOOM"}}));
    EXPECT_EQ(errorOf<AuthorityClientError>([&] { client->request("/x"); }), "Hỏng rồi");
    next = {std::string("not json"), 500, std::nullopt, {}};
    EXPECT_EQ(errorOf<AuthorityClientError>([&] { client->request("/x"); }), "AUTHORITY_HTTP_500");

    next = {std::nullopt, std::nullopt, TransportError(7, "Failed to connect"), {}};
    EXPECT_EQ(errorOf<TransportError>([&] { client->request("/x"); }), "Failed to connect");
    // Agents get curl's text as it stands; people read the cause first.
    EXPECT_EQ(errorMessage(TransportError(7, "Failed to connect")),
              "Authority không nhận kết nối (kiểm tra rằng authority đang chạy và địa chỉ đúng): Failed to connect");
    EXPECT_EQ(errorMessage(TransportError(6, "Could not resolve host: a.example")),
              "Không tìm thấy máy chủ authority (kiểm tra địa chỉ authority và kết nối mạng): Could not resolve host: "
              "a.example");

    AuthorityHTTPResponse withHeaders{{}, {}, {}, {{"etag", "\"v1\""}}};
    EXPECT_EQ(withHeaders.header("ETag"), "\"v1\"");
    EXPECT_FALSE(withHeaders.header("missing"));
}

// Whatever is not an object decodes to an empty one in both forms; that an
// object keeps its received order the skill sync's tests read.
TEST_F(Transport, AnythingButAnObjectDecodesToAnEmptyOneInBothForms) {
    for (const char* body : {"[1,2]", "<html>oops</html>", ""}) {
        next = {std::string(body), *body ? 200 : 204, std::nullopt, {}};
        OrderedJsonValue order{{"stale", 1}};
        EXPECT_EQ(client->request("/x", "GET", {}, {}, false, {}, &order), JsonValue::object());
        EXPECT_EQ(order, OrderedJsonValue::object()) << body;
    }
}

// The real exchange ends at the limit, announced or endless; the pooled handle serves on.
TEST(CurlTransport, AnswersPastTheLimitAreRefused) {
    dev::DevAuthority authority;
    authority.start();
    AuthorityClient client{{authority.origin(), test::memoryStore(), {}, nullptr, nullptr}};
    authority.answerNextEndless("GET", "/endless");
    authority.answerNextRaw("GET", "/announced", 200, std::string(40'000'000, ' '), "application/json");
    for (const char* path : {"/endless", "/announced"})
        EXPECT_EQ(errorOf<AuthorityClientError>([&] { client.request(path); }),
                  "AUTHORITY_ANSWER_TOO_LARGE:" + std::to_string(kMaxAuthorityAnswerBytes))
            << path;
    EXPECT_EQ(client.request("/api/health")["status"], "healthy");
}

// By status or by the code in the failure record; the message is the
// authority's prose and decides nothing.
TEST_F(Transport, AuthenticationFailuresAreRecognised) {
    auto failure = [](int status, const std::string& message, const char* code) {
        return AuthorityClientError::httpError(status, message, code ? JsonValue{{"code", code}} : JsonValue::object());
    };
    EXPECT_TRUE(isAuthFailure(failure(401, "whatever", nullptr)));
    EXPECT_FALSE(isAuthFailure(failure(403, "Forbidden", nullptr)));
    for (const char* code : {"SKILL_FIRST_AUTH_REQUIRED", "SKILL_FIRST_SHADOW_TOKEN_DISABLED",
                             "SKILL_FIRST_DB_LOGIN_INVALID", "AUTHORITY_HTTP_401"})
        EXPECT_TRUE(isAuthFailure(failure(403, "Vui lòng đăng nhập lại", code))) << code;
    EXPECT_FALSE(isAuthFailure(failure(403, "SKILL_FIRST_AUTH_REQUIRED elsewhere", "PROJECT_FORBIDDEN")));
    EXPECT_FALSE(isAuthFailure(BridgeError("AUTHORITY_HTTP_401")));
    EXPECT_FALSE(isAuthFailure(AuthorityClientError::bridgeLoginRequired()));
}

}  // namespace
}  // namespace palisor
