// `palisor-bridge activity`: each option in-process, and the real program once.
#include "bridge/app/cli/activity_command.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <thread>

#include "bridge/activity/activity_log.h"
#include "bridge/common/json.h"
#include "bridge/common/time.h"
#include "tests/support/bridge_process.h"
#include "tests/support/temp_dir.h"

namespace palisor {
namespace {

using namespace std::chrono_literals;

ActivityRecord record(const std::string& tool, const std::string& workspace, std::chrono::minutes ago) {
    ActivityRecord out;
    out.time = std::chrono::system_clock::time_point(
                   std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now() - ago)) +
               250ms;
    out.tool = tool;
    out.workspaceId = workspace;
    out.projectKey = "PRJ-" + workspace;
    out.durationMs = 4.4;
    out.status = 200;
    return out;
}

std::string line(const ActivityRecord& record) {
    return *dumpCompact(activityRecordJson(record)) + "\n";
}

std::string localTime(const ActivityRecord& record) {
    return activityRow(record).time;
}

// The tool of each JSON line printed.
std::vector<std::string> toolsOf(const std::string& output) {
    std::vector<std::string> tools;
    std::istringstream lines(output);
    for (std::string text; std::getline(lines, text);) {
        std::optional<ActivityRecord> parsed = parseActivityRecord(parseJsonObject(std::string_view(text)));
        tools.push_back(!parsed ? "?" : parsed->dropped ? "dropped" : parsed->tool);
    }
    return tools;
}

class ActivityCommand : public ::testing::Test {
protected:
    void SetUp() override {
        tzset();
        old = record("authority_get_context", "ws-a", 180min);
        call = record("authority_call_operation", "ws-b", 30min);
        call.operationId = "tasks.list";
        call.status = 503;
        call.error = "AUTHORITY_UNAVAILABLE";
        refused = record("authority_sync_skills", "ws-a", 5min);
        refused.status.reset();
        refused.error = "BRIDGE_LOGIN_REQUIRED";
        dropped.time = refused.time + 1s;
        dropped.dropped = 3;
        test::writeFile(path + ".1", line(old));
        test::writeFile(path, line(call) + line(refused) + line(dropped) + "{\"time\":\"20");
    }

    // The log in the state folder of the configuration.
    test::CommandResult run(const ActivityCommandOptions& options) {
        std::ostringstream out, err;
        int code = runActivityCommand(configuration, options, out, err);
        return {code, out.str(), err.str()};
    }

