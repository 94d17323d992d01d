#pragma once

// The command line's commands run in this process: the development
// authority, and a settings folder, state folder and credential file of the
// test's own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/app/cli/doctor_command.h"
#include "bridge/app/cli/session_commands.h"
#include "bridge/app/configuration.h"
#include "tests/support/http_client.h"
#include "tests/support/temp_dir.h"
#include "tools/dev-authority/dev_authority.h"

namespace palisor::test {

using ::testing::HasSubstr;
using ::testing::StartsWith;

struct Ran {
    int code = -1;
    std::string out;
    std::string err;
};

class Commands : public ::testing::Test {
protected:
    using Command = std::function<int(const Configuration&, std::istream&, std::ostream&, std::ostream&)>;

    void SetUp() override {
        authority.addUser("dev@palisor.test", "right-password", {"CLI", "DOC", "OTHER"});
        authority.start();
        UserFolderVariables folders;
        folders.home = home.path();
        folders.configHome = configHome();
        folders.stateHome = home.file("state");
        folders.runtimeDir = home.path();
        configuration.folders = UserFolders::resolve(folders);
        configuration.authority = authority.origin();
        configuration.portText = std::to_string(port);
        configuration.credentialFile = credentials();
    }

    Ran run(const Command& command, const std::string& input = {}) const {
        std::istringstream in(input);
        std::ostringstream out, err;
        int code = command(configuration, in, out, err);
        return {code, out.str(), err.str()};
    }
    Ran login(LoginOptions options, const std::string& password = "right-password\n") const {
        options.passwordFromStdin = true;
        return loginAsGiven(options, password);
    }
    Ran login() const { return login({.email = "dev@palisor.test"}); }
    Ran loginAsGiven(const LoginOptions& options, const std::string& input = {}) const {
        return run([&](auto& c, auto& in, auto& out, auto& err) { return runLogin(c, options, in, out, err); }, input);
    }
    Ran logout() const {
        return run([](auto& c, auto&, auto& out, auto& err) { return runLogout(c, out, err); });
    }
    Ran status(bool json = false) const {
        return run([&](auto& c, auto&, auto& out, auto& err) { return runStatus(c, json, out, err); });
    }
    Ran doctor(bool json = false) const {
        return run([&](auto& c, auto&, auto& out, auto& err) { return runDoctorCommand(c, {json}, out, err); });
    }

    // A folder whose AGENTS.md points at this authority.
    std::string workspace(const std::string& name, const std::string& projectKey) const {
        return makeWorkspace(home.path(), name, projectKey, authority.origin());
    }
    std::string configHome() const { return home.file("config"); }
    std::string credentials() const { return home.file("credentials.json"); }

    dev::DevAuthority authority;
    TempDir home;
    std::uint16_t port = freePort();
    // No keyring to be found by the keyring library: no session bus, nor
    // one to start from the runtime folder or for a display.
    ScopedEnv noBus{"DBUS_SESSION_BUS_ADDRESS", nullptr}, noDisplay{"DISPLAY", nullptr},
        noWayland{"WAYLAND_DISPLAY", nullptr};
    ScopedEnv runtime{"XDG_RUNTIME_DIR", home.path().c_str()};
    Configuration configuration;
};

}  // namespace palisor::test
