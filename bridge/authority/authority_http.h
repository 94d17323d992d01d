#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bridge/common/bridge_error.h"

namespace palisor {

// The most answer body one exchange holds: far more than any answer the
// authority means to send, so an answer past it is a fault (a runaway or
// hostile server) that would otherwise grow the bridge without end.
inline constexpr std::size_t kMaxAuthorityAnswerBytes = 32 * 1024 * 1024;

// Time limits of one exchange: `idle` bounds connecting and any stretch
// without data, `resource` the whole exchange.
struct AuthorityTimeoutPolicy {
    double idle = 30;
    double resource = 120;

    // Reads (GET, HEAD) get 180/300 s, everything else 30/120 s.
    static AuthorityTimeoutPolicy forMethod(std::string_view method);
};

// Sets up the HTTP library for the whole process. Called by main before any
// thread starts: set up lazily by a worker, it could be doing so while the
// process ends and the TLS library tears itself down (a crash at exit).
void initializeAuthorityTransport();

// The HTTP stack could not complete an exchange (no connection, time-out, a
// connection closed mid-answer). The description is the transport's own text.
class TransportError : public BridgeError {
public:
    TransportError(int curlCode, std::string description);
    int curlCode() const noexcept { return curlCode_; }
    // "<what went wrong, in a sentence>: <curl's own text>".
    std::string message() const override;

private:
    int curlCode_;
};

// One prepared request: absolute URL, upper-case method, headers in the order
// they go on the wire, an optional body.
struct AuthorityRequest {
    std::string url;
    std::string method = "GET";
    std::vector<std::pair<std::string, std::string>> headers;
    std::optional<std::string> body;
    double timeoutSeconds = 60;

    // Case-insensitive lookup of a request header.
    std::optional<std::string> header(std::string_view name) const;
    // Replaces the value of the header of that name (in any case), or adds it.
    void setHeader(const std::string& name, const std::string& value);
};

struct AuthorityHTTPResponse {
    std::optional<std::string> data;
    std::optional<int> statusCode;       // absent when no HTTP answer came
    std::optional<TransportError> error;  // the transport's failure
    std::map<std::string, std::string> headers;  // names lower-cased

    std::optional<std::string> header(std::string_view name) const;
};

// The transport seams. The real ones run the exchange over libcurl; tests
// pass their own.
using AuthorityHeaderTask = std::function<AuthorityHTTPResponse(const AuthorityRequest&)>;

// The real exchange: reads on the shared read session, everything else on
// the shared write session. An answer whose body would pass
// kMaxAuthorityAnswerBytes ends the exchange and raises AuthorityClientError
// answerTooLarge instead.
AuthorityHTTPResponse syncHeaderDataTask(const AuthorityRequest& request);

}  // namespace palisor
