// "authority_sync_skills" and the skills an operation's answer activates, end
// to end against the development authority of both generations.
#include <gmock/gmock.h>
#include "bridge/common/atomic_file.h"
#include "tests/tools/tools_fixture.h"

namespace palisor {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using ::testing::Not;

class SkillSyncTool : public test::ToolsFixture {
protected:
    void SetUp() override {
        ToolsFixture::SetUp();
        authority.publishSkill("alpha-skill", "1.0.0", {{"SKILL.md", "# Alpha 1"}, {"run.sh", "echo alpha"}});
        authority.publishSkill("beta-skill", "0.2.0", {{"SKILL.md", "# Beta"}});
        login();
        authority.clearWorkEvents();
    }
    std::vector<JsonValue> eventsOf(const std::string& projectKey) {
        std::vector<JsonValue> events;
        for (const JsonValue& event : authority.workEvents(projectKey))
            if (event.value("component", "") == "bridge") events.push_back(event);
        return events;
    }
    std::string installed(const std::string& root, const std::string& skill, const std::string& file) {
        auto text = readFileIfExists(root + "/.agents/skills/" + skill + "/" + file);
        return text.value_or("<missing>");
    }
    JsonValue callOperation(const std::string& operationId, JsonValue args) {
        args["operationId"] = operationId;
        return callTool("authority_call_operation", args);
    }
};

TEST_F(SkillSyncTool, RequestedSyncByItemAndByListOnAnOlderAuthority) {
    authority.addProgressItem(kProject, {{"itemId", "ITEM-0001"}, {"revision", 3}, {"skills", {"alpha-skill"}}},
                              {.where = dev::ProgressItemOptions::Place::projectLevel});
    JsonValue byItem = toolValue(callTool("authority_sync_skills", {{"itemId", "ITEM-0001"}, {"causalId", "causal-sync"}}));
    ASSERT_EQ(byItem["synced"].size(), 1u) << byItem.dump();
    EXPECT_EQ(byItem["synced"][0]["skillId"], "alpha-skill");
    EXPECT_EQ(byItem["synced"][0]["sourceTaskId"], "ITEM-0001");
    EXPECT_EQ(installed(workspaceRoot, "alpha-skill", "run.sh"), "echo alpha");
    auto events = eventsOf(kProject);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0]["operationId"], "bridge.skills.sync");
    EXPECT_EQ(events[0]["idempotencyKey"], "bridge:causal-sync:started");
    EXPECT_EQ(events[0]["phase"], "analysis");
    EXPECT_EQ(events[1]["outcome"], "succeeded");
    EXPECT_EQ(events[1]["taskId"], "ITEM-0001");

    // An empty item id falls back to the list: texts are wrapped, objects taken
    // as they are, anything else skipped.
    authority.clearWorkEvents();
    JsonValue byList = toolValue(callTool(
        "authority_sync_skills",
        {{"itemId", ""}, {"skills", {"beta-skill", 42, {{"skillId", "alpha-skill"}, {"version", "1.0.0"}}}}}));
    ASSERT_EQ(byList["synced"].size(), 1u) << byList.dump();
    EXPECT_EQ(byList["synced"][0]["skillId"], "beta-skill");
    EXPECT_EQ(byList["synced"][0]["syncSourceKind"], "explicit");
    ASSERT_EQ(byList["skipped"].size(), 1u);
    EXPECT_EQ(byList["skipped"][0]["skillId"], "alpha-skill");
    EXPECT_EQ(byList["skipped"][0]["reason"], "ALREADY_CURRENT");
    EXPECT_EQ(installed(workspaceRoot, "beta-skill", "SKILL.md"), "# Beta");
    EXPECT_EQ(eventsOf(kProject).size(), 2u);
}

TEST_F(SkillSyncTool, RequestedSyncOnAFoundationAuthority) {
    authority.addFoundationProject("FOUND", "Foundation", {.resourceAuthMode = "web-session"});
    authority.addUser(kEmail, kPassword, {kProject, "short", "FOUND"});
    authority.publishSkill("gamma", "2.0.0", {{"SKILL.md", "# Gamma 2"}, {"docs/use.md", "use it"}});
    authority.addTask("FOUND", {{"itemId", "F-1"},
                                {"revision", 1},
                                {"skillState", {{"bindings", {{{"skillId", "gamma"}, {"version", "2.0.0"}}}}}}});
    std::string root = makeWorkspace("foundation", "FOUND");
    registry->add(root, true, false);

    JsonValue report = toolValue(callTool("authority_sync_skills", {{"projectKey", "FOUND"}, {"itemId", "F-1"}}));
    ASSERT_EQ(report["synced"].size(), 1u) << report.dump();
    EXPECT_EQ(report["synced"][0]["sourceFormat"], "foundation-v2-file-maps");
    EXPECT_EQ(report["synced"][0]["syncSourceKind"], "task-canonical-binding");
    EXPECT_EQ(installed(root, "gamma", "docs/use.md"), "use it");

    // The pinned package is current on the next sync, until a file on disk changes.
    JsonValue again = toolValue(callTool("authority_sync_skills", {{"projectKey", "FOUND"}, {"itemId", "F-1"}}));
    EXPECT_EQ(again["skipped"][0]["reason"], "ALREADY_CURRENT");
    test::writeFile(root + "/.agents/skills/gamma/SKILL.md", "edited by hand");
    JsonValue repaired = toolValue(callTool("authority_sync_skills", {{"projectKey", "FOUND"}, {"itemId", "F-1"}}));
    EXPECT_EQ(repaired["synced"].size(), 1u);
    EXPECT_EQ(installed(root, "gamma", "SKILL.md"), "# Gamma 2");
}

