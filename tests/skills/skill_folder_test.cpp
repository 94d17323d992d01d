// The skill folder on disk: name and path rules, package installation and
// its marker, the check for a current package, the lock file, symbolic links
// that lead out of the workspace, and staging folders left by dead writers.
#include "bridge/skills/skill_folder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "bridge/common/atomic_file.h"
#include "bridge/skills/skill_sync_error.h"
#include "tests/support/errors.h"
#include "tests/support/temp_dir.h"

namespace palisor {
namespace {

namespace fs = std::filesystem;
using test::errorOf;

// Names in a folder, links and hidden entries included; with a prefix, only
// the names that start with it.
std::vector<std::string> listing(const std::string& folder, const std::string& prefix = "") {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().filename().string().rfind(prefix, 0) == 0) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> stagingFolders(const std::string& skillRoot) {
    return listing(skillRoot, ".tmp-");
}

class SkillFolder : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(workspace);
        fs::create_directories(outside);
        test::writeFile(outside + "/precious.txt", "keep me");
    }

    SkillRootPaths root() { return ensureWorkspaceSkillRoot(workspace); }
    std::string skills() { return workspace + "/.agents/skills"; }
    std::string lockFile() { return skills() + "/" + kSkillLockFileName; }
    std::string markerOf(const std::string& skill) { return skills() + "/" + skill + "/" + kSkillMarkerFileName; }
    // An installed package holding SKILL.md alone.
    std::vector<std::string> justSkillMd() { return {kSkillMarkerFileName, "SKILL.md"}; }
    std::string escape(const std::string& what) { return "PATH_OUTSIDE_ALLOWED_ROOT:" + fs::canonical(what).string(); }
    void outsideIsUntouched() {
        EXPECT_EQ(listing(outside), std::vector<std::string>{"precious.txt"});
        EXPECT_EQ(test::readFile(outside + "/precious.txt"), "keep me");
    }

    test::TempDir dir;
    std::string workspace = dir.path() + "/workspace";
    std::string outside = dir.path() + "/outside";
};

TEST(SkillFolderRules, NamesAndPaths) {
    EXPECT_EQ(assertSafePathSegment("  demo skill \n"), "demo skill");
    for (const std::string& bad :
         std::vector<std::string>{"a/b", "a\\b", "", "   ", ".", "..", " .. ", std::string("a\0b", 3)})
        EXPECT_EQ(test::thrown<SkillSyncError>([&] { assertSafePathSegment(bad); })->details().front(), bad);
    EXPECT_EQ(errorOf<SkillSyncError>([] { assertSafePathSegment("a/b"); }), "SKILL_PACKAGE_PATH_ESCAPE:a/b");

    EXPECT_EQ(errorOf<SkillSyncError>([] { assertInside("/w/skills", "/w/skills2"); }),
              "PATH_OUTSIDE_ALLOWED_ROOT:/w/skills2");
    EXPECT_EQ(errorOf<SkillSyncError>([] { assertInside("/w/skills", "/w/skills/../x"); }),
              "PATH_OUTSIDE_ALLOWED_ROOT:/w/x");
    EXPECT_EQ(errorOf<SkillSyncError>([] { assertInside("/w/skills/", "/w/skills/a/./b"); }), "no error");

    EXPECT_EQ(resolveSnapshotPath("/p", "a//b"), "/p/a/b");
    EXPECT_EQ(resolveSnapshotPath("/p", std::string("d/") + kSkillLockFileName),
              std::string("/p/d/") + kSkillLockFileName);
    for (const std::string& bad :
         std::vector<std::string>{"a/../b", "..", "./a", "/a", "", "a\\b", std::string("a\0b", 3)})
        EXPECT_EQ(test::thrown<SkillSyncError>([&] { resolveSnapshotPath("/p", bad); })->details().front(), bad);
    EXPECT_EQ(errorOf<SkillSyncError>([] { resolveSnapshotPath("/p", "a/../b"); }), "SKILL_PACKAGE_PATH_ESCAPE:a/../b");
}

