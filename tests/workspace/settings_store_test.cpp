#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <vector>

#include "bridge/common/bridge_error.h"
#include "bridge/workspace/settings_store.h"
#include "tests/workspace/workspace_fixture.h"

namespace palisor {
namespace {

TEST(SettingsStore, GarbageReadsAsEmptyAndIsMovedAsideNotOverwritten) {
    test::TempDir dir;
    SettingsStore store(dir.file("settings.json"));
    for (const std::string garbage : {"{\"workspaceRoot\": \"/w\"", "[1, 2]"}) {
        test::writeFile(store.path(), garbage);
        EXPECT_EQ(store.read(), JsonValue::object());
        store.remove("absent");  // changes nothing, so writes nothing
        EXPECT_EQ(test::readFile(store.path()), garbage);
        store.set("workspaceRoot", "/w2");
        EXPECT_EQ(store.read(), (JsonValue{{"workspaceRoot", "/w2"}}));
    }
    // Both survive, though moved aside within the same second.
    std::vector<std::string> aside;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        if (entry.path().filename().string().rfind("settings.json.corrupt-", 0) == 0)
            aside.push_back(test::readFile(entry.path().string()));
    std::sort(aside.begin(), aside.end());
    EXPECT_EQ(aside, (std::vector<std::string>{"[1, 2]", "{\"workspaceRoot\": \"/w\""}));
}

TEST(SettingsStore, FailedUpdatesWriteNothing) {
    test::TempDir dir;
    SettingsStore store(dir.file("settings.json"));
    store.set("a", 1);
    std::string before = test::readFile(store.path());
    EXPECT_THROW(store.update([](JsonValue& settings) {
        settings["a"] = 2;
        throw std::runtime_error("changed my mind");
    }),
                 std::runtime_error);
    EXPECT_THROW(store.set("b", std::string("\xFF")), FileError);  // cannot be stored as JSON
    EXPECT_EQ(test::readFile(store.path()), before);
}

TEST(SettingsStore, ConcurrentReadModifyWritesLoseNothing) {
    test::TempDir dir;
    std::string path = dir.file("settings.json");
    SettingsStore shared(path);
    constexpr int kThreads = 6, kRounds = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            SettingsStore own(path);  // as another process would have
            SettingsStore& store = t % 2 == 0 ? shared : own;
            for (int i = 0; i < kRounds; ++i)
                store.update([&](JsonValue& settings) { settings["count"] = settings.value("count", 0) + 1; });
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(SettingsStore(path).value("count"), kThreads * kRounds);
}

}  // namespace
}  // namespace palisor
