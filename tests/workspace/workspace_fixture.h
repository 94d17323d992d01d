#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "bridge/workspace/settings_store.h"
#include "tests/support/temp_dir.h"

namespace palisor::test {

inline constexpr const char* kOrigin = "https://authority.example";

inline std::string pointerText(const std::string& projectKey, const std::string& origin = kOrigin) {
    return "# Agents\n\nFree text.\n\n- projectKey: " + projectKey + "\n- authorityOrigin: " + origin + "\n";
}

// Workspace folders and a settings file in one temporary folder.
class WorkspaceFixture : public ::testing::Test {
protected:
    std::string settingsPath() const { return dir.path() + "/config/palisor-bridge/settings.json"; }
    std::shared_ptr<SettingsStore> newStore() const { return std::make_shared<SettingsStore>(settingsPath()); }

    std::string makeWorkspace(const std::string& name, const std::string& projectKey,
                              const std::string& origin = kOrigin) const {
        std::string root = dir.path() + "/" + name;
        std::filesystem::create_directories(root);
        writeFile(root + "/AGENTS.md", pointerText(projectKey, origin));
        return root;
    }

    TempDir dir;
    std::shared_ptr<SettingsStore> store = newStore();
};

}  // namespace palisor::test
