#include "bridge/authority/authority_client.h"

#include <thread>

#include "bridge/activity/activity_scope.h"
#include "bridge/authority/authority_failure.h"
#include "bridge/common/text.h"
#include "bridge/common/url.h"
#include "bridge/workspace/agents_pointer.h"

namespace palisor {

AuthorityClient::AuthorityClient(Options options)
    : authorityOrigin_(normalizeOrigin(options.authorityOrigin)),
      tokenStore_(std::move(options.tokenStore)),
      headerTask_(options.headerTask ? std::move(options.headerTask) : syncHeaderDataTask),
      readCache_(options.readCache ? std::move(options.readCache) : std::make_shared<AuthorityConditionalReadCache>()),
      sleeper_(options.sleeper ? std::move(options.sleeper)
                               : [](std::chrono::milliseconds delay) { std::this_thread::sleep_for(delay); }) {}

JsonValue AuthorityClient::request(const std::string& path, const std::string& method,
                                   const std::optional<JsonValue>& body, const std::optional<std::string>& authToken,
                                   bool allowFailure, const std::optional<AuthorityTraceContext>& traceContext,
                                   OrderedJsonValue* receivedOrder) {
    auto origin = Url::parse(authorityOrigin_);
    if (!origin) throw AuthorityClientError::invalidAuthorityOrigin();
    auto resolved = origin->resolve(path);
    if (!resolved) throw AuthorityClientError::invalidAuthorityOrigin();
    // Credentials go to the configured authority and nowhere else, whatever
    // the path says.
    if (normalizeOrigin(resolved->text()) != authorityOrigin_) throw AuthorityClientError::authorityOriginMismatch();

    AuthorityRequest prepared;
    prepared.url = resolved->text();
    prepared.method = asciiUpper(method.empty() ? "GET" : method);
    prepared.timeoutSeconds = AuthorityTimeoutPolicy::forMethod(prepared.method).idle;
    prepared.headers = {{"Accept", "application/json"}, {"x-palisor-client-kind", "bridge-native"}};
    if (body) {
        auto serialised = dumpCompact(*body);
        if (!serialised) throw BridgeError("JSON_SERIALIZE_FAILED");
        prepared.headers.emplace_back("Content-Type", "application/json");
        prepared.body = std::move(*serialised);
    }
    if (authToken) prepared.headers.emplace_back("Authorization", "Bearer " + *authToken);
    if (traceContext)
        for (auto& header : traceContext->headers()) prepared.headers.push_back(std::move(header));

    static const AuthorityTraceContext none;
    const AuthorityTraceContext& sent = traceContext ? *traceContext : none;
    ActivityScope::exchangeBegins(sent.traceId(), sent.spanId(), sent.parentSpanId(), sent.causalId());
    AuthorityHTTPResponse response = readCache_->load(prepared, headerTask_);
    if (response.error) throw *response.error;
    int status = response.statusCode.value_or(0);
    ActivityScope::exchangeAnswered(status);
    JsonValue decoded = parseJsonObject(response.data);
    readCache_->learn(decoded);
    if (status == 401 || status == 403) readCache_->clear();
    if ((status < 200 || status > 299) && !allowFailure) {
        JsonValue record = authorityFailure(decoded, status);
        const std::string* message = stringMember(record, "message");
        throw AuthorityClientError::httpError(status, message ? *message : "AUTHORITY_HTTP_" + std::to_string(status),
                                              std::move(record));
    }
    if (receivedOrder) {
        // Decoded once more, only for the callers that need the sender's order.
        std::optional<OrderedJsonValue> ordered;
        if (decoded.size() > 0) ordered = parseOrderedJson(*response.data);
        *receivedOrder = ordered && ordered->is_object() ? std::move(*ordered) : OrderedJsonValue::object();
    }
    return decoded;
}

bool AuthorityClient::supportsCompactReads() const { return readCache_->supportsCompactReads(); }

std::map<std::string, std::int64_t> AuthorityClient::readCacheStats() const { return readCache_->stats(); }

}  // namespace palisor
