// Test equipment: writes the two crash-test packages of one skill, one after
// the other, for ever, each followed by the lock file, until it is killed.
//   palisor_skill_writer <workspace> <skill id> <first package: 0 or 1>
#include <cstdio>
#include <exception>
#include <string>

#include "bridge/skills/skill_folder.h"
#include "tests/skills/crash_packages.h"

int main(int argc, char** argv) {
    using namespace palisor;
    if (argc != 4 || (std::string(argv[3]) != "0" && std::string(argv[3]) != "1")) {
        std::fprintf(stderr, "usage: palisor_skill_writer <workspace> <skill id> <first package: 0 or 1>\n");
        return 2;
    }
    try {
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
