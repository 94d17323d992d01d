#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace palisor {

// The value of an environment variable, or nullopt when it is not set (an
// empty value is set).
std::optional<std::string> environmentValue(const char* name);

// PALISOR_BRIDGE_PORT: a decimal port with an optional leading "+"; absent,
// empty, unparsable, out of range or below 1024 gives 47621.
std::uint16_t configuredPort(const std::optional<std::string>& value);

}  // namespace palisor
