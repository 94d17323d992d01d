// The registry of workspaces and the settings file it lives in: ids, adding,
// removing and the default, the stored state at start, resolving a call's
// workspace, and changes from several threads and from another process.
#include "bridge/workspace/workspace_registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>

#include "bridge/common/bridge_error.h"
#include "tests/support/errors.h"
#include "tests/workspace/workspace_fixture.h"

namespace palisor {
namespace {

using test::errorOf;
using test::kOrigin;
using Snapshot = WorkspaceRegistrySnapshot;

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

    // Failed updates write nothing.
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

TEST(WorkspaceIds, ComeFromProjectKeysWithUnicodeLettersAndNumbers) {
    std::vector<WorkspaceRegistration> existing;
    EXPECT_EQ(uniqueWorkspaceId("Demo Project/API", existing), "demo-project-api");
    EXPECT_EQ(uniqueWorkspaceId("Dự Án/API", existing), "dự-án-api");
    EXPECT_EQ(uniqueWorkspaceId("  --Hà Nội 2026!!--  ", existing), "hà-nội-2026");
    EXPECT_EQ(uniqueWorkspaceId("snake__case", existing), "snake__case");
    EXPECT_EQ(uniqueWorkspaceId("Du\u031B\u0323 A\u0301n", existing), "du\u031B\u0323-a\u0301n");  // decomposed
    EXPECT_EQ(uniqueWorkspaceId("!!!/???", existing), "workspace");
    existing = {{"demo-project-api", "k", "/a", true}, {"demo-project-api-2", "k", "/b", true}};
    EXPECT_EQ(uniqueWorkspaceId("Demo Project/API", existing), "demo-project-api-3");
}

class WorkspaceRegistryTest : public test::WorkspaceFixture {
protected:
    std::unique_ptr<WorkspaceRegistry> newRegistry(std::optional<std::string> legacyRoot = std::nullopt,
                                                   bool persistenceEnabled = true) {
        return std::make_unique<WorkspaceRegistry>(kOrigin, std::move(legacyRoot),
                                                   std::make_shared<SettingsStore>(store->path(), persistenceEnabled));
    }