TEST_F(SkillFolder, PackagesAreInstalledWholeWithTheirMarker) {
    SkillRootPaths paths = root();
    JsonValue info = {{"skillId", "demo"}, {"version", " 1 "}, {"sourceFormat", {{"kind", "x"}}}, {"downloadUrl", ""}};
    auto written = writeSkillPackage(
        paths, " demo ", info, {{"SKILL.md", "# Demo"}, {"old.md", "old"}, {"docs//deep/n.json", 42}, {"flag", true}});
    EXPECT_EQ(written.targetPath, skills() + "/demo");
    EXPECT_EQ(written.fileCount, 4);
    EXPECT_EQ(test::readFile(skills() + "/demo/docs/deep/n.json"), "42");
    EXPECT_EQ(test::readFile(skills() + "/demo/flag"), "true");

    std::string markerText = test::readFile(markerOf("demo"));
    JsonValue marker = JsonValue::parse(markerText);
    EXPECT_EQ(markerText, marker.dump(2));  // pretty, sorted keys
    EXPECT_TRUE(marker["syncedAt"].is_string());
    marker.erase("syncedAt");
    EXPECT_EQ(marker, JsonValue::parse(R"({"schemaVersion":1,"skillId":"demo","version":"1","contentHash":null,
        "sourceFormat":{"kind":"x"},"sourceCompleteness":null,"identityVerification":null,"downloadUrl":null,
        "aiNodeInstallPath":".agents/skills/demo"})"));

    // The next package replaces the folder as a whole: old files go.
    writeSkillPackage(paths, "demo", {{"aiNodeInstallPath", "elsewhere/demo"}}, {{"SKILL.md", "# Demo 2"}});
    EXPECT_EQ(listing(skills() + "/demo"), justSkillMd());
    EXPECT_EQ(JsonValue::parse(test::readFile(markerOf("demo")))["aiNodeInstallPath"], "elsewhere/demo");
    EXPECT_TRUE(stagingFolders(skills()).empty());

    // Marker and lock file get what the user's umask gives any file they make.
    for (mode_t mask : {mode_t{022}, mode_t{077}}) {
        mode_t previous = ::umask(mask);
        writeSkillPackage(paths, "demo", {}, {{"SKILL.md", "# Demo 3"}});
        writeSkillLock(paths, "o", "P", {}, {});
        ::umask(previous);
        for (const std::string& file : {markerOf("demo"), lockFile()})
            EXPECT_EQ(static_cast<mode_t>(fs::status(file).permissions()), 0666 & ~mask) << file << mask;
    }
}

TEST_F(SkillFolder, BadNamesAndPathsAreRefusedBeforeAnythingIsWritten) {
    SkillRootPaths paths = root();
    writeSkillPackage(paths, "demo", {}, {{"SKILL.md", "installed"}});
    for (const char* bad : {"../x", "a/../../x", "/etc/x", "a\\b"})
        EXPECT_EQ(errorOf<SkillSyncError>([&] {
                      writeSkillPackage(paths, "demo", {}, {{"SKILL.md", "new"}, {"zzz", "z"}, {bad, "x"}});
                  }),
                  std::string("SKILL_PACKAGE_PATH_ESCAPE:") + bad);
    EXPECT_EQ(errorOf<SkillSyncError>([&] {
                  writeSkillPackage(paths, "..", {}, {{"SKILL.md", "x"}});
              }),
              "SKILL_PACKAGE_PATH_ESCAPE:..");
    // A package whose files cannot all be written leaves the installed one.
    EXPECT_THROW(writeSkillPackage(paths, "demo", {}, {{"a", "file"}, {"a/b", "under a file"}}), FileError);
    EXPECT_EQ(test::readFile(skills() + "/demo/SKILL.md"), "installed");
    EXPECT_EQ(listing(skills()), std::vector<std::string>{"demo"});
    EXPECT_FALSE(fs::exists(dir.path() + "/x"));
}

TEST_F(SkillFolder, DeepTreesAreWrittenAndReplacedWithoutRunningOutOfDescriptors) {
    SkillRootPaths paths = root();
    // More nested folders than the process may hold open.
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    rlimit low = saved;
    low.rlim_cur = 128;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::string deep;
    for (int i = 0; i < 300; ++i) deep += "d/";
    std::string first = errorOf([&] {
        writeSkillPackage(paths, "demo", {}, {{"SKILL.md", "x"}, {deep + "leaf.md", "deep"}});
    });
    std::string second = errorOf([&] { writeSkillPackage(paths, "demo", {}, {{"SKILL.md", "y"}}); });
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(first + " " + second, "no error no error");
    EXPECT_EQ(listing(skills() + "/demo"), justSkillMd());
    EXPECT_TRUE(stagingFolders(skills()).empty());
}