TEST_F(SkillSyncTool, AFailingRequestedSyncRecordsStartAndFailure) {
    JsonValue answer = callTool("authority_sync_skills", {{"itemId", "NOWHERE"}, {"causalId", "causal-missing"}});
    std::string message = answer["error"]["message"];
    EXPECT_THAT(message, StartsWith("PROGRESS_ITEM_LOAD_FAILED:NOWHERE:")) << message;
    auto events = eventsOf(kProject);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0]["idempotencyKey"], "bridge:causal-missing:started");
    EXPECT_EQ(events[1]["outcome"], "failed");
    EXPECT_EQ(events[1]["operationId"], "bridge.skills.sync");

    // An item id is one segment of the task's path, never a way up to others.
    authority.resetRecords();
    EXPECT_EQ(callTool("authority_sync_skills", {{"itemId", ".."}})["error"]["message"], "PATH_PARAM_INVALID:itemId");
    callTool("authority_sync_skills", {{"itemId", "../../../auth/me"}});
    for (const auto& sent : authority.requests())
        EXPECT_THAT(sent.path, Not(HasSubstr("/auth/me"))) << sent.path;
}

TEST_F(SkillSyncTool, AClaimInstallsTheClaimedTasksSkillsUnlessToldNotTo) {
    authority.addTask(kProject, {{"itemId", "TASK-1"}, {"status", "open"}, {"skills", {"alpha-skill"}}});
    authority.addTask(kProject, {{"itemId", "TASK-2"}, {"status", "open"}, {"skills", {"beta-skill"}}});
    authority.addTask(kProject, {{"itemId", "TASK-3"}, {"status", "open"}, {"skills", {"unpublished"}}});

    JsonValue skipped =
        toolValue(callOperation("progress.native.claim", {{"body", {{"itemId", "TASK-2"}}}, {"autoSyncSkills", false}}));
    EXPECT_EQ(skipped["item"]["itemId"], "TASK-2");
    EXPECT_EQ(installed(workspaceRoot, "beta-skill", "SKILL.md"), "<missing>");

    JsonValue claimed = toolValue(callOperation("progress.native.claim", {{"body", {{"itemId", "TASK-1"}}}}));
    EXPECT_EQ(claimed["item"]["itemId"], "TASK-1");
    EXPECT_FALSE(claimed.contains("bridgeWarnings"));
    EXPECT_EQ(installed(workspaceRoot, "alpha-skill", "SKILL.md"), "# Alpha 1");

    // A skill that cannot be installed leaves the claim standing, with a warning.
    JsonValue warned = toolValue(callOperation("progress.native.claim", {{"body", {{"itemId", "TASK-3"}}}}));
    EXPECT_EQ(warned["item"]["itemId"], "TASK-3");
    ASSERT_EQ(warned["bridgeWarnings"].size(), 1u) << warned.dump();
    EXPECT_EQ(warned["bridgeWarnings"][0]["code"], "BRIDGE_SKILL_SYNC_REQUIRED");
    EXPECT_EQ(warned["bridgeWarnings"][0]["authorityOperationSucceeded"], true);
    EXPECT_EQ(warned["bridgeWarnings"][0]["retryTool"], "authority_sync_skills");
    EXPECT_FALSE(warned["bridgeWarnings"][0]["message"].get<std::string>().empty());

    // A read asked to activate does so too.
    authority.addTask(kProject, {{"itemId", "TASK-4"}, {"status", "open"}, {"skills", {"beta-skill"}}});
    toolValue(callOperation("tasks.get", {{"pathParams", {{"itemId", "TASK-4"}}}, {"autoSyncSkills", true}}));
    EXPECT_EQ(installed(workspaceRoot, "beta-skill", "SKILL.md"), "# Beta");
}

}  // namespace
}  // namespace palisor
