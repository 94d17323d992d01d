#pragma once

#include <chrono>
#include <string>

namespace palisor {

// ISO 8601 internet date-time in UTC, whole seconds, "Z" suffix:
// 2026-01-31T09:15:00Z.
std::string isoNow();
std::string isoTime(std::chrono::system_clock::time_point when);

}  // namespace palisor
