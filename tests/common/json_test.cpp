#include <gtest/gtest.h>

#include "bridge/common/json.h"

namespace palisor {
namespace {

TEST(Json, MembersOfTheWrongTypeCountAsAbsent) {
    JsonValue object = JsonValue::parse(R"({"s":"x","e":"","n":5,"f":2.5,"b":true,"o":{},"a":[],"z":null,"big":1e300})");
    EXPECT_EQ(optString(object, "s"), "x");
    EXPECT_FALSE(optString(object, "n"));
    EXPECT_FALSE(optString(object, "missing"));
    EXPECT_FALSE(nonEmptyString(object, "e"));
    EXPECT_EQ(optBool(object, "b"), true);
    EXPECT_FALSE(optBool(object, "s"));
    EXPECT_EQ(optInt64(object, "n"), 5);
    EXPECT_FALSE(optInt64(object, "f"));
    EXPECT_FALSE(optInt64(object, "big"));
    EXPECT_EQ(optNumber(object, "f"), 2.5);
    EXPECT_NE(objectMember(object, "o"), nullptr);
    EXPECT_EQ(objectMember(object, "a"), nullptr);
    EXPECT_NE(arrayMember(object, "a"), nullptr);
    EXPECT_EQ(member(object, "z")->is_null(), true);
    // Not an object at all: nothing is a member.
    EXPECT_FALSE(optString(JsonValue::array({"s"}), "s"));
    EXPECT_FALSE(optString(JsonValue("s"), "s"));
}

TEST(Json, LenientObjectDecoding) {
    EXPECT_EQ(parseJsonObject(std::optional<std::string>()), JsonValue::object());
    EXPECT_EQ(parseJsonObject(std::string_view("")), JsonValue::object());
    EXPECT_EQ(parseJsonObject(std::string_view("[1,2]")), JsonValue::object());
    EXPECT_EQ(parseJsonObject(std::string_view("\"text\"")), JsonValue::object());
    EXPECT_EQ(parseJsonObject(std::string_view("{broken")), JsonValue::object());
    EXPECT_EQ(parseJsonObject(std::string_view("{\"a\":\"\xFF\"}")), JsonValue::object());
    EXPECT_EQ(parseJsonObject(std::string_view(R"({"a":1})")), JsonValue({{"a", 1}}));
}

TEST(Json, DeepNestingIsRefusedBeforeItIsBuilt) {
    std::string deep = std::string(100000, '[') + std::string(100000, ']');
    EXPECT_FALSE(parseJson(deep));
    std::string fine = std::string(kMaxJsonDepth, '[') + std::string(kMaxJsonDepth, ']');
    EXPECT_TRUE(parseJson(fine));
    // Brackets inside strings do not count, escaped quotes do not end a string.
    std::string quoted = "{\"k\":\"" + std::string(5000, '[') + "\\\"" + "\"}";
    EXPECT_TRUE(parseJson(quoted));
}

TEST(Json, TheOrderedFormKeepsTheReceivedMemberOrder) {
    auto ordered = parseOrderedJson(R"({"zeta":{"b":1,"a":2},"alpha":3})");
    ASSERT_TRUE(ordered);
    EXPECT_EQ(ordered->dump(), R"({"zeta":{"b":1,"a":2},"alpha":3})");
    EXPECT_EQ(toSortedJson(*ordered).dump(), R"({"alpha":3,"zeta":{"a":2,"b":1}})");
    EXPECT_EQ(toOrderedJson(JsonValue::parse(R"({"b":1,"a":[{"d":1,"c":2}]})")).dump(), R"({"a":[{"c":2,"d":1}],"b":1})");
    // As strict as the sorted parse.
    EXPECT_FALSE(parseOrderedJson("{broken"));
    EXPECT_FALSE(parseOrderedJson("{\"a\":\"\xFF\"}"));
    EXPECT_FALSE(parseOrderedJson(std::string(100000, '[') + std::string(100000, ']')));
}

TEST(Json, SerialisationOfInvalidUtf8FailsSoftly) {
    JsonValue bad = {{"k", std::string("\xFF")}};
    EXPECT_FALSE(dumpCompact(bad));
    EXPECT_FALSE(dumpPretty(bad));
    EXPECT_EQ(dumpCompact({{"b", 1}, {"a", 2}}), R"({"a":2,"b":1})");
}

}  // namespace
}  // namespace palisor
