#pragma once

// The authority faked behind the client's transport, the one fake of it the
// tests share: an AuthorityClient built by client() sends every request to
// this object, with a signed-in web session already in its token store.
//
// It serves the catalogue read (one answer for every project unless a
// project has its own), project-agent tokens, and the foundation
// generation's catalogued resource reads ("tasks" and "skills"). Scripted
// answers for an exact path win over that; `respond`, when set, answers
// everything, for tests that script whole exchanges.

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bridge/authority/authority_client.h"
#include "bridge/common/json.h"
#include "bridge/credentials/native_token_store.h"

namespace palisor::test {

inline constexpr const char* kAuthorityOrigin = "https://authority.test";
inline constexpr const char* kWebToken = "web-access-token-0123456789-secret";
// The token issued for a project: a JWT-shaped text naming node "node-<key>".
std::string agentTokenFor(const std::string& projectKey);
// A token store in memory only.
std::shared_ptr<NativeTokenStore> memoryStore();
// An answer with `status`, `body` and `headers`.
AuthorityHTTPResponse answerWith(int status, std::string body, std::map<std::string, std::string> headers = {});

class FakeAuthority {
public:
    static constexpr const char* kOrigin = kAuthorityOrigin;
    static constexpr const char* kReadTemplate = "/api/v2/projects/:projectKey/resources/:resource/:id";

    // foundation: answer the catalogue as an authority of the foundation
    // generation (operation "foundation.resource.get", package view);
    // otherwise as an older one.
    explicit FakeAuthority(bool foundation = true);

    // A client of this authority on `origin`, with a fresh in-memory store
    // holding a web session unless `signedIn` is false.
    std::shared_ptr<AuthorityClient> client(const std::string& origin = kOrigin, bool signedIn = true);

    // The catalogue answer of every project, or of one.
    void setBootstrap(JsonValue bootstrap);
    void setBootstrap(const std::string& projectKey, JsonValue bootstrap);
    JsonValue bootstrap() const;

    // Publishes a version of a skill (record "global:<id>", status "active",
    // that version current) with `files` as its file tree snapshot. Returns
    // the version's content hash (SHA-256 of the files' compact JSON).
    std::string publish(const std::string& skillId, const std::string& version, const JsonValue& files);
    // Replaces a published record as a whole.
    void setSkillRecord(const std::string& recordId, const JsonValue& record);
    // A task for the "tasks" resource, as the raw body of its "data" member,
    // so that the test decides the order of its members.
    void setTask(const std::string& itemId, const std::string& rawTask);

    // Scripted answer for an exact path with query, until replaced or cleared.
    void answer(const std::string& pathAndQuery, int status, const std::string& body);
    void clearAnswers();

    // Paths with query of every request, in arrival order; the requests whole.
    std::vector<std::string> requests() const;
    std::vector<AuthorityRequest> sent() const;
    std::size_t count(const std::string& pathAndQuery) const;
    // Requests whose path begins with `prefix`.
    std::size_t countPrefix(const std::string& prefix) const;
    void clearRequests();

    // Called with each request's path and query before it is answered,
    // outside the fake's lock: tests hold requests there with latches.
    std::function<void(const std::string& pathAndQuery)> beforeAnswer;
    // When set, the answer to every request (called outside the lock).
    std::function<AuthorityHTTPResponse(const AuthorityRequest&)> respond;

    // The answer to one request; the client's header task.
    AuthorityHTTPResponse handle(const AuthorityRequest& request);

private:
    static std::string ok(const JsonValue& data);

    mutable std::mutex mutex_;
    JsonValue bootstrap_;
    std::map<std::string, JsonValue> bootstraps_;     // project key -> answer
    std::map<std::string, JsonValue> records_;       // record id -> record
    std::map<std::string, std::string> recordBodies_;  // record id -> answer body
    std::map<std::string, std::string> tasks_;       // item id -> answer body
    std::map<std::string, std::pair<int, std::string>> answers_;
    std::vector<AuthorityRequest> sent_;
};

}  // namespace palisor::test
