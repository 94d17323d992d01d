#include "tools/dev-authority/authority_state.h"

#include <algorithm>

#include "bridge/common/jwt.h"
#include "bridge/common/text.h"
#include "bridge/common/time.h"
#include "bridge/common/uuid.h"

namespace palisor::dev {

namespace {

std::string requestId() { return "req-" + randomUuidLower(); }

DevAnswer okAnswer(JsonValue body, int status = 200) {
    DevAnswer answer;
    answer.status = status;
    answer.body = std::move(body);
    answer.body["ok"] = true;
    return answer;
}

// "a/b%20c" -> {"a", "b c"}; nullopt when an escape is malformed.
std::optional<std::vector<std::string>> pathSegments(const std::string& path) {
    std::vector<std::string> segments;
    for (std::string_view piece : splitKeepingEmpty(path, "/")) {
        if (piece.empty()) continue;
        auto decoded = percentDecode(piece);
        if (!decoded) return std::nullopt;
        segments.push_back(std::move(*decoded));
    }
    return segments;
}

// First value of each query item, decoded.
std::map<std::string, std::string> queryItems(const std::string& query) {
    std::map<std::string, std::string> items;
    for (std::string_view pair : splitKeepingEmpty(query, "&")) {
        if (pair.empty()) continue;
        auto equals = pair.find('=');
        auto name = percentDecode(pair.substr(0, equals));
        auto value = percentDecode(equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1));
        if (name && value) items.emplace(std::move(*name), std::move(*value));
    }
    return items;
}

std::optional<std::string> bearerToken(const RecordedRequest& request) {
    std::string value = request.header("authorization");
    if (value.size() <= 7 || asciiLower(value.substr(0, 7)) != "bearer ") return std::nullopt;
    std::string token = trim(value.substr(7));
    if (token.empty()) return std::nullopt;
    return token;
}

// POST bodies must be JSON objects; an empty body counts as {}.
std::optional<JsonValue> objectBody(const RecordedRequest& request) {
    if (trim(request.body).empty()) return JsonValue::object();
    auto parsed = parseJson(request.body);
    if (!parsed || !parsed->is_object()) return std::nullopt;
    return parsed;
}

DevAnswer invalidBody() {
    return failureAnswer(400, "INVALID_JSON_BODY", "The request body must be a JSON object.");
}

DevAnswer authRequired() {
    return failureAnswer(401, "AUTH_REQUIRED", "A valid access token is required.");
}

std::string jsonSegment(const JsonValue& value) { return base64UrlEncode(dumpCompact(value).value_or("{}")); }

}  // namespace

DevAnswer failureAnswer(int status, const std::string& code, const std::string& message) {
    DevAnswer answer;
    answer.status = status;
    answer.body = {{"ok", false}, {"code", code}, {"message", message}, {"requestId", requestId()}};
    return answer;
}

std::string RecordedRequest::header(const std::string& lowerCaseName) const {
    auto found = headers.find(lowerCaseName);
    return found == headers.end() ? std::string() : found->second;
}

JsonValue RecordedRequest::json() const { return parseJsonObject(std::string_view(body)); }

AuthorityState::AuthorityState(const DevAuthorityOptions& options) : options_(options) {}

AuthorityState::TimePoint AuthorityState::now() {
    // Whole seconds, as the ISO times we hand out, so that client and server
    // agree to the second on when a token expires.
    return std::chrono::floor<std::chrono::seconds>(Clock::now());
}

// --- directory ---------------------------------------------------------------

void AuthorityState::ensureProject(const std::string& key, const std::string& name) {
    auto [it, added] = projects_.try_emplace(key);
    if (added) it->second.id = "prj-" + randomUuidLower();
    if (added || !name.empty()) it->second.name = name.empty() ? key : name;
}

AuthorityState::User& AuthorityState::ensureUser(const std::string& email) {
    auto [it, added] = users_.try_emplace(asciiLower(email));
    if (added) {
        it->second.id = "usr-" + randomUuidLower();
        it->second.email = email;
    }
    return it->second;
}

void AuthorityState::addProject(const std::string& projectKey, const std::string& name) {
    std::lock_guard lock(mutex_);
    ensureProject(projectKey, name);
}

