// Whole syncs against an authority in the process, of both generations:
// what is fetched, what is written, what is skipped and reported, how
// failures leave the lock file, and syncs side by side: of two workspaces in
// one process, of one workspace from two processes, and writers killed at any
// moment (a killed writer leaves the skill's folder as one whole package, the
// old or the new, never a mix or nothing, and the lock file as valid JSON).
#include "bridge/skills/skill_sync_service.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <latch>
#include <random>
#include <set>
#include <thread>

#include "bridge/authority/authority_client_error.h"
#include "bridge/skills/skill_folder.h"
#include "tests/skills/crash_packages.h"
#include "tests/support/bridge_process.h"
#include "tests/support/errors.h"
#include "tests/support/fake_authority.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace palisor {
namespace {

namespace fs = std::filesystem;
using test::errorOf;

constexpr const char* kProject = "demo-project";
const std::string kCatalog = "/api/authority?projectKey=demo-project";
const std::string kReads = "/api/v2/projects/demo%2Dproject/resources/";

// The package read of a skill, as the catalogue's package view asks for it.
std::string skillRead(const std::string& id, const std::string& version = "") {
    std::string query = version.empty() ? "?view=package" : "?version=" + version + "&view=package";
    return kReads + "skills/global%3A" + id + query;
}

class SkillSync : public ::testing::Test {
protected:
    explicit SkillSync(bool foundation = true) : authority(foundation) {}

    std::string skillFile(const std::string& skill, const std::string& file) {
        return workspace + "/.agents/skills/" + skill + "/" + file;
    }
    std::string lockText() { return test::readFile(workspace + "/.agents/skills/" + kSkillLockFileName); }
    JsonValue lock() { return JsonValue::parse(lockText()); }
    JsonValue sync(std::vector<JsonValue> skills) { return service.syncExplicit(kProject, workspace, skills); }
    std::string syncError(std::vector<JsonValue> skills) {
        return errorOf([&] { sync(skills); });
    }

    test::FakeAuthority authority;
    std::shared_ptr<AuthorityClient> client = authority.client();
    SkillSyncService service{client};
    test::TempDir dir;
    std::string workspace = dir.path() + "/workspace";
};

class OlderAuthoritySync : public SkillSync {
protected:
    OlderAuthoritySync() : SkillSync(false) {}

    void servePackage(const std::string& path, const std::string& skillId, const JsonValue& files,
                      JsonValue extra = JsonValue::object()) {
        JsonValue package = {{"skillId", skillId}, {"fileTreeSnapshot", files}};
        package.update(extra);
        authority.answer(path, 200, package.dump());
    }
};

TEST_F(SkillSync, AnEmptyReferenceListStillWritesTheLock) {
    JsonValue report = sync({});
    std::string skillRoot = workspace + "/.agents/skills";
    EXPECT_EQ(report, JsonValue::parse(R"({"ok":true,"projectKey":"demo-project","workspaceRoot":")" + workspace +
                                       R"(","skillRoot":")" + skillRoot + R"(","lockPath":")" + skillRoot + "/" +
                                       kSkillLockFileName + R"(","synced":[],"skipped":[]})"));
    EXPECT_EQ(lock()["lastSync"], JsonValue::parse(R"({"synced":[],"skipped":[]})"));
    EXPECT_EQ(lock()["authorityOrigin"], test::FakeAuthority::kOrigin);
    EXPECT_EQ(authority.requests(), std::vector<std::string>{kCatalog});
}

