// One supervisor at a time, with shell scripts as executors. Scripts that
// must be read in steps wait for a file the test creates once it has seen
// the status of the step before.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>

#include "bridge/common/text.h"
#include "bridge/common/unicode.h"
#include "bridge/validation/validation_executor_process.h"
#include "tests/support/errors.h"
#include "tests/validation/validation_fixture.h"

namespace palisor {
namespace {

using namespace std::chrono_literals;
using test::kStarting;
using test::readyLine;
using test::waitForFile;

const std::string kReady0 = "  Validation executor đã sẵn sàng cho 0 repo.";

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

class ExecutorProcess : public test::ValidationTest {
protected:
    std::shared_ptr<ValidationExecutorProcess> supervisor(const std::string& resourceFolder) {
        return std::make_shared<ValidationExecutorProcess>(on(resourceFolder));
    }
    void start(ValidationExecutorProcess& process, const std::string& root) {
        process.start(
            *client, root, [this] { log.add("AUTH"); }, log.handler());
    }
    // Waits until the child has gone by itself, then lets stop() join its
    // threads, so that anything it was going to report has been reported.
    void waitUntilFinished(ValidationExecutorProcess& process) {
        auto deadline = std::chrono::steady_clock::now() + 20s;
        while (process.isRunning() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
        ASSERT_FALSE(process.isRunning());
        process.stop();
    }

    test::StatusLog log;
};

TEST_F(ExecutorProcess, ExplicitRequestProjectsGetTheirMessageAndNoChild) {
    std::string launches = dir.file("launches");
    auto process = supervisor(resources("res", "echo x >> '" + launches + "'\n" + readyLine() + "exec sleep 30\n"));
    std::string root = workspace("w", "FOUNDATION");
    start(*process, root);
    ASSERT_TRUE(log.waitFor(kReady0));
    EXPECT_TRUE(process->isRunning());
    EXPECT_TRUE(process->isReady());

    // The project switches to explicit requests: the running child goes.
    authority.setBootstrap("FOUNDATION",
                           {{"ok", true},
                            {"bridgeCompatibility", {{"validationExecutorRequired", false}}},
                            {"operationCatalog",
                             {{"version", "foundation-v2"},
                              {"operationIds", {"foundation.validation.create", "foundation.validation.report"}}}}});
    start(*process, root);
    EXPECT_FALSE(process->isRunning());
    EXPECT_FALSE(process->activeWorkspaceRoot());
    const std::string foundation = "  Foundation v2: kiểm chứng theo từng yêu cầu; không dùng hàng đợi nền.";
    EXPECT_EQ(log.entries(), (std::vector<std::string>{kStarting, kReady0, foundation}));

    // A fresh supervisor launches nothing at all.
    auto fresh = supervisor(dir.file("res"));
    start(*fresh, root);
    EXPECT_FALSE(fresh->isRunning());
    EXPECT_EQ(log.entries().back(), foundation);
    EXPECT_EQ(test::readFile(launches), "x\n");
}

TEST_F(ExecutorProcess, FailuresAreThrownBeforeAnythingIsLaunched) {
    std::string launches = dir.file("launches");
    std::string script = "echo x >> '" + launches + "'\nexec sleep 30\n";
    std::string root = workspace("w", "ALPHA");
    auto startWith = [&](const std::string& resourceFolder, const std::string& workspaceRoot) {
        auto process = supervisor(resourceFolder);
        std::string code = test::errorOf([&] { start(*process, workspaceRoot); });
        EXPECT_FALSE(process->isRunning()) << code;
        return code;
    };

    EXPECT_EQ(startWith(dir.file("absent"), root), "BRIDGE_VALIDATION_EXECUTOR_RESOURCES_MISSING");
    // The runtime itself is there; npm is not.
    std::string withoutNpm = resources("no-npm", script, false);
    ASSERT_TRUE(std::filesystem::exists(withoutNpm + "/runtime/node"));
    EXPECT_EQ(startWith(withoutNpm, root), "BRIDGE_VALIDATION_EXECUTOR_RUNTIME_MISSING");
    std::string plainNpm = resources("plain-npm", script);
    ::chmod((plainNpm + "/runtime/bin/npm").c_str(), 0644);
    EXPECT_EQ(startWith(plainNpm, root), "BRIDGE_VALIDATION_EXECUTOR_RUNTIME_MISSING");
    std::string noManifest = resources("no-manifest", script);
    std::filesystem::remove(noManifest + "/validation-node-runtimes.json");
    EXPECT_EQ(startWith(noManifest, root), "BRIDGE_VALIDATION_EXECUTOR_RUNTIME_MISSING");

    std::string good = resources("good", script);
    EXPECT_EQ(startWith(good, dir.file("nowhere")), "FILE_READ_FAILED:" + dir.file("nowhere") + "/AGENTS.md");
    authority.setBootstrap("ALPHA", {{"ok", "true"}});
    EXPECT_EQ(startWith(good, root), "BRIDGE_VALIDATION_BOOTSTRAP_INVALID");

    EXPECT_FALSE(std::filesystem::exists(launches));
    EXPECT_TRUE(log.entries().empty());
}

TEST_F(ExecutorProcess, TheChildGetsItsArgumentFolderEnvironmentAndStateFolder) {
    test::ScopedEnv overridden("PALISOR_PROJECT_KEY", "không-phải");
    test::ScopedEnv inherited("PALISOR_VALIDATION_TEST_INHERITED", "giữ nguyên");
    std::string res = resources("res",
                                "env > \"$PALISOR_BRIDGE_STATE_ROOT/env.txt\"\n"
                                "printf '%s\\n%s\\n' \"$0\" \"$(pwd)\" > \"$PALISOR_BRIDGE_STATE_ROOT/args.txt\"\n" +
                                    readyLine() + "exec sleep 30\n");
    const std::string key = "Dự án/Một 2";
    std::string root = workspace("w", key);
    auto process = supervisor(res);
    start(*process, root + "/./");
    ASSERT_TRUE(log.waitFor(kReady0));
    EXPECT_EQ(process->activeWorkspaceRoot(), root);
    EXPECT_EQ(authority.sent().front().method, "GET");
    EXPECT_EQ(authority.requests().front(), "/api/authority?projectKey=" + urlQueryEncode(key));

    std::string state = stateFolder("Dự_án_Một_2");
    struct stat info {};
    ASSERT_EQ(::stat(state.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    std::map<std::string, std::string> env;
    for (const std::string& line : lines(test::readFile(state + "/env.txt"))) {
        std::size_t equals = line.find('=');
        if (equals != std::string::npos) env[line.substr(0, equals)] = line.substr(equals + 1);
    }
    EXPECT_EQ(env["PALISOR_AUTHORITY_URL"], test::kAuthorityOrigin);
    EXPECT_EQ(env["PALISOR_PROJECT_KEY"], key);
    EXPECT_EQ(env["PALISOR_BRIDGE_NODE_ID"], "node-" + key);
    EXPECT_EQ(env["PALISOR_BRIDGE_ACCESS_TOKEN"], test::agentTokenFor(key));
    EXPECT_EQ(env["PALISOR_BRIDGE_WEB_TOKEN"], test::kWebToken);
    EXPECT_EQ(env["PALISOR_BRIDGE_WORKSPACE_ROOT"], root);
    EXPECT_EQ(env["PALISOR_BRIDGE_STATE_ROOT"], std::filesystem::canonical(state).string());
    EXPECT_EQ(env["PALISOR_BRIDGE_PARENT_PID"], std::to_string(::getpid()));
    EXPECT_EQ(env["PALISOR_VALIDATION_NODE_RUNTIME_MANIFEST"], res + "/validation-node-runtimes.json");
    EXPECT_EQ(env["PATH"], res + "/runtime/bin:" + res + "/runtime:/usr/bin:/bin:/usr/sbin:/sbin");
    EXPECT_EQ(env["PALISOR_VALIDATION_TEST_INHERITED"], "giữ nguyên");
    EXPECT_EQ(lines(test::readFile(state + "/args.txt")),
              (std::vector<std::string>{res + "/validation-executor/supervisor.mjs", res + "/validation-executor"}));
    process->stop();
    EXPECT_FALSE(process->isRunning());
}

// One child per root on the whole machine: a supervisor of another program
// (here another in this one) is refused while the first child runs.
TEST_F(ExecutorProcess, OneChildPerRootAndAnotherRootReplacesIt) {
    std::string launches = dir.file("launches");
    auto process = supervisor(resources("res", "echo $$ >> '" + launches + "'\n" + readyLine() + "exec sleep 30\n"));
    std::string first = workspace("one", "ALPHA");
    std::string second = workspace("two", "ALPHA");
    start(*process, first);
    ASSERT_TRUE(log.waitFor(kReady0));
    start(*process, first);
    EXPECT_EQ(log.entries(), (std::vector<std::string>{kStarting, kReady0}));
    std::vector<std::string> pids = lines(test::readFile(launches));
    ASSERT_EQ(pids.size(), 1u);

    start(*process, second);
    EXPECT_TRUE(processGone(std::stoi(pids[0])));
    ASSERT_TRUE(log.waitFor(kReady0, 2));
    EXPECT_EQ(process->activeWorkspaceRoot(), second);
    EXPECT_EQ(lines(test::readFile(launches)).size(), 2u);
    // The replaced child's end is not reported.
    EXPECT_EQ(log.entries(), (std::vector<std::string>{kStarting, kReady0, kStarting, kReady0}));

    auto elsewhere = supervisor(dir.file("res"));
    auto refused = test::thrown<ValidationExecutorProcessError>([&] { start(*elsewhere, second); });
    ASSERT_TRUE(refused);
    EXPECT_STREQ(refused->what(), "VALIDATION_EXECUTOR_RUNNING_ELSEWHERE");
    EXPECT_TRUE(refused->detail().starts_with("tiến trình " + std::to_string(::getpid()) + " đã chạy"))
        << refused->detail();
    EXPECT_EQ(lines(test::readFile(launches)).size(), 2u);
    start(*elsewhere, first);  // another root is free
    process->stop();
    start(*elsewhere, second);
    ASSERT_TRUE(log.waitFor(kReady0, 4));
    EXPECT_EQ(elsewhere->activeWorkspaceRoot(), second);
    elsewhere->stop();
}

TEST_F(ExecutorProcess, StandardOutputEventsBecomeStatusesAndAlarms) {
    auto process = supervisor(resources("res", R"(
printf '%s\n' '{"event":"validation-executor.ready","mappedRepoKeys":["a","b","c"]}'
printf '\n'
printf 'not json\n[1,2]\n{"event":7}\n{"event":"other"}\n'
printf '\377{"event":"validation-worker.recovered"}\n'
printf '%s' '{"event":"validation-wor'
sleep 0.2
printf '%s\n' 'ker.recovered"}'
printf '%s\n' '{"event":"validation-worker.error","code":"E1","statusCode":401}'
printf '{"event":"validation-worker.error","message":"AUTHORITY_REQUEST_FAILED:401 %s"}\n' "$PALISOR_BRIDGE_ACCESS_TOKEN"
printf '%s\n' '{"event":"validation-worker.error","code":"E2","statusCode":"401"}'
printf '%s\n' '{"event":"validation-worker.error","code":"SKILL_FIRST_AUTH_REQUIRED:x"}'
printf '%s\n' '{"event":"validation-worker.error","message":7}'
printf '%s' '{"event":"validation-executor.ready","mappedRepoKeys":"abc"}'
exit 0
)"));
    start(*process, workspace("w", "ALPHA"));
    ASSERT_TRUE(log.waitFor(kReady0));
    waitUntilFinished(*process);
    EXPECT_EQ(log.entries(), (std::vector<std::string>{
                                 kStarting,
                                 "  Validation executor đã sẵn sàng cho 3 repo.",
                                 // only the copy split across two writes; the other is not UTF-8
                                 "  Validation executor đã tự phục hồi và tiếp tục theo dõi job.",
                                 "E Validation executor lỗi: E1",
                                 "AUTH",
                                 "E Validation executor lỗi: AUTHORITY_REQUEST_FAILED:401 [REDACTED]",
                                 "AUTH",
                                 "E Validation executor lỗi: E2",
                                 "E Validation executor lỗi: SKILL_FIRST_AUTH_REQUIRED:x",
                                 "AUTH",
                                 "E Validation executor lỗi: không rõ nguyên nhân",
                                 // a last line without its newline; the exit with 0 says nothing
                                 kReady0,
                             }));
}

TEST_F(ExecutorProcess, StandardErrorIsAWarningOrAnErrorThatDependsOnReadiness) {
    std::string longText;
    for (int i = 0; i < 300; ++i) longText += "e\u0302\u0323";  // one character, three scalars
    test::writeFile(dir.file("long.txt"), "\n  " + longText + "\n");
    auto go = [&](int step) { return dir.file("go" + std::to_string(step)); };
    auto process = supervisor(resources(
        "res",
        "printf 'Warning: a deprecated thing\\n' >&2\n" + waitForFile(go(1)) + "printf 'boom before ready\\n' >&2\n" +
            waitForFile(go(2)) + readyLine() + waitForFile(go(3)) +
            "printf 'crash with %s and %s\\n' \"$PALISOR_BRIDGE_WEB_TOKEN\" \"$PALISOR_BRIDGE_ACCESS_TOKEN\" >&2\n" +
            waitForFile(go(4)) + "cat '" + dir.file("long.txt") + "' >&2\n" + waitForFile(go(5)) +
            "printf '(node:42) MaxListenersExceededWarning: Possible EventEmitter memory leak\\n' >&2\n" +
            waitForFile(go(6)) + "exit 3\n"));
    start(*process, workspace("w", "ALPHA"));
    const std::vector<std::string> expected = {
        kStarting,
        "  Validation executor có cảnh báo runtime: Warning: a deprecated thing",
        "E Validation executor không thể khởi động: boom before ready",
        kReady0,
        "E Validation executor báo lỗi runtime: crash with [REDACTED] and [REDACTED]",
        "E Validation executor báo lỗi runtime: " + std::string(prefixOfUserPerceivedLength(longText, 240)),
        "  Validation executor có cảnh báo runtime: (node:42) MaxListenersExceededWarning: Possible EventEmitter "
        "memory leak",
        "E Validation executor đã dừng với mã 3.",
    };
    for (int step = 1; step <= 6; ++step) {
        ASSERT_TRUE(log.waitFor(expected[static_cast<std::size_t>(step)])) << step;
        test::writeFile(go(step), "");
    }
    ASSERT_TRUE(log.waitFor(expected.back()));
    EXPECT_EQ(userPerceivedLength(expected[5]) - userPerceivedLength("E Validation executor báo lỗi runtime: "), 240u);
    waitUntilFinished(*process);
    EXPECT_EQ(log.entries(), expected);
}

TEST_F(ExecutorProcess, StopGivesAGracePeriodThenKills) {
    std::string pidFile = dir.file("pid");
    auto stubborn = supervisor(
        resources("stubborn", "trap '' TERM\necho $$ > '" + pidFile + "'\n" + readyLine() + "exec sleep 30\n"));
    start(*stubborn, workspace("a", "ALPHA"));
    ASSERT_TRUE(log.waitFor(kReady0));
    pid_t pid = std::stoi(test::readFile(pidFile));
    stubborn->stop();  // the grace period's length: ExecutorManager.StopAllLetsTheGracePeriodsOverlap
    EXPECT_TRUE(processGone(pid));
    EXPECT_FALSE(stubborn->isRunning());
    EXPECT_FALSE(stubborn->isReady());

    // A child that honours SIGTERM is not kept waiting for the grace period.
    auto polite = supervisor(resources("polite", readyLine() + "exec sleep 30\n"));
    start(*polite, workspace("b", "BETA"));
    ASSERT_TRUE(log.waitFor(kReady0, 2));
    auto begun = std::chrono::steady_clock::now();
    polite->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begun, 1400ms);
    // Neither stop is reported.
    EXPECT_EQ(log.entries(), (std::vector<std::string>{kStarting, kReady0, kStarting, kReady0}));
    polite->stop();  // stopping an idle supervisor is harmless
}

TEST_F(ExecutorProcess, FloodsAndInvalidBytesNeitherBlockNorBreakTheReader) {
    auto process = supervisor(resources("res", R"(
head -c 3000000 /dev/zero | tr '\0' x
printf '\n'
head -c 2000000 /dev/urandom
printf '\n%s\n' '{"event":"validation-executor.ready","mappedRepoKeys":["only"]}'
head -c 2000000 /dev/urandom >&2
head -c 2000000 /dev/zero | tr '\0' y >&2
exec sleep 30
)"));
    start(*process, workspace("w", "ALPHA"));
    ASSERT_TRUE(log.waitFor("  Validation executor đã sẵn sàng cho 1 repo."));
    process->stop();
    // Every standard-error excerpt stays within its bound.
    std::vector<std::string> entries = log.entries();
    for (const std::string& entry : entries)
        EXPECT_LE(entry.size(), 100 + 4 * ValidationExecutorProcess::kMaxErrorExcerpt);
    EXPECT_EQ(std::count(entries.begin(), entries.end(), "  Validation executor đã sẵn sàng cho 1 repo."), 1);
}

}  // namespace
}  // namespace palisor
