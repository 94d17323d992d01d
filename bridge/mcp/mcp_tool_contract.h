#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bridge/common/json.h"

namespace palisor {

// What the bridge offers MCP clients: protocol version, server identity and
// the catalogue of seven tools. The names and descriptions are the bridge's
// public vocabulary towards agents and must not drift.
class McpToolContract {
public:
    static constexpr const char* protocolVersion = "2025-06-18";
    static constexpr const char* serverName = "palisor-bridge-native";

    // The version compiled into the program, or "0.0.0" when none was.
    static std::string serverVersion();
    static std::string versionOrFallback(const std::optional<std::string>& version);
    static std::string displayVersionText();

    // The seven tool definitions in catalogue order; built once, shared read-only.
    static const JsonValue& toolDefinitions();
    static JsonValue initializeResult();

    static JsonValue tool(const std::string& name, const std::string& description, const JsonValue& properties,
                          const std::vector<std::string>& required = {});
    static JsonValue objectSchema(const JsonValue& properties = JsonValue::object());
    static JsonValue traceIdentifierSchema();
};

}  // namespace palisor
