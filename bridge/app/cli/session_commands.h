#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <istream>
#include <optional>
#include <ostream>
#include <string>

#include "bridge/app/cli/command_action.h"
#include "bridge/app/configuration.h"

namespace palisor {

// `login`, `logout` and `status`: the user's authority session in the same
// credential store the window and the running bridge use.
void addSessionCommands(CLI::App& app, CommandAction& action, const Configuration& configuration);

struct LoginOptions {
    std::optional<std::string> email{};
    bool passwordFromStdin = false;  // the first line of the input stream
    std::optional<std::string> authority{};
    std::optional<std::string> credentialFile{};
    // Asks the user what the command line did not give (the e-mail, the
    // password without echo when `secret`, where to keep the session on a
    // machine without a keyring) and returns the line typed; empty when
    // there is nobody to ask (no terminal).
    using Ask = std::function<std::string(const std::string& prompt, bool secret)>;
    Ask ask{};
};
int runLogin(const Configuration& configuration, const LoginOptions& options, std::istream& in, std::ostream& out, std::ostream& err);
int runLogout(const Configuration& configuration, std::ostream& out, std::ostream& err);
// Exit 0 only when someone is logged in and the authority accepted the
// session just now.
int runStatus(const Configuration& configuration, bool json, std::ostream& out, std::ostream& err);

}  // namespace palisor
