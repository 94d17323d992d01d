#include "bridge/app/settings_watcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "bridge/workspace/settings_store.h"
#include "tests/support/temp_dir.h"

namespace palisor {
namespace {

using namespace std::chrono_literals;

bool becomes(const std::atomic<int>& counter, int atLeast, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (counter.load() < atLeast) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

class SettingsWatcherTest : public ::testing::TestWithParam<bool> {};

// Both ways of watching: inotify, and polling where inotify is unavailable.
TEST_P(SettingsWatcherTest, ReportsWritesOfTheSettingsFileOnly) {
    bool polling = GetParam();
    test::TempDir dir;
    std::string path = dir.path() + "/config/palisor-bridge/settings.json";
    std::atomic<int> changes{0};
    SettingsWatcher::Options options;
    options.forcePolling = polling;
    SettingsWatcher watcher(
        path, [&] { ++changes; }, options);
    watcher.start();
    EXPECT_EQ(watcher.usesInotify(), !polling);

    // The first file in a folder that did not exist yet, then a replacement
    // by rename, as every store write does.
    SettingsStore store(path);
    store.set("workspaceRoot", "/a");
    ASSERT_TRUE(becomes(changes, 1, 1s));
    int afterFirst = changes.load();
    std::this_thread::sleep_for(20ms);  // a later modification time for the poller
    store.set("workspaceRoot", "/b");
    EXPECT_TRUE(becomes(changes, afterFirst + 1, 1s));

    if (!polling) {
        // Other files in the folder (the store's lock file, temporary files,
        // anything else) are not the settings.
        int before = changes.load();
        test::writeFile(dir.path() + "/config/palisor-bridge/other.json", "{}");
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(changes.load(), before);

        // The folder's loss is itself a change, and the folder made again is
        // watched again.
        std::filesystem::remove_all(dir.path() + "/config/palisor-bridge");
        ASSERT_TRUE(becomes(changes, before + 1, 1s));
        before = changes.load();
        SettingsStore(path).set("workspaceRoot", "/again");
        EXPECT_TRUE(becomes(changes, before + 1, 1500ms));
    }

    watcher.stop();
    watcher.stop();
    int stopped = changes.load();
    store.set("workspaceRoot", "/c");
    std::this_thread::sleep_for(polling ? 700ms : 100ms);
    EXPECT_EQ(changes.load(), stopped);
}

INSTANTIATE_TEST_SUITE_P(Modes, SettingsWatcherTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Polling" : "Inotify"; });

}  // namespace
}  // namespace palisor