TEST_F(SkillSync, UnpinnedSkillsAreRewrittenEverySyncPinnedCurrentOnesAreNot) {
    authority.publish("a", "1", {{"SKILL.md", "# A"}});
    std::string hashB = authority.publish("b", "1", {{"SKILL.md", "# B"}, {"docs/b.md", "b"}});
    std::vector<JsonValue> refs{{{"skillId", "a"}}, {{"skillId", "b"}, {"version", "1"}}};
    std::string targetB = workspace + "/.agents/skills/b";

    JsonValue first = sync(refs);
    ASSERT_EQ(first["synced"].size(), 2u);
    // The record's common part, as both the synced and the skipped entry give it.
    std::string recordOfB = R"("skillId":"b","version":"1","contentHash":")" + hashB + R"(","targetPath":")" + targetB +
                            R"(","syncSourceKind":"explicit")";
    EXPECT_EQ(first["synced"][1],
              JsonValue::parse("{" + recordOfB + R"(,"fileCount":2,"sourceFormat":"foundation-v2-file-maps",
        "sourceCompleteness":"published-snapshot","identityVerification":"authority-record-not-recomputed-package-hash"})"));
    EXPECT_EQ(test::readFile(skillFile("b", "docs/b.md")), "b");
    EXPECT_EQ(lock()["lastSync"]["synced"], JsonValue::array({"a", "b"}));

    // Mark the installed unpinned package to see it rewritten.
    test::writeFile(skillFile("a", "mark"), "from before");
    JsonValue second = sync(refs);
    ASSERT_EQ(second["synced"].size(), 1u);
    EXPECT_EQ(second["synced"][0]["skillId"], "a");
    EXPECT_FALSE(fs::exists(skillFile("a", "mark")));
    EXPECT_EQ(second["skipped"], JsonValue::parse(R"([{"reason":"ALREADY_CURRENT",)" + recordOfB + "}]"));
    EXPECT_EQ(lock()["lastSync"]["synced"], JsonValue::array({"a"}));
    EXPECT_EQ(lock()["skills"]["b"]["contentHash"], hashB);
    // Every sync reads every referenced skill's record, current or not.
    EXPECT_EQ(authority.count(skillRead("a")), 2u);
    EXPECT_EQ(authority.count(skillRead("b", "1")), 2u);
    EXPECT_EQ(authority.count(kCatalog), 2u);
}

TEST_F(SkillSync, AFailingSyncLeavesTheLockFileByteForByteUnchanged) {
    authority.publish("a", "1", {{"SKILL.md", "# A"}});
    sync({{{"skillId", "a"}}});
    std::string before = lockText();

    // A skill the authority does not know, after one that installs fine.
    auto missing = test::thrown<AuthorityClientError>([&] { sync({{{"skillId", "a"}}, {{"skillId", "zz"}}}); });
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->statusCode(), 404);
    EXPECT_EQ(lockText(), before);

    // An unsafe skill id is refused before anything is asked for it.
    EXPECT_EQ(syncError({{{"skillId", ".."}}}), "SKILL_PACKAGE_PATH_ESCAPE:..");
    EXPECT_EQ(lockText(), before);
}

TEST_F(SkillSync, TaskSnapshotsOlderThanTheInstalledOneAreSkipped) {
    authority.publish("a", "1", {{"SKILL.md", "# A1"}});
    authority.setTask("T", R"({"id":"T","revision":5,"skillState":{"bindings":[{"skillId":"a","version":"1"}]}})");
    service.syncForProgressItem(kProject, workspace, "T", std::nullopt, std::nullopt);
    EXPECT_EQ(lock()["skills"]["a"]["sourceTaskRevision"], 5);

    authority.clearRequests();
    OrderedJsonValue older = *parseOrderedJson(R"({"id":"T","revision":4,"skills":[{"skillId":"a","version":"0"}]})");
    JsonValue report = service.syncExplicit(kProject, workspace, {}, older);
    EXPECT_EQ(report["skipped"], JsonValue::parse(R"([{"reason":"STALE_TASK_SNAPSHOT_IGNORED","skillId":"a",
        "version":"0","sourceTaskId":"T","sourceTaskRevision":4}])"));
    EXPECT_EQ(authority.countPrefix(kReads + "skills/"), 0u);
    EXPECT_EQ(lock()["skills"]["a"]["version"], "1");
}

