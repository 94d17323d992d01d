#include <gtest/gtest.h>

#include <chrono>
#include <sstream>

#include "bridge/validation/validation_executor_manager.h"
#include "tests/validation/validation_fixture.h"

namespace palisor {
namespace {

using namespace std::chrono_literals;
using test::readyLine;

class ExecutorManager : public test::ValidationTest {
protected:
    static std::string starting(const std::string& id) { return "  " + id + ": Đang khởi động validation executor..."; }
    static std::string ready(const std::string& id) {
        return "  " + id + ": Validation executor đã sẵn sàng cho 0 repo.";
    }
    WorkspaceRegistration registration(const std::string& id, const std::string& projectKey) {
        return {id, projectKey, workspace(id, projectKey), true};
    }
    ValidationExecutorManager::Options onResources(const std::string& folder) {
        return {[this, folder](const WorkspaceRegistration&) {
                    return std::make_shared<ValidationExecutorProcess>(on(folder));
                },
                {}};
    }
    void reconcile(ValidationExecutorManager& manager, const std::vector<WorkspaceRegistration>& workspaces,
                   bool forceRestart = false) {
        manager.reconcile(
            client, workspaces, forceRestart,
            [this](const WorkspaceRegistration& registration) { log.add("AUTH " + registration.workspaceId); },
            [this](const WorkspaceRegistration& registration, const std::string& message, bool isError) {
                log.status(registration.workspaceId, message, isError);
            });
    }
    // The process id each launch wrote, by project key, in launch order.
    std::map<std::string, std::vector<pid_t>> launched(const std::string& file) {
        std::map<std::string, std::vector<pid_t>> out;
        std::istringstream in(test::readFile(file));
        for (std::string key, pid; in >> key >> pid;) out[key].push_back(std::stoi(pid));
        return out;
    }

