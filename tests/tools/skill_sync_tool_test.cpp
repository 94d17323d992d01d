// "authority_sync_skills" and the skills an operation's answer activates, end
// to end against the development authority. The tool hands both generations
// to the same sync, whose foundation path the skills tests pin.
#include <gmock/gmock.h>

#include "bridge/common/atomic_file.h"
#include "tests/tools/tools_fixture.h"

namespace palisor {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

class SkillSyncTool : public test::ToolsFixture {
protected:
    void SetUp() override {
        ToolsFixture::SetUp();
        authority.publishSkill("alpha-skill", "1.0.0", {{"SKILL.md", "# Alpha 1"}, {"run.sh", "echo alpha"}});
        authority.publishSkill("beta-skill", "0.2.0", {{"SKILL.md", "# Beta"}});
        login();
        authority.clearWorkEvents();
    }
    std::string installed(const std::string& root, const std::string& skill, const std::string& file) {
        return readFileIfExists(root + "/.agents/skills/" + skill + "/" + file).value_or("<missing>");
    }
};

TEST_F(SkillSyncTool, RequestedSyncByItemAndByListOnAnOlderAuthority) {
    authority.addProgressItem(kProject, {{"itemId", "ITEM-0001"}, {"revision", 3}, {"skills", {"alpha-skill"}}},
                              {.where = dev::ProgressItemOptions::Place::projectLevel});
    JsonValue byItem =
        toolValue(callTool("authority_sync_skills", {{"itemId", "ITEM-0001"}, {"causalId", "causal-sync"}}));
    ASSERT_EQ(byItem["synced"].size(), 1u) << byItem.dump();
    test::expectFields(byItem["synced"][0], {{"skillId", "alpha-skill"}, {"sourceTaskId", "ITEM-0001"}});
    EXPECT_EQ(installed(workspaceRoot, "alpha-skill", "run.sh"), "echo alpha");
    auto events = bridgeEvents();
    ASSERT_EQ(events.size(), 2u);
    test::expectFields(events[0], {{"operationId", "bridge.skills.sync"},
                                   {"idempotencyKey", "bridge:causal-sync:started"},
                                   {"phase", "analysis"}});
    test::expectFields(events[1], {{"outcome", "succeeded"}, {"taskId", "ITEM-0001"}});

    // An empty item id falls back to the list: texts are wrapped, objects taken
    // as they are, anything else skipped.
    JsonValue byList = toolValue(
        callTool("authority_sync_skills",
                 {{"itemId", ""}, {"skills", {"beta-skill", 42, {{"skillId", "alpha-skill"}, {"version", "1.0.0"}}}}}));
    ASSERT_EQ(byList["synced"].size(), 1u) << byList.dump();
    test::expectFields(byList["synced"][0], {{"skillId", "beta-skill"}, {"syncSourceKind", "explicit"}});
    ASSERT_EQ(byList["skipped"].size(), 1u);
    test::expectFields(byList["skipped"][0], {{"skillId", "alpha-skill"}, {"reason", "ALREADY_CURRENT"}});
    EXPECT_EQ(installed(workspaceRoot, "beta-skill", "SKILL.md"), "# Beta");
}

TEST_F(SkillSyncTool, AFailingRequestedSyncRecordsStartAndFailure) {
    JsonValue answer = callTool("authority_sync_skills", {{"itemId", "NOWHERE"}, {"causalId", "causal-missing"}});
    std::string message = answer["error"]["message"];
    EXPECT_THAT(message, StartsWith("PROGRESS_ITEM_LOAD_FAILED:NOWHERE:")) << message;
    auto events = bridgeEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0]["idempotencyKey"], "bridge:causal-missing:started");
    test::expectFields(events[1], {{"outcome", "failed"}, {"operationId", "bridge.skills.sync"}});

    // An item id is one segment of the task's path, never a way up to others.
    authority.resetRecords();
    EXPECT_EQ(callTool("authority_sync_skills", {{"itemId", ".."}})["error"]["message"], "PATH_PARAM_INVALID:itemId");
    callTool("authority_sync_skills", {{"itemId", "../../../auth/me"}});
    for (const auto& sent : authority.requests()) EXPECT_THAT(sent.path, Not(HasSubstr("/auth/me"))) << sent.path;
}

TEST_F(SkillSyncTool, AClaimInstallsTheClaimedTasksSkillsUnlessToldNotTo) {
    for (auto [task, skill] : std::vector<std::pair<std::string, std::string>>{
             {"TASK-1", "alpha-skill"}, {"TASK-2", "beta-skill"}, {"TASK-3", "unpublished"}, {"TASK-4", "beta-skill"}})
        authority.addTask(kProject, {{"itemId", task}, {"status", "open"}, {"skills", {skill}}});
    auto claim = [&](const std::string& task, JsonValue arguments = JsonValue::object()) {
        arguments["body"] = {{"itemId", task}};
        JsonValue answer = toolValue(callOperation("progress.native.claim", arguments));
        EXPECT_EQ(answer["item"]["itemId"], task);
        return answer;
    };

    claim("TASK-2", {{"autoSyncSkills", false}});
    EXPECT_EQ(installed(workspaceRoot, "beta-skill", "SKILL.md"), "<missing>");
    EXPECT_FALSE(claim("TASK-1").contains("bridgeWarnings"));
    EXPECT_EQ(installed(workspaceRoot, "alpha-skill", "SKILL.md"), "# Alpha 1");

    // A skill that cannot be installed leaves the claim standing, with a warning.
    JsonValue warned = claim("TASK-3");
    ASSERT_EQ(warned["bridgeWarnings"].size(), 1u) << warned.dump();
    test::expectFields(warned["bridgeWarnings"][0], {{"code", "BRIDGE_SKILL_SYNC_REQUIRED"},
                                                     {"authorityOperationSucceeded", true},
                                                     {"retryTool", "authority_sync_skills"}});
    EXPECT_FALSE(warned["bridgeWarnings"][0].value("message", "").empty());

    // A read asked to activate does so too.
    toolValue(callOperation("tasks.get", {{"pathParams", {{"itemId", "TASK-4"}}}, {"autoSyncSkills", true}}));
    EXPECT_EQ(installed(workspaceRoot, "beta-skill", "SKILL.md"), "# Beta");
}

}  // namespace
}  // namespace palisor