TEST_F(SkillSync, TheOrderOfAReceivedTaskCounts) {
    // Two skill outputs for one skill at equal priority conflict; the error
    // names the one seen first first, and that must be the authority's order.
    const char* task =
        R"({"id":"T","skillOutputs":{"zeta":{"skillId":"x","version":"1"},"alpha":{"skillId":"x","version":"2"}}})";
    const char* expected = "SKILL_REF_CANONICAL_CONFLICT:x:1@unhashed:2@unhashed";
    authority.setTask("T", task);
    EXPECT_EQ(errorOf([&] { service.syncForProgressItem(kProject, workspace, "T", std::nullopt, std::nullopt); }),
              expected);
    EXPECT_EQ(errorOf([&] { service.syncFromAuthorityResponse(kProject, workspace, *parseOrderedJson(task)); }),
              expected);
    // A caller with only the sorted form gets the sorted order.
    EXPECT_EQ(errorOf([&] { service.syncFromAuthorityResponse(kProject, workspace, JsonValue::parse(task)); }),
              "SKILL_REF_CANONICAL_CONFLICT:x:2@unhashed:1@unhashed");
}

TEST_F(SkillSync, TasksInOperationAnswers) {
    authority.publish("a", "1", {{"SKILL.md", "# A"}});
    auto report = service.syncFromAuthorityResponse(
        kProject, workspace, *parseOrderedJson(R"({"ok":true,"data":{"itemId":"T","skills":["a"]}})"));
    ASSERT_TRUE(report);
    EXPECT_EQ((*report)["synced"][0]["sourceTaskId"], "T");
    EXPECT_EQ((*report)["synced"][0]["syncSourceKind"], "task-canonical-binding");

    // "data" without a task: "item" is looked at next.
    report = service.syncFromAuthorityResponse(
        kProject, workspace, JsonValue::parse(R"({"data":{"id":"D"},"item":{"id":"I","skillOutputs":{"a":{}}}})"));
    ASSERT_TRUE(report);
    EXPECT_EQ((*report)["synced"][0]["sourceTaskId"], "I");

    authority.clearRequests();
    EXPECT_FALSE(service.syncFromAuthorityResponse(kProject, workspace,
                                                   JsonValue::parse(R"({"ok":true,"data":{"skills":["a"]}})")));
    EXPECT_FALSE(
        service.syncFromAuthorityResponse(kProject, workspace, JsonValue::parse(R"({"id":5,"skills":["a"]})")));
    EXPECT_FALSE(service.syncFromAuthorityResponse(kProject, workspace, JsonValue::array({1})));
    EXPECT_TRUE(authority.requests().empty());
}

TEST_F(OlderAuthoritySync, ProgressItemsAreLookedForUnderTheirCandidatePaths) {
    const std::string base = "/api/projects/demo-project/progress/";
    auto itemError = [&](const char* item, std::optional<std::string> scope, std::optional<std::string> repo) {
        authority.clearRequests();
        return errorOf([&] { service.syncForProgressItem(kProject, workspace, item, scope, repo); });
    };
    // With a repository key its path is the third candidate; at repository
    // scope without one, the repository-level path without a key is. A
    // success without a task moves on silently.
    authority.answer(base + "I-2", 200, R"({"ok":true})");
    EXPECT_EQ(itemError("I-2", "repo-level", "web app"), "PROGRESS_ITEM_LOAD_FAILED:I-2:NOT_FOUND:" + base +
                                                             "project-level/I-2|NOT_FOUND:" + base +
                                                             "repo-level/web%20app/I-2");
    EXPECT_EQ(authority.requests(), (std::vector<std::string>{kCatalog, base + "I-2", base + "project-level/I-2",
                                                              base + "repo-level/web%20app/I-2"}));
    EXPECT_EQ(itemError("I-3", "repo-level", std::nullopt),
              "PROGRESS_ITEM_LOAD_FAILED:I-3:NOT_FOUND:" + base + "I-3|NOT_FOUND:" + base +
                  "project-level/I-3|NOT_FOUND:" + base + "repo-level/I-3");
    EXPECT_EQ(authority.requests().size(), 4u);
    // Every request succeeding without a task: an empty list of failures.
    EXPECT_EQ(itemError("I-2", std::nullopt, std::nullopt),
              "PROGRESS_ITEM_LOAD_FAILED:I-2:NOT_FOUND:" + base + "project-level/I-2");
    authority.answer(base + "project-level/I-2", 200, R"({"ok":true})");
    EXPECT_EQ(itemError("I-2", std::nullopt, std::nullopt), "PROGRESS_ITEM_LOAD_FAILED:I-2:");
}