    test::ScopedEnv utc{"TZ", "UTC"};
    test::TempDir dir;
    Configuration configuration = [this] {
        Configuration configuration;
        configuration.folders.state = dir.path();
        return configuration;
    }();
    std::string path = dir.file("activity.jsonl");
    ActivityRecord old, call, refused, dropped;
};

TEST_F(ActivityCommand, PrintsATableOrTheRecordsFilteredByEachOption) {
    test::CommandResult table = run({});
    EXPECT_EQ(table.exitCode, 0);
    EXPECT_EQ(table.out, "THỜI GIAN            WORKSPACE  CÔNG CỤ / THAO TÁC              HTTP       MS  MÃ LỖI\n" +
                             localTime(old) + "  ws-a       authority_get_context           200       4.4  -\n" +
                             localTime(call) +
                             "  ws-b       tasks.list                      503       4.4  AUTHORITY_UNAVAILABLE\n" +
                             localTime(refused) +
                             "  ws-a       authority_sync_skills           -         4.4  BRIDGE_LOGIN_REQUIRED\n" +
                             localTime(dropped) + "  -          (bỏ 3 bản ghi vì hàng đợi đầy)  -           -  -\n");
    EXPECT_EQ(table.err, "");
    EXPECT_EQ(localTime(old), isoTime(old.time).substr(0, 10) + " " + isoTime(old.time).substr(11, 8));

    EXPECT_EQ(run({.workspace = "", .since = "", .json = true}).out,
              line(old) + line(call) + line(refused) + line(dropped));
    // Each option reaches the filter (whose own rules its tests pin), and the
    // tools of the JSON records printed.
    std::vector<std::pair<ActivityCommandOptions, std::vector<std::string>>> cases = {
        {{.workspace = "", .since = "1h"}, {"authority_call_operation", "authority_sync_skills", "dropped"}},
        {{.workspace = "ws-a", .since = "", .failedOnly = true}, {"authority_sync_skills", "dropped"}},
    };
    for (auto [options, tools] : cases) {
        options.json = true;
        test::CommandResult filtered = run(options);
        EXPECT_EQ(filtered.exitCode, 0);
        EXPECT_EQ(toolsOf(filtered.out), tools) << options.workspace << options.since;
    }

    test::CommandResult bad = run({.workspace = "", .since = "5 minutes"});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_EQ(bad.out, "");
    EXPECT_NE(bad.err.find("\"5 minutes\" không phải một khoảng thời gian"), std::string::npos) << bad.err;

    EXPECT_EQ(run({.workspace = "", .since = "1m"}).out, "Không có hoạt động nào khớp bộ lọc trong " + path + ".\n");
    std::filesystem::remove(path);
    std::filesystem::remove(path + ".1");
    test::CommandResult none = run({.workspace = "", .since = "", .json = true});
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err, "Chưa có hoạt động nào trong " + path + ".\n");
}

// Records written once the file has been read are the follower's to print;
// that it follows the file across rotations is the follower's own test.
TEST_F(ActivityCommand, FollowsNewMatchingRecords) {
    std::string followed;
    std::atomic<int> checks{0};
    std::thread follower([&] {
        auto deadline = std::chrono::steady_clock::now() + 10s;
        std::ostringstream out, err;
        ActivityCommandOptions following{
            .workspace = "ws-a", .since = "", .json = true, .follow = true, .pollInterval = 5ms};
        // Ends once the last record written below has been printed.
        runActivityCommand(configuration, following, out, err, [&] {
            ++checks;
            return out.str().find("\"tool\":\"t-19\"") != std::string::npos ||
                   std::chrono::steady_clock::now() > deadline;
        });
        followed = out.str();
    });
    while (checks.load() == 0) std::this_thread::sleep_for(1ms);
    {
        ActivityLog log({path});
        for (int i = 10; i < 20; ++i) log.append(record("t-" + std::to_string(i), i % 2 ? "ws-a" : "ws-b", 0min));
    }
    follower.join();
    std::vector<std::string> expected = {"authority_get_context", "authority_sync_skills", "dropped"};
    for (int i = 11; i < 20; i += 2) expected.push_back("t-" + std::to_string(i));
    EXPECT_EQ(toolsOf(followed), expected);
}

// The real program reads the file under XDG_STATE_HOME, and stops following
// on Ctrl-C as a success.
TEST_F(ActivityCommand, TheProgramFollowsTheStateFolderUntilInterrupted) {
    test::TempDir state;
    std::vector<std::string> environment;
    for (const std::string& entry : test::bridgeEnvironment(dir.file("config")))
        if (!entry.starts_with("XDG_STATE_HOME=")) environment.push_back(entry);
    environment.push_back("XDG_STATE_HOME=" + state.path());
    std::filesystem::create_directories(state.path() + "/palisor-bridge");
    test::writeFile(state.path() + "/palisor-bridge/activity.jsonl", line(call));

    test::ChildProcess child(test::kBridgeExecutable, {"activity", "--json", "--follow"}, environment);
    ASSERT_TRUE(child.waitForStdout("tasks.list")) << child.output;
    child.signal(SIGINT);
    EXPECT_EQ(child.waitForExit(), 0) << child.output;
    EXPECT_EQ(child.standardOutput, line(call));
}

}  // namespace
}  // namespace palisor