std::string AuthorityState::addUser(const std::string& email, const std::string& password,
                                    const std::vector<std::string>& projectKeys) {
    std::lock_guard lock(mutex_);
    User& user = ensureUser(email);
    user.password = password;
    user.projectKeys.clear();
    for (const auto& key : projectKeys) {
        if (!projects_.count(key)) ensureProject(key, key);
        user.projectKeys.insert(key);
    }
    return user.id;
}

void AuthorityState::addMembership(const std::string& email, const std::string& projectKey) {
    std::lock_guard lock(mutex_);
    if (!projects_.count(projectKey)) ensureProject(projectKey, projectKey);
    ensureUser(email).projectKeys.insert(projectKey);
}

JsonValue AuthorityState::addTask(const std::string& projectKey, JsonValue task) {
    std::lock_guard lock(mutex_);
    if (!projects_.count(projectKey)) ensureProject(projectKey, projectKey);
    if (!task.is_object()) task = JsonValue::object();
    if (!nonEmptyString(task, "itemId")) task["itemId"] = "task-" + randomUuidLower().substr(0, 8);
    if (!stringMember(task, "status")) task["status"] = "open";
    if (!optInt64(task, "revision")) task["revision"] = 1;
    task["projectKey"] = projectKey;
    projects_[projectKey].tasks.push_back(task);
    return task;
}

JsonValue AuthorityState::userJson(const User& user) const {
    std::string name = user.email.substr(0, user.email.find('@'));
    return {{"id", user.id}, {"email", user.email}, {"displayName", name}};
}

JsonValue AuthorityState::projectJson(const std::string& key) const {
    const Project& project = projects_.at(key);
    return {{"id", project.id}, {"key", key}, {"name", project.name}};
}

JsonValue AuthorityState::membershipsJson(const User& user) const {
    JsonValue list = JsonValue::array();
    for (const auto& key : user.projectKeys) {
        if (!projects_.count(key)) continue;
        list.push_back({{"projectKey", key}, {"projectId", projects_.at(key).id},
                        {"projectName", projects_.at(key).name}, {"role", "member"}});
    }
    return list;
}

// --- tokens ------------------------------------------------------------------

void AuthorityState::setAccessTokenLifetime(std::chrono::seconds lifetime) {
    std::lock_guard lock(mutex_);
    options_.accessTokenLifetime = lifetime;
}

void AuthorityState::setRefreshTokenLifetime(std::chrono::seconds lifetime) {
    std::lock_guard lock(mutex_);
    options_.refreshTokenLifetime = lifetime;
}

void AuthorityState::setAgentTokenLifetime(std::chrono::seconds lifetime) {
    std::lock_guard lock(mutex_);
    options_.agentTokenLifetime = lifetime;
}

void AuthorityState::setRefreshRetryAfterMs(std::optional<int> retryAfterMs) {
    std::lock_guard lock(mutex_);
    options_.refreshRetryAfterMs = retryAfterMs;
}

void AuthorityState::expireAccessTokens() {
    std::lock_guard lock(mutex_);
    for (auto& [token, grant] : accessTokens_) grant.expiresAt = std::min(grant.expiresAt, now());
}

void AuthorityState::expireRefreshTokens() {
    std::lock_guard lock(mutex_);
    for (auto& [token, grant] : refreshTokens_) grant.expiresAt = std::min(grant.expiresAt, now());
}

void AuthorityState::expireAgentTokens() {
    std::lock_guard lock(mutex_);
    for (auto& [token, grant] : agentTokens_) grant.expiresAt = std::min(grant.expiresAt, now());
}

DevAnswer AuthorityState::openSession(const std::string& email, const std::string& sessionId) {
    const User& user = users_.at(asciiLower(email));
    TimePoint accessExpires = now() + options_.accessTokenLifetime;
    TimePoint refreshExpires = now() + options_.refreshTokenLifetime;
    std::string access = "dev-at-" + randomUuidLower();
    std::string refresh = "dev-rt-" + randomUuidLower();
    accessTokens_[access] = {asciiLower(email), sessionId, accessExpires};
    refreshTokens_[refresh] = {asciiLower(email), sessionId, refreshExpires, false};
    return okAnswer({{"accessToken", access},
                     {"refreshToken", refresh},
                     {"tokenType", "Bearer"},
                     {"expiresAt", isoTime(accessExpires)},
                     {"refreshExpiresAt", isoTime(refreshExpires)},
                     {"user", userJson(user)},
                     {"memberships", membershipsJson(user)}});
}