TEST_F(SkillFolder, WhetherAnInstalledPackageIsCurrent) {
    SkillRootPaths paths = root();
    JsonValue ref = {{"skillId", "demo"}, {"version", "1"}, {"contentHash", "h"}};
    JsonValue lock = {{"skills", {{"demo", {{"version", "1"}, {"contentHash", "h"}}}}}};
    EXPECT_FALSE(localSkillMatchesRef(paths, lock, ref, nullptr));  // nothing installed

    JsonValue files = {{"SKILL.md", "# Demo"}, {"docs/a.md", "a"}};
    writeSkillPackage(paths, "demo",
                      {{"version", "1"}, {"contentHash", "h"}, {"sourceFormat", "foundation-v2-file-maps"}}, files);
    // An older authority: the lock entry and the marker are enough.
    EXPECT_TRUE(localSkillMatchesRef(paths, lock, ref, nullptr));
    EXPECT_TRUE(localSkillMatchesRef(paths, lock, {{"skillId", "demo"}, {"version", "1"}}, nullptr));
    EXPECT_FALSE(localSkillMatchesRef(paths, lock, {{"skillId", "demo"}}, nullptr));  // pins nothing
    EXPECT_FALSE(localSkillMatchesRef(paths, lock, {{"skillId", "demo"}, {"version", "2"}}, nullptr));
    EXPECT_FALSE(localSkillMatchesRef(paths, JsonValue::object(), ref, nullptr));
    EXPECT_FALSE(localSkillMatchesRef(paths, {{"skills", {{"demo", {{"version", "1"}}}}}}, ref, nullptr));

    // A foundation package also needs every file of its snapshot on disk.
    JsonValue canonical = {{"sourceFormat", "foundation-v2-file-maps"}, {"fileTreeSnapshot", files}};
    test::writeFile(skills() + "/demo/extra.md", "extra files do not matter");
    EXPECT_TRUE(localSkillMatchesRef(paths, lock, ref, &canonical));
    test::writeFile(skills() + "/demo/docs/a.md", "b");  // edited, same length
    EXPECT_FALSE(localSkillMatchesRef(paths, lock, ref, &canonical));
    test::writeFile(skills() + "/demo/docs/a.md", "a");
    JsonValue otherFormat = {{"sourceFormat", "other"}, {"fileTreeSnapshot", files}};
    EXPECT_FALSE(localSkillMatchesRef(paths, lock, ref, &otherFormat));
    JsonValue empty = JsonValue::object();
    EXPECT_FALSE(localSkillMatchesRef(paths, lock, ref, &empty));
    // An unsafe id or snapshot path fails the check itself.
    JsonValue unsafeLock = {{"skills", {{"..", {{"version", "1"}}}}}};
    EXPECT_EQ(errorOf<SkillSyncError>([&] {
                  localSkillMatchesRef(paths, unsafeLock, {{"skillId", ".."}, {"version", "1"}}, nullptr);
              }),
              "SKILL_PACKAGE_PATH_ESCAPE:..");
    JsonValue escaping = {{"sourceFormat", "foundation-v2-file-maps"},
                          {"fileTreeSnapshot", {{"SKILL.md", "# Demo"}, {"z/../../x", "x"}}}};
    EXPECT_EQ(errorOf<SkillSyncError>([&] { localSkillMatchesRef(paths, lock, ref, &escaping); }),
              "SKILL_PACKAGE_PATH_ESCAPE:z/../../x");

    // A link in place of a file of the package is not the package.
    test::writeFile(outside + "/a.md", "a");
    fs::remove(skills() + "/demo/docs/a.md");
    fs::create_symlink(outside + "/a.md", skills() + "/demo/docs/a.md");
    EXPECT_FALSE(localSkillMatchesRef(paths, lock, ref, &canonical));
}

