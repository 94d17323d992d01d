#pragma once

// What the development authority knows and how it answers a request, without
// any HTTP: users, projects, tokens and the routes over them. The HTTP side
// (dev_authority.cpp) hands every request that no test hook consumed to
// `AuthorityState::handle`.

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "bridge/common/json.h"
#include "tools/dev-authority/dev_authority.h"

namespace palisor::dev {

struct DevAnswer {
    int status = 200;
    JsonValue body = JsonValue::object();
    // The body as sent, when its key order matters (answers carrying a
    // task); `body` then holds the same document.
    std::optional<std::string> text;
    std::map<std::string, std::string> headers;
    // The HTTP side gives the answer an ETag over its body and
    // "private, no-cache", answers a matching "If-None-Match" with 304, and
    // stamps the body's "meta" with the exchange's request id and timings.
    bool revalidatable = false;
};

// A failure answer: {"ok": false, "code", "message", "requestId"}, top level.
DevAnswer failureAnswer(int status, const std::string& code, const std::string& message);

// See `DevAuthority::contentHash`.
std::string publishedContentHash(const SkillFiles& files);

class AuthorityState {
public:
    explicit AuthorityState(const DevAuthorityOptions& options);

    DevAnswer handle(const RecordedRequest& request);

    void addProject(const std::string& projectKey, const std::string& name);
    void addFoundationProject(const std::string& projectKey, const std::string& name,
                              const FoundationProjectOptions& options);
    std::string addUser(const std::string& email, const std::string& password,
                        const std::vector<std::string>& projectKeys);
    JsonValue addTask(const std::string& projectKey, OrderedJson task);
    void addProgressItem(const std::string& projectKey, OrderedJson task, const ProgressItemOptions& options);

    std::string publishSkill(const std::string& skillId, const std::string& version, const SkillFiles& files,
                             const PublishOptions& options);
    std::string changePublishedPackage(const std::string& skillId, const std::string& version,
                                       const SkillFiles& files);

    void expireAccessTokens();
    void expireRefreshTokens();

    // The work events received per project, in arrival order, each once.
    std::vector<JsonValue> workEvents(const std::string& projectKey) const;
    void clearWorkEvents();

    // The catalogue of an older project (no foundation options) or of a
    // foundation project.
    static JsonValue operationCatalog(bool announceReadOptimizations = true,
                                      const std::optional<FoundationProjectOptions>& foundation = std::nullopt);

    // One catalogue operation: its descriptor and the handler serving it.
    // Defined in the source file, beside the table.
    struct Operation;

private:
    using Clock = std::chrono::system_clock;
    using TimePoint = std::chrono::time_point<Clock, std::chrono::seconds>;

    struct User {
        std::string id;
        std::string email;
        std::string password;
        std::set<std::string> projectKeys;
    };
    struct WorkEvent {
        std::string eventId;
        std::string receivedAt;
        JsonValue event;
    };
    // Where a progress item is served: place, repository key (repoLevel
    // only) and item id.
    using ProgressPath = std::tuple<ProgressItemOptions::Place, std::string, std::string>;
    struct ProgressItem {
        std::string wrapper;
        OrderedJson task;
    };
    struct Project {
        std::string id;
        std::string name;
        // set: a foundation project
        std::optional<FoundationProjectOptions> foundation;
        std::vector<OrderedJson> tasks;
        std::map<ProgressPath, ProgressItem> progressItems;
        std::vector<WorkEvent> workEvents;
        std::map<std::string, std::string> eventIdByIdempotencyKey;
        std::vector<JsonValue> validations;
    };
    struct PublishedVersion {
        std::string version;
        SkillFiles files;
        PublishOptions::Layout layout;
        std::string contentHash;
    };
    struct PublishedSkill {
        std::vector<PublishedVersion> versions;  // in publishing order
        std::optional<std::string> currentVersion;
    };
    // A request matched to a catalogue operation, with its path parameters
    // decoded and named as the template names them.
    struct OperationCall {
        const RecordedRequest& request;
        const Operation& operation;
        std::string projectKey;
        std::map<std::string, std::string> pathParams;
        std::map<std::string, std::string> query;
    };
    // Tokens of one sign-in share a session id, so that logout ends the
    // whole chain of rotations at once.
    struct AccessGrant {
        std::string email;
        std::string sessionId;
        TimePoint expiresAt;
    };
    struct RefreshGrant {
        std::string email;
        std::string sessionId;
        TimePoint expiresAt;
        bool rotated = false;
    };
    struct AgentGrant {
        std::string email;
        std::string projectKey;
        std::string nodeId;
        TimePoint expiresAt;
    };