const AuthorityState::User* AuthorityState::webUser(const RecordedRequest& request, DevAnswer& failure) const {
    auto token = bearerToken(request);
    auto grant = token ? accessTokens_.find(*token) : accessTokens_.end();
    if (grant == accessTokens_.end() || grant->second.expiresAt <= now()) {
        failure = authRequired();
        return nullptr;
    }
    auto user = users_.find(grant->second.email);
    if (user == users_.end()) {
        failure = authRequired();
        return nullptr;
    }
    return &user->second;
}

const AuthorityState::User* AuthorityState::projectMember(const RecordedRequest& request,
                                                          const std::string& projectKey,
                                                          DevAnswer& failure) const {
    const User* user = webUser(request, failure);
    if (!user) return nullptr;
    if (!projects_.count(projectKey)) {
        failure = failureAnswer(404, "PROJECT_NOT_FOUND", "No project has the key " + projectKey + ".");
        return nullptr;
    }
    if (!user->projectKeys.count(projectKey)) {
        failure = failureAnswer(403, "PROJECT_ACCESS_DENIED", "The user is not a member of " + projectKey + ".");
        return nullptr;
    }
    return user;
}

bool AuthorityState::projectAgent(const RecordedRequest& request, const std::string& projectKey,
                                  DevAnswer& failure) const {
    auto token = bearerToken(request);
    auto grant = token ? agentTokens_.find(*token) : agentTokens_.end();
    if (grant == agentTokens_.end() || grant->second.expiresAt <= now()) {
        failure = failureAnswer(401, "AUTH_REQUIRED", "A valid project-agent token is required.");
        return false;
    }
    if (grant->second.projectKey != projectKey || !projects_.count(projectKey)) {
        failure = failureAnswer(403, "PROJECT_AGENT_SCOPE_MISMATCH",
                                "The project-agent token belongs to another project.");
        return false;
    }
    return true;
}

// --- routes ------------------------------------------------------------------

DevAnswer AuthorityState::handle(const RecordedRequest& request) {
    auto segments = pathSegments(request.path);
    if (!segments) return failureAnswer(400, "BAD_REQUEST", "The path holds a malformed escape.");
    const auto& s = *segments;
    const std::string& m = request.method;
    auto is = [&](std::initializer_list<std::string_view> expected) {
        return s.size() == expected.size() && std::equal(s.begin(), s.end(), expected.begin());
    };

    std::lock_guard lock(mutex_);
    if (m == "GET" && is({"api", "health"}))
        return okAnswer({{"service", "palisor-dev-authority"}, {"status", "healthy"}, {"time", isoNow()}});
    if (m == "POST" && is({"api", "auth", "login"})) return login(request);
    if (m == "POST" && is({"api", "auth", "session", "refresh"})) return refresh(request);
    if (m == "POST" && is({"api", "auth", "logout"})) return logout(request);
    if (m == "GET" && is({"api", "auth", "me"})) return me(request);
    if (m == "GET" && is({"api", "authority"})) return bootstrap(request);
    if (s.size() >= 3 && s[0] == "api" && s[1] == "projects") {
        const std::string& key = s[2];
        if (m == "POST" && s.size() == 4 && s[3] == "agent-tokens") return issueAgentToken(request, key);
        if (m == "GET" && s.size() == 3) return projectInfo(request, key);
        if (m == "GET" && s.size() == 4 && s[3] == "tasks") return listTasks(request, key);
        if (m == "GET" && s.size() == 5 && s[3] == "tasks") return getTask(request, key, s[4]);
    }
    return failureAnswer(404, "NOT_FOUND", "No route for " + m + " " + request.path + ".");
}

DevAnswer AuthorityState::login(const RecordedRequest& request) {
    auto body = objectBody(request);
    if (!body) return invalidBody();
    auto email = nonEmptyString(*body, "email");
    auto password = stringMember(*body, "password");
    if (!email || !password)
        return failureAnswer(400, "AUTH_CREDENTIALS_REQUIRED", "Email and password are required.");
    auto user = users_.find(asciiLower(*email));
    if (user == users_.end() || user->second.password != *password)
        return failureAnswer(401, "AUTH_INVALID_CREDENTIALS", "Email or password is wrong.");
    return openSession(*email, "ses-" + randomUuidLower());
}