    test::StatusLog log;
};

TEST_F(ExecutorManager, OneWorkspaceWithoutRuntimeDoesNotKeepTheOthersFromStarting) {
    std::string good = resources("good", readyLine() + "exec sleep 30\n");
    std::string broken = resources("broken", readyLine() + "exec sleep 30\n", false);
    ValidationExecutorManager manager({[&](const WorkspaceRegistration& registration) {
                                           return std::make_shared<ValidationExecutorProcess>(
                                               on(registration.workspaceId == "beta" ? broken : good));
                                       },
                                       {}});
    reconcile(manager, {registration("alpha", "ALPHA"), registration("beta", "BETA"), registration("gamma", "GAMMA")});

    std::vector<std::string> started;
    for (const std::string& entry : log.entries())
        if (entry.find("đã sẵn sàng") == std::string::npos) started.push_back(entry);
    EXPECT_EQ(started, (std::vector<std::string>{
                           starting("alpha"),
                           "E beta: Validation executor chưa sẵn sàng: BRIDGE_VALIDATION_EXECUTOR_RUNTIME_MISSING",
                           starting("gamma"),
                       }));
    ASSERT_TRUE(log.waitFor(ready("alpha")));
    ASSERT_TRUE(log.waitFor(ready("gamma")));
    EXPECT_TRUE(manager.executor("alpha")->isRunning());
    EXPECT_FALSE(manager.executor("beta")->isRunning());
    EXPECT_TRUE(manager.executor("gamma")->isRunning());
    manager.stopAll();
    EXPECT_FALSE(manager.executor("alpha"));
}

TEST_F(ExecutorManager, ReconcileBringsTheExecutorsInLineWithTheRegistry) {
    std::string launches = dir.file("launches");
    ValidationExecutorManager manager(onResources(resources(
        "res", "echo \"$PALISOR_PROJECT_KEY $$\" >> '" + launches + "'\n" + readyLine() + "exec sleep 30\n")));
    WorkspaceRegistration alpha = registration("alpha", "ALPHA");
    WorkspaceRegistration beta = registration("beta", "BETA");
    reconcile(manager, {alpha, beta});
    ASSERT_TRUE(log.waitFor(ready("alpha")));
    ASSERT_TRUE(log.waitFor(ready("beta")));
    auto firstAlpha = manager.executor("alpha");

    // Healthy executors are left alone.
    reconcile(manager, {alpha, beta});
    EXPECT_EQ(manager.executor("alpha"), firstAlpha);
    EXPECT_EQ(log.entries().size(), 4u);

    // Switched off: stopped, and nothing reported for it.
    beta.validationEnabled = false;
    reconcile(manager, {alpha, beta});
    EXPECT_FALSE(manager.executor("beta"));
    EXPECT_TRUE(processGone(launched(launches)["BETA"].at(0)));

    // Forced: stopped and started afresh even for the same root.
    reconcile(manager, {alpha, beta}, true);
    EXPECT_NE(manager.executor("alpha"), firstAlpha);
    EXPECT_TRUE(processGone(launched(launches)["ALPHA"].at(0)));
    ASSERT_TRUE(log.waitFor(ready("alpha"), 2));

    manager.stop("alpha");
    EXPECT_FALSE(manager.executor("alpha"));
    EXPECT_TRUE(processGone(launched(launches)["ALPHA"].at(1)));

    reconcile(manager, {alpha});
    ASSERT_TRUE(log.waitFor(ready("alpha"), 3));
    // An empty registry stops everything.
    reconcile(manager, {});
    EXPECT_FALSE(manager.executor("alpha"));
    EXPECT_TRUE(processGone(launched(launches)["ALPHA"].at(2)));

    EXPECT_EQ(launched(launches)["ALPHA"].size(), 3u);
    EXPECT_EQ(launched(launches)["BETA"].size(), 1u);
    // Each workspace's statuses in order; those of two workspaces interleave.
    auto of = [&](const std::string& id) {
        std::vector<std::string> out;
        for (const std::string& entry : log.entries())
            if (entry.find(" " + id + ": ") != std::string::npos) out.push_back(entry);
        return out;
    };
    EXPECT_EQ(of("alpha"), (std::vector<std::string>{starting("alpha"), ready("alpha"), starting("alpha"),
                                                     ready("alpha"), starting("alpha"), ready("alpha")}));
    EXPECT_EQ(of("beta"), (std::vector<std::string>{starting("beta"), ready("beta")}));
    EXPECT_EQ(log.entries().size(), 8u);
}

TEST_F(ExecutorManager, StopAllLetsTheGracePeriodsOverlap) {
    ValidationExecutorManager manager(
        onResources(resources("res", "trap '' TERM\n" + readyLine() + "exec sleep 30\n")));
    reconcile(manager, {registration("alpha", "ALPHA"), registration("beta", "BETA")});
    ASSERT_TRUE(log.waitFor(ready("alpha")));
    ASSERT_TRUE(log.waitFor(ready("beta")));
    auto alpha = manager.executor("alpha");
    auto beta = manager.executor("beta");
    auto begun = std::chrono::steady_clock::now();
    manager.stopAll();
    auto took = std::chrono::steady_clock::now() - begun;
    EXPECT_GE(took, 1400ms);
    EXPECT_LT(took, 2600ms);  // one grace period, not two
    EXPECT_FALSE(alpha->isRunning());
    EXPECT_FALSE(beta->isRunning());
}

TEST_F(ExecutorManager, APointerEditedAfterRegistrationStartsNoExecutor) {
    std::string launches = dir.file("launches");
    ValidationExecutorManager manager(onResources(
        resources("res", "echo \"$PALISOR_AUTHORITY_URL\" >> '" + launches + "'\n" + readyLine() + "exec sleep 30\n")));
    WorkspaceRegistration alpha = registration("alpha", "ALPHA");
    WorkspaceRegistration beta = registration("beta", "BETA");
    reconcile(manager, {alpha});
    ASSERT_TRUE(log.waitFor(ready("alpha")));

    // A pulled commit points the running workspace elsewhere; another names a
    // project it was not registered for.
    test::writeFile(alpha.workspaceRoot + "/AGENTS.md",
                    "- projectKey: ALPHA\n- authorityOrigin: https://evil.example/\n");
    test::writeFile(beta.workspaceRoot + "/AGENTS.md",
                    std::string("- projectKey: OTHER\n- authorityOrigin: ") + test::kAuthorityOrigin + "\n");
    reconcile(manager, {alpha, beta});
    EXPECT_TRUE(
        log.waitFor("E alpha: Validation executor chưa sẵn sàng: WORKSPACE_AUTHORITY_ORIGIN_MISMATCH:"
                    "AGENTS.md=https://evil.example,bridge=https://authority.test"));
    EXPECT_TRUE(log.waitFor("E beta: Validation executor chưa sẵn sàng: WORKSPACE_PROJECT_KEY_MISMATCH:BETA:OTHER"));
    EXPECT_FALSE(manager.executor("alpha")->isRunning());
    EXPECT_FALSE(manager.executor("beta")->isRunning());
    manager.stopAll();
    EXPECT_EQ(test::readFile(launches), std::string(test::kAuthorityOrigin) + "\n");
}

TEST_F(ExecutorManager, AnAuthenticationFailureNamesItsWorkspace) {
    ValidationExecutorManager manager(onResources(resources("res", R"(
if [ "$PALISOR_PROJECT_KEY" = BETA ]; then
  printf '%s\n' '{"event":"validation-worker.error","code":"AUTHORITY_HTTP_401"}'
fi
exec sleep 30
)")));
    reconcile(manager, {registration("alpha", "ALPHA"), registration("beta", "BETA")});
    ASSERT_TRUE(log.waitFor("AUTH beta"));
    manager.stopAll();
    std::vector<std::string> entries = log.entries();
    auto error = std::find(entries.begin(), entries.end(), "E beta: Validation executor lỗi: AUTHORITY_HTTP_401");
    ASSERT_NE(error, entries.end());
    EXPECT_EQ(*(error + 1), "AUTH beta");
    EXPECT_EQ(std::count_if(entries.begin(), entries.end(),
                            [](const std::string& entry) { return entry.rfind("AUTH", 0) == 0; }),
              1);
}

}  // namespace
}  // namespace palisor
