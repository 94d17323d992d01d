#pragma once

#include <string>

#include "bridge/common/json.h"

namespace palisor {

// The endpoint's view of the tool router: one blocking call per tool
// invocation. A failure is raised as an exception whose description is the
// error code agents see.
class McpToolRouter {
public:
    virtual ~McpToolRouter() = default;
    virtual JsonValue call(const std::string& name, const JsonValue& args) = 0;
};

}  // namespace palisor