// Rotation: a refresh token works once. Using it again is what a second
// process holding the same stored session does when it lost the race, so it
// gets 409 with a hint to re-read its store and retry, not a 401 that would
// sign it out. The access token issued beside a rotated refresh token stays
// valid until its own expiry, as a stateless access token would.
DevAnswer AuthorityState::refresh(const RecordedRequest& request) {
    auto body = objectBody(request);
    if (!body) return invalidBody();
    auto token = nonEmptyString(*body, "refreshToken");
    if (!token) return failureAnswer(400, "AUTH_REFRESH_TOKEN_REQUIRED", "A refresh token is required.");
    auto grant = refreshTokens_.find(*token);
    if (grant == refreshTokens_.end() || grant->second.expiresAt <= now() ||
        !users_.count(grant->second.email))
        return failureAnswer(401, "AUTH_REFRESH_INVALID", "The refresh token is unknown or expired.");
    if (grant->second.rotated) {
        DevAnswer answer =
            failureAnswer(409, "AUTH_REFRESH_ALREADY_ROTATED", "The refresh token was already used.");
        if (options_.refreshRetryAfterMs) answer.body["retryAfterMs"] = *options_.refreshRetryAfterMs;
        answer.body["retryable"] = true;
        return answer;
    }
    grant->second.rotated = true;
    RefreshGrant used = grant->second;
    return openSession(used.email, used.sessionId);
}

DevAnswer AuthorityState::logout(const RecordedRequest& request) {
    auto body = objectBody(request);
    if (!body) return invalidBody();
    std::set<std::string> sessions;
    if (auto refresh = nonEmptyString(*body, "refreshToken")) {
        auto grant = refreshTokens_.find(*refresh);
        if (grant != refreshTokens_.end()) sessions.insert(grant->second.sessionId);
    }
    if (auto access = bearerToken(request)) {
        auto grant = accessTokens_.find(*access);
        if (grant != accessTokens_.end()) sessions.insert(grant->second.sessionId);
    }
    std::erase_if(accessTokens_, [&](const auto& entry) { return sessions.count(entry.second.sessionId) > 0; });
    std::erase_if(refreshTokens_, [&](const auto& entry) { return sessions.count(entry.second.sessionId) > 0; });
    return okAnswer({{"revokedSessions", sessions.size()}});
}

DevAnswer AuthorityState::me(const RecordedRequest& request) {
    DevAnswer failure;
    const User* user = webUser(request, failure);
    if (!user) return failure;
    return okAnswer({{"user", userJson(*user)}, {"memberships", membershipsJson(*user)}});
}

DevAnswer AuthorityState::issueAgentToken(const RecordedRequest& request, const std::string& projectKey) {
    DevAnswer failure;
    const User* user = projectMember(request, projectKey, failure);
    if (!user) return failure;
    auto body = objectBody(request);
    if (!body) return invalidBody();
    std::string label = nonEmptyString(*body, "label").value_or("Project agent");

    TimePoint issued = now();
    TimePoint expires = issued + options_.agentTokenLifetime;
    std::string nodeId = "node-" + randomUuidLower();
    std::string tokenId = "agt-" + randomUuidLower();
    JsonValue header = {{"alg", "HS256"}, {"typ", "JWT"}};
    JsonValue claims = {{"sub", user->id},
                        {"typ", "project-agent"},
                        {"jti", tokenId},
                        {"projectKey", projectKey},
                        {"nodeId", nodeId},
                        {"iat", issued.time_since_epoch().count()},
                        {"exp", expires.time_since_epoch().count()}};
    // Nobody verifies this signature: the bridge only reads the claims, and
    // this server recognises its tokens by remembering them.
    std::string token = jsonSegment(header) + "." + jsonSegment(claims) + "." + base64UrlEncode(randomUuidLower());
    agentTokens_[token] = {asciiLower(user->email), projectKey, expires};

    JsonValue item = {{"id", tokenId},         {"label", label},
                      {"nodeId", nodeId},      {"projectKey", projectKey},
                      {"createdAt", isoTime(issued)}, {"expiresAt", isoTime(expires)}};
    return okAnswer({{"token", token}, {"item", item}}, 201);
}

