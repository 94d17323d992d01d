#pragma once

#include <optional>
#include <string>

#include "bridge/common/json.h"

namespace palisor {

// The failure record of a failed authority answer: a flat object with the
// authority's known diagnostic fields, always "statusCode", "code" and
// "message", values scrubbed of credentials and bounded in size, and stack
// traces removed. It is what agents see of an authority failure, never the
// raw body. Building it never fails; a record passed in again comes out the same.
JsonValue authorityFailure(const JsonValue& body, int statusCode);

// The text trimmed of white space and line breaks when it is a string with
// something left after trimming; absent otherwise.
std::optional<std::string> failureText(const JsonValue& value);

// The human message of a failure: a "message" list joined with "; ", else a
// "message" text, else an "error" text.
std::optional<std::string> failureMessage(const JsonValue& source);

// Removes every "stack" and "stackTrace" key (any letter case) at any depth.
JsonValue stripInternalDiagnostics(const JsonValue& value);

// Refuses arguments whose "pathParams" or "query" name another project than
// the selected workspace's, before anything is sent: throws
// AuthorityClientError::httpError with status 403 and a failure record coded
// "BRIDGE_OPERATION_PROJECT_MISMATCH".
void assertOperationProjectScope(const std::string& projectKey, const JsonValue& args);

}  // namespace palisor
