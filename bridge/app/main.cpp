#include <CLI/CLI.hpp>

#include <iostream>

#include "bridge/app/serve_command.h"
#include "bridge/mcp/mcp_tool_contract.h"

int main(int argc, char** argv) {
    CLI::App app{"Palisor Bridge: the local MCP endpoint between AI coding agents and the project authority."};
    app.name("palisor-bridge");
    app.add_flag_callback(
        "--version",
        [] {
            std::cout << "palisor-bridge " << palisor::McpToolContract::serverVersion() << "\n";
            throw CLI::Success();
        },
        "Print the version and exit");
    app.require_subcommand(0, 1);

    auto* serve = app.add_subcommand("serve", "Run the bridge endpoint on 127.0.0.1 until interrupted (Ctrl-C).");

    CLI11_PARSE(app, argc, argv);

    if (serve->parsed()) return palisor::runServeCommand();
    std::cerr << app.help();
    return 2;
}
