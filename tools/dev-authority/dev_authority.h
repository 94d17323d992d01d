#pragma once

// The development authority: an in-memory stand-in for the project authority
// server, for tests and demos only. The bridge never links it.
//
// It serves the authority's auth, agent-token, bootstrap, health and
// work-event routes and an operation catalogue on 127.0.0.1, and lets a test
// steer it: fail, delay or drop the next answers of a route or make it flap,
// count requests and accepted TCP connections, read back what a client sent
// (every request, headers included, whatever it was answered), count the
// body bytes it sent per route, and age tokens on demand.
//
// Reads that clients may revalidate (the compact catalogue) carry an ETag and
// "Cache-Control: private, no-cache"; a request whose "If-None-Match" names
// the current ETag gets a bodiless 304 with a fresh "x-request-id".

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bridge/common/json.h"

namespace palisor::dev {

struct DevAuthorityOptions {
    std::uint16_t port = 0;  // 0 picks a free port
    std::chrono::seconds accessTokenLifetime{3600};
    std::chrono::seconds refreshTokenLifetime{30 * 24 * 3600};
    std::chrono::seconds agentTokenLifetime{3600};
    // Sent with a 409 for a refresh token that was already rotated; absent
    // means the 409 carries no "retryAfterMs".
    std::optional<int> refreshRetryAfterMs = 50;
    // Worker threads, i.e. connections served at the same time. Keep-alive
    // connections hold a worker while they stay open.
    std::size_t threads = 96;
    std::chrono::seconds keepAliveTimeout{30};
    // The catalogue announces the "authority-reads.v1" read optimisations,
    // so that clients ask for its compact view and revalidate it. Off, the
    // authority behaves like one that predates them.
    bool announceReadOptimizations = true;
};

// One request as it arrived. Path and query are raw (still percent-encoded,
// query without "?"); header names are lower-cased.
struct RecordedRequest {
    std::string method;
    std::string path;
    std::string query;
    std::string body;
    std::map<std::string, std::string> headers;

    std::string header(const std::string& lowerCaseName) const;
    JsonValue json() const;  // the body as a JSON object, {} when it is not one
};

// Sign-in material returned by login.
struct DevSession {
    std::string accessToken;
    std::string refreshToken;
    JsonValue answer;  // the whole answer body
};

class DevAuthority {
public:
    explicit DevAuthority(DevAuthorityOptions options = {});
    ~DevAuthority();  // stops
    DevAuthority(const DevAuthority&) = delete;
    DevAuthority& operator=(const DevAuthority&) = delete;

    // Binds 127.0.0.1 and serves on background threads; port() is valid
    // afterwards. Throws std::runtime_error when the port cannot be bound.
    void start();
    // Closes the listening socket and every connection, waits for the workers.
    // Idempotent.
    void stop();
    std::uint16_t port() const;
    std::string origin() const;  // "http://127.0.0.1:PORT"

    // --- directory ---------------------------------------------------------
    void addProject(const std::string& projectKey, const std::string& name);
    // Adds (or replaces the password and memberships of) a user. Unknown
    // project keys are created with the key as name. Returns the user id.
    std::string addUser(const std::string& email, const std::string& password,
                        const std::vector<std::string>& projectKeys);
    // A task record served by the task operations; "itemId" is filled in when
    // missing. Returns the stored record.
    JsonValue addTask(const std::string& projectKey, JsonValue task);

    // --- tokens ------------------------------------------------------------
    // Every access (web) token issued so far stops working now.
    void expireAccessTokens();
    void expireRefreshTokens();
    // Signs in directly, as another client of the same user would.
    DevSession login(const std::string& email, const std::string& password);

    // --- steering ----------------------------------------------------------
    // Routes are named by method and raw path without query, as sent:
    // ("POST", "/api/auth/session/refresh"). The effects of one request apply
    // in this order: delay, drop, fail.
    void failNext(const std::string& method, const std::string& path, int status,
                  const JsonValue& body, int times = 1);
    // The same with any body and content type: HTML, an empty 204, a JSON
    // array, or a 200 that is not what the route normally answers.
    void answerNextRaw(const std::string& method, const std::string& path, int status,
                       const std::string& body, const std::string& contentType, int times = 1);
    void delayNext(const std::string& method, const std::string& path,
                   std::chrono::milliseconds delay, int times = 1);
    // The connection is closed in the middle of the answer: the status line,
    // the headers and part of the promised body are written, then nothing.
    void dropNext(const std::string& method, const std::string& path, int times = 1);
    // Removes every pending fail, delay and drop.
    void clearHooks();

    // --- observation -------------------------------------------------------
    std::size_t requestCount(const std::string& method, const std::string& path) const;
    std::size_t totalRequests() const;
    // Body bytes of the answers sent on a route (a 304 sends none), and how
    // many of its answers had a given status.
    std::size_t bodyBytesSent(const std::string& method, const std::string& path) const;
    std::size_t answersWithStatus(const std::string& method, const std::string& path, int status) const;
    std::size_t acceptedConnections() const;
    std::vector<RecordedRequest> requests() const;
    std::vector<RecordedRequest> requests(const std::string& method, const std::string& path) const;
    // Forgets recorded requests and every counter.
    void resetRecords();
    // The work event bodies accepted for a project, in arrival order; a
    // repeated idempotency key is recorded once.
    std::vector<JsonValue> workEvents(const std::string& projectKey) const;
    void clearWorkEvents();

    // The bootstrap's catalogue, as served with the default options.
    static JsonValue operationCatalog();

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace palisor::dev
