#pragma once

// The development authority: an in-memory stand-in for the project authority
// server, for tests and demos only. The bridge never links it.
//
// It serves the authority's auth, agent-token, bootstrap, health,
// work-event, progress-item and skill-package routes and an operation
// catalogue on 127.0.0.1, and lets a test steer it: fail, delay or drop the
// next answers of a route or make it flap, count requests and accepted TCP
// connections, read back what a client sent (every request, headers
// included, whatever it was answered), count the body bytes it sent per
// route, and age tokens on demand.
//
// Reads that clients may revalidate (the compact catalogue) carry an ETag and
// "Cache-Control: private, no-cache"; a request whose "If-None-Match" names
// the current ETag gets a bodiless 304 with a fresh "x-request-id".
//
// Projects come in the two generations of real authorities. An older one
// (`addProject`) serves progress items and skill packages on fixed paths,
// and its bootstrap says bridgeCompatibility.validationExecutorRequired
// true (validation jobs go through a queued worker). A foundation one
// (`addFoundationProject`) announces catalogue version "foundation-v2" and
// serves tasks and published skills only through the catalogued read
// "foundation.resource.get". Published skills are shared by both. Every
// catalogue lists its operations' ids in "operationIds".
//
// GET "/api/auth/me" answers a web session with its user and memberships,
// and a project-agent token with its node: {"ok", "nodeId", "projectKey",
// "node": {"nodeId", "projectKey"}}.
//
// Tasks keep the key order they were given in, and every answer carrying a
// task is sent in that order: clients read some task members (skill outputs)
// in the order the authority wrote them.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bridge/common/json.h"

namespace palisor::dev {

// A JSON object that keeps its members in insertion order.
using OrderedJson = nlohmann::ordered_json;

// The files of one published skill version: relative path -> file text.
using SkillFiles = std::map<std::string, std::string>;

struct DevAuthorityOptions {
    std::uint16_t port = 0;  // 0 picks a free port
    std::chrono::seconds accessTokenLifetime{3600};
    std::chrono::seconds refreshTokenLifetime{30 * 24 * 3600};
    std::chrono::seconds agentTokenLifetime{3600};
    // Sent with a 409 for a refresh token that was already rotated; absent
    // means the 409 carries no "retryAfterMs".
    std::optional<int> refreshRetryAfterMs = 50;
    // Worker threads, i.e. connections served at the same time. Keep-alive
    // connections hold a worker while they stay open.
    std::size_t threads = 96;
    std::chrono::seconds keepAliveTimeout{30};
    // The catalogue announces the "authority-reads.v1" read optimisations,
    // so that clients ask for its compact view and revalidate it. Off, the
    // authority behaves like one that predates them.
    bool announceReadOptimizations = true;
    // Fault injection for soak runs: every `failEvery`-th request, counted
    // over all routes, is answered by a failure of the authority itself
    // (503 and 500 in turn, with the usual JSON failure body) instead of
    // being served. 0 serves every request.
    std::size_t failEvery = 0;
    // Every request is kept for requests(). A long-running program that
    // never reads them back turns this off so that its memory stays flat;
    // the counters are kept either way.
    bool recordRequests = true;
};

struct FoundationProjectOptions {
    // The credential "foundation.resource.get" asks for: "project-agent" or
    // "web-session".
    std::string resourceAuthMode = "project-agent";
    // The catalogue's readOptimizations say skillPackageView "package", so
    // that clients ask for one version of a skill record instead of all.
    bool announcePackageView = true;
    // Validation runs on explicit requests: the bootstrap says the
    // validation executor is not required and the catalogue offers
    // "foundation.validation.create" and "foundation.validation.report".
    // Off, the bootstrap asks for an executor, which a foundation client
    // refuses.
    bool explicitValidation = true;
};

struct PublishOptions {
    // The new version becomes the record's currentVersion.
    bool makeCurrent = true;
    // How the version entry splits its files over its file maps.
    enum class Layout {
        // every file in fileTreeSnapshot
        snapshot,
        // no fileTreeSnapshot: "*.sh" files in scripts, all others
        // (SKILL.md among them) in documentation
        split,
    };
    Layout layout = Layout::snapshot;
};

// Where an older-generation progress item is served, under
// "/api/projects/<project>/progress/":
//   item                  "<item>"
//   projectLevel          "project-level/<item>"
//   repoLevel             "repo-level/<repoKey>/<item>"
//   repoLevelWithoutRepo  "repo-level/<item>"
struct ProgressItemOptions {
    enum class Place { item, projectLevel, repoLevel, repoLevelWithoutRepo };
    Place where = Place::item;
    std::string repoKey{};  // repoLevel only
    // The member of the answer that holds the task: "data", "item", "task"
    // or "progressItem"; empty sends the task itself as the whole answer.
    std::string wrapper = "data";
    // The item id of the path; empty takes the task's "itemId", else its
    // "id". A task carrying neither needs one here.
    std::string itemId{};
};

// One request as it arrived. Path and query are raw (still percent-encoded,
// query without "?"); header names are lower-cased.
struct RecordedRequest {
    std::string method;
    std::string path;
    std::string query;
    std::string body;
    std::map<std::string, std::string> headers;

