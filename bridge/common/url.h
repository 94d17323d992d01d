#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace palisor {

// An absolute URL as libcurl's URL parser understands it. The bridge uses this
// one parser wherever it needs a scheme, host or explicit port, so that the
// origin read from a workspace pointer and the origin of a request URL can
// never disagree because two parsers read the same text differently.
class Url {
public:
    // nullopt for text that is not an absolute URL with a scheme (a bare
    // host, a path, text with spaces). Schemes curl does not speak are
    // accepted: the origin of any URL is comparable.
    static std::optional<Url> parse(std::string_view text);

    // `reference` taken relative to this URL: an absolute URL replaces it, a
    // path starting with "/" replaces the path and query, "//host/..." keeps
    // only the scheme. nullopt when the result is not a URL.
    std::optional<Url> resolve(std::string_view reference) const;

    // The whole URL in curl's canonical form.
    const std::string& text() const { return text_; }
    // Lower-case scheme as curl reports it.
    const std::string& scheme() const { return scheme_; }
    // Host as written; an IPv6 address keeps its brackets. Empty when the URL
    // has none (file:///x).
    const std::string& host() const { return host_; }
    // The port only when the URL names one, even if it is the scheme's default.
    const std::optional<std::string>& port() const { return port_; }
    const std::string& path() const { return path_; }
    const std::optional<std::string>& query() const { return query_; }

    // scheme "://" host, then ":" port when the URL names a port; nullopt
    // when the URL has no host.
    std::optional<std::string> origin() const;

private:
    std::string text_;
    std::string scheme_;
    std::string host_;
    std::optional<std::string> port_;
    std::string path_;
    std::optional<std::string> query_;
};

// Whether `host` (as Url::host() gives it; an IPv6 address with or without
// its brackets, any letter case) is this machine's loopback: "localhost", an
// address in 127.0.0.0/8, or ::1. Traffic to it never leaves the machine.
bool isLoopbackHost(std::string_view host);

// `value` percent-encoded as exactly one segment of a request path, "/"
// included. "." and ".." would be taken as steps through the path, so they
// raise BridgeError "PATH_PARAM_INVALID:<name>" before anything is sent.
std::string requestPathSegment(std::string_view name, std::string_view value);

}  // namespace palisor
