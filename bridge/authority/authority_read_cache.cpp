#include "bridge/authority/authority_read_cache.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "bridge/authority/authority_client_error.h"
#include "bridge/common/sha256.h"
#include "bridge/common/text.h"
#include "bridge/common/url.h"

namespace palisor {

namespace {

constexpr const char* kReadsSchemaVersion = "authority-reads.v1";
constexpr const char* kCounterNames[] = {"revalidated", "stored",    "joins",     "evictions",
                                         "oversize",    "network200", "network304"};

double wallClockSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// The value of the first query item with this name, percent-decoded; absent
// when there is no such item or it has no "=".
std::optional<std::string> firstQueryValue(const std::optional<std::string>& query, std::string_view name) {
    if (!query) return std::nullopt;
    for (std::string_view item : splitKeepingEmpty(*query, "&")) {
        auto equals = item.find('=');
        auto itemName = percentDecode(item.substr(0, equals));
        if (!itemName || *itemName != name) continue;
        if (equals == std::string_view::npos) return std::nullopt;
        return percentDecode(item.substr(equals + 1));
    }
    return std::nullopt;
}

// "/api/v2/projects/<key>/skills" or "/api/v2/<web|bridge>/skills/<id>/get_list".
bool isSkillMetadataListPath(std::string_view path) {
    constexpr std::string_view kPrefix = "/api/v2/";
    if (!startsWith(path, kPrefix)) return false;
    auto segments = splitKeepingEmpty(path.substr(kPrefix.size()), "/");
    auto named = [&](std::size_t i) { return !segments[i].empty(); };
    if (segments.size() == 3 && segments[0] == "projects" && named(1) && segments[2] == "skills") return true;
    return segments.size() == 4 && (segments[0] == "web" || segments[0] == "bridge") && segments[1] == "skills" &&
           named(2) && segments[3] == "get_list";
}

// Comma-separated header pieces, trimmed, without empty ones.
std::vector<std::string> listPieces(const std::optional<std::string>& value) {
    std::vector<std::string> pieces;
    if (!value) return pieces;
    for (std::string_view piece : splitKeepingEmpty(*value, ",")) {
        std::string trimmed = trim(piece);
        if (!trimmed.empty()) pieces.push_back(std::move(trimmed));
    }
    return pieces;
}

// A time to wait, safe to hand to a condition variable whatever the setting.
std::chrono::steady_clock::duration waitDuration(double seconds) {
    constexpr double kLongest = 10.0 * 365 * 24 * 3600;
    double bounded = std::clamp(seconds, 0.0, kLongest);
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(bounded));
}

}  // namespace

AuthorityConditionalReadCache::AuthorityConditionalReadCache() : AuthorityConditionalReadCache(Options{}) {}

AuthorityConditionalReadCache::AuthorityConditionalReadCache(Options options) : options_(std::move(options)) {
    if (!options_.now) options_.now = wallClockSeconds;
    for (const char* name : kCounterNames) counts_[name] = 0;
}

AuthorityConditionalReadCacheError AuthorityConditionalReadCache::failure(const char* code) {
    return AuthorityConditionalReadCacheError(code);
}

// --- rules -------------------------------------------------------------------

bool AuthorityConditionalReadCache::allowed(const AuthorityRequest& request) {
    if (request.method != "GET") return false;
    auto url = Url::parse(request.url);
    if (!url) return false;
    auto path = percentDecode(url->path());
    if (!path) return false;
    auto view = firstQueryValue(url->query(), "view");
    if (*path == "/api/authority") return view == "catalog";
    return view == "metadata" && isSkillMetadataListPath(*path);
}

bool AuthorityConditionalReadCache::traceHeader(std::string_view name) {
    static constexpr std::string_view kTraceNames[] = {"trace-id",     "span-id",      "parent-span-id",
                                                       "causal-id",    "operation-id", "task-id",
                                                       "task-revision", "source-component"};
    std::string lower = asciiLower(name);
    constexpr std::string_view kPrefix = "x-palisor-";
    if (!startsWith(lower, kPrefix)) return false;
    std::string_view rest = std::string_view(lower).substr(kPrefix.size());
    return std::find(std::begin(kTraceNames), std::end(kTraceNames), rest) != std::end(kTraceNames);
}

std::optional<AuthorityConditionalReadCache::Keys> AuthorityConditionalReadCache::keys(
    const AuthorityRequest& request) {
    std::vector<std::pair<std::string, std::string>> pairs;
    pairs.reserve(request.headers.size());
    for (const auto& [name, value] : request.headers) pairs.emplace_back(asciiLower(name), value);
    // Stable, so that the key does not depend on how the sort breaks ties.
    std::stable_sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) { return a.first < b.first; });

    JsonValue all = JsonValue::array();
    JsonValue withoutTrace = JsonValue::array();
    for (const auto& [name, value] : pairs) {
        all.push_back(JsonValue::array({name, value}));
        if (!traceHeader(name)) withoutTrace.push_back(JsonValue::array({name, value}));
    }
    auto flightText = dumpCompact(JsonValue::array({request.url, std::move(all)}));
    auto cacheText = dumpCompact(JsonValue::array({request.url, std::move(withoutTrace)}));
    if (!flightText || !cacheText) return std::nullopt;
    return Keys{sha256Hex(*cacheText), sha256Hex(*flightText)};
}

