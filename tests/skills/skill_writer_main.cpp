// Test equipment, run as a second process beside the tests.
//   palisor_skill_writer <workspace> <skill id> <first package: 0 or 1>
//     writes the two crash-test packages of one skill, one after the other,
//     for ever, each followed by the lock file, until it is killed.
//   palisor_skill_writer sync <workspace> <skill prefix> <rounds>
//     runs that many whole syncs from an authority inside this process, each
//     installing a skill of its own, "<prefix>-<round>", then exits.
#include <cstdio>
#include <exception>
#include <string>

#include "bridge/skills/skill_folder.h"
#include "bridge/skills/skill_sync_service.h"
#include "tests/skills/crash_packages.h"
#include "tests/support/fake_authority.h"

int main(int argc, char** argv) {
    using namespace palisor;
    bool sync = argc == 5 && std::string(argv[1]) == "sync";
    if (!sync && (argc != 4 || (std::string(argv[3]) != "0" && std::string(argv[3]) != "1"))) {
        std::fprintf(stderr, "usage: see tests/skills/skill_writer_main.cpp\n");
        return 2;
    }
    try {
        if (sync) {
            test::FakeAuthority authority;
            SkillSyncService service(authority.client());
            for (int round = 0, rounds = std::stoi(argv[4]); round < rounds; ++round) {
                std::string id = std::string(argv[3]) + "-" + std::to_string(round);
                authority.publish(id, "1", {{"SKILL.md", id}});
                service.syncExplicit("sync-test", argv[2], {id});
            }
            return 0;
        }
        SkillRootPaths root = ensureWorkspaceSkillRoot(argv[1]);
        for (int which = argv[3][0] - '0';; which = 1 - which) {
            JsonValue info = {{"skillId", argv[2]}, {"version", std::to_string(which)}};
            SkillPackageWrite written = writeSkillPackage(root, argv[2], info, test::crashPackage(which));
            JsonValue record = {{"skillId", argv[2]}, {"version", std::to_string(which)}, {"targetPath", written.targetPath}};
            writeSkillLock(root, "https://authority.test", "crash-test", {record}, {});
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
