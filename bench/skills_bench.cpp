// What a skill sync costs when everything is already installed, against what
// the first installation costs.
//
// 50 skills of 100 files each are published on an authority of the foundation
// generation, answered inside the process through the client's header task
// (no network, so the figures are the sync's own work). One sync installs
// them all into a fresh workspace; a second sync with the same pinned
// references finds every package current. For each the wall time and the bytes
// the process wrote are printed: "wchar" of /proc/self/io counts every byte
// handed to write(), "write_bytes" what reached the storage layer.
//
// Goal: the all-current sync writes only the lock file and takes at most a
// tenth of the time of the first.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "bridge/skills/skill_sync_service.h"
#include "tests/support/fake_authority.h"

using namespace palisor;

namespace {

constexpr int kSkills = 50;
constexpr int kFilesPerSkill = 100;
constexpr const char* kProject = "bench-project";

std::map<std::string, long long> processIo() {
    std::map<std::string, long long> counters;
    std::ifstream in("/proc/self/io");
    std::string name;
    long long value = 0;
    while (in >> name >> value) counters[name.substr(0, name.size() - 1)] = value;
    return counters;
}

struct Figures {
    double milliseconds = 0;
    long long wchar = 0;
    long long writeBytes = 0;
    std::size_t synced = 0;
    std::size_t skipped = 0;
};

template <typename Action>
Figures measured(Action&& action) {
    auto before = processIo();
    auto start = std::chrono::steady_clock::now();
    JsonValue report = action();
    auto end = std::chrono::steady_clock::now();
    auto after = processIo();
    Figures figures;
    figures.milliseconds = std::chrono::duration<double, std::milli>(end - start).count();
    figures.wchar = after["wchar"] - before["wchar"];
    figures.writeBytes = after["write_bytes"] - before["write_bytes"];
    figures.synced = report["synced"].size();
    figures.skipped = report["skipped"].size();
    return figures;
}

void print(const char* label, const Figures& f) {
    std::printf("  %-22s %10.1f ms %12lld %12lld %7zu %8zu\n", label, f.milliseconds, f.wchar, f.writeBytes, f.synced,
                f.skipped);
}

}  // namespace

int main() {
    test::FakeAuthority authority;
    std::vector<JsonValue> refs;
    std::size_t packageBytes = 0;
    for (int s = 0; s < kSkills; ++s) {
        std::string skill = "skill-" + std::to_string(s);
        JsonValue files = JsonValue::object();
        for (int f = 0; f < kFilesPerSkill; ++f) {
            std::string path = f == 0 ? "SKILL.md" : (f % 3 == 0 ? "scripts/" : "docs/") + std::to_string(f) + ".md";
            std::string text = skill + " " + path + "\n" + std::string(1000, static_cast<char>('a' + f % 26)) + "\n";
            packageBytes += text.size();
            files[path] = text;
        }
        authority.publish(skill, "1.0." + std::to_string(s), files);
        refs.push_back({{"skillId", skill}, {"version", "1.0." + std::to_string(s)}});
    }

    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/palisor-bench-skills-XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    std::string workspace = pattern + "/workspace";

    SkillSyncService service(authority.client());
    auto sync = [&] { return service.syncExplicit(kProject, workspace, refs); };
    Figures first = measured(sync);
    Figures current = measured(sync);
    auto lockSize = static_cast<long long>(std::filesystem::file_size(workspace + "/.agents/skills/.skill-lock.json"));
    std::error_code ignored;
    std::filesystem::remove_all(pattern, ignored);

    std::printf("%d skills x %d files (%zu bytes of file text), foundation authority in the process\n\n", kSkills,
                kFilesPerSkill, packageBytes);
    std::printf("  %-22s %13s %12s %12s %7s %8s\n", "", "time", "wchar", "write_bytes", "synced", "skipped");
    print("first sync", first);
    print("all-current sync", current);
    std::printf("\nlock file: %lld bytes\n", lockSize);
    bool onlyLock = current.wchar == lockSize && current.synced == 0;
    bool fastEnough = current.milliseconds * 10 <= first.milliseconds;
    std::printf("goal: the all-current sync writes only the lock file: %s; takes at most a tenth of the first: %s "
                "(%.1f%%)\n",
                onlyLock ? "met" : "MISSED", fastEnough ? "met" : "MISSED",
                100.0 * current.milliseconds / first.milliseconds);
    return onlyLock && fastEnough ? 0 : 1;
}
