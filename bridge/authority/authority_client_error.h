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
    };

    static AuthorityClientError httpError(int statusCode, std::string message, JsonValue details);
    static AuthorityClientError invalidAuthorityOrigin();
    static AuthorityClientError authorityOriginMismatch();
    static AuthorityClientError loginAccessTokenMissing();
    static AuthorityClientError bridgeLoginRequired();
    static AuthorityClientError projectAgentTokenMissing();
    // The answer's body passed kMaxAuthorityAnswerBytes; the code names the limit.
    static AuthorityClientError answerTooLarge();

    Case errorCase() const noexcept { return case_; }
    bool isHttpError() const noexcept { return case_ == Case::httpError; }
    // The status of an httpError; absent for every other case.
    std::optional<int> statusCode() const;
    // The failure record of an httpError; nullptr for every other case.
    const JsonValue* responseDetails() const;

private:
    AuthorityClientError(Case errorCase, std::string description, int statusCode = 0,
                         JsonValue details = JsonValue());
    Case case_;
    int statusCode_;
    JsonValue details_;
};

// Authentication failures: status 401, or a description that is
// "Unauthorized" or names one of the authority's login-required codes.
bool isAuthFailure(const std::exception& error);

}  // namespace palisor
