#pragma once

#include <optional>

#include "bridge/mcp/http_response.h"

namespace palisor {

// The endpoint acts with this user's session, so only this user's programs may
// use it. For an accepted connection: the refusal to send instead of serving
// it (403, LOCAL_USER_FORBIDDEN) when its peer belongs to another local user
// or has already gone; nothing when the peer is this user's, or when the
// kernel cannot tell owners apart (then every local user is served).
std::optional<HttpResponse> refusalForPeer(int clientFd);

}  // namespace palisor