// --- load --------------------------------------------------------------------

AuthorityHTTPResponse AuthorityConditionalReadCache::load(const AuthorityRequest& request,
                                                          const AuthorityHeaderTask& execute) {
    if (!allowed(request) || !request.header("Authorization")) return execute(request);
    auto key = keys(request);
    if (!key) return execute(request);

    std::unique_lock lock(mutex_);
    if (!compactSupported_) {
        lock.unlock();
        return execute(request);
    }
    if (auto running = flights_.find(key->flight); running != flights_.end()) {
        std::shared_ptr<Flight> flight = running->second;
        return join(lock, flight);
    }

    // Refused rather than queued: a queue would only move the wait somewhere
    // with no limit of its own.
    if (static_cast<std::int64_t>(flights_.size()) >= options_.maxInflight) throw failure("BRIDGE_READ_CAPACITY");
    auto flight = std::make_shared<Flight>();
    flights_.emplace(key->flight, flight);

    std::optional<Entry> entry;
    if (auto found = entries_.find(key->cache); found != entries_.end()) {
        double now = options_.now();
        if (now - found->second.usedAt >= options_.idleSeconds) {
            remove(key->cache);
        } else {
            found->second.usedAt = now;
            found->second.order = ++sequence_;
            entry = found->second;  // shares the body, copies no bytes
        }
    }
    std::int64_t generation = generation_;
    lock.unlock();

    AuthorityHTTPResponse response;
    std::exception_ptr error;
    try {
        response = fetch(request, key->cache, entry, generation, execute);
    } catch (...) {
        error = std::current_exception();
    }

    std::function<void()> raise = error ? copyOf(error) : nullptr;
    lock.lock();
    flight->done = true;
    if (error)
        flight->raise = std::move(raise);
    else
        flight->response = response;
    flights_.erase(key->flight);
    lock.unlock();
    condition_.notify_all();

    if (error) std::rethrow_exception(error);
    return response;
}

AuthorityHTTPResponse AuthorityConditionalReadCache::join(std::unique_lock<std::mutex>& lock,
                                                          const std::shared_ptr<Flight>& flight) {
    if (flight->waiters >= options_.maxWaiters) throw failure("BRIDGE_READ_WAITERS_LIMIT");
    ++flight->waiters;
    increment("joins");
    // The deadline runs on the monotonic clock, not the injected one (which
    // only dates entries): a wall clock set back must not stretch the wait,
    // nor one set forward cut it short.
    bool finished = condition_.wait_for(lock, waitDuration(options_.waitSeconds), [&] { return flight->done; });
    --flight->waiters;
    if (!finished) throw failure("BRIDGE_READ_WAIT_TIMEOUT");
    if (flight->raise) flight->raise();
    return *flight->response;
}

std::function<void()> AuthorityConditionalReadCache::copyOf(std::exception_ptr error) {
    // The failures an exchange can end with, most specific first; anything
    // else keeps at least its description.
    try {
        std::rethrow_exception(error);
    } catch (const AuthorityConditionalReadCacheError& e) {
        return [e] { throw e; };
    } catch (const TransportError& e) {
        return [e] { throw e; };
    } catch (const AuthorityClientError& e) {
        return [e] { throw e; };
    } catch (const BridgeError& e) {
        return [e] { throw e; };
    } catch (const std::exception& e) {
        return [description = std::string(e.what())] { throw std::runtime_error(description); };
    } catch (...) {
        return [] { throw std::runtime_error("unknown error"); };
    }
}

// --- the exchange ------------------------------------------------------------

AuthorityHTTPResponse AuthorityConditionalReadCache::fetch(const AuthorityRequest& request, const std::string& key,
                                                           const std::optional<Entry>& entry, std::int64_t generation,
                                                           const AuthorityHeaderTask& execute) {
    AuthorityHTTPResponse response;
    if (entry) {
        AuthorityRequest conditional = request;
        conditional.setHeader("If-None-Match", entry->etag);
        response = execute(conditional);
    } else {
        response = execute(request);
    }
    if (response.error || !response.statusCode) return response;
    if (*response.statusCode != 304) return settle(key, std::move(response), generation);

    {
        std::lock_guard guard(mutex_);
        increment("network304");
    }
    // A 304 we cannot turn back into the answer (nothing stored any more, a
    // body that needs the new request id and did not get one) is not an
    // answer for the caller: ask again, unconditionally.
    std::optional<std::string> body = entry ? rebuild(*entry->data, response) : std::nullopt;
    if (!body) return settle(key, execute(request), generation);

    {
        std::lock_guard guard(mutex_);
        assertGeneration(generation);
        increment("revalidated");
    }
    AuthorityHTTPResponse rebuilt;
    rebuilt.data = std::move(*body);
    rebuilt.statusCode = 200;
    rebuilt.headers = std::move(response.headers);
    return rebuilt;
}

