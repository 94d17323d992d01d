// The tools' shared plumbing end to end (JSON-RPC into the bridge, real HTTP
// to the development authority behind it) and the plain route's errors.
#include <gmock/gmock.h>

#include <cerrno>
#include <functional>

#include "bridge/authority/authority_client_error.h"
#include "bridge/authority/authority_failure.h"
#include "bridge/common/url.h"
#include "bridge/skills/skill_sync_error.h"
#include "bridge/spool/ai_work_event_spool.h"
#include "bridge/workspace/agents_pointer.h"
#include "tests/tools/tools_fixture.h"

namespace palisor {
namespace {

class BridgeTools : public test::ToolsFixture {};

TEST_F(BridgeTools, ACatalogueWithoutOperationsIsReported) {
    login();
    for (JsonValue body :
         {JsonValue{{"projectKey", kProject}}, JsonValue{{"operationCatalog", {{"operations", {1, 2}}}}},
          JsonValue{{"operationCatalog", {{"operations", "none"}}}}}) {
        authority.failNext("GET", "/api/authority", 200, body);
        EXPECT_EQ(callTool("authority_list_operations")["error"]["message"], "AUTHORITY_OPERATION_CATALOG_MISSING");
    }
}

TEST_F(BridgeTools, TraceHeadersReachTheAuthority) {
    login();
    authority.resetRecords();
    callTool("authority_bootstrap", {{"traceId", "trace-given-0001"}, {"itemId", "task-00042"}});
    auto seen = authority.requests("GET", "/api/authority");
    ASSERT_EQ(seen.size(), 1u);
    // The trace, span and causal ids sent the activity records show.
    const auto& headers = seen[0];
    EXPECT_EQ(headers.header("x-palisor-operation-id"), "authority.get");
    EXPECT_EQ(headers.header("x-palisor-task-id"), "task-00042");
    EXPECT_EQ(headers.header("x-palisor-project-key"), kProject);
    EXPECT_EQ(headers.header("x-palisor-source-component"), "bridge");

    // A project key under 8 characters is not sent as a header.
    std::string shortRoot = makeWorkspace("short one", "short");
    registry->add(shortRoot, true, false);
    authority.resetRecords();
    callTool("authority_bootstrap", {{"workspaceRoot", shortRoot}, {"traceId", "tiny"}});
    auto shortSeen = authority.requests("GET", "/api/authority");
    ASSERT_EQ(shortSeen.size(), 1u);
    EXPECT_EQ(shortSeen[0].header("x-palisor-project-key"), "");
    // A trace id that fails the rules is not sent at all.
    EXPECT_EQ(shortSeen[0].header("x-palisor-trace-id"), "");
}

// What the plain route answers for each case a tool call can fail with: the
// status and the details come from the error itself, never from the words in
// its code (a path or an id may hold "REQUIRED" or "INVALID").
TEST(ToolErrors, StatusAndDetailsPerErrorCase) {
    const JsonValue record = {{"code", "PROJECT_FORBIDDEN"}, {"message", "Không có quyền"}};
    const JsonValue advice = {{"code", "CREDENTIAL_STORE_UNAVAILABLE"}, {"message", kCredentialStoreUnavailableAdvice}};
    struct Case {
        std::function<void()> raise;
        int status;
        std::optional<JsonValue> details;
    };
    const std::vector<Case> cases = {
        {[] { throw AuthorityClientError::bridgeLoginRequired(); }, 401, {}},
        {[] { throw AuthorityClientError::credentialStoreUnavailable(); }, 503, advice},
        {[] { throw AuthorityClientError::invalidAuthorityOrigin(); }, 400, {}},
        {[] { throw AuthorityClientError::authorityOriginMismatch(); }, 500, {}},
        {[&] { throw AuthorityClientError::httpError(409, "Không có quyền", record); }, 409,
         authorityFailure(record, 409)},
        {[] { throw AgentsPointerError(AgentsPointerError::Case::projectKeyRequired); }, 400, {}},
        {[] { throw WorkspaceRegistryError::workspaceIdRequired("P"); }, 400, {}},
        {[] { throw WorkspaceRegistryError::defaultWorkspaceRequired(); }, 400, {}},
        {[] { throw WorkspaceRegistryError::workspaceNotRegistered("INVALID_REQUIRED"); }, 500, {}},
        {[] { throw AiWorkEventSpoolError::requiredField("status"); }, 400, {}},
        {[] { throw AiWorkEventSpoolError::tooLarge(); }, 500, {}},
        {[] { throw ToolRouterError::requiredArgument("operationId"); }, 400, {}},
        {[] { throw ToolRouterError::pathParamRequired("id"); }, 400, {}},
        {[] { throw ToolRouterError::unknownTool("X_REQUIRED"); }, 500, {}},
        {[] { throw SkillSyncError::required("skillId"); }, 400, {}},
        {[] { requestPathSegment("id", ".."); }, 400, {}},
        {[] { throw FileError("FILE_READ_FAILED:/w/INVALID/AGENTS.md", "cannot read", EIO); }, 500, {}},
        {[] { throw std::runtime_error("REQUIRED"); }, 500, {}},
    };
    for (const Case& c : cases) {
        try {
            c.raise();
            ADD_FAILURE() << "no error";
        } catch (const std::exception& error) {
            EXPECT_EQ(plainToolErrorStatus(error), c.status) << error.what();
            EXPECT_EQ(bridgeErrorData(error), c.details) << error.what();
        }
    }
}

}  // namespace
}  // namespace palisor