DevAnswer AuthorityState::bootstrap(const RecordedRequest& request) {
    auto query = queryItems(request.query);
    DevAnswer failure;
    if (!webUser(request, failure)) return failure;
    auto key = query.find("projectKey");
    if (key == query.end() || key->second.empty())
        return failureAnswer(400, "PROJECT_KEY_REQUIRED", "The query item projectKey is required.");
    if (!projectMember(request, key->second, failure)) return failure;
    JsonValue body = {{"projectKey", key->second}, {"operationCatalog", operationCatalog()}};
    // The compact view carries the catalogue alone.
    if (auto view = query.find("view"); view == query.end() || view->second != "catalog")
        body["project"] = projectJson(key->second);
    return okAnswer(std::move(body));
}

DevAnswer AuthorityState::projectInfo(const RecordedRequest& request, const std::string& projectKey) {
    DevAnswer failure;
    if (!projectMember(request, projectKey, failure)) return failure;
    JsonValue project = projectJson(projectKey);
    project["taskCount"] = projects_.at(projectKey).tasks.size();
    return okAnswer({{"project", project}});
}

DevAnswer AuthorityState::listTasks(const RecordedRequest& request, const std::string& projectKey) {
    DevAnswer failure;
    if (!projectAgent(request, projectKey, failure)) return failure;
    auto query = queryItems(request.query);
    std::size_t limit = 50;
    if (auto given = query.find("limit"); given != query.end()) {
        auto parsed = parseDecimalInteger(given->second);
        if (!parsed || *parsed < 1 || *parsed > 500) {
            DevAnswer invalid = failureAnswer(400, "VALIDATION_FAILED", "limit must be an integer from 1 to 500.");
            invalid.body["fields"] = JsonValue::array({"limit"});
            return invalid;
        }
        limit = static_cast<std::size_t>(*parsed);
    }
    auto status = query.find("status");
    JsonValue items = JsonValue::array();
    std::size_t total = 0;
    for (const auto& task : projects_.at(projectKey).tasks) {
        if (status != query.end() && optString(task, "status") != status->second) continue;
        ++total;
        if (items.size() < limit) items.push_back(task);
    }
    return okAnswer({{"items", items}, {"total", total}});
}

DevAnswer AuthorityState::getTask(const RecordedRequest& request, const std::string& projectKey,
                                  const std::string& itemId) {
    DevAnswer failure;
    if (!projectAgent(request, projectKey, failure)) return failure;
    for (const auto& task : projects_.at(projectKey).tasks)
        if (optString(task, "itemId") == itemId) return okAnswer({{"item", task}});
    return failureAnswer(404, "TASK_NOT_FOUND", "No task " + itemId + " in " + projectKey + ".");
}

// Every operation listed here is served above. None asks for bridge events
// ("observability"): the work-event route is not served yet.
JsonValue AuthorityState::operationCatalog() {
    JsonValue operations = JsonValue::array();
    operations.push_back({{"id", "projects.get"},
                          {"summary", "Read the project's name and counters."},
                          {"method", "GET"},
                          {"pathTemplate", "/api/projects/:projectKey"},
                          {"requiredPathParams", JsonValue::array({"projectKey"})},
                          {"queryParams", JsonValue::array()},
                          {"authMode", "web-session"}});
    operations.push_back({{"id", "tasks.list"},
                          {"summary", "List the project's tasks, optionally by status."},
                          {"method", "GET"},
                          {"pathTemplate", "/api/projects/:projectKey/tasks"},
                          {"requiredPathParams", JsonValue::array({"projectKey"})},
                          {"queryParams", JsonValue::array({"status", "limit"})},
                          {"authMode", "project-agent"}});
    operations.push_back({{"id", "tasks.get"},
                          {"summary", "Read one task."},
                          {"method", "GET"},
                          {"pathTemplate", "/api/projects/:projectKey/tasks/:itemId"},
                          {"requiredPathParams", JsonValue::array({"projectKey", "itemId"})},
                          {"queryParams", JsonValue::array()},
                          {"authMode", "project-agent"}});
    return {{"version", "dev-authority.1"},
            {"operations", operations},
            {"readOptimizations", JsonValue::object()}};
}

}  // namespace palisor::dev
