#pragma once

#include <memory>
#include <string>

#include "bridge/mcp/mcp_tool_router.h"
#include "bridge/tools/tool_router.h"

namespace palisor {

// The endpoint's view of the tool router.
class ToolRouterEndpoint : public McpToolRouter {
public:
    explicit ToolRouterEndpoint(std::shared_ptr<ToolRouter> router) : router_(std::move(router)) {}
    JsonValue call(const std::string& name, const JsonValue& args) override { return router_->call(name, args); }

private:
    std::shared_ptr<ToolRouter> router_;
};

}  // namespace palisor
