#include <gtest/gtest.h>

#include <sys/stat.h>

#include "bridge/app/configuration.h"
#include "bridge/app/launcher.h"
#include "tests/support/temp_dir.h"

namespace palisor {
namespace {

TEST(Configuration, PortFromTheEnvironment) {
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

    // One line on standard error, once however often the port is read.
    test::ScopedEnv port("PALISOR_BRIDGE_PORT", "4773l");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(portFromEnvironment(), 47621);
    EXPECT_EQ(portFromEnvironment(), 47621);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Cảnh báo: PALISOR_BRIDGE_PORT=\"4773l\" không dùng được, bridge dùng 47621. Đặt PALISOR_BRIDGE_PORT "
              "thành một số từ 1024 đến 65535, hoặc bỏ nó.\n");
}

TEST(Launcher, OpensTheWindowOnlyWithADisplayAndTheProgram) {
    test::TempDir folder;
    test::ScopedEnv display("DISPLAY", ":0");
    test::ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
    EXPECT_EQ(windowProgramToLaunch(folder.path()), std::nullopt);  // no window program

    std::string program = folder.file("palisor-bridge-gui");
    test::writeFile(program, "#!/bin/sh\n");
    EXPECT_EQ(windowProgramToLaunch(folder.path()), std::nullopt);  // not executable
    ::chmod(program.c_str(), 0755);
    EXPECT_EQ(windowProgramToLaunch(folder.path()), program);

    {
        test::ScopedEnv emptyDisplay("DISPLAY", "");
        EXPECT_EQ(windowProgramToLaunch(folder.path()), std::nullopt);
        test::ScopedEnv waylandOnly("WAYLAND_DISPLAY", "wayland-0");
        EXPECT_EQ(windowProgramToLaunch(folder.path()), program);
    }
    test::ScopedEnv noDisplay("DISPLAY", nullptr);
    EXPECT_EQ(windowProgramToLaunch(folder.path()), std::nullopt);
}

}  // namespace
}  // namespace palisor
