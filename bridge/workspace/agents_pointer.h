#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "bridge/common/bridge_error.h"

namespace palisor {

// What a workspace's AGENTS.md says about where the workspace belongs: the
// project and the authority server that owns it.
struct AgentsPointer {
    std::string projectKey;       // never empty
    std::string authorityOrigin;  // never empty, already passed through normalizeOrigin
    std::optional<std::string> bootstrapEndpoint;  // as written (cleaned); may be empty
    std::optional<std::string> bridgeEndpoint;     // as written (cleaned); may be empty
    std::string agentsPath;                        // the AGENTS.md that was read

    bool operator==(const AgentsPointer&) const = default;
};

class AgentsPointerError : public BridgeError {
public:
    enum class Case { projectKeyRequired, authorityOriginRequired };

    explicit AgentsPointerError(Case errorCase);
    Case errorCase() const noexcept { return case_; }
    bool operator==(const AgentsPointerError& other) const noexcept { return case_ == other.case_; }

private:
    Case case_;
};

// Reads <workspaceRoot>/AGENTS.md. Only Markdown list lines of the form
// "- key: value" with one of the known keys count; everything else in the file
// is free-form text for people and agents. A file that cannot be read or is not
// UTF-8 throws FileError whose code names the file ("FILE_READ_FAILED:<path>");
// a file without a project key or authority origin throws AgentsPointerError.
AgentsPointer readAgentsPointer(std::string_view workspaceRoot);

// The same rules over text already read from `agentsPath` (UTF-8, a leading
// byte order mark ignored). Throws AgentsPointerError only.
AgentsPointer parseAgentsPointer(std::string_view text, std::string agentsPath);

// The one comparable form of an authority origin: scheme "://" host, plus ":"
// port when the text names a port (even the scheme's default). Text that is
// not a URL with scheme and host comes back with leading and trailing "/"
// removed and nothing else changed. Never fails.
std::string normalizeOrigin(std::string_view origin);

}  // namespace palisor
