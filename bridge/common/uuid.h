#pragma once

#include <string>

namespace palisor {

// Random version-4 UUID in its 8-4-4-4-12 text form. Identifiers the bridge
// makes itself (trace ids, span ids) use the lower-case form.
std::string randomUuidLower();
std::string randomUuidUpper();

}  // namespace palisor
