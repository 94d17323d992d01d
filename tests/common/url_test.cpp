#include <gtest/gtest.h>

#include "bridge/common/url.h"

namespace palisor {
namespace {

TEST(Url, OriginIsSchemeHostAndOnlyAnExplicitPort) {
    auto url = Url::parse("https://user:pw@Host.Example:8443/a/b/?q=1#frag");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->path(), "/a/b/");
    EXPECT_EQ(url->query(), "q=1");
    EXPECT_EQ(url->origin(), "https://Host.Example:8443");
    EXPECT_EQ(Url::parse("https://example.com:443/")->origin(), "https://example.com:443");  // default, but written
    EXPECT_EQ(Url::parse("https://example.com/x")->origin(), "https://example.com");
    EXPECT_EQ(Url::parse("http://[::1]:47621/mcp")->origin(), "http://[::1]:47621");

    for (std::string text : {"example.com/", "/api/bootstrap", "//example.com/x", "", "https://exa mple.com",
                             "https://example.com:99999/"})
        EXPECT_FALSE(Url::parse(text)) << text;
    // curl reads C strings: a NUL must not cut the host short unnoticed.
    EXPECT_FALSE(Url::parse(std::string("https://a.example\0.evil.example/", 32)));
    EXPECT_FALSE(Url::parse("file:///tmp/x")->origin());
}

TEST(Url, ResolvesReferencesAgainstABase) {
    auto base = Url::parse("https://authority.example:8443/base/page");
    ASSERT_TRUE(base);
    EXPECT_EQ(base->resolve("/api/bootstrap?projectKey=demo")->text(),
              "https://authority.example:8443/api/bootstrap?projectKey=demo");
    EXPECT_EQ(base->resolve("//evil.example/x")->origin(), "https://evil.example");
    EXPECT_EQ(base->resolve("http://evil.example/x")->origin(), "http://evil.example");
    EXPECT_FALSE(base->resolve(std::string("/a\0b", 4)));
}

TEST(Url, LoopbackHostsAreTheMachinesOwn) {
    for (const char* host : {"localhost", "LOCALHOST", "127.0.0.1", "127.9.8.7", "[::1]", "::1"})
        EXPECT_TRUE(isLoopbackHost(host)) << host;
    for (const char* host : {"127.0.0.1.evil.example", "128.0.0.1", "[::2]", "", "localhost.example"})
        EXPECT_FALSE(isLoopbackHost(host)) << host;
}

}  // namespace
}  // namespace palisor
