#include "bridge/authority/authority_client_error.h"

#include "bridge/authority/authority_failure.h"
#include "bridge/authority/authority_http.h"

namespace palisor {

namespace {

ErrorKind kindOf(AuthorityClientError::Case errorCase) {
    switch (errorCase) {
        case AuthorityClientError::Case::invalidAuthorityOrigin: return ErrorKind::badRequest;
        case AuthorityClientError::Case::bridgeLoginRequired: return ErrorKind::loginRequired;
        case AuthorityClientError::Case::credentialStoreUnavailable: return ErrorKind::unavailable;
        default: return ErrorKind::failure;
    }
}

}  // namespace

AuthorityClientError::AuthorityClientError(Case errorCase, std::string description, int statusCode, JsonValue details)
    : BridgeError(std::move(description), kindOf(errorCase)),
      case_(errorCase),
      statusCode_(statusCode),
      details_(std::move(details)) {}

AuthorityClientError AuthorityClientError::httpError(int statusCode, std::string message, JsonValue details) {
    return {Case::httpError, std::move(message), statusCode, std::move(details)};
}
AuthorityClientError AuthorityClientError::invalidAuthorityOrigin() {
    return {Case::invalidAuthorityOrigin, "INVALID_AUTHORITY_ORIGIN"};
}
AuthorityClientError AuthorityClientError::authorityOriginMismatch() {
    return {Case::authorityOriginMismatch, "AUTHORITY_ORIGIN_MISMATCH"};
}
AuthorityClientError AuthorityClientError::loginAccessTokenMissing() {
    return {Case::loginAccessTokenMissing, "AUTH_LOGIN_ACCESS_TOKEN_MISSING"};
}
AuthorityClientError AuthorityClientError::bridgeLoginRequired() {
    return {Case::bridgeLoginRequired, "BRIDGE_LOGIN_REQUIRED"};
}
AuthorityClientError AuthorityClientError::projectAgentTokenMissing() {
    return {Case::projectAgentTokenMissing, "PROJECT_AGENT_TOKEN_MISSING"};
}

AuthorityClientError AuthorityClientError::answerTooLarge() {
    return {Case::answerTooLarge, "AUTHORITY_ANSWER_TOO_LARGE:" + std::to_string(kMaxAuthorityAnswerBytes)};
}

AuthorityClientError AuthorityClientError::credentialStoreUnavailable() {
    return {Case::credentialStoreUnavailable, "CREDENTIAL_STORE_UNAVAILABLE"};
}

std::optional<int> AuthorityClientError::statusCode() const {
    if (case_ == Case::httpError) return statusCode_;
    return std::nullopt;
}

const JsonValue* AuthorityClientError::responseDetails() const {
    return case_ == Case::httpError ? &details_ : nullptr;
}

std::optional<std::string> AuthorityClientError::failureCode() const {
    if (case_ != Case::httpError) return std::nullopt;
    const std::string* code = stringMember(details_, "code");
    return code ? *code : "AUTHORITY_HTTP_" + std::to_string(statusCode_);
}

int AuthorityClientError::httpStatus() const {
    return case_ == Case::httpError ? statusCode_ : BridgeError::httpStatus();
}

std::optional<JsonValue> AuthorityClientError::data() const {
    if (case_ == Case::credentialStoreUnavailable)
        return JsonValue{{"code", code()}, {"message", kCredentialStoreUnavailableAdvice}};
    if (case_ != Case::httpError) return std::nullopt;
    return authorityFailure(details_, statusCode_);
}

bool isAuthFailure(const std::exception& error) {
    auto* authority = dynamic_cast<const AuthorityClientError*>(&error);
    if (!authority || !authority->isHttpError()) return false;
    if (authority->statusCode() == 401) return true;
    std::string code = authority->failureCode().value_or("");
    for (const char* refused : {"AUTHORITY_HTTP_401", "SKILL_FIRST_AUTH_REQUIRED", "SKILL_FIRST_SHADOW_TOKEN_DISABLED",
                                "SKILL_FIRST_DB_LOGIN_INVALID"})
        if (code == refused) return true;
    return false;
}

}  // namespace palisor
