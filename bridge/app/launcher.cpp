#include "bridge/app/launcher.h"

#include <unistd.h>

#include "bridge/common/paths.h"

namespace palisor {

std::optional<std::string> windowProgramToLaunch(const Configuration& configuration,
                                                 const std::string& executableFolder) {
    if (!configuration.hasDisplay() || executableFolder.empty()) return std::nullopt;
    std::string program = joinPath(executableFolder, "palisor-bridge-gui");
    if (::access(program.c_str(), X_OK) != 0) return std::nullopt;
    return program;
}

}  // namespace palisor
