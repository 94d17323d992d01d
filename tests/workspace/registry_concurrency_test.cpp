#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "bridge/workspace/workspace_registry.h"
#include "tests/workspace/workspace_fixture.h"

namespace palisor {
namespace {

using test::kOrigin;

void expectInvariants(const WorkspaceRegistrySnapshot& snapshot) {
    std::set<std::string> ids, roots;
    for (const auto& registration : snapshot.workspaces) {
        EXPECT_TRUE(ids.insert(registration.workspaceId).second) << registration.workspaceId;
        EXPECT_TRUE(roots.insert(registration.workspaceRoot).second) << registration.workspaceRoot;
    }
    EXPECT_EQ(snapshot.defaultWorkspaceId.has_value(), !snapshot.workspaces.empty());
    EXPECT_TRUE(!snapshot.defaultWorkspaceId || ids.count(*snapshot.defaultWorkspaceId));
}

class RegistryConcurrencyTest : public test::WorkspaceFixture {};

TEST_F(RegistryConcurrencyTest, ConcurrentChangesLeaveTheFileEqualToMemory) {
    std::vector<std::string> roots;
    for (int i = 0; i < 6; ++i) roots.push_back(makeWorkspace("w" + std::to_string(i), "P" + std::to_string(i % 3)));
    WorkspaceRegistry registry(kOrigin, std::nullopt, store);

    std::atomic<bool> stop{false};
    std::thread resolver([&] {
        while (!stop) {
            try {
                registry.resolve(JsonValue::object());
            } catch (const BridgeError&) {
            }
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
                        case 0: registry.add(roots[random() % roots.size()], random() % 2, random() % 2); break;
                        case 1: registry.remove(someId); break;
                        case 2: registry.setDefault(someId); break;
                        default: registry.setValidationEnabled(someId, random() % 2);
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

TEST_F(RegistryConcurrencyTest, TwoRegistriesOnOneFileLoseNoWrite) {
    // A running bridge and the command line share only the settings file. All
    // folders name one project, so the ids they hand out must not collide.
    constexpr int kPerSide = 8;
    std::vector<std::string> roots;
    for (int i = 0; i < 2 * kPerSide; ++i) roots.push_back(makeWorkspace("w" + std::to_string(i), "Same Project"));
    WorkspaceRegistry bridge(kOrigin, std::nullopt, newStore());
    WorkspaceRegistry commandLine(kOrigin, std::nullopt, newStore());
    auto work = [&](WorkspaceRegistry& registry, int first) {
        for (int i = first; i < first + kPerSide; ++i)
            registry.setValidationEnabled(registry.add(roots[i], true, false).workspaceId, false);
    };
    std::thread one([&] { work(bridge, 0); });
    std::thread two([&] { work(commandLine, kPerSide); });
    one.join();
    two.join();

    auto snapshot = WorkspaceRegistry(kOrigin, std::nullopt, newStore()).snapshot();
    expectInvariants(snapshot);
    std::set<std::string> stored;
    for (const auto& registration : snapshot.workspaces)
        if (!registration.validationEnabled) stored.insert(registration.workspaceRoot);
    EXPECT_EQ(stored, std::set<std::string>(roots.begin(), roots.end()));
    bridge.reload();
    EXPECT_EQ(bridge.snapshot(), snapshot);
}

}  // namespace
}  // namespace palisor
