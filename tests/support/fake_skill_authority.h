#pragma once

// An authority inside the test process for the skill sync: an AuthorityClient
// built by client() sends every request to this object through its header
// task, with a signed-in web session already in its token store.
//
// It serves the catalogue read, project-agent tokens, and either the
// foundation generation's catalogued resource reads ("tasks" and "skills") or
// nothing of its own for an older authority, whose progress and package
// paths a test scripts with answer(). Scripted answers win over everything.

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bridge/authority/authority_client.h"
#include "bridge/common/json.h"

namespace palisor::test {

class FakeSkillAuthority {
public:
    static constexpr const char* kOrigin = "https://authority.test";
    static constexpr const char* kReadTemplate = "/api/v2/projects/:projectKey/resources/:resource/:id";

    // foundation: answer the catalogue as an authority of the foundation
    // generation (operation "foundation.resource.get", package view);
    // otherwise as an older one.
    explicit FakeSkillAuthority(bool foundation = true);

    // A client of this authority with a fresh in-memory session.
    std::shared_ptr<AuthorityClient> client();

    // The whole catalogue answer ("mode", "operationCatalog").
    void setBootstrap(JsonValue bootstrap);
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

    // Paths with query of every request, in arrival order.
    std::vector<std::string> requests() const;
    std::size_t count(const std::string& pathAndQuery) const;
    // Requests whose path begins with `prefix`.
    std::size_t countPrefix(const std::string& prefix) const;
    void clearRequests();

    // Called with each request's path and query before it is answered,
    // outside the fake's lock: tests hold requests there with latches.
    std::function<void(const std::string& pathAndQuery)> beforeAnswer;

    // The answer to one request; the client's header task.
    AuthorityHTTPResponse handle(const AuthorityRequest& request);

private:
    static std::string ok(const JsonValue& data);

    mutable std::mutex mutex_;
    JsonValue bootstrap_;
    std::map<std::string, JsonValue> records_;       // record id -> record
    std::map<std::string, std::string> recordBodies_;  // record id -> answer body
    std::map<std::string, std::string> tasks_;       // item id -> answer body
    std::map<std::string, std::pair<int, std::string>> answers_;
    std::vector<std::string> requests_;
};

}  // namespace palisor::test
