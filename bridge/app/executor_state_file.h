#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bridge/app/bridge_view.h"
#include "bridge/common/paths.h"

namespace palisor {

// A running bridge tells other programs of the same user (`palisor-bridge
// status`) how its validation executors are doing through a small file in the
// user's runtime folder, one per port: the executors live in the bridge's
// process and nowhere else.
//
// The folder is $XDG_RUNTIME_DIR/palisor-bridge, or palisor-bridge in the
// user's cache folder where the session has no runtime folder; it is created
// 0700 and the file is written 0600, atomically.
std::string executorStatePath(const UserFolders& folders, std::uint16_t port);

struct PublishedExecutorState {
    std::string workspaceId;
    std::string projectKey;
    std::string text;   // the validation line the window shows
    std::string state;  // "ok", "error" or "idle" (switched off, logged out, waiting)
};

// Writes the rows' validation lines, and the session's warning when there is
// one, with this process's id and the port. Throws FileError when the file
// cannot be written.
void writeExecutorStates(const std::string& path, std::uint16_t port, const WorkspaceListModel& list,
                         const std::optional<std::string>& sessionWarning = std::nullopt);

// The states a bridge published for `port`, or nullopt when there is no such
// file, it is malformed, it names another port, or the process that wrote it
// is gone (a bridge killed before it could remove its file).
std::optional<std::vector<PublishedExecutorState>> readExecutorStates(const std::string& path, std::uint16_t port);

// Everything a running bridge published, read once: the executor states and
// the session warning its status line shows (a session it holds only in
// memory, for one). nullopt under the same conditions as above.
struct PublishedBridgeState {
    std::vector<PublishedExecutorState> executors;
    std::optional<std::string> sessionWarning;
};
std::optional<PublishedBridgeState> readPublishedState(const std::string& path, std::uint16_t port);

}  // namespace palisor
