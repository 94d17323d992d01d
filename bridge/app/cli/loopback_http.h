#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "bridge/common/bridge_error.h"

namespace palisor {

// Why an exchange with the local bridge produced no answer:
// "BRIDGE_NOT_RUNNING" (nothing accepted the connection in time),
// "BRIDGE_CONNECTION_LOST" (it closed before a whole answer),
// "BRIDGE_TIMED_OUT" (no whole answer within the read limit).
class LoopbackHttpError : public BridgeError {
public:
    using BridgeError::BridgeError;
};

struct LoopbackAnswer {
    int status = 0;
    std::string body;
};

// One HTTP/1.1 request to 127.0.0.1:port on a connection of its own. A
// refused connection fails at once; an unanswered connect after
// `connectTimeout`. Without `readTimeout` the answer is awaited as long as the
// bridge keeps the connection open: a tool call may take minutes.
LoopbackAnswer loopbackExchange(std::uint16_t port, const std::string& method, const std::string& path,
                                const std::string& body, std::chrono::milliseconds connectTimeout,
                                std::optional<std::chrono::milliseconds> readTimeout);

// Whether a Palisor bridge answers GET /health on 127.0.0.1:port, within a
// second to connect and two to answer.
bool bridgeAnswers(std::uint16_t port);

}  // namespace palisor
