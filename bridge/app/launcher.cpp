#include "bridge/app/launcher.h"

#include <unistd.h>

#include "bridge/app/configuration.h"
#include "bridge/common/paths.h"

namespace palisor {

std::optional<std::string> windowProgramToLaunch(const std::string& executableFolder) {
    auto display = environmentValue("DISPLAY");
    auto wayland = environmentValue("WAYLAND_DISPLAY");
    bool hasDisplay = (display && !display->empty()) || (wayland && !wayland->empty());
    if (!hasDisplay || executableFolder.empty()) return std::nullopt;
    std::string program = joinPath(executableFolder, "palisor-bridge-gui");
    if (::access(program.c_str(), X_OK) != 0) return std::nullopt;
    return program;
}

}  // namespace palisor
