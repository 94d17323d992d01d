// Skill writes from other processes: a writer killed at any moment leaves
// the skill's folder as one whole package (the old or the new, never a mix or
// nothing) and the lock file as valid JSON; staging folders of killed writers
// are removed by later writes; syncs of one workspace from two processes
// keep each other's lock entries.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "bridge/skills/skill_folder.h"
#include "tests/skills/crash_packages.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace palisor {
namespace {

namespace fs = std::filesystem;

pid_t spawnWriter(std::vector<std::string> args) {
    std::string program = PALISOR_SKILL_WRITER_EXECUTABLE;
    std::vector<char*> argv{program.data()};
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
    return pid;
}

// Which package the folder holds, after checking that it holds exactly that
// package and its marker; -1 (with a test failure) otherwise.
int wholePackageIn(const std::string& folder) {
    std::string markerText = test::readFile(folder + "/" + kSkillMarkerFileName);
    JsonValue marker = parseJsonObject(std::string_view(markerText));
    std::string version = marker.value("version", "");
    if (version != "0" && version != "1") {
        ADD_FAILURE() << "marker names no package: " << marker.dump();
        return -1;
    }
    int which = version == "0" ? 0 : 1;
    JsonValue expected = test::crashPackage(which);
    std::set<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_directory()) continue;
        std::string relative = fs::relative(entry.path(), folder).string();
        if (relative == kSkillMarkerFileName) continue;
        found.insert(relative);
        if (!expected.contains(relative) || test::readFile(entry.path().string()) != expected[relative]) {
            ADD_FAILURE() << "file " << relative << " is not of package " << which;
            return -1;
        }
    }
    if (found.size() != expected.size()) {
        ADD_FAILURE() << "package " << which << " has " << found.size() << " of its " << expected.size() << " files";
        return -1;
    }
    return which;
}

std::size_t stagingCount(const std::string& skillRoot) {
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(skillRoot))
        count += entry.path().filename().string().rfind(".tmp-", 0) == 0;
    return count;
}

TEST(SkillWriteCrash, AKilledWriterLeavesOneWholePackage) {
    test::TempDir dir;
    std::string workspace = dir.path() + "/workspace";
    SkillRootPaths root = ensureWorkspaceSkillRoot(workspace);
    writeSkillPackage(root, "crash", {{"version", "0"}}, test::crashPackage(0));
    std::string folder = root.skillRoot + "/crash";
    std::string lockPath = root.skillRoot + "/" + kSkillLockFileName;

    std::random_device seedSource;
    unsigned seed = seedSource();
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
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself in run " << run;

        int which = wholePackageIn(folder);
        ASSERT_NE(which, -1) << "after run " << run;
        seen.insert(which);
        if (fs::exists(lockPath)) {
            std::string text = test::readFile(lockPath);
            ASSERT_TRUE(parseJson(text)) << "after run " << run << ": " << text;
        }
        // Each writer first removes what the killed ones left: at most its
        // own staging folder and the old package it was removing remain.
        EXPECT_LE(stagingCount(root.skillRoot), 2u) << "after run " << run;
    }
    EXPECT_EQ(seen, (std::set<int>{0, 1})) << "the writer never got a package in place";
}

TEST(SkillSyncProcesses, SyncsOfTwoProcessesKeepEachOthersLockEntries) {
    test::TempDir dir;
    std::string workspace = dir.path() + "/workspace";
    const int rounds = 40;
    std::vector<pid_t> syncs;
    for (const char* side : {"left", "right"}) syncs.push_back(spawnWriter({"sync", workspace, side, std::to_string(rounds)}));
    for (pid_t pid : syncs) {
        int status = -1;
        ASSERT_TRUE(pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    // Each sync installs a skill no other sync mentions: an entry lost is never written again.
    std::string lockText = test::readFile(workspace + "/.agents/skills/" + kSkillLockFileName);
    JsonValue skills = parseJsonObject(std::string_view(lockText))["skills"];
    std::vector<std::string> lost;
    for (const std::string side : {"left", "right"})
        for (int round = 0; round < rounds; ++round)
            if (std::string id = side + "-" + std::to_string(round); !skills.contains(id)) lost.push_back(id);
    EXPECT_EQ(lost, std::vector<std::string>{});
}

}  // namespace
}  // namespace palisor
