#pragma once

#include "bridge/common/json.h"

namespace palisor {

// The failure record of a failed authority answer. For now the decoded body
// itself; the record with its fixed fields, sanitised values and guaranteed
// code and message replaces it here, the one place every caller goes through.
JsonValue authorityFailure(const JsonValue& body, int statusCode);

}  // namespace palisor
