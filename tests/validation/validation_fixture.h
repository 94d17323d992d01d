#pragma once

// What the validation tests share: the faked authority, resources in which the shell stands in for the runtime (so
// "node supervisor.mjs" runs a script the test writes), and a recorder of
// the statuses and alarms an executor reports.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "bridge/authority/authority_client.h"
#include "bridge/common/jwt.h"
#include "bridge/common/text.h"
#include "bridge/credentials/native_token_store.h"
#include "bridge/validation/validation_executor_process.h"
#include "tests/support/fake_authority.h"
#include "tests/support/temp_dir.h"

namespace palisor::test {

// A resource folder whose runtime is /bin/sh and whose executor script is
// `script`.
inline std::string makeResources(const std::string& folder, const std::string& script, bool withNpm = true) {
    namespace fs = std::filesystem;
    fs::create_directories(folder + "/runtime/bin");
    fs::create_directories(folder + "/validation-executor");
    fs::create_symlink("/bin/sh", folder + "/runtime/node");
    if (withNpm) {
        writeFile(folder + "/runtime/bin/npm", "#!/bin/sh\nexit 0\n");
        ::chmod((folder + "/runtime/bin/npm").c_str(), 0755);
    }
    writeFile(folder + "/validation-node-runtimes.json", "{}\n");
    writeFile(folder + "/validation-executor/supervisor.mjs", script);
    return folder;
}

// A script line that waits until the test creates `path`.
inline std::string waitForFile(const std::string& path) {
    return "while [ ! -e '" + path + "' ]; do sleep 0.02; done\n";
}

inline std::string readyLine(int keys = 0) {
    std::string list;
    for (int i = 0; i < keys; ++i) list += std::string(i ? "," : "") + "\"repo-" + std::to_string(i) + "\"";
    return "printf '%s\\n' '{\"event\":\"validation-executor.ready\",\"mappedRepoKeys\":[" + list + "]}'\n";
}

// Statuses and authentication alarms in the order they were reported; an
// alarm is recorded as the entry "AUTH <label>".
class StatusLog {
public:
    void add(const std::string& entry) {
        std::lock_guard guard(mutex_);
        entries_.push_back(entry);
        changed_.notify_all();
    }
    // "E " before an error, "  " before any other status.
    void status(const std::string& label, const std::string& message, bool isError) {
        add(std::string(isError ? "E " : "  ") + (label.empty() ? "" : label + ": ") + message);
    }

    std::function<void(const std::string&, bool)> handler(const std::string& label = "") {
        return [this, label](const std::string& message, bool isError) { status(label, message, isError); };
    }

    // Waits until `entry` has been reported `count` times.
    bool waitFor(const std::string& entry, std::size_t count = 1) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(20), [&] {
            return static_cast<std::size_t>(std::count(entries_.begin(), entries_.end(), entry)) >= count;
        });
    }

    std::vector<std::string> entries() const {
        std::lock_guard guard(mutex_);
        return entries_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> entries_;
};

inline constexpr const char* kStarting = "  Đang khởi động validation executor...";

// A temporary home for the state folders and the workspaces of one test.
class ValidationTest : public ::testing::Test {
protected:
    // Projects without a bootstrap of their own get a queued-worker one.
    ValidationTest() { authority.setBootstrap({{"ok", true}, {"operationCatalog", {{"version", "v1"}}}}); }
    std::string workspace(const std::string& name, const std::string& projectKey) {
        return makeWorkspace(dir.path() + "/workspaces", name, projectKey, kAuthorityOrigin);
    }
    std::string stateFolder(const std::string& folderName) const {
        return dir.path() + "/data/Palisor Bridge/validation-executor/" + folderName;
    }
    std::string resources(const std::string& name, const std::string& script, bool withNpm = true) {
        return makeResources(dir.file(name), script, withNpm);
    }
    static bool processGone(pid_t pid) { return ::kill(pid, 0) == -1 && errno == ESRCH; }
    // A supervisor's options on these resources, with this test's folders.
    ValidationExecutorProcess::Options on(const std::string& resourceFolder) const { return {resourceFolder, folders}; }

    TempDir dir;
    UserFolders folders = UserFolders::resolve({dir.path(), dir.path() + "/data", {}, {}, dir.path() + "/runtime", {}});
    FakeAuthority authority{false};
    std::shared_ptr<AuthorityClient> client = authority.client();
};

}  // namespace palisor::test
