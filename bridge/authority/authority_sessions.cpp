// The session layer of the authority client: login, refresh with rotation
// retries, logout, the session check, and which credential each call carries.
#include <algorithm>

#include "bridge/authority/authority_client.h"
#include "bridge/common/jwt.h"
#include "bridge/common/text.h"
#include "bridge/common/time.h"
#include "bridge/common/url.h"
#include "bridge/credentials/native_token_store.h"
#include "bridge/workspace/agents_pointer.h"

namespace palisor {

namespace {

bool hasNonEmptyString(const JsonValue& object, const char* key) { return nonEmptyString(object, key).has_value(); }

JsonValue memberOr(const JsonValue& object, const char* key, JsonValue fallback) {
    const JsonValue* value = member(object, key);
    return value ? *value : std::move(fallback);
}

// A 409 that says another process rotated the refresh token first.
bool isRotationConflict(const AuthorityClientError& error) {
    if (error.statusCode() != 409) return false;
    const JsonValue* details = error.responseDetails();
    const std::string* code = details ? stringMember(*details, "code") : nullptr;
    return code && (*code == "AUTH_REFRESH_ALREADY_ROTATED" || *code == "AUTH_REFRESH_CONCURRENT_ROTATION");
}

std::chrono::milliseconds rotationRetryDelay(const AuthorityClientError& error, int attempt) {
    long long delay = 100LL << attempt;
    const JsonValue* details = error.responseDetails();
    if (auto retryAfter = details ? optNumber(*details, "retryAfterMs") : std::nullopt) {
        // Whole milliseconds, truncated; absurd values are clamped below.
        double value = *retryAfter;
        delay = value > 1e9 ? 1000000000LL : value < -1e9 ? -1000000000LL : static_cast<long long>(value);
    }
    return std::chrono::milliseconds(std::clamp<long long>(delay, 50, 1000));
}

// The stored access token unless it is due for renewal, which depends on
// how long the token lives.
std::optional<std::string> freshWebAccessToken(const JsonValue& web) {
    return webAccessTokenOf(web, webTokenRenewBeforeSeconds(web));
}

}  // namespace

JsonValue AuthorityClient::login(const std::string& email, const std::string& password) {
    readCache_->clear();
    JsonValue answer = request("/api/auth/login", "POST",
                               JsonValue{{"email", email}, {"password", password}, {"clientKind", "bridge"}},
                               std::nullopt, false, std::nullopt);
    if (!hasNonEmptyString(answer, "accessToken") || !hasNonEmptyString(answer, "refreshToken"))
        throw AuthorityClientError::loginAccessTokenMissing();
    tokenStore_->setWebSession(authorityOrigin_, answer);
    return {{"ok", true},
            {"user", memberOr(answer, "user", nullptr)},
            {"memberships", memberOr(answer, "memberships", JsonValue::array())},
            {"expiresAt", memberOr(answer, "expiresAt", nullptr)}};
}

AuthorityClient::StoredWebSession AuthorityClient::storedWebSession() {
    JsonValue record = tokenStore_->readSession();
    const JsonValue* web = objectMember(record, "web");
    if (!web) return {};
    // Text that is not an origin normalises to itself, and so is still
    // another authority's unless it is exactly this one.
    if (auto madeAt = nonEmptyString(*web, "authorityOrigin")) {
        std::string origin = normalizeOrigin(*madeAt);
        if (origin != authorityOrigin_) return {JsonValue(), std::move(origin)};
    }
    return {*web, std::nullopt};
}

std::optional<std::string> AuthorityClient::foreignSessionOrigin() { return storedWebSession().elsewhere; }

void AuthorityClient::forgetRefusedSession() {
    // Another process may have logged in elsewhere since our token left; this
    // authority's refusal says nothing about that session.
    if (foreignSessionOrigin()) return;
    try {
        tokenStore_->clearSession();
    } catch (...) {
        // The session is gone from memory either way; the login is what matters.
    }
}

AuthorityClientError AuthorityClient::noSessionError() {
    // A store that could not be read is no evidence that nobody is logged in.
    if (tokenStore_->sessionUnknown()) return AuthorityClientError::credentialStoreUnavailable();
    return AuthorityClientError::bridgeLoginRequired();
}

std::string AuthorityClient::ensureWebAccessToken() {
    // A session that only memory holds is saved at the first chance.
    if (tokenStore_->unsavedSessionFailure()) tokenStore_->saveUnsavedSession();
    if (auto token = freshWebAccessToken(storedWebSession().web)) return *token;
    return refreshWebSession(false, std::nullopt);
}

std::string AuthorityClient::refreshWebSession(bool force, const std::optional<std::string>& staleAccessToken) {
    // One refresh at a time in the process; whoever waited here usually finds
    // the token the previous holder obtained.
    std::lock_guard guard(webRefreshLock_);
    tokenStore_->reloadSessionFromKeychain();
    if (auto current = freshWebAccessToken(storedWebSession().web)) {
        if (!force || !staleAccessToken || *current != *staleAccessToken) return *current;
    }
    for (int attempt = 0;;) {
        // Never another authority's: this one did not issue it and must not see it.
        auto refreshToken = webRefreshTokenOf(storedWebSession().web);
        if (!refreshToken) throw noSessionError();
        try {
            JsonValue answer = request("/api/auth/session/refresh", "POST",
                                       JsonValue{{"clientKind", "bridge"}, {"refreshToken", *refreshToken}},
                                       std::nullopt, false, std::nullopt);
            if (!hasNonEmptyString(answer, "accessToken") || !hasNonEmptyString(answer, "refreshToken"))
                throw AuthorityClientError::loginAccessTokenMissing();
            readCache_->clear();
            // A logout, here or in another process, or a new login that came
            // while this refresh was under way wins: its answer is dropped.
            if (tokenStore_->setRefreshedWebSession(authorityOrigin_, answer, *refreshToken))
                return answer["accessToken"].get<std::string>();
            if (auto current = freshWebAccessToken(storedWebSession().web)) return *current;
            throw AuthorityClientError::bridgeLoginRequired();
        } catch (const AuthorityClientError& error) {
            if (!isRotationConflict(error) || attempt >= kRefreshRetryLimit) throw;
            sleeper_(rotationRetryDelay(error, attempt));
            ++attempt;
        }
        // Another process may have stored the session it rotated to.
        tokenStore_->reloadSessionFromKeychain();
        if (auto current = freshWebAccessToken(storedWebSession().web)) {
            if (!staleAccessToken || *current != *staleAccessToken) return *current;
        }
    }
}

JsonValue AuthorityClient::requestWithSessionInvalidation(const std::string& path, const std::string& method,
                                                          const std::optional<JsonValue>& body,
                                                          const std::string& authToken,
                                                          const std::optional<AuthorityTraceContext>& traceContext,
                                                          OrderedJsonValue* receivedOrder) {
    try {
        return request(path, method, body, authToken, false, traceContext, receivedOrder);
    } catch (const std::exception& error) {
        if (!isAuthFailure(error)) throw;
    }
    try {
        std::string fresh = refreshWebSession(true, authToken);
        return request(path, method, body, fresh, false, traceContext, receivedOrder);
    } catch (const std::exception& error) {
        if (!isAuthFailure(error)) throw;
        forgetRefusedSession();
        throw AuthorityClientError::bridgeLoginRequired();
    }
}

JsonValue AuthorityClient::requestWithWebSession(const std::string& path, const std::string& method,
                                                 const std::optional<JsonValue>& body,
                                                 const std::optional<AuthorityTraceContext>& traceContext,
                                                 OrderedJsonValue* receivedOrder) {
    return requestWithSessionInvalidation(path, method, body, ensureWebAccessToken(), traceContext, receivedOrder);
}

JsonValue AuthorityClient::requestCatalogWithWebSession(const std::string& projectKey,
                                                        const std::optional<AuthorityTraceContext>& traceContext) {
    std::string path = "/api/authority?projectKey=" + urlQueryEncode(projectKey);
    if (supportsCompactReads()) path += "&view=catalog";
    return requestWithSessionInvalidation(path, "GET", std::nullopt, ensureWebAccessToken(), traceContext);
}

std::string AuthorityClient::ensureProjectAgentToken(const std::string& projectKey) {
    // Agent tokens are kept per authority, but one issued here earlier must
    // not outlive a login elsewhere: whoever is logged out here gets none.
    if (foreignSessionOrigin()) throw AuthorityClientError::bridgeLoginRequired();
    if (auto token = tokenStore_->projectAgentToken(authorityOrigin_, projectKey)) return *token;
    std::string path = "/api/projects/" + requestPathSegment("projectKey", projectKey) + "/agent-tokens";
    std::string webToken = ensureWebAccessToken();
    JsonValue answer = requestWithSessionInvalidation(
        path, "POST", JsonValue{{"label", "Palisor Bridge Native " + isoNow()}}, webToken, std::nullopt);
    auto token = nonEmptyString(answer, "token");
    if (!token) throw AuthorityClientError::projectAgentTokenMissing();
    // Logged out while the token was being issued: the logout stands.
    if (!tokenStore_->setProjectAgentToken(authorityOrigin_, projectKey, *token, memberOr(answer, "item", nullptr)))
        throw AuthorityClientError::bridgeLoginRequired();
    return *token;
}

JsonValue AuthorityClient::requestWithProjectAgent(const std::string& projectKey, const std::string& path,
                                                   const std::string& method, const std::optional<JsonValue>& body,
                                                   const std::optional<AuthorityTraceContext>& traceContext,
                                                   OrderedJsonValue* receivedOrder) {
    std::string token = ensureProjectAgentToken(projectKey);
    try {
        return request(path, method, body, token, false, traceContext, receivedOrder);
    } catch (const std::exception& error) {
        auto* authority = dynamic_cast<const AuthorityClientError*>(&error);
        bool rejected = authority && (authority->statusCode() == 401 ||
                                      authority->failureCode() == "SKILL_FIRST_AUTH_REQUIRED");
        if (!rejected) throw;
    }
    // The agent token was refused: drop it, get a new one, and try once more.
    tokenStore_->clearProjectAgentToken(authorityOrigin_, projectKey);
    std::string fresh = ensureProjectAgentToken(projectKey);
    return request(path, method, body, fresh, false, traceContext, receivedOrder);
}

ProjectAgentCredentials AuthorityClient::validationExecutorCredentials(const std::string& projectKey) {
    std::string webToken = ensureWebAccessToken();
    std::string token = ensureProjectAgentToken(projectKey);
    auto nodeIdOf = [](const std::string& jwt) -> std::optional<std::string> {
        auto payload = jwtPayload(jwt);
        return payload ? nonEmptyString(*payload, "nodeId") : std::nullopt;
    };
    if (auto nodeId = nodeIdOf(token)) return {token, *nodeId, webToken};
    tokenStore_->clearProjectAgentToken(authorityOrigin_, projectKey);
    token = ensureProjectAgentToken(projectKey);
    if (auto nodeId = nodeIdOf(token)) return {token, *nodeId, webToken};
    throw AuthorityClientError::projectAgentTokenMissing();
}

WebSessionValidation AuthorityClient::validateWebSession(bool keepRefused) {
    if (auto elsewhere = foreignSessionOrigin())
        return {false, "Phiên đã lưu đăng nhập với " + *elsewhere + ", còn bridge dùng " + authorityOrigin_ +
                           ". Vui lòng đăng nhập lại với " + authorityOrigin_ + ", hoặc đặt PALISOR_BRIDGE_AUTHORITY=" +
                           *elsewhere + " để dùng lại phiên đó."};
    std::string webToken;
    try {
        webToken = ensureWebAccessToken();
    } catch (const std::exception& error) {
        if (auto* authority = dynamic_cast<const AuthorityClientError*>(&error);
            authority && authority->errorCase() == AuthorityClientError::Case::credentialStoreUnavailable)
            return {false, std::string(kCredentialStoreUnavailableAdvice), true};
        JsonValue web = storedWebSession().web;
        if (isRecoverableWebSession(web) && !isAuthFailure(error))
            return {true, "Chưa thể gia hạn phiên với authority: " + errorMessage(error)};
        if (!isExpiredWebSession(web)) return {false, std::nullopt};
        return {false, "Phiên đăng nhập đã hết hạn. Vui lòng đăng nhập lại."};
    }
    try {
        request("/api/auth/me", "GET", std::nullopt, webToken, false, std::nullopt);
        if (auto failure = tokenStore_->unsavedSessionFailure())
            return {true,
                    "Phiên mới chỉ được giữ trong bộ nhớ: chưa lưu được vào kho lưu phiên (" + *failure +
                        "). Bridge sẽ thử lưu lại; chạy palisor-bridge doctor để xem nguyên nhân.",
                    false, true};
        return {true, std::nullopt, false, true};
    } catch (const std::exception& error) {
        if (isAuthFailure(error)) {
            if (!keepRefused) forgetRefusedSession();
            return {false, "Phiên đăng nhập không còn hợp lệ. Vui lòng đăng nhập lại."};
        }
        return {true, "Không kiểm tra được phiên với authority: " + errorMessage(error)};
    }
}

void AuthorityClient::logout() {
    readCache_->clear();
    StoredWebSession stored = storedWebSession();
    // Logged out here already; the other authority's session is kept for it.
    if (stored.elsewhere) return;
    auto accessToken = webAccessTokenOf(stored.web, 0);
    auto refreshToken = webRefreshTokenOf(stored.web);
    if (accessToken || refreshToken) {
        JsonValue body = refreshToken ? JsonValue{{"refreshToken", *refreshToken}} : JsonValue::object();
        try {
            request("/api/auth/logout", "POST", body, accessToken, true, std::nullopt);
        } catch (...) {
            // The authority may be down; the session is forgotten here anyway.
        }
    }
    tokenStore_->clearSession();
}

}  // namespace palisor
