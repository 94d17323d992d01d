#include <gtest/gtest.h>

#include "bridge/common/unicode.h"

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

}  // namespace
}  // namespace palisor
