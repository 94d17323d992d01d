#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "bridge/common/json.h"

namespace palisor {

// Standard Base64 (with "=" padding) to bytes; nullopt on any invalid input.
std::optional<std::string> base64Decode(std::string_view text);
// Standard Base64 with "=" padding.
std::string base64Encode(std::string_view bytes);
// Base64url without padding, as JWT segments are written.
std::string base64UrlEncode(std::string_view bytes);

// The claims of a JWT, read without checking its signature (the bridge only
// needs what the authority put in its own token): the text must split at "."
// into exactly three non-empty pieces, and the middle one must be base64url
// JSON holding an object.
std::optional<JsonValue> jwtPayload(std::string_view token);

}  // namespace palisor