TEST_F(SkillFolder, TheLockFileRecordsEachSync) {
    SkillRootPaths paths = root();
    EXPECT_EQ(readSkillLock(paths), JsonValue::object());
    // Corrupt, a FIFO (which must not block the sync), far too large or a
    // link (never read through): read as no lock, replaced at the next write.
    test::writeFile(lockFile(), "{corrupt");
    EXPECT_EQ(readSkillLock(paths), JsonValue::object());
    test::writeFile(lockFile(), R"({"skills":{"a":{}},"pad":")" + std::string(5 << 20, 'x') + R"("})");
    EXPECT_EQ(readSkillLock(paths), JsonValue::object());
    fs::remove(lockFile());
    ASSERT_EQ(::mkfifo((lockFile()).c_str(), 0600), 0);
    EXPECT_EQ(readSkillLock(paths), JsonValue::object());
    fs::remove(lockFile());
    const std::string leak = R"({"skills":{"leak":{"skillId":"leak"}}})";
    test::writeFile(outside + "/lock.json", leak);
    fs::create_symlink(outside + "/lock.json", lockFile());
    EXPECT_EQ(readSkillLock(paths), JsonValue::object());

    std::string lockPath = writeSkillLock(paths, "https://authority.test", "P",
                                          {{{"skillId", "a"},
                                            {"version", "1"},
                                            {"targetPath", skills() + "/a"},
                                            {"sourceTaskRevision", "3"},
                                            {"fileCount", 2}},
                                           {{"skillId", " "}}},
                                          {});
    EXPECT_EQ(lockPath, lockFile());
    EXPECT_FALSE(fs::is_symlink(lockFile()));
    EXPECT_EQ(test::readFile(outside + "/lock.json"), leak);
    std::string text = test::readFile(lockPath);
    JsonValue lock = JsonValue::parse(text);
    EXPECT_EQ(text, lock.dump(2));
    EXPECT_TRUE(lock["updatedAt"].is_string() && lock["skills"]["a"]["syncedAt"].is_string());
    JsonValue stable = lock;
    stable.erase("updatedAt");
    stable["skills"]["a"].erase("syncedAt");
    EXPECT_EQ(stable,
              JsonValue::parse(R"({"schemaVersion":2,"authorityOrigin":"https://authority.test","projectKey":"P",
        "skillRoot":")" + skills() +
                               R"(","lastSync":{"synced":["a"],"skipped":[]},"skills":{"a":{"skillId":"a",
        "version":"1","targetPath":")" +
                               skills() + R"(/a","sourceTaskRevision":3}}})"));

    // Entries of skills this sync did not mention stay; "ALREADY_CURRENT"
    // refreshes an entry, "STALE_TASK_SNAPSHOT_IGNORED" leaves it.
    lock["skills"]["a"]["syncedAt"] = "2000-01-01T00:00:00Z";
    lock["skills"]["b"] = {{"skillId", "b"}, {"syncedAt", "2000-01-01T00:00:00Z"}};
    lock["skills"]["c"] = {{"skillId", "c"}, {"syncedAt", "2000-01-01T00:00:00Z"}};
    writeFileAtomically(lockPath, lock.dump(2));
    JsonValue skipped =
        JsonValue::array({{{"reason", "ALREADY_CURRENT"}, {"skillId", "b"}, {"version", "7"}},
                          {{"reason", "STALE_TASK_SNAPSHOT_IGNORED"}, {"skillId", "c"}, {"version", "8"}}});
    writeSkillLock(paths, "https://authority.test", "P", {}, {skipped[0], skipped[1]});
    JsonValue after = JsonValue::parse(test::readFile(lockPath));
    EXPECT_EQ(after["skills"]["a"]["syncedAt"], "2000-01-01T00:00:00Z");
    EXPECT_NE(after["skills"]["b"]["syncedAt"], "2000-01-01T00:00:00Z");
    EXPECT_EQ(after["skills"]["b"]["version"], "7");
    EXPECT_EQ(after["skills"]["c"], lock["skills"]["c"]);
    EXPECT_EQ(after["lastSync"], JsonValue({{"synced", JsonValue::array()}, {"skipped", skipped}}));
}

TEST_F(SkillFolder, ASkillRootThatLinksOutOfTheWorkspaceIsRefused) {
    // `outside` stands for "/" or a home folder: a test must not risk
    // creating folders there should this protection ever break.
    fs::create_symlink(outside, workspace + "/.agents");
    EXPECT_EQ(errorOf<SkillSyncError>([&] { root(); }), escape(outside));
    outsideIsUntouched();

    // Through a link that stays inside the workspace, and then out of it one level lower.
    fs::remove(workspace + "/.agents");
    fs::create_directories(workspace + "/real-agents");
    fs::create_symlink(workspace + "/real-agents", workspace + "/.agents");
    SkillRootPaths paths = root();
    EXPECT_EQ(paths.skillRoot, skills());
    writeSkillPackage(paths, "demo", {}, {{"SKILL.md", "x"}});
    EXPECT_EQ(test::readFile(workspace + "/real-agents/skills/demo/SKILL.md"), "x");

    fs::remove_all(workspace + "/real-agents/skills");
    fs::create_symlink(outside, workspace + "/real-agents/skills");
    EXPECT_EQ(errorOf<SkillSyncError>([&] {
                  writeSkillPackage(paths, "demo", {}, {{"SKILL.md", "x"}});
              }),
              escape(outside));
    EXPECT_EQ(errorOf<SkillSyncError>([&] { writeSkillLock(paths, "o", "P", {}, {}); }), escape(outside));
    // The skill root may not be the workspace itself either.
    fs::remove(workspace + "/real-agents/skills");
    fs::create_symlink(workspace, workspace + "/real-agents/skills");
    EXPECT_EQ(errorOf<SkillSyncError>([&] { root(); }), escape(workspace));
    outsideIsUntouched();
}

