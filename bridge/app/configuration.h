#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "bridge/app/advice.h"

namespace palisor {

// The value of an environment variable, or nullopt when it is not set (an
// empty value is set).
std::optional<std::string> environmentValue(const char* name);

// PALISOR_BRIDGE_PORT: a decimal port with an optional leading "+"; absent,
// empty, unparsable, out of range or below 1024 gives 47621.
std::uint16_t configuredPort(const std::optional<std::string>& value);

// Why a set, non-empty PALISOR_BRIDGE_PORT value is not the port the bridge
// uses (it falls back to 47621), with what to set instead; nullopt when the
// value is used as written or is not set.
std::optional<Advice> portFallbackWarning(const std::optional<std::string>& value);

// configuredPort() of the environment's PALISOR_BRIDGE_PORT. A value that
// falls back is said once per process, as one line on standard error.
std::uint16_t portFromEnvironment();

// Whether tool calls leave a record (PALISOR_BRIDGE_ACTIVITY=off turns it
// off) and the file they go to.
struct ActivitySetting {
    bool enabled = true;
    std::string path;
};
ActivitySetting configuredActivity();

}  // namespace palisor
