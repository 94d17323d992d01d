#include "bridge/app/configuration.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>

#include "bridge/app/launcher.h"
#include "tests/support/temp_dir.h"

namespace palisor {
namespace {

TEST(Configuration, ReadsEveryVariableOnce) {
    std::vector<std::unique_ptr<test::ScopedEnv>> set;
    for (auto [name, value] :
         std::vector<std::pair<const char*, const char*>>{{"PALISOR_BRIDGE_PORT", "+8080"},
                                                          {"PALISOR_BRIDGE_AUTHORITY", ""},
                                                          {"PALISOR_BRIDGE_WORKSPACE", "/w"},
                                                          {"PALISOR_BRIDGE_CREDENTIAL_FILE", "/c/session.json"},
                                                          {"PALISOR_BRIDGE_DISABLE_KEYCHAIN", "1"},
                                                          {"PALISOR_BRIDGE_DISABLE_VALIDATION_EXECUTOR", "1"},
                                                          {"PALISOR_BRIDGE_DISABLE_SETTINGS_PERSISTENCE", "1"},
                                                          {"PALISOR_BRIDGE_ACTIVITY", "Off"},
                                                          {"DISPLAY", nullptr},
                                                          {"WAYLAND_DISPLAY", "wayland-0"},
                                                          {"DBUS_SESSION_BUS_ADDRESS", nullptr},
                                                          {"HOME", "/home/u"},
                                                          {"XDG_CONFIG_HOME", "/cfg"},
                                                          {"XDG_STATE_HOME", nullptr},
                                                          {"XDG_RUNTIME_DIR", "/run/user/7"}})
        set.push_back(std::make_unique<test::ScopedEnv>(name, value));

    Configuration c = Configuration::fromEnvironment();
    EXPECT_EQ(c.port(), 8080);
    EXPECT_EQ(c.authority, "");  // set even when empty
    EXPECT_EQ(c.credentialFile, "/c/session.json");
    EXPECT_TRUE(c.keychainDisabled && c.validationExecutorDisabled && c.settingsPersistenceDisabled);
    EXPECT_FALSE(c.activityEnabled());
    EXPECT_EQ(c.workspace, "/w");
    EXPECT_TRUE(c.hasDisplay());
    EXPECT_EQ(c.sessionBus, std::nullopt);
    EXPECT_EQ(c.folders.configuration, "/cfg/palisor-bridge");
    EXPECT_EQ(c.folders.runtime, "/run/user/7/palisor-bridge");
    EXPECT_EQ(configuredActivity(c).path, "/home/u/.local/state/palisor-bridge/activity.jsonl");

    // The switches are on for exactly "1".
    for (const char* other : {"true", "0", "", " 1"}) {
        test::ScopedEnv keychain("PALISOR_BRIDGE_DISABLE_KEYCHAIN", other);
        test::ScopedEnv executor("PALISOR_BRIDGE_DISABLE_VALIDATION_EXECUTOR", other);
        test::ScopedEnv persistence("PALISOR_BRIDGE_DISABLE_SETTINGS_PERSISTENCE", other);
        Configuration off = Configuration::fromEnvironment();
        EXPECT_FALSE(off.keychainDisabled || off.validationExecutorDisabled || off.settingsPersistenceDisabled)
            << '"' << other << '"';
    }
}

TEST(Configuration, PortRulesAndTheirWarningSaidOnce) {
    EXPECT_EQ(configuredPort(std::nullopt), 47621);
    EXPECT_EQ(configuredPort(std::string("8080")), 8080);
    EXPECT_EQ(configuredPort(std::string("+8080")), 8080);
    EXPECT_EQ(configuredPort(std::string("1024")), 1024);
    EXPECT_EQ(configuredPort(std::string("65535")), 65535);
    for (const char* bad : {"80", "1023", "0", "-0", "65536", "99999999999999999999", "", "abc", " 8080", "8080 ",
                            "++8080", "-8080", "80.5", "4773l"}) {
        EXPECT_EQ(configuredPort(std::string(bad)), 47621) << bad;
        // Set but not used as written: said, except for an empty value.
        EXPECT_EQ(portFallbackWarning(std::string(bad)).has_value(), *bad != '\0') << bad;
    }
    for (const char* used : {"8080", "47621", "+47621", " 47621 "})
        EXPECT_EQ(portFallbackWarning(std::string(used)), std::nullopt) << used;

    // One line, once however often the port is asked for.
    Configuration configuration;
    configuration.portText = "4773l";
    std::ostringstream err;
    EXPECT_EQ(portSayingFallbackOnce(configuration, err), 47621);
    EXPECT_EQ(portSayingFallbackOnce(configuration, err), 47621);
    EXPECT_EQ(err.str(),
              "Cảnh báo: PALISOR_BRIDGE_PORT=\"4773l\" không dùng được, bridge dùng 47621. Đặt PALISOR_BRIDGE_PORT "
              "thành một số từ 1024 đến 65535, hoặc bỏ nó.\n");
}

TEST(Launcher, OpensTheWindowOnlyWithADisplayAndTheProgram) {
    test::TempDir folder;
    Configuration x11;
    x11.display = ":0";
    EXPECT_EQ(windowProgramToLaunch(x11, folder.path()), std::nullopt);  // no window program

    std::string program = folder.file("palisor-bridge-gui");
    test::writeFile(program, "#!/bin/sh\n");
    EXPECT_EQ(windowProgramToLaunch(x11, folder.path()), std::nullopt);  // not executable
    ::chmod(program.c_str(), 0755);
    EXPECT_EQ(windowProgramToLaunch(x11, folder.path()), program);

    Configuration emptyDisplay;
    emptyDisplay.display = "";
    EXPECT_EQ(windowProgramToLaunch(emptyDisplay, folder.path()), std::nullopt);
    emptyDisplay.waylandDisplay = "wayland-0";
    EXPECT_EQ(windowProgramToLaunch(emptyDisplay, folder.path()), program);
    EXPECT_EQ(windowProgramToLaunch(Configuration{}, folder.path()), std::nullopt);
}

}  // namespace
}  // namespace palisor
