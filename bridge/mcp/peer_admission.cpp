#include "bridge/mcp/peer_admission.h"

#include <unistd.h>

#include "bridge/common/socket_owner.h"

namespace palisor {

std::optional<HttpResponse> refusalForPeer(int clientFd) {
    SocketOwner peer = connectedPeerOwner(clientFd);
    switch (peer.status) {
        case SocketOwner::Status::owned:
            if (peer.uid == ::geteuid()) return std::nullopt;
            break;
        // A peer that has closed its end can no longer be told apart from
        // another user's; it cannot read an answer either, so nothing it sent
        // is run.
        case SocketOwner::Status::closed:
            break;
        case SocketOwner::Status::absent:
        case SocketOwner::Status::unavailable:
            return std::nullopt;
    }
    return HttpResponse::json(403, {{"ok", false}, {"error", "LOCAL_USER_FORBIDDEN"}});
}

}  // namespace palisor
