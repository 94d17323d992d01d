#pragma once

#include <optional>
#include <string>

#include "bridge/common/bridge_error.h"
#include "bridge/common/json.h"

namespace palisor {

// The authority client's error. An httpError carries the authority's status,
// a message (its description) and the failure record built from the answer.
class AuthorityClientError : public BridgeError {
public:
    enum class Case {
        httpError,
        invalidAuthorityOrigin,
        authorityOriginMismatch,
        loginAccessTokenMissing,
        bridgeLoginRequired,
        projectAgentTokenMissing,
        answerTooLarge,
        credentialStoreUnavailable,
    };

    static AuthorityClientError httpError(int statusCode, std::string message, JsonValue details);
    static AuthorityClientError invalidAuthorityOrigin();
    static AuthorityClientError authorityOriginMismatch();
    static AuthorityClientError loginAccessTokenMissing();
    static AuthorityClientError bridgeLoginRequired();
    static AuthorityClientError projectAgentTokenMissing();
    // The answer's body passed kMaxAuthorityAnswerBytes; the code names the limit.
    static AuthorityClientError answerTooLarge();
    // No session could be looked up: the credential store did not answer.
    // Not the same as logged out, and the stored session is kept.
    static AuthorityClientError credentialStoreUnavailable();

    Case errorCase() const noexcept { return case_; }
    bool isHttpError() const noexcept { return case_ == Case::httpError; }
    // The status of an httpError; absent for every other case.
    std::optional<int> statusCode() const;
    // The failure record of an httpError; nullptr for every other case.
    const JsonValue* responseDetails() const;
    // The code of an httpError's failure record ("AUTHORITY_HTTP_<status>"
    // when the authority named none); absent for every other case.
    std::optional<std::string> failureCode() const;

    // An httpError answers with the authority's status and its failure
    // record; an unreadable credential store with 503 and the next step.
    int httpStatus() const override;
    std::optional<JsonValue> data() const override;

private:
    AuthorityClientError(Case errorCase, std::string description, int statusCode = 0,
                         JsonValue details = JsonValue());
    Case case_;
    int statusCode_;
    JsonValue details_;
};

// What the user reads for credentialStoreUnavailable, naming the next step.
inline constexpr const char* kCredentialStoreUnavailableAdvice =
    "Không đọc được kho lưu phiên đăng nhập (keyring hoặc tệp phiên) nên chưa biết phiên đăng nhập; phiên đã lưu "
    "vẫn được giữ. Chạy palisor-bridge doctor để xem nguyên nhân và cách sửa.";

// Authentication failures: an httpError with status 401, or whose failure
// record carries one of the authority's login-required codes.
bool isAuthFailure(const std::exception& error);

}  // namespace palisor