    std::string header(const std::string& lowerCaseName) const;
    JsonValue json() const;  // the body as a JSON object, {} when it is not one
};

// Sign-in material returned by login.
struct DevSession {
    std::string accessToken;
    std::string refreshToken;
    JsonValue answer;  // the whole answer body
};

class DevAuthority {
public:
    explicit DevAuthority(DevAuthorityOptions options = {});
    ~DevAuthority();  // stops
    DevAuthority(const DevAuthority&) = delete;
    DevAuthority& operator=(const DevAuthority&) = delete;

    // Binds 127.0.0.1 and serves on background threads; port() is valid
    // afterwards. Throws std::runtime_error when the port cannot be bound.
    // Started again after stop(), it listens on the port it had before, with
    // its accounts, tokens, tasks and skills kept: an authority that was
    // unreachable for a while.
    void start();
    // Closes the listening socket and every connection, waits for the workers.
    // Idempotent.
    void stop();
    std::uint16_t port() const;
    std::string origin() const;  // "http://127.0.0.1:PORT"

    // --- directory ---------------------------------------------------------
    // A project of the older generation (an existing project keeps its
    // generation; only its name changes).
    void addProject(const std::string& projectKey, const std::string& name);
    // A project of the foundation generation (a project of that key that
    // already exists is converted, its tasks and members kept). Its
    // bootstrap and catalogue read carry "mode" "foundation-v2" and the
    // catalogue of `foundationOperationCatalog(options)`; the resource read
    // GET "/api/v2/projects/:projectKey/resources/:resource/:id" serves
    // resource "tasks" (the tasks of `addTask`, by item id) and "skills"
    // (published records, by id "global:<skillId>") as {"ok", "data"}.
    // With query view=package a skill record's versions hold only the one
    // named by query version, else the current one. With explicit
    // validation, POST "/api/v2/projects/:projectKey/validations" records a
    // requested run and POST ".../validations/:validationId/report" its
    // outcome.
    void addFoundationProject(const std::string& projectKey, const std::string& name,
                              const FoundationProjectOptions& options = {});
    // Adds (or replaces the password and memberships of) a user. Unknown
    // project keys are created with the key as name. Returns the user id.
    std::string addUser(const std::string& email, const std::string& password,
                        const std::vector<std::string>& projectKeys);
    // A task record served by the task operations and, in a foundation
    // project, the resource read; "itemId", "status" and "revision" are
    // filled in when missing. Returns the stored record.
    JsonValue addTask(const std::string& projectKey, OrderedJson task);
    // A progress item as an older authority serves it to a member's web
    // session: GET on the one path `options` places it at, wrapped as
    // `options` says; the other candidate paths answer 404. The task is
    // stored and sent exactly as given, skill members and key order
    // included. Adding an item again at the same path replaces it. Throws
    // std::invalid_argument when no item id can be found.
    void addProgressItem(const std::string& projectKey, OrderedJson task, const ProgressItemOptions& options = {});

