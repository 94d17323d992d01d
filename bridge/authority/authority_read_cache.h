#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/authority/authority_http.h"
#include "bridge/common/bridge_error.h"
#include "bridge/common/json.h"

namespace palisor {

// Refusals and failures of the read cache. The description is one of
// "BRIDGE_READ_CAPACITY", "BRIDGE_READ_WAITERS_LIMIT",
// "BRIDGE_READ_WAIT_TIMEOUT", "BRIDGE_SESSION_CHANGED_DURING_READ"; callers
// of the authority client see it unchanged.
class AuthorityConditionalReadCacheError : public BridgeError {
public:
    using BridgeError::BridgeError;
    static constexpr const char* kDomain = "AuthorityConditionalReadCache";
};

// Conditional reads of the few large authority answers that agents ask for
// again and again (the compact operation catalogue and the skill metadata
// lists). The authority marks them "private, no-cache" with an ETag: every
// read still goes to the authority, which checks the credential each time,
// but an unchanged answer comes back as a bodiless 304 and is rebuilt from
// memory. Identical reads that run at the same time share one exchange.
//
// Everything else passes straight through. Nothing is cached until the
// authority has announced the "authority-reads.v1" read optimisations, and
// every change of session empties the store: keys include the
// "Authorization" header, so an answer is never handed to another token, and
// an exchange that began before a change can neither store nor revalidate.
//
// Safe for concurrent use. One lock guards all state; it is never held across
// an exchange.
class AuthorityConditionalReadCache {
public:
    struct Options {
        std::int64_t maxBytes = 16 * 1024 * 1024;  // all stored bodies together
        std::int64_t maxEntries = 128;
        std::int64_t maxEntryBytes = 1024 * 1024;  // one body
        std::int64_t maxInflight = 8;              // leading exchanges at once
        std::int64_t maxWaiters = 32;              // requests joined to one exchange
        double idleSeconds = 600;                  // unused this long: dropped
        // How long a joined request waits for the leader: the read time limit
        // of the transport plus a margin, so a leader always finishes first.
        double waitSeconds = 305;
        // Seconds since 1970, for when entries were last used. The wall clock
        // when empty.
        std::function<double()> now;
    };

    struct Keys {
        std::string cache;   // without trace headers: shared across traces
        std::string flight;  // every header: joins identical requests only
    };

    AuthorityConditionalReadCache();
    explicit AuthorityConditionalReadCache(Options options);
    AuthorityConditionalReadCache(const AuthorityConditionalReadCache&) = delete;
    AuthorityConditionalReadCache& operator=(const AuthorityConditionalReadCache&) = delete;

    // Runs `execute` for the request, or answers through the store and the
    // exchanges in flight when the request is an eligible read.
    AuthorityHTTPResponse load(const AuthorityRequest& request, const AuthorityHeaderTask& execute);
    // Looks at every decoded answer for the authority's read announcement.
    void learn(const JsonValue& decodedBody);
    // Forgets every stored answer and starts a new generation.
    void clear();
    bool supportsCompactReads() const;
    // "bytes", "entries", "inflight" and the counters "revalidated", "stored",
    // "joins", "evictions", "oversize", "network200", "network304".
    std::map<std::string, std::int64_t> stats() const;

    // The rules, exposed for tests.
    // A GET of the compact catalogue or of a skill metadata list.
    static bool allowed(const AuthorityRequest& request);
    // Lower-case SHA-256 hex of [url, [[name, value], ...]] with names
    // lower-cased and sorted; nullopt when a header value is not valid UTF-8
    // (such a request is not cached rather than given a lossy key).
    static std::optional<Keys> keys(const AuthorityRequest& request);
    static bool traceHeader(std::string_view name);

private:
    struct Entry {
        std::shared_ptr<const std::string> data;
        std::string etag;
        double usedAt = 0;
        std::int64_t order = 0;
    };
    struct Flight {
        std::int64_t waiters = 0;
        bool done = false;
        std::optional<AuthorityHTTPResponse> response;
        // Throws a copy of the leader's failure. Each waiter gets an exception
        // object of its own: one object rethrown on many threads would be
        // destroyed by whichever catch ends last, a hand-over that
        // ThreadSanitizer cannot see inside the uninstrumented C++ runtime.
        std::function<void()> raise;
    };

    AuthorityHTTPResponse join(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Flight>& flight);
    AuthorityHTTPResponse fetch(const AuthorityRequest& request, const std::string& key,
                                const std::optional<Entry>& entry, std::int64_t generation,
                                const AuthorityHeaderTask& execute);
    // The 304 of a stored answer as the 200 it stands for; nullopt when the
    // stored body cannot be rebuilt for this answer.
    static std::optional<std::string> rebuild(const std::string& stored, const AuthorityHTTPResponse& notModified);
    AuthorityHTTPResponse store(const std::string& key, AuthorityHTTPResponse response, std::int64_t generation);
    // The rest of a conditional fetch for an answer that was not a usable 304.
    AuthorityHTTPResponse settle(const std::string& key, AuthorityHTTPResponse response, std::int64_t generation);

    // Called with the lock held.
    void remove(const std::string& key);
    void increment(const char* name);
    void assertGeneration(std::int64_t generation) const;
    void removeAll();

    static AuthorityConditionalReadCacheError failure(const char* code);
    // A way to throw the same failure again, for the waiters of a flight.
    static std::function<void()> copyOf(std::exception_ptr error);

    mutable std::mutex mutex_;
    std::condition_variable condition_;
    std::map<std::string, Entry> entries_;
    std::map<std::string, std::shared_ptr<Flight>> flights_;
    std::int64_t bytes_ = 0;
    std::int64_t generation_ = 0;
    std::int64_t sequence_ = 0;
    bool compactSupported_ = false;
    std::map<std::string, std::int64_t> counts_;
    Options options_;
};

}  // namespace palisor