TEST_F(SkillFolder, LinksInsideTheSkillRootAreReplacedNeverFollowed) {
    SkillRootPaths paths = root();
    // A package folder that is a link to somewhere else (a home folder).
    fs::create_symlink(outside, skills() + "/demo");
    JsonValue lock = {{"skills", {{"demo", {{"version", "1"}}}}}};
    EXPECT_FALSE(localSkillMatchesRef(paths, lock, {{"skillId", "demo"}, {"version", "1"}}, nullptr));
    writeSkillPackage(paths, "demo", {{"version", "1"}}, {{"SKILL.md", "x"}, {"precious.txt", "overwritten?"}});
    EXPECT_FALSE(fs::is_symlink(skills() + "/demo"));
    EXPECT_EQ(test::readFile(skills() + "/demo/precious.txt"), "overwritten?");
    outsideIsUntouched();
}

TEST_F(SkillFolder, ALinkPlantedInAStagingFolderIsNeverWrittenThrough) {
    SkillRootPaths paths = root();
    writeSkillPackage(paths, "demo", {}, {{"SKILL.md", "installed"}});
    // Many files are written before "zz/", so that a planter watching the
    // skill root gets its link in first.
    JsonValue files = {{"SKILL.md", "new"}, {"zz/precious.txt", "written through the link?"}};
    for (int i = 0; i < 150; ++i) files["f" + std::to_string(1000 + i)] = "x";

    bool refused = false;
    for (int attempt = 0; attempt < 5 && !refused; ++attempt) {
        std::atomic<bool> done{false}, planted{false};
        std::thread planter([&] {
            while (!done && !planted)
                for (const std::string& name : stagingFolders(skills()))
                    if (::symlink(outside.c_str(), (skills() + "/" + name + "/zz").c_str()) == 0) planted = true;
        });
        std::string error = errorOf<SkillSyncError>([&] { writeSkillPackage(paths, "demo", {}, files); });
        done = true;
        planter.join();
        outsideIsUntouched();
        refused = error != "no error";
        if (refused) {
            // Refused at the link; the installed package and nothing else remains.
            EXPECT_TRUE(planted);
            EXPECT_THAT(error, ::testing::MatchesRegex("PATH_OUTSIDE_ALLOWED_ROOT:" + skills() + "/\\.tmp-demo-.*/zz"));
            EXPECT_EQ(test::readFile(skills() + "/demo/SKILL.md"), "installed");
            EXPECT_TRUE(stagingFolders(skills()).empty());
        } else {
            // The planter came too late (or only got into the old package on
            // its way out); the write went through whole.
            EXPECT_EQ(test::readFile(skills() + "/demo/zz/precious.txt"), "written through the link?");
            for (const std::string& name : stagingFolders(skills())) fs::remove_all(skills() + "/" + name);
            writeSkillPackage(paths, "demo", {}, {{"SKILL.md", "installed"}});
        }
    }
    EXPECT_TRUE(refused) << "the planter never got in first";
}

TEST_F(SkillFolder, StagingFoldersOfDeadWritersAreRemovedByTheNextWrite) {
    SkillRootPaths paths = root();
    pid_t dead = ::fork();  // a process id that is certainly not running any more
    if (dead == 0) ::_exit(0);
    ::waitpid(dead, nullptr, 0);
    std::string stale = skills() + "/.tmp-demo-1700000000000-" + std::to_string(dead);
    fs::create_directories(stale + "/docs");
    test::writeFile(stale + "/docs/half.md", "half");
    fs::create_symlink(outside, stale + "/docs/link");
    std::vector<std::string> kept{".tmp-demo-1700000000000-" + std::to_string(::getpid()),  // alive
                                  ".tmp-demo-2-1700000000000-" + std::to_string(dead),      // another skill
                                  ".tmp-demo-x1-" + std::to_string(dead)};                  // not a staging name
    for (const std::string& name : kept) fs::create_directories(skills() + "/" + name);

    writeSkillPackage(paths, "demo", {}, {{"SKILL.md", "x"}});
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(stagingFolders(skills()), kept);
    outsideIsUntouched();
}

}  // namespace
}  // namespace palisor
