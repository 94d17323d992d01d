#include "bridge/common/unicode.h"

#include <gtest/gtest.h>

namespace palisor {
namespace {

TEST(Unicode, LowercasesAndClassifiesBeyondAscii) {
    EXPECT_EQ(unicodeLowercase("Dự Án/API ĐÀ NẴNG"), "dự án/api đà nẵng");
    EXPECT_EQ(unicodeLowercase("İ"), "i\u0307");  // root rules, not Turkish
    EXPECT_TRUE(isUnicodeLetter(U'ự') && isUnicodeLetter(U'漢'));
    EXPECT_TRUE(isUnicodeNumber(U'٣') && isUnicodeNumber(U'Ⅻ'));
    EXPECT_TRUE(isUnicodeMark(0x0301));
    EXPECT_FALSE(isUnicodeLetter(U'-') || isUnicodeNumber(U'/') || isUnicodeMark(U'a') || isUnicodeLetter(U' '));

    std::string back;
    for (char32_t c : utf8Scalars("Tiếng Việt 🚀")) appendUtf8(back, c);
    EXPECT_EQ(back, "Tiếng Việt 🚀");
    EXPECT_EQ(utf8Scalars("a\xFF"), (std::vector<char32_t>{U'a', 0xFFFD}));
}

TEST(Unicode, UserPerceivedCharacters) {
    EXPECT_EQ(userPerceivedLength(""), 0u);
    EXPECT_EQ(userPerceivedLength("abc"), 3u);
    EXPECT_EQ(userPerceivedLength("Dự án"), 5u);
    EXPECT_EQ(userPerceivedLength("e\u0301"), 1u);               // e + combining acute
    EXPECT_EQ(userPerceivedLength("\U0001F1FB\U0001F1F3"), 1u);  // a flag: two regional indicators
    EXPECT_EQ(userPerceivedLength("\r\n"), 1u);
}

}  // namespace
}  // namespace palisor