    JsonValue persistedRegistry() const { return JsonValue::parse(store->stringValue("workspaceRegistryV1").value()); }
};

TEST_F(WorkspaceRegistryTest, AddRegistersOrUpdatesInPlaceAndSetsTheDefault) {
    auto registry = newRegistry();
    std::string first = makeWorkspace("Dự án của tôi", "Demo Project/API");
    std::string second = makeWorkspace("second", "Demo Project/API");
    EXPECT_EQ(registry->add(first, true, false).workspaceId, "demo-project-api");
    EXPECT_EQ(registry->add(second, false, false).workspaceId, "demo-project-api-2");
    EXPECT_EQ(registry->snapshot().defaultWorkspaceId, "demo-project-api");

    // The same folder, written differently, after its pointer changed key.
    test::writeFile(second + "/AGENTS.md", test::pointerText("Renamed"));
    WorkspaceRegistration updated = registry->add(second + "/./sub/../", true, true);
    EXPECT_EQ(updated, (WorkspaceRegistration{"demo-project-api-2", "Renamed", second, true}));
    WorkspaceRegistration firstAdded{"demo-project-api", "Demo Project/API", first, true};
    EXPECT_EQ(registry->snapshotDictionary(), (JsonValue{{"defaultWorkspaceId", "demo-project-api-2"},
                                                         {"workspaces", {firstAdded.toJson(), updated.toJson()}}}));

    // Failed adds change nothing, in memory or on disk.
    auto before = registry->snapshot();
    std::string fileBefore = test::readFile(settingsPath());
    std::string noPointer = dir.path() + "/no pointer";
    std::filesystem::create_directories(noPointer);
    for (const char* origin : {"https://other.example", "https://authority.example:443"})
        EXPECT_EQ(errorOf([&] { registry->add(makeWorkspace("f", "demo", origin), true, true); }),
                  "WORKSPACE_AUTHORITY_ORIGIN_MISMATCH");
    EXPECT_THROW(registry->add(noPointer, true, true), FileError);
    EXPECT_EQ(registry->snapshot(), before);
    EXPECT_EQ(test::readFile(settingsPath()), fileBefore);
}

TEST_F(WorkspaceRegistryTest, RemovingTheDefaultPassesItToTheFirstRemaining) {
    auto registry = newRegistry();
    std::string a = makeWorkspace("a", "alpha");
    registry->add(a, true, false);
    registry->add(makeWorkspace("b", "beta"), true, false);
    registry->add(makeWorkspace("c", "gamma"), true, true);
    EXPECT_EQ(store->stringValue("workspaceRoot"), dir.path() + "/c");
    registry->setValidationEnabled("beta", false);
    EXPECT_FALSE(registry->snapshot().workspaces[1].validationEnabled);

    registry->remove("gamma");
    EXPECT_EQ(registry->snapshot().defaultWorkspaceId, "alpha");
    EXPECT_EQ(store->stringValue("workspaceRoot"), a);
    registry->remove("alpha");
    registry->remove("beta");
    EXPECT_EQ(registry->snapshotDictionary(),
              (JsonValue{{"defaultWorkspaceId", nullptr}, {"workspaces", JsonValue::array()}}));
    EXPECT_FALSE(store->value("workspaceRoot"));
    EXPECT_EQ(persistedRegistry(), (JsonValue{{"workspaces", JsonValue::array()}}));

    EXPECT_EQ(errorOf([&] { registry->remove("beta"); }), "WORKSPACE_NOT_REGISTERED:beta");
    EXPECT_EQ(errorOf([&] { registry->setDefault("x"); }), "WORKSPACE_NOT_REGISTERED:x");
    EXPECT_EQ(errorOf([&] { registry->setValidationEnabled("x", true); }), "WORKSPACE_NOT_REGISTERED:x");
}

TEST_F(WorkspaceRegistryTest, StoredStateIsNormalisedAtStartAndWrittenBack) {
    std::string a = makeWorkspace("a", "alpha");
    std::string b = makeWorkspace("b", "beta");
    auto record = [](const std::string& id, const std::string& key, const std::string& root) {
        return WorkspaceRegistration{id, key, root, true}.toJson();
    };
    store->set(
        "workspaceRegistryV1",
        JsonValue{{"defaultWorkspaceId", "dropped"},
                  {"workspaces",
                   {record("alpha", "alpha", a + "//x/.."), record("same-root", "alpha", a + "/"),
                    record("dropped", "", "/elsewhere"), record("", "p", "/nameless"), record("alpha", "p", "/same-id"),
                    record("relative", "p", "relative/root"), record("beta", "beta", b)}}}
            .dump());
    Snapshot expected{"alpha", {{"alpha", "alpha", a, true}, {"beta", "beta", b, true}}};
    EXPECT_EQ(newRegistry()->snapshot(), expected);
    EXPECT_EQ(persistedRegistry(),
              (JsonValue{{"defaultWorkspaceId", "alpha"},
                         {"workspaces", {expected.workspaces[0].toJson(), expected.workspaces[1].toJson()}}}));
    EXPECT_EQ(store->stringValue("workspaceRoot"), a);

    // One record without its validation flag spoils the whole list.
    store->set("workspaceRegistryV1", R"({"workspaces":[{"workspaceId":"a","projectKey":"a","workspaceRoot":"/a"}]})");
    EXPECT_EQ(newRegistry()->snapshot(), Snapshot{});
    EXPECT_EQ(persistedRegistry(), (JsonValue{{"workspaces", JsonValue::array()}}));
}

TEST_F(WorkspaceRegistryTest, TheLegacyRootSeedsOnlyAnEmptyRegistry) {
    std::string legacy = makeWorkspace("legacy", "Legacy Project");
    store->set("workspaceRegistryV1", "{not json");
    auto seeded = newRegistry(legacy + "/");
    EXPECT_EQ(seeded->snapshot(), (Snapshot{"legacy-project", {{"legacy-project", "Legacy Project", legacy, true}}}));
    EXPECT_EQ(store->stringValue("workspaceRoot"), legacy);
    EXPECT_EQ(newRegistry(makeWorkspace("other", "other"))->snapshot(), seeded->snapshot());

    // Unusable legacy roots are ignored without a word.
    seeded->remove("legacy-project");
    EXPECT_EQ(newRegistry(makeWorkspace("foreign", "f", "https://other.example"))->snapshot(), Snapshot{});
    EXPECT_EQ(newRegistry(dir.path() + "/missing")->snapshot(), Snapshot{});

    // A settings file of garbage starts empty (the store keeps the file aside:
    // its own test checks that).
    test::writeFile(settingsPath(), "garbage");
    EXPECT_EQ(newRegistry()->snapshot(), Snapshot{});
}

TEST_F(WorkspaceRegistryTest, DisabledPersistenceNeitherReadsNorWrites) {
    std::string legacy = makeWorkspace("legacy", "legacy");
    newRegistry()->add(makeWorkspace("a", "alpha"), true, true);
    std::string fileBefore = test::readFile(settingsPath());
    EXPECT_EQ(newRegistry(std::nullopt, false)->snapshot(), Snapshot{});
    auto registry = newRegistry(legacy, false);
    EXPECT_FALSE(registry->persistenceEnabled());
    EXPECT_EQ(registry->snapshot(), (Snapshot{"legacy", {{"legacy", "legacy", legacy, true}}}));
    registry->setValidationEnabled("legacy", false);
    EXPECT_FALSE(registry->reload());
    EXPECT_FALSE(registry->snapshot().workspaces[0].validationEnabled);
    EXPECT_EQ(test::readFile(settingsPath()), fileBefore);
}

TEST_F(WorkspaceRegistryTest, ChangesThatCannotBeSavedAreReportedAndNotApplied) {
    std::string b = makeWorkspace("b", "beta");
    auto registry = newRegistry();
    registry->add(makeWorkspace("a", "alpha"), true, true);
    auto before = registry->snapshot();

    std::filesystem::remove_all(dir.path() + "/config/palisor-bridge");
    test::writeFile(dir.path() + "/config/palisor-bridge", "a file where the folder should be");
    EXPECT_THROW(registry->add(b, true, true), FileError);
    EXPECT_THROW(registry->setValidationEnabled("alpha", false), FileError);
    EXPECT_THROW(registry->remove("alpha"), FileError);
    EXPECT_EQ(registry->snapshot(), before);
    // Starting still works, on what the bridge has.
    EXPECT_EQ(newRegistry(b)->snapshot().defaultWorkspaceId, "beta");
}

TEST_F(WorkspaceRegistryTest, ReloadTakesInWhatAnotherProcessWrote) {
    auto bridge = newRegistry();
    WorkspaceRegistry commandLine(kOrigin, std::nullopt, newStore());
    bridge->add(makeWorkspace("a", "alpha"), true, false);
    // The command line builds on the file: it keeps the bridge's workspace
    // and does not hand out its id again.
    EXPECT_EQ(commandLine.add(makeWorkspace("b", "alpha"), true, true).workspaceId, "alpha-2");
    EXPECT_EQ(commandLine.snapshot().workspaces.size(), 2u);
    EXPECT_TRUE(bridge->reload());
    EXPECT_EQ(bridge->snapshot(), commandLine.snapshot());
    EXPECT_FALSE(bridge->reload());

    store->set("workspaceRegistryV1", "[]");  // unreadable: keep serving what it has
    EXPECT_FALSE(bridge->reload());
    EXPECT_EQ(bridge->snapshot(), commandLine.snapshot());
}

class WorkspaceResolveTest : public WorkspaceRegistryTest {
protected:
    void SetUp() override {
        registry->add(alpha, true, false);
        registry->add(beta, false, false);
        registry->add(gamma, true, true);
    }
    std::string resolveError(const JsonValue& args) {
        return errorOf([&] { registry->resolve(args); });
    }

