#pragma once

#include <string>
#include <string_view>

namespace palisor {

// SHA-256 of the bytes, as 64 lower-case hexadecimal characters.
std::string sha256Hex(std::string_view bytes);

}  // namespace palisor
