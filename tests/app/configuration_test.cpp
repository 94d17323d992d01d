#include <gtest/gtest.h>

#include "bridge/app/configuration.h"

namespace palisor {
namespace {

TEST(Configuration, PortFromTheEnvironment) {
    EXPECT_EQ(configuredPort(std::nullopt), 47621);
    EXPECT_EQ(configuredPort(std::string("8080")), 8080);
    EXPECT_EQ(configuredPort(std::string("+8080")), 8080);
    EXPECT_EQ(configuredPort(std::string("1024")), 1024);
    EXPECT_EQ(configuredPort(std::string("65535")), 65535);
    for (const char* bad : {"80", "1023", "0", "-0", "65536", "99999999999999999999", "", "abc", " 8080", "8080 ",
                            "++8080", "-8080", "80.5"})
        EXPECT_EQ(configuredPort(std::string(bad)), 47621) << bad;
}

}  // namespace
}  // namespace palisor