    std::unique_ptr<WorkspaceRegistry> registry = newRegistry();
    std::string alpha = makeWorkspace("alpha", "shared");
    std::string beta = makeWorkspace("beta", "shared");
    std::string gamma = makeWorkspace("gamma ws", "Gamma");
};

TEST_F(WorkspaceResolveTest, ChoosesByRootThenIdThenProjectKeyThenDefault) {
    EXPECT_EQ(registry->resolve({{"workspaceId", " shared-2 "}}),
              (WorkspaceContext{"shared-2", "shared", beta, false, false, beta + "/AGENTS.md"}));
    EXPECT_EQ(registry->resolve({{"workspaceRoot", gamma + "/../gamma ws/"}}).workspaceId, "gamma");
    EXPECT_EQ(registry->resolve({{"projectKey", "Gamma"}}).workspaceRoot, gamma);
    // Non-text and blank selectors count as absent: the default answers.
    EXPECT_EQ(registry->resolve({{"workspaceId", 42}, {"projectKey", " \n"}, {"workspaceRoot", nullptr}}).workspaceId,
              "gamma");

    EXPECT_EQ(resolveError({{"projectKey", "shared"}}), "WORKSPACE_ID_REQUIRED_FOR_PROJECT:shared");
    registry->setDefault("shared-2");
    EXPECT_EQ(registry->resolve({{"projectKey", "shared"}}).workspaceId, "shared-2");

    EXPECT_EQ(resolveError({{"workspaceId", "nope"}}), "WORKSPACE_NOT_REGISTERED:nope");
    EXPECT_EQ(resolveError({{"projectKey", "nope"}}), "WORKSPACE_NOT_REGISTERED_FOR_PROJECT:nope");
    EXPECT_EQ(resolveError({{"workspaceId", "shared"}, {"workspaceRoot", gamma}}), "WORKSPACE_ROOT_MISMATCH");
    EXPECT_EQ(resolveError({{"workspaceId", "gamma"}, {"projectKey", "shared"}}),
              "WORKSPACE_PROJECT_KEY_MISMATCH:shared:Gamma");
    for (const char* id : {"gamma", "shared", "shared-2"}) registry->remove(id);
    EXPECT_EQ(resolveError(JsonValue::object()), "DEFAULT_WORKSPACE_REQUIRED");
}

TEST_F(WorkspaceResolveTest, UnregisteredFoldersResolveTransientlyWhenTheyBelongHere) {
    std::string loose = makeWorkspace("loose", "Loose Project");
    EXPECT_EQ(registry->resolve({{"workspaceRoot", loose + "/"}, {"projectKey", "Loose Project"}}),
              (WorkspaceContext{std::nullopt, "Loose Project", loose, false, true, loose + "/AGENTS.md"}));
    EXPECT_EQ(resolveError({{"workspaceRoot", makeWorkspace("foreign", "demo", "https://other.example")}}),
              "WORKSPACE_AUTHORITY_ORIGIN_MISMATCH");
    EXPECT_THROW(registry->resolve({{"workspaceRoot", dir.path() + "/nowhere"}}), FileError);
    EXPECT_EQ(registry->snapshot().workspaces.size(), 3u);
}

TEST_F(WorkspaceResolveTest, EveryResolutionReadsThePointerAnew) {
    test::writeFile(gamma + "/AGENTS.md", test::pointerText("Renamed"));
    EXPECT_EQ(resolveError(JsonValue::object()), "WORKSPACE_PROJECT_KEY_MISMATCH:Gamma:Renamed");
    test::writeFile(gamma + "/AGENTS.md", test::pointerText("Gamma", "https://other.example"));
    EXPECT_EQ(resolveError({{"workspaceId", "gamma"}}), "WORKSPACE_AUTHORITY_ORIGIN_MISMATCH");
    std::filesystem::remove(gamma + "/AGENTS.md");
    EXPECT_THROW(registry->resolve({{"workspaceId", "gamma"}}), FileError);
    test::writeFile(gamma + "/AGENTS.md", test::pointerText("Gamma", "https://authority.example/"));
    EXPECT_EQ(registry->resolve({{"workspaceId", "gamma"}}).projectKey, "Gamma");
}

// No two workspaces share an id or a root; a default exists, and is
// registered, exactly when a workspace is.
void expectInvariants(const Snapshot& snapshot) {
    std::set<std::string> ids, roots;
    for (const auto& registration : snapshot.workspaces) {
        EXPECT_TRUE(ids.insert(registration.workspaceId).second) << registration.workspaceId;
        EXPECT_TRUE(roots.insert(registration.workspaceRoot).second) << registration.workspaceRoot;
    }
    EXPECT_EQ(snapshot.defaultWorkspaceId.has_value(), !snapshot.workspaces.empty());
    EXPECT_TRUE(!snapshot.defaultWorkspaceId || ids.count(*snapshot.defaultWorkspaceId));
}

TEST_F(WorkspaceRegistryTest, ConcurrentChangesLeaveTheFileEqualToMemory) {
    std::vector<std::string> roots;
    for (int i = 0; i < 6; ++i) roots.push_back(makeWorkspace("w" + std::to_string(i), "P" + std::to_string(i % 3)));
    WorkspaceRegistry registry(kOrigin, std::nullopt, store);

    std::atomic<bool> stop{false};
    std::thread resolver([&] {
        while (!stop) {
            errorOf<BridgeError>([&] { registry.resolve(JsonValue::object()); });
            expectInvariants(registry.snapshot());
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t + 1));
            for (int i = 0; i < 30; ++i) {
                auto workspaces = registry.snapshot().workspaces;
                std::string someId = workspaces.empty() ? "none" : workspaces[random() % workspaces.size()].workspaceId;
                try {
                    switch (random() % 4) {
                        case 0:
                            registry.add(roots[random() % roots.size()], random() % 2, random() % 2);
                            break;
                        case 1:
                            registry.remove(someId);
                            break;
                        case 2:
                            registry.setDefault(someId);
                            break;
                        default:
                            registry.setValidationEnabled(someId, random() % 2);
                    }
                } catch (const WorkspaceRegistryError& error) {
                    EXPECT_EQ(error.errorCase(), WorkspaceRegistryError::Case::workspaceNotRegistered);
                }
            }
        });
    }
    for (auto& writer : writers) writer.join();
    stop = true;
    resolver.join();

    auto final = registry.snapshot();
    expectInvariants(final);
    EXPECT_EQ(WorkspaceRegistry(kOrigin, std::nullopt, newStore()).snapshot(), final);
    std::optional<std::string> defaultRoot;
    for (const auto& registration : final.workspaces)
        if (registration.workspaceId == final.defaultWorkspaceId) defaultRoot = registration.workspaceRoot;
    EXPECT_EQ(store->stringValue("workspaceRoot"), defaultRoot);
}

}  // namespace
}  // namespace palisor
