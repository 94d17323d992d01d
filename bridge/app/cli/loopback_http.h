#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "bridge/common/bridge_error.h"

namespace palisor {

// Why an exchange with the local bridge produced no answer:
// "BRIDGE_NOT_RUNNING" (nothing accepted the connection in time),
// "BRIDGE_CONNECTION_LOST" (it closed before a whole answer),
// "BRIDGE_TIMED_OUT" (no whole answer within the read limit),
// "BRIDGE_PORT_OTHER_USER:<uid>" (the port is another user's: nothing was sent).
class LoopbackHttpError : public BridgeError {
public:
    using BridgeError::BridgeError;
};

inline constexpr const char* kOtherUserCode = "BRIDGE_PORT_OTHER_USER";

struct LoopbackAnswer {
    int status = 0;
    std::string body;
};

// One HTTP/1.1 request to 127.0.0.1:port on a connection of its own. A
// refused connection, or a port that another user's program holds, fails at
// once (the latter before connecting); an unanswered connect after
// `connectTimeout`. Without `readTimeout` the answer is awaited as long as the
// bridge keeps the connection open: a tool call may take minutes.
LoopbackAnswer loopbackExchange(std::uint16_t port, const std::string& method, const std::string& path,
                                const std::string& body, std::chrono::milliseconds connectTimeout,
                                std::optional<std::chrono::milliseconds> readTimeout);

// The uid of another user whose program listens on 127.0.0.1:port; nothing
// when the listener is this user's, there is none, or the kernel cannot tell.
std::optional<uid_t> otherUserOnPort(std::uint16_t port);
// What to tell the user about such a port, in one line.
std::string otherUserOnPortAdvice(std::uint16_t port, uid_t uid);

// Whether a Palisor bridge answers GET /health on 127.0.0.1:port, within a
// second to connect and two to answer.
bool bridgeAnswers(std::uint16_t port);

}  // namespace palisor
