#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace palisor {

// ISO 8601 internet date-time in UTC, whole seconds, "Z" suffix:
// 2026-01-31T09:15:00Z.
std::string isoNow();
std::string isoTime(std::chrono::system_clock::time_point when);

// ISO 8601 internet date-time: "2030-01-01T00:00:00Z", with or without
// fractional seconds, with "Z" or a numeric offset. nullopt for anything else,
// a bare date included.
std::optional<std::chrono::system_clock::time_point> parseIsoTime(std::string_view text);

// Whole milliseconds since `start` on the monotonic clock, the fraction dropped.
std::int64_t millisecondsSince(std::chrono::steady_clock::time_point start);

}  // namespace palisor
