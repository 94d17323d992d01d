#pragma once

#include <optional>
#include <string>

#include "bridge/app/configuration.h"

namespace palisor {

// The window program to start when `palisor-bridge` runs without a command:
// `palisor-bridge-gui` beside our own executable, when a display is there
// (DISPLAY or WAYLAND_DISPLAY set and non-empty) and that program exists.
// Otherwise none, and the bridge serves headless.
std::optional<std::string> windowProgramToLaunch(const Configuration& configuration,
                                                 const std::string& executableFolder);

}  // namespace palisor
