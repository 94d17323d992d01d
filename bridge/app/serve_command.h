#pragma once

#include <cstdint>
#include <string>

#include "bridge/app/configuration.h"

namespace palisor {

// `palisor-bridge serve`: runs the endpoint until SIGINT or SIGTERM, with
// every status line on standard error. Returns the process exit code.
int runServeCommand(const Configuration& configuration);

// What to tell a user whose bridge could not open 127.0.0.1:port: that a
// bridge of theirs already answers there, that another user's program or
// another program of theirs holds it, or, when nothing listens, only how to
// pick another port.
std::string takenPortAdvice(std::uint16_t port);

}  // namespace palisor
