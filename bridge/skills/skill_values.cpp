#include "bridge/skills/skill_values.h"

#include <cmath>
#include <limits>

#include "bridge/common/text.h"

namespace palisor::skill_values {

std::string textualForm(const JsonValue& value) {
    if (value.is_string()) return value.get<std::string>();
    return dumpCompact(value).value_or(std::string());
}

std::optional<std::string> stringValue(const JsonValue* value) {
    if (!value || value->is_null()) return std::nullopt;
    std::string text = trim(textualForm(*value));
    if (text.empty()) return std::nullopt;
    return text;
}

std::optional<std::string> stringValue(const JsonValue& object, std::string_view key) {
    return stringValue(member(object, key));
}

std::optional<std::int64_t> integerValue(const JsonValue* value) {
    if (!value) return std::nullopt;
    std::optional<std::int64_t> result;
    if (value->is_number_unsigned()) {
        auto number = value->get<std::uint64_t>();
        if (number <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            result = static_cast<std::int64_t>(number);
    } else if (value->is_number_integer()) {
        result = value->get<std::int64_t>();
    } else if (value->is_number_float()) {
        double truncated = std::trunc(value->get<double>());
        // 2^63 is the first value that does not fit.
        if (std::isfinite(truncated) && truncated > -9223372036854775808.0 && truncated < 9223372036854775808.0)
            result = static_cast<std::int64_t>(truncated);
    } else if (value->is_string()) {
        if (auto parsed = parseDecimalInteger(value->get_ref<const std::string&>())) result = *parsed;
    }
    if (result && *result < 0) return std::nullopt;
    return result;
}

std::optional<std::int64_t> integerValue(const JsonValue& object, std::string_view key) {
    return integerValue(member(object, key));
}

JsonValue compactDictionary(const OptionalEntries& entries) {
    JsonValue object = JsonValue::object();
    for (const auto& [key, value] : entries)
        if (value) object[key] = *value;
    return object;
}

JsonValue merge(const JsonValue& base, const JsonValue& overlay) {
    JsonValue result = base.is_object() ? base : JsonValue::object();
    if (!overlay.is_object()) return result;
    for (const auto& [key, value] : overlay.items()) {
        if (value.is_null() || (value.is_string() && value.get_ref<const std::string&>().empty())) continue;
        result[key] = value;
    }
    return result;
}

void setOptional(JsonValue& object, const std::string& key, std::optional<JsonValue> value) {
    if (!object.is_object()) object = JsonValue::object();
    if (value) object[key] = std::move(*value);
    else object.erase(key);
}

}  // namespace palisor::skill_values