TEST_F(OlderAuthoritySync, PackagesAreCheckedAgainstTheReference) {
    const std::string hash(64, 'e');
    servePackage("/api/public/skills/a/1/" + hash + "/package", "a", {{"SKILL.md", "# A"}},
                 {{"version", "1"}, {"contentHash", hash}});
    std::vector<JsonValue> pinned{{{"skillId", "a"}, {"version", "1"}, {"contentHash", hash}}};
    EXPECT_EQ(sync(pinned)["synced"][0], JsonValue::parse(R"({"skillId":"a","version":"1","contentHash":")" + hash +
                                                          R"(","fileCount":1,
        "targetPath":")" + workspace + R"(/.agents/skills/a","syncSourceKind":"explicit"})"));
    // Current by lock entry and marker alone: no package request at all.
    authority.clearRequests();
    EXPECT_EQ(sync(pinned)["skipped"][0]["reason"], "ALREADY_CURRENT");
    EXPECT_EQ(authority.requests(), std::vector<std::string>{kCatalog});

    servePackage("/api/skills/b/package", "b", {{"SKILL.md", "# B"}}, {{"version", "2"}});
    EXPECT_EQ(syncError({{{"skillId", "b"}, {"contentHash", "h"}}}),
              "SKILL_PACKAGE_IDENTITY_MISMATCH:b:contentHash:missing:h");
    authority.answer("/api/skills/c/package", 200, R"({"fileTreeSnapshot":{"SKILL.md":"x"}})");
    EXPECT_EQ(syncError({{{"skillId", "c"}}}), "SKILL_PACKAGE_IDENTITY_MISMATCH:c:skillId:missing:c");
    authority.answer("/api/skills/d/package", 200, R"({"skillId":"d"})");
    EXPECT_EQ(syncError({{{"skillId", "d"}}}), "SKILL_PACKAGE_FILE_TREE_MISSING:d");
}

// Syncs of two workspaces overlap: each sync's package read waits until both
// have arrived. (Syncs of one workspace are ordered by the lock file, which
// SkillSyncProcesses checks.)
TEST_F(SkillSync, SyncsOfTwoWorkspacesOverlap) {
    authority.publish("a", "1", {{"SKILL.md", "# A"}});
    authority.publish("b", "1", {{"SKILL.md", "# B"}});
    std::latch bothInside(2);
    authority.beforeAnswer = [&](const std::string& path) {
        if (path.find("/resources/skills/") == std::string::npos) return;
        bothInside.count_down();
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!bothInside.try_wait() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    std::thread other([&] { service.syncExplicit(kProject, dir.path() + "/second", {"b"}); });
    sync({"a"});
    other.join();
    EXPECT_TRUE(bothInside.try_wait()) << "the syncs of two workspaces did not overlap";
    authority.beforeAnswer = nullptr;
}

// The test's writer process (tests/skills/skill_writer_main.cpp) with `args`.
pid_t spawnWriter(std::vector<std::string> args) {
    std::string program = test::buildProgram(PALISOR_SKILL_WRITER_EXECUTABLE);
    std::vector<char*> argv{program.data()};
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    return ::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) == 0 ? pid : -1;
}