    // --- published skills --------------------------------------------------
    // Publishes a version of a skill (creating the skill as "active");
    // publishing an existing version replaces its files. Returns its
    // contentHash. Older authorities serve the package info
    // {"ok", "skillId", "version", "contentHash", "fileTreeSnapshot",
    // "downloadUrl"} to any signed-in web session at
    // GET "/api/skills/<skill>/package" (the current version) and
    // GET "/api/public/skills/<skill>/<version>/<contentHash>/package"
    // (that exact package, else 404).
    std::string publishSkill(const std::string& skillId, const std::string& version, const SkillFiles& files,
                             const PublishOptions& options = {});
    // Replaces the files of a published version in place, as an authority
    // that republished under the same version would; the contentHash
    // follows. Returns the new hash. Throws std::invalid_argument for an
    // unknown skill or version.
    std::string changePublishedPackage(const std::string& skillId, const std::string& version,
                                       const SkillFiles& files);
    // The contentHash published for these files: SHA-256, lower-case hex,
    // of the compact JSON object path -> text with its keys sorted.
    static std::string contentHash(const SkillFiles& files);

    // --- tokens ------------------------------------------------------------
    // Every access (web) token issued so far stops working now.
    void expireAccessTokens();
    void expireRefreshTokens();
    // Signs in directly, as another client of the same user would.
    DevSession login(const std::string& email, const std::string& password);

    // --- steering ----------------------------------------------------------
    // Routes are named by method and raw path without query, as sent:
    // ("POST", "/api/auth/session/refresh"). The effects of one request apply
    // in this order: delay, drop, fail.
    void failNext(const std::string& method, const std::string& path, int status,
                  const JsonValue& body, int times = 1);
    // The same with any body and content type: HTML, an empty 204, a JSON
    // array, or a 200 that is not what the route normally answers.
    void answerNextRaw(const std::string& method, const std::string& path, int status,
                       const std::string& body, const std::string& contentType, int times = 1);
    // A 200 whose body never ends: filler, chunk after chunk, until the
    // client goes away or the authority stops.
    void answerNextEndless(const std::string& method, const std::string& path, int times = 1);
    void delayNext(const std::string& method, const std::string& path,
                   std::chrono::milliseconds delay, int times = 1);
    // The request is served at once and its answer held back this long, as
    // an authority that acted on a request answers late: a refresh that has
    // already rotated the token when a logout comes in.
    void holdAnswerNext(const std::string& method, const std::string& path,
                        std::chrono::milliseconds delay, int times = 1);
    // The connection is closed in the middle of the answer: the status line,
    // the headers and part of the promised body are written, then nothing.
    void dropNext(const std::string& method, const std::string& path, int times = 1);
    // Removes every pending fail, delay, hold and drop.
    void clearHooks();

    // --- observation -------------------------------------------------------
    std::size_t requestCount(const std::string& method, const std::string& path) const;
    std::size_t totalRequests() const;
    // Body bytes of the answers sent on a route (a 304 sends none), and how
    // many of its answers had a given status.
    std::size_t bodyBytesSent(const std::string& method, const std::string& path) const;
    std::size_t answersWithStatus(const std::string& method, const std::string& path, int status) const;
    std::size_t acceptedConnections() const;
    std::vector<RecordedRequest> requests() const;
    std::vector<RecordedRequest> requests(const std::string& method, const std::string& path) const;
    // Forgets recorded requests and every counter.
    void resetRecords();
    // The work event bodies accepted for a project, in arrival order; a
    // repeated idempotency key is recorded once.
    std::vector<JsonValue> workEvents(const std::string& projectKey) const;
    void clearWorkEvents();

    // The catalogue of an older-generation project, as served with the
    // default options. Its "operationIds" lists the ids of its operations.
    static JsonValue operationCatalog();
    // The catalogue of a foundation project, as served with the default
    // authority options.
    static JsonValue foundationOperationCatalog(const FoundationProjectOptions& options = {});

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace palisor::dev
