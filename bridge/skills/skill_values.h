#pragma once

// The value rules every part of skill synchronisation reads JSON with. A
// value that is "absent" is a null pointer (a missing member); JSON null is a
// value of its own and counts as absent only where a rule says so.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bridge/common/json.h"

namespace palisor::skill_values {

// A string as it stands; any other value as its compact JSON text (numbers in
// their usual decimal form). Empty when the value cannot be serialised.
std::string textualForm(const JsonValue& value);

// The textual form trimmed of white space and line breaks; absent for a
// missing value, JSON null, or a text that trims to nothing.
std::optional<std::string> stringValue(const JsonValue* value);
std::optional<std::string> stringValue(const JsonValue& object, std::string_view key);

// A non-negative whole number: an integer as it is, another number truncated
// toward zero, a string of base-10 digits with an optional sign and nothing
// else. Absent for anything else and for results below zero.
std::optional<std::int64_t> integerValue(const JsonValue* value);
std::optional<std::int64_t> integerValue(const JsonValue& object, std::string_view key);

// An object built from entries that may be absent; absent entries are left
// out (JSON null values stay).
using OptionalEntries = std::vector<std::pair<std::string, std::optional<JsonValue>>>;
JsonValue compactDictionary(const OptionalEntries& entries);

// `base` with each entry of `overlay` put over it, except overlay values that
// are JSON null or the empty string, which leave base as it was.
JsonValue merge(const JsonValue& base, const JsonValue& overlay);

// Sets `key` when `value` is present, removes it when absent.
void setOptional(JsonValue& object, const std::string& key, std::optional<JsonValue> value);

}  // namespace palisor::skill_values
