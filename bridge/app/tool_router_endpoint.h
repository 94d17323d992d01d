#pragma once

#include <functional>
#include <memory>
#include <string>

#include "bridge/mcp/mcp_tool_router.h"
#include "bridge/tools/tool_router.h"

namespace palisor {

// The endpoint's view of the tool router. `onFailure` sees each call's
// error, on the endpoint's worker, before the caller gets it.
class ToolRouterEndpoint : public McpToolRouter {
public:
    using FailureObserver = std::function<void(const std::exception&)>;

    explicit ToolRouterEndpoint(std::shared_ptr<ToolRouter> router, FailureObserver onFailure = nullptr)
        : router_(std::move(router)), onFailure_(std::move(onFailure)) {}
    JsonValue call(const std::string& name, const JsonValue& args) override {
        try {
            return router_->call(name, args);
        } catch (const std::exception& error) {
            if (onFailure_) onFailure_(error);
            throw;
        }
    }

private:
    std::shared_ptr<ToolRouter> router_;
    FailureObserver onFailure_;
};

}  // namespace palisor
