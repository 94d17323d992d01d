#pragma once

namespace palisor {

// `palisor-bridge serve`: runs the endpoint until SIGINT or SIGTERM, with
// every status line on standard error. Returns the process exit code.
int runServeCommand();

}  // namespace palisor