std::optional<std::string> AuthorityConditionalReadCache::rebuild(const std::string& stored,
                                                                  const AuthorityHTTPResponse& notModified) {
    auto object = parseJson(stored);
    if (!object || !object->is_object()) return std::nullopt;
    if (const JsonValue* meta = objectMember(*object, "meta")) {
        // The stored meta describes the exchange that fetched it; the caller
        // gets the id of its own exchange and no stale timings.
        auto requestId = notModified.header("x-request-id");
        if (!requestId) return std::nullopt;
        JsonValue fresh = *meta;
        fresh["requestId"] = *requestId;
        fresh.erase("stageTimings");
        (*object)["meta"] = std::move(fresh);
    }
    return dumpCompact(*object);
}

AuthorityHTTPResponse AuthorityConditionalReadCache::settle(const std::string& key, AuthorityHTTPResponse response,
                                                            std::int64_t generation) {
    int status = response.statusCode.value_or(0);
    if (status == 401 || status == 403) {
        clear();
        return response;
    }
    if (status == 200 && !response.error) return store(key, std::move(response), generation);
    return response;
}

AuthorityHTTPResponse AuthorityConditionalReadCache::store(const std::string& key, AuthorityHTTPResponse response,
                                                           std::int64_t generation) {
    // Everything that reads the body happens before the lock is taken.
    auto etag = response.header("etag");
    bool storable = false;
    if (response.data && !response.data->empty() && etag) {
        auto cacheControl = response.header("cache-control");
        std::string policy = asciiLower(cacheControl.value_or(""));
        if (cacheControl && policy.find("private") != std::string::npos && policy.find("no-cache") != std::string::npos) {
            auto parsed = parseJson(*response.data);
            storable = parsed && parsed->is_object();
        }
    }
    bool varies = false;
    for (const std::string& piece : listPieces(response.header("vary")))
        if (piece == "*" || traceHeader(piece)) varies = true;
    auto size = static_cast<std::int64_t>(storable ? response.data->size() : 0);
    bool oversize = size > options_.maxEntryBytes || size > options_.maxBytes;
    auto data = storable && !varies && !oversize ? std::make_shared<const std::string>(*response.data) : nullptr;

    std::lock_guard guard(mutex_);
    assertGeneration(generation);
    increment("network200");
    if (!storable) return response;
    remove(key);
    // An answer that differs per trace would be wrong for the next trace.
    if (varies) return response;
    if (oversize) {
        increment("oversize");
        return response;
    }
    while (!entries_.empty() &&
           (bytes_ + size > options_.maxBytes || static_cast<std::int64_t>(entries_.size()) >= options_.maxEntries)) {
        auto oldest = std::min_element(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) {
            return a.second.order < b.second.order;
        });
        remove(oldest->first);
        increment("evictions");
    }
    if (options_.maxEntries >= 1) {
        entries_[key] = Entry{std::move(data), *etag, options_.now(), ++sequence_};
        bytes_ += size;
        increment("stored");
    }
    return response;
}

// --- state -------------------------------------------------------------------

void AuthorityConditionalReadCache::learn(const JsonValue& decodedBody) {
    const JsonValue* catalog = objectMember(decodedBody, "operationCatalog");
    if (!catalog) return;
    const JsonValue* optimizations = objectMember(*catalog, "readOptimizations");
    const std::string* version = optimizations ? stringMember(*optimizations, "schemaVersion") : nullptr;
    bool supported = version && *version == kReadsSchemaVersion;
    std::lock_guard guard(mutex_);
    if (compactSupported_ && !supported) {
        removeAll();
        ++generation_;
    }
    compactSupported_ = supported;
}

void AuthorityConditionalReadCache::clear() {
    std::lock_guard guard(mutex_);
    removeAll();
    ++generation_;
}

bool AuthorityConditionalReadCache::supportsCompactReads() const {
    std::lock_guard guard(mutex_);
    return compactSupported_;
}

std::map<std::string, std::int64_t> AuthorityConditionalReadCache::stats() const {
    std::lock_guard guard(mutex_);
    auto result = counts_;
    result["bytes"] = bytes_;
    result["entries"] = static_cast<std::int64_t>(entries_.size());
    result["inflight"] = static_cast<std::int64_t>(flights_.size());
    return result;
}

void AuthorityConditionalReadCache::remove(const std::string& key) {
    auto found = entries_.find(key);
    if (found == entries_.end()) return;
    bytes_ -= static_cast<std::int64_t>(found->second.data->size());
    entries_.erase(found);
}

void AuthorityConditionalReadCache::removeAll() {
    entries_.clear();
    bytes_ = 0;
}

void AuthorityConditionalReadCache::increment(const char* name) { ++counts_[name]; }

void AuthorityConditionalReadCache::assertGeneration(std::int64_t generation) const {
    if (generation != generation_) throw failure("BRIDGE_SESSION_CHANGED_DURING_READ");
}

}  // namespace palisor
