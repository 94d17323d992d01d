#include "bridge/common/json.h"

#include <cmath>
#include <limits>

#include "bridge/common/bridge_error.h"

namespace palisor {

const JsonValue* member(const JsonValue& object, std::string_view key) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

const std::string* stringMember(const JsonValue& object, std::string_view key) {
    const JsonValue* value = member(object, key);
    return value && value->is_string() ? value->get_ptr<const std::string*>() : nullptr;
}

std::optional<std::string> optString(const JsonValue& object, std::string_view key) {
    if (const std::string* text = stringMember(object, key)) return *text;
    return std::nullopt;
}

std::optional<bool> optBool(const JsonValue& object, std::string_view key) {
    const JsonValue* value = member(object, key);
    if (value && value->is_boolean()) return value->get<bool>();
    return std::nullopt;
}

std::optional<double> optNumber(const JsonValue& object, std::string_view key) {
    const JsonValue* value = member(object, key);
    if (value && value->is_number()) return value->get<double>();
    return std::nullopt;
}

std::optional<std::int64_t> optInt64(const JsonValue& object, std::string_view key) {
    const JsonValue* value = member(object, key);
    if (!value) return std::nullopt;
    if (value->is_number_integer() && !value->is_number_unsigned()) return value->get<std::int64_t>();
    if (value->is_number_unsigned()) {
        auto u = value->get<std::uint64_t>();
        if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return static_cast<std::int64_t>(u);
        return std::nullopt;
    }
    if (value->is_number_float()) {
        double d = value->get<double>();
        // 2^63 is exactly representable; anything at or above it does not fit.
        if (std::isfinite(d) && d == std::trunc(d) && d >= -9223372036854775808.0 && d < 9223372036854775808.0)
            return static_cast<std::int64_t>(d);
    }
    return std::nullopt;
}

const JsonValue* objectMember(const JsonValue& object, std::string_view key) {
    const JsonValue* value = member(object, key);
    return value && value->is_object() ? value : nullptr;
}

const JsonValue* arrayMember(const JsonValue& object, std::string_view key) {
    const JsonValue* value = member(object, key);
    return value && value->is_array() ? value : nullptr;
}

std::optional<std::string> nonEmptyString(const JsonValue& object, std::string_view key) {
    const std::string* text = stringMember(object, key);
    if (text && !text->empty()) return *text;
    return std::nullopt;
}

std::optional<std::string> dumpCompact(const JsonValue& value) {
    try {
        return value.dump();
    } catch (const JsonValue::exception&) {
        return std::nullopt;
    }
}

std::optional<std::string> dumpPretty(const JsonValue& value) {
    try {
        return value.dump(2);
    } catch (const JsonValue::exception&) {
        return std::nullopt;
    }
}

std::string dumpPrettyForFile(const JsonValue& value) {
    auto text = dumpPretty(value);
    if (!text) throw BridgeError("JSON_SERIALIZE_FAILED");
    return std::move(*text);
}

namespace {

// Bracket depth outside strings; a cheap linear pre-pass.
bool nestingWithin(std::string_view text, std::size_t limit) {
    std::size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
            continue;
        }
        if (c == '"') inString = true;
        else if (c == '[' || c == '{') {
            if (++depth > limit) return false;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}

}  // namespace

std::optional<JsonValue> parseJson(std::string_view text) {
    if (!nestingWithin(text, kMaxJsonDepth)) return std::nullopt;
    JsonValue value = JsonValue::parse(text, nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded()) return std::nullopt;
    return value;
}

std::optional<OrderedJsonValue> parseOrderedJson(std::string_view text) {
    if (!nestingWithin(text, kMaxJsonDepth)) return std::nullopt;
    OrderedJsonValue value = OrderedJsonValue::parse(text, nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded()) return std::nullopt;
    return value;
}

OrderedJsonValue toOrderedJson(const JsonValue& value) { return OrderedJsonValue(value); }

JsonValue toSortedJson(const OrderedJsonValue& value) { return JsonValue(value); }

JsonValue parseJsonObject(std::string_view bytes) {
    if (bytes.empty()) return JsonValue::object();
    auto value = parseJson(bytes);
    if (value && value->is_object()) return std::move(*value);
    return JsonValue::object();
}

JsonValue parseJsonObject(const std::optional<std::string>& bytes) {
    return bytes ? parseJsonObject(std::string_view(*bytes)) : JsonValue::object();
}

}  // namespace palisor
