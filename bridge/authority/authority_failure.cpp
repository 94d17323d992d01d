#include "bridge/authority/authority_failure.h"

namespace palisor {

JsonValue authorityFailure(const JsonValue& body, int) { return body.is_object() ? body : JsonValue::object(); }

}  // namespace palisor
