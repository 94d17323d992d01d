#include "bridge/common/text.h"

#include <gtest/gtest.h>

#include <set>

#include "bridge/common/paths.h"
#include "bridge/common/time.h"
#include "bridge/common/uuid.h"
#include "tests/support/temp_dir.h"

namespace palisor {
namespace {

// Each row is an input and what `function` must give for it.
template <typename Result, typename Function>
void expectRows(Function function, const std::vector<std::pair<std::string, Result>>& rows) {
    for (const auto& [input, expected] : rows) EXPECT_EQ(function(input), expected) << input;
}

TEST(Text, TrimAndUtf8Validation) {
    // Unicode space around Vietnamese text (NO-BREAK SPACE, IDEOGRAPHIC SPACE,
    // NEL, LINE SEPARATOR) goes; a multi-byte letter at the end is no space;
    // invalid bytes are left alone rather than cut in half.
    expectRows<std::string>(trim, {{"  \t\r\nabc d\n ", "abc d"},
                                   {"\u00A0\u3000Dự án\u0085\u2028", "Dự án"},
                                   {" \u2029 ", ""},
                                   {"", ""},
                                   {"xé", "xé"},
                                   {std::string(" a\xC3", 3), std::string("a\xC3", 2)}});
    // Overlong "/", a surrogate, past U+10FFFF, cut short.
    expectRows<bool>(isValidUtf8, {{"plain ascii", true},
                                   {"Tiếng Việt 🚀", true},
                                   {"\xFF", false},
                                   {"\xC0\xAF", false},
                                   {"\xED\xA0\x80", false},
                                   {"\xF4\x90\x80\x80", false},
                                   {"ab\xE1\xBA", false}});
}

TEST(Text, PercentEncodingAndDecoding) {
    // A path keeps its marks; a query only - . _ ~ / ?
    expectRows<std::string>(urlEncode, {{"a b/c", "a%20b/c"},
                                        {"!$&'()*+,-./:=@_~", "!$&'()*+,-./:=@_~"},
                                        {"?#[]%;", "%3F%23%5B%5D%25%3B"},
                                        {"dự", "d%E1%BB%B1"}});
    expectRows<std::string>(urlQueryEncode, {{"a b&c=d", "a%20b%26c%3Dd"},
                                             {"é", "%C3%A9"},
                                             {"-._~/?", "-._~/?"},
                                             {"+:#[]@!$'()*,;", "%2B%3A%23%5B%5D%40%21%24%27%28%29%2A%2C%3B"}});
    using Decoded = std::optional<std::string>;
    expectRows<Decoded>(
        percentDecode, {{"a%20b+c%2f", "a b+c/"}, {"%E1%BB%B1", "ự"}, {"%", {}}, {"%2", {}}, {"%zz", {}}, {"ab%", {}}});
}

TEST(Text, DecimalIntegers) {
    using Parsed = std::optional<long long>;
    expectRows<Parsed>(parseDecimalInteger, {{"42", 42}, {"+42", 42}, {"-5", -5}, {"-9223372036854775808", INT64_MIN}});
    for (const char* bad : {"9223372036854775808", "", "+", "-", "+-1", "--1", "1 ", " 1", "1a", "0x10", "1.0"})
        EXPECT_FALSE(parseDecimalInteger(bad)) << bad;
}

TEST(Paths, StandardisationIsLexicalAbsoluteAndWithoutTrailingSeparator) {
    EXPECT_EQ(standardizePath("/a/./b/../c/", "/ignored"), "/a/c");
    EXPECT_EQ(standardizePath("//a///b", "/x"), "/a/b");
    EXPECT_EQ(standardizePath("../../..", "/a"), "/");
    EXPECT_EQ(standardizePath("rel/dir/", "/base/here"), "/base/here/rel/dir");
    EXPECT_EQ(standardizePath("", "/base"), "/base");
    EXPECT_EQ(standardizePath("/"), "/");
    EXPECT_EQ(standardizePath("x"), standardizePath(currentDirectory() + "/x"));
}

TEST(Paths, UserFoldersFollowTheXdgRules) {
    UserFolderVariables set{"/home/người-dùng", "/data/home/", "/cfg", "/var/s/", "/run/user/7", "/cache"};
    UserFolders folders = UserFolders::resolve(set);
    EXPECT_EQ(folders.home, "/home/người-dùng");
    EXPECT_EQ(folders.applicationSupport, "/data/home");
    EXPECT_EQ(folders.configuration, "/cfg/palisor-bridge");
    EXPECT_EQ(folders.state, "/var/s/palisor-bridge");
    EXPECT_EQ(folders.runtime, "/run/user/7/palisor-bridge");

    // Unset, empty and relative values are ignored for the defaults under home.
    using Value = std::optional<std::string>;
    for (Value ignored : {Value(), Value(""), Value("relative/dir")}) {
        folders = UserFolders::resolve({"/home/u", ignored, ignored, ignored, ignored, ignored});
        EXPECT_EQ(folders.applicationSupport, "/home/u/.local/share");
        EXPECT_EQ(folders.configuration, "/home/u/.config/palisor-bridge");
        EXPECT_EQ(folders.state, "/home/u/.local/state/palisor-bridge");
        EXPECT_EQ(folders.runtime, "/home/u/.cache/palisor-bridge");
    }
    // Without a runtime folder, the cache; without HOME, the password database.
    set.runtimeDir = "";
    EXPECT_EQ(UserFolders::resolve(set).runtime, "/cache/palisor-bridge");
    set.home = "";
    EXPECT_EQ(UserFolders::resolve(set).home, passwordDatabaseHome());
}

TEST(Paths, Components) {
    EXPECT_EQ(lastPathComponent("/a/b/"), "b");
    EXPECT_EQ(lastPathComponent("/"), "/");
    EXPECT_EQ(parentPath("/a/b"), "/a");
    EXPECT_EQ(parentPath("/a"), "/");
    EXPECT_EQ(joinPath("/a/", "/b"), "/a/b");
    EXPECT_TRUE(isInsideOrEqual("/w/skills", "/w/skills"));
    EXPECT_TRUE(isInsideOrEqual("/w/skills", "/w/skills/x"));
    EXPECT_FALSE(isInsideOrEqual("/w/skills", "/w/skills2"));
    EXPECT_FALSE(isInsideOrEqual("/w/skills", "/w"));
    EXPECT_TRUE(isInsideOrEqual("/", "/anything"));
}

// Checks text against a shape where '9' stands for a digit, 'h' for a
// lower-case hex digit, 'H' for an upper-case one; other characters are literal.
bool matchesShape(const std::string& text, const std::string& shape) {
    if (text.size() != shape.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        bool digit = c >= '0' && c <= '9';
        switch (shape[i]) {
            case '9': if (!digit) return false; break;
            case 'h': if (!digit && !(c >= 'a' && c <= 'f')) return false; break;
            case 'H': if (!digit && !(c >= 'A' && c <= 'F')) return false; break;
            default: if (c != shape[i]) return false;
        }
    }
    return true;
}

TEST(TimeAndIds, IsoNowAndUuidForms) {
    EXPECT_TRUE(matchesShape(isoNow(), "9999-99-99T99:99:99Z")) << isoNow();
    EXPECT_EQ(isoTime(std::chrono::system_clock::time_point(std::chrono::seconds(1769850900))),
              "2026-01-31T09:15:00Z");

    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        std::string lower = randomUuidLower();
        ASSERT_TRUE(matchesShape(lower, "hhhhhhhh-hhhh-4hhh-hhhh-hhhhhhhhhhhh")) << lower;
        ASSERT_NE(std::string("89ab").find(lower[19]), std::string::npos) << lower;
        seen.insert(lower);
    }
    EXPECT_EQ(seen.size(), 200u);
    std::string upper = randomUuidUpper();
    EXPECT_TRUE(matchesShape(upper, "HHHHHHHH-HHHH-4HHH-HHHH-HHHHHHHHHHHH")) << upper;
}

}  // namespace
}  // namespace palisor
