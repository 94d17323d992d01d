#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace palisor {

// The dynamic JSON value of the whole bridge. Objects are sorted maps, so
// every serialisation has sorted keys.
using JsonValue = nlohmann::json;

// The same value with object members kept in the order they were received.
// Only where that order carries meaning (a task's skill outputs, where the
// first seen of two equal candidates wins) is a body decoded into this form.
using OrderedJsonValue = nlohmann::ordered_json;

// Typed member access. A member that is missing, or whose JSON type is not the
// one asked for, counts as absent; a non-object container has no members.
const JsonValue* member(const JsonValue& object, std::string_view key);
const std::string* stringMember(const JsonValue& object, std::string_view key);
std::optional<std::string> optString(const JsonValue& object, std::string_view key);
std::optional<bool> optBool(const JsonValue& object, std::string_view key);
std::optional<double> optNumber(const JsonValue& object, std::string_view key);
// Integers only: a fractional number counts as absent, as does one out of range.
std::optional<std::int64_t> optInt64(const JsonValue& object, std::string_view key);
const JsonValue* objectMember(const JsonValue& object, std::string_view key);
const JsonValue* arrayMember(const JsonValue& object, std::string_view key);

// A text member that is present and not empty.
std::optional<std::string> nonEmptyString(const JsonValue& object, std::string_view key);

// Compact and pretty serialisation. Both return nullopt instead of throwing when
// the value holds a string that is not valid UTF-8.
std::optional<std::string> dumpCompact(const JsonValue& value);
std::optional<std::string> dumpPretty(const JsonValue& value);
// Pretty serialisation for a file that must be written: throws
// BridgeError("JSON_SERIALIZE_FAILED") where dumpPretty gives nullopt.
std::string dumpPrettyForFile(const JsonValue& value);

// Deepest nesting accepted from outside. Deeper documents are refused before
// they are built, so no recursive walk over them can exhaust a thread's stack.
inline constexpr std::size_t kMaxJsonDepth = 512;

// Strict parse of untrusted text: nullopt for anything that is not a complete
// JSON document, including invalid UTF-8 and nesting beyond kMaxJsonDepth.
std::optional<JsonValue> parseJson(std::string_view text);
// The same strict parse, keeping object members in document order.
std::optional<OrderedJsonValue> parseOrderedJson(std::string_view text);

// Conversions between the two forms. Sorting loses the received order;
// ordering a sorted value keeps its sorted order.
OrderedJsonValue toOrderedJson(const JsonValue& value);
JsonValue toSortedJson(const OrderedJsonValue& value);

// Lenient decoding of bytes to an object: absent, empty, unparsable or
// non-object input gives an empty object. Never throws.
JsonValue parseJsonObject(const std::optional<std::string>& bytes);
JsonValue parseJsonObject(std::string_view bytes);

}  // namespace palisor
