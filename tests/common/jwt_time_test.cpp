#include <gtest/gtest.h>

#include "bridge/common/jwt.h"
#include "bridge/common/time.h"

namespace palisor {
namespace {

TEST(Jwt, PayloadOfWellFormedTokensOnly) {
    std::string payload = base64UrlEncode(R"({"nodeId":"node-ự","exp":1893456000})");
    EXPECT_EQ(payload.find('='), std::string::npos);
    auto claims = jwtPayload("eyJhbGciOiJub25lIn0." + payload + ".sig");
    ASSERT_TRUE(claims);
    EXPECT_EQ((*claims)["nodeId"], "node-ự");
    EXPECT_EQ((*claims)["exp"], 1893456000);
    // Empty pieces are dropped before counting, so ".." does not make three.
    EXPECT_TRUE(jwtPayload("a.." + payload + "..b"));
    for (const std::string& bad : std::vector<std::string>{"a.b", "a.b.c.d", "a." + payload, "a.!!!.c", "a." + base64UrlEncode("[1]") + ".c",
                            "a." + base64UrlEncode("not json") + ".c"})
        EXPECT_FALSE(jwtPayload(bad)) << bad;
    EXPECT_EQ(base64Decode("aGk="), "hi");
    EXPECT_EQ(base64Encode("hi"), "aGk=");
    EXPECT_EQ(base64Decode(base64Encode("\xFB\xFF any bytes")), "\xFB\xFF any bytes");
    EXPECT_FALSE(base64Decode("aGk"));
    EXPECT_FALSE(base64Decode("a=Gk"));
}

TEST(IsoTime, ParsesWithAndWithoutFractionsAndRejectsDates) {
    auto whole = parseIsoTime("2030-01-01T00:00:00Z");
    auto fractional = parseIsoTime("2030-01-01T00:00:00.123Z");
    ASSERT_TRUE(whole);
    ASSERT_TRUE(fractional);
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::milliseconds>(*fractional - *whole).count(), 123);
    EXPECT_EQ(isoTime(*whole), "2030-01-01T00:00:00Z");
    EXPECT_EQ(parseIsoTime("2030-01-01T02:00:00+02:00"), whole);
    // Far-off years stay ordered instead of wrapping around.
    EXPECT_GT(parseIsoTime("9999-12-31T23:59:59Z"), std::chrono::system_clock::now());
    EXPECT_LT(parseIsoTime("1000-01-01T00:00:00Z"), std::chrono::system_clock::now());
    for (const char* bad : {"2030-01-01", "2030-01-01T00:00:00", "2030-13-01T00:00:00Z", "2030-01-01T00:00:00.Z",
                            "2030-01-01T00:00:00Zjunk", "", "tomorrow"})
        EXPECT_FALSE(parseIsoTime(bad)) << bad;
}

}  // namespace
}  // namespace palisor