// Which package the folder holds, after checking that it holds exactly that
// package and its marker; -1 (with a test failure) otherwise.
int wholePackageIn(const std::string& folder) {
    std::string version = JsonValue::parse(test::readFile(folder + "/" + kSkillMarkerFileName)).value("version", "");
    int which = version == "0" ? 0 : version == "1" ? 1 : -1;
    JsonValue found = JsonValue::object();
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (!entry.is_directory() && entry.path().filename() != kSkillMarkerFileName)
            found[fs::relative(entry.path(), folder).string()] = test::readFile(entry.path().string());
    if (which == -1 || found != test::crashPackage(which)) {
        ADD_FAILURE() << "the folder holds no whole package; marker version \"" << version << "\"";
        return -1;
    }
    return which;
}

TEST(SkillWriteCrash, AKilledWriterLeavesOneWholePackage) {
    test::TempDir dir;
    std::string workspace = dir.path() + "/workspace";
    SkillRootPaths root = ensureWorkspaceSkillRoot(workspace);
    writeSkillPackage(root, "crash", {{"version", "0"}}, test::crashPackage(0));
    std::string lockPath = root.skillRoot + "/" + kSkillLockFileName;

    unsigned seed = std::random_device()();
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> delayMs(1, 120);
    SCOPED_TRACE("seed " + std::to_string(seed));

    // The lock file's inode changes with every replacement: a writer that
    // has replaced it has installed at least one package.
    auto lockInode = [&]() -> ino_t {
        struct stat info {};
        return ::stat(lockPath.c_str(), &info) == 0 ? info.st_ino : 0;
    };

    std::set<int> seen;
    for (int run = 0; run < 100; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        ino_t lockBefore = lockInode();
        pid_t writer = spawnWriter({workspace, "crash", std::to_string(run % 2)});
        ASSERT_GT(writer, 0);
        // Every fifth writer gets a package in first, however slow the disk;
        // their first packages alternate, so both are seen in place.
        if (run % 5 == 0) {
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (lockInode() == lockBefore && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs(random)));
        ::kill(writer, SIGKILL);
        int status = 0;
        ::waitpid(writer, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself";

        int which = wholePackageIn(root.skillRoot + "/crash");
        ASSERT_NE(which, -1);
        seen.insert(which);
        ASSERT_TRUE(!fs::exists(lockPath) || parseJson(test::readFile(lockPath))) << test::readFile(lockPath);
        // Each writer first removes what the killed ones left: at most its
        // own staging folder and the old package it was removing remain.
        std::size_t staging = 0;
        for (const auto& entry : fs::directory_iterator(root.skillRoot))
            staging += entry.path().filename().string().rfind(".tmp-", 0) == 0;
        EXPECT_LE(staging, 2u);
    }
    EXPECT_EQ(seen, (std::set<int>{0, 1})) << "the writer never got a package in place";
}

TEST(SkillSyncProcesses, SyncsOfTwoProcessesKeepEachOthersLockEntries) {
    test::TempDir dir;
    std::string workspace = dir.path() + "/workspace";
    const int rounds = 40;
    std::vector<pid_t> syncs;
    for (const char* side : {"left", "right"})
        syncs.push_back(spawnWriter({"sync", workspace, side, std::to_string(rounds)}));
    for (pid_t pid : syncs) {
        int status = -1;
        ASSERT_TRUE(pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    // Each sync installs a skill no other sync mentions: an entry lost is never written again.
    JsonValue skills = JsonValue::parse(test::readFile(workspace + "/.agents/skills/" + kSkillLockFileName))["skills"];
    std::vector<std::string> lost;
    for (const std::string side : {"left", "right"})
        for (int round = 0; round < rounds; ++round)
            if (std::string id = side + "-" + std::to_string(round); !skills.contains(id)) lost.push_back(id);
    EXPECT_EQ(lost, std::vector<std::string>{});
}

}  // namespace
}  // namespace palisor