    // Route handlers; all run with mutex_ held.
    DevAnswer login(const RecordedRequest& request);
    DevAnswer refresh(const RecordedRequest& request);
    DevAnswer logout(const RecordedRequest& request);
    DevAnswer me(const RecordedRequest& request);
    DevAnswer issueAgentToken(const RecordedRequest& request, const std::string& projectKey);
    DevAnswer bootstrap(const RecordedRequest& request);
    DevAnswer receiveWorkEvent(const RecordedRequest& request, const std::string& projectKey);
    // GET ".../progress/..." below a project, the path split into segments.
    DevAnswer progressItem(const RecordedRequest& request, const std::vector<std::string>& segments);
    // The package info of a version, or a 404 when there is none.
    DevAnswer skillPackage(const RecordedRequest& request, const std::string& skillId,
                           const std::optional<std::string>& version, const std::optional<std::string>& hash);
    // A catalogue operation, when one matches method and path; its
    // credential is checked here, by the operation's authMode.
    std::optional<DevAnswer> serveOperation(const RecordedRequest& request, const std::vector<std::string>& segments);

    // Catalogue handlers, called with the credential already checked.
    DevAnswer projectInfo(const OperationCall& call);
    DevAnswer listTasks(const OperationCall& call);
    DevAnswer getTask(const OperationCall& call);
    DevAnswer getNote(const OperationCall& call);
    DevAnswer echo(const OperationCall& call);
    DevAnswer claimTask(const OperationCall& call);
    DevAnswer listWorkEvents(const OperationCall& call);
    DevAnswer readResource(const OperationCall& call);
    DevAnswer createValidation(const OperationCall& call);
    DevAnswer reportValidation(const OperationCall& call);

    // The bootstrap's catalogue of a project.
    JsonValue catalogFor(const Project& project) const;
    // A published skill's record as the resource read serves it. The
    // package view keeps only the version asked for (else the current one)
    // among its versions, or none when there is no such version.
    JsonValue skillRecord(const std::string& skillId, const PublishedSkill& skill, bool packageView,
                          const std::optional<std::string>& version) const;

    // The signed-in user of a web access token, or the failure to answer.
    const User* webUser(const RecordedRequest& request, DevAnswer& failure) const;
    // A web user who is a member of an existing project.
    const User* projectMember(const RecordedRequest& request, const std::string& projectKey,
                              DevAnswer& failure) const;
    bool projectAgent(const RecordedRequest& request, const std::string& projectKey, DevAnswer& failure) const;
    DevAnswer openSession(const std::string& email, const std::string& sessionId);
    JsonValue userJson(const User& user) const;
    JsonValue membershipsJson(const User& user) const;
    JsonValue projectJson(const std::string& key) const;
    User& ensureUser(const std::string& email);
    void ensureProject(const std::string& key, const std::string& name);

    static TimePoint now();
    static const std::vector<Operation>& operationTable();

    mutable std::mutex mutex_;
    DevAuthorityOptions options_;
    std::map<std::string, User> users_;  // by lower-cased email
    std::map<std::string, Project> projects_;
    std::unordered_map<std::string, AccessGrant> accessTokens_;
    std::unordered_map<std::string, RefreshGrant> refreshTokens_;
    std::unordered_map<std::string, AgentGrant> agentTokens_;
    std::map<std::string, PublishedSkill> skills_;
};

}  // namespace palisor::dev
