#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "bridge/authority/authority_client_error.h"
#include "bridge/authority/authority_http.h"
#include "bridge/authority/authority_read_cache.h"
#include "bridge/authority/authority_trace_context.h"
#include "bridge/common/json.h"

namespace palisor {

class NativeTokenStore;

struct WebSessionValidation {
    bool loggedIn = false;
    std::optional<std::string> warning;  // for the window's status line
    // The credential store did not answer: whether anyone is logged in is unknown.
    bool storeUnavailable = false;
    // The authority accepted the session just now.
    bool confirmed = false;
};

struct ProjectAgentCredentials {
    std::string token;
    std::string nodeId;
    std::string webToken;
};

// The bridge's one client of the project authority: every exchange goes
// through request(), which keeps requests on the configured origin and turns
// answers into JSON objects or typed errors; the session layer on top decides
// which credential each call carries and recovers once from an expired one.
// Safe for concurrent use; every call blocks its thread until the exchange ends.
class AuthorityClient {
public:
    struct Options {
        std::string authorityOrigin;
        std::shared_ptr<NativeTokenStore> tokenStore;
        AuthorityHeaderTask headerTask;  // replaces the real transport when set
        std::shared_ptr<AuthorityConditionalReadCache> readCache;
        // How the refresh waits between rotation retries; tests record the delays.
        std::function<void(std::chrono::milliseconds)> sleeper;
    };

    explicit AuthorityClient(Options options);

    const std::string& authorityOrigin() const { return authorityOrigin_; }
    const std::shared_ptr<NativeTokenStore>& tokenStore() const { return tokenStore_; }

    // The origin (normalised) of a stored session that was made with another
    // authority than this one. Such a session is not this client's: none of
    // its tokens is sent here, it is never refreshed here, and nothing here
    // clears it, so pointing the bridge back at its authority finds it again.
    // Absent when the stored session is this authority's, has no origin
    // (older records, taken as made here) or there is none.
    std::optional<std::string> foreignSessionOrigin();

    // `receivedOrder`, when given, receives the same decoded body with its
    // object members in the order the authority sent them (an empty object
    // when the body is not an object). It is filled whenever a body is
    // returned, also for a failure answer that `allowFailure` lets through.
    JsonValue request(const std::string& path, const std::string& method = "GET",
                      const std::optional<JsonValue>& body = std::nullopt,
                      const std::optional<std::string>& authToken = std::nullopt, bool allowFailure = false,
                      const std::optional<AuthorityTraceContext>& traceContext = std::nullopt,
                      OrderedJsonValue* receivedOrder = nullptr);

    // Sessions.
    JsonValue login(const std::string& email, const std::string& password);
    void logout();
    // A session the authority refuses is cleared, unless `keepRefused`: a
    // look that must change nothing (a status report) leaves it stored.
    WebSessionValidation validateWebSession(bool keepRefused = false);
    // `receivedOrder` as for request(): the body of the answer returned.
    JsonValue requestWithWebSession(const std::string& path, const std::string& method = "GET",
                                    const std::optional<JsonValue>& body = std::nullopt,
                                    const std::optional<AuthorityTraceContext>& traceContext = std::nullopt,
                                    OrderedJsonValue* receivedOrder = nullptr);
    JsonValue requestWithProjectAgent(const std::string& projectKey, const std::string& path,
                                      const std::string& method = "GET",
                                      const std::optional<JsonValue>& body = std::nullopt,
                                      const std::optional<AuthorityTraceContext>& traceContext = std::nullopt,
                                      OrderedJsonValue* receivedOrder = nullptr);
    JsonValue requestCatalogWithWebSession(const std::string& projectKey,
                                           const std::optional<AuthorityTraceContext>& traceContext = std::nullopt);
    ProjectAgentCredentials validationExecutorCredentials(const std::string& projectKey);
    bool supportsCompactReads() const;
    std::map<std::string, std::int64_t> readCacheStats() const;

    static constexpr int kRefreshRetryLimit = 3;

private:
    // One read of the stored web session: `web` is its "web" object when it
    // belongs to this authority (else null), `elsewhere` the other origin.
    struct StoredWebSession {
        JsonValue web;
        std::optional<std::string> elsewhere;
    };
    StoredWebSession storedWebSession();
    // Clears the stored session after this authority refused it, unless it
    // is by now another authority's; the clearing's own error is ignored.
    void forgetRefusedSession();
    // BRIDGE_LOGIN_REQUIRED, or CREDENTIAL_STORE_UNAVAILABLE when the store
    // could not be read and so cannot tell.
    AuthorityClientError noSessionError();
    std::string ensureWebAccessToken();
    std::string refreshWebSession(bool force, const std::optional<std::string>& staleAccessToken);
    JsonValue requestWithSessionInvalidation(const std::string& path, const std::string& method,
                                             const std::optional<JsonValue>& body, const std::string& authToken,
                                             const std::optional<AuthorityTraceContext>& traceContext,
                                             OrderedJsonValue* receivedOrder = nullptr);
    std::string ensureProjectAgentToken(const std::string& projectKey);

    std::string authorityOrigin_;
    std::shared_ptr<NativeTokenStore> tokenStore_;
    std::mutex webRefreshLock_;
    AuthorityHeaderTask headerTask_;
    std::shared_ptr<AuthorityConditionalReadCache> readCache_;
    std::function<void(std::chrono::milliseconds)> sleeper_;
};

}  // namespace palisor
