#include <CLI/CLI.hpp>

#include <malloc.h>
#include <unistd.h>

#include <cstring>
#include <iostream>

#include "bridge/app/cli/activity_command.h"
#include "bridge/app/cli/command_action.h"
#include "bridge/app/cli/doctor_command.h"
#include "bridge/app/cli/session_commands.h"
#include "bridge/app/cli/skill_commands.h"
#include "bridge/app/cli/stdio_command.h"
#include "bridge/app/cli/vietnamese_cli.h"
#include "bridge/app/cli/workspace_commands.h"
#include "bridge/app/configuration.h"
#include "bridge/app/launcher.h"
#include "bridge/app/serve_command.h"
#include "bridge/authority/authority_http.h"
#include "bridge/common/bridge_error.h"
#include "bridge/common/paths.h"
#include "bridge/mcp/mcp_tool_contract.h"

int main(int argc, char** argv) {
    // Each of the endpoint's many worker threads would otherwise get a malloc
    // arena of its own as load first reaches it, and the memory held grows for
    // minutes before it settles. Two arenas serve a loopback endpoint as fast.
    mallopt(M_ARENA_MAX, 2);
    palisor::initializeAuthorityTransport();
    CLI::App app{"Palisor Bridge: endpoint MCP cục bộ giữa các AI coding agent và authority của dự án."};
    app.name("palisor-bridge");
    palisor::speakVietnamese(app);
    app.add_flag_callback(
        "--version",
        [] {
            std::cout << "palisor-bridge " << palisor::McpToolContract::serverVersion() << "\n";
            throw CLI::Success();
        },
        "In phiên bản rồi thoát");
    app.require_subcommand(0, 1);
    app.footer("Không có lệnh thì bridge mở cửa sổ khi có màn hình, nếu không thì chạy như `serve`.");

    // The environment, read once here and passed to every command.
    const palisor::Configuration configuration = palisor::Configuration::fromEnvironment();
    palisor::CommandAction action;
    app.add_subcommand("serve", "Chạy endpoint của bridge trên 127.0.0.1 cho tới khi bị ngắt (Ctrl-C).")->callback([&action, &configuration] {
        action = [&configuration] { return palisor::runServeCommand(configuration); };
    });
    palisor::addSessionCommands(app, action, configuration);
    palisor::addWorkspaceCommands(app, action, configuration);
    palisor::addSkillCommands(app, action, configuration);
    palisor::addStdioCommand(app, action, configuration);
    palisor::addDoctorCommand(app, action, configuration);
    palisor::addActivityCommand(app, action, configuration);
    palisor::nameSubcommandGroups(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        int code = app.exit(error);
        return code == 0 ? palisor::kExitSuccess : palisor::kExitUsage;
    }
    if (action) {
        // Commands report the failures they expect; anything else ends here
        // with its whole message rather than as an abort that shows the code alone.
        try {
            return action();
        } catch (const std::exception& error) {
            std::cerr << "palisor-bridge: " << palisor::errorMessage(error) << "\n";
            return palisor::kExitFailure;
        }
    }

    // No command: the window where there is a display, the headless bridge elsewhere.
    if (auto window = palisor::windowProgramToLaunch(configuration, palisor::executableDirectory())) {
        ::execv(window->c_str(), argv);
        std::cerr << "Không mở được cửa sổ " << *window << ": " << std::strerror(errno) << "; chạy bridge không giao diện.\n";
    }
    return palisor::runServeCommand(configuration);
}
