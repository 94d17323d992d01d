#include <CLI/CLI.hpp>

#include "bridge/app/serve_command.h"
#include "bridge/mcp/mcp_tool_contract.h"

int main(int argc, char** argv) {
    CLI::App app{"Palisor Bridge: the local MCP endpoint between AI coding agents and the project authority."};
    app.set_version_flag("--version", palisor::McpToolContract::serverVersion());
    app.require_subcommand(1);

    auto* serve = app.add_subcommand("serve", "Run the bridge endpoint on 127.0.0.1 until interrupted.");

    CLI11_PARSE(app, argc, argv);

    if (serve->parsed()) return palisor::runServeCommand();
    return 0;
}
