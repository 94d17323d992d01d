#include "tools/dev-authority/authority_state.h"

#include <algorithm>
#include <stdexcept>

#include "bridge/common/jwt.h"
#include "bridge/common/sha256.h"
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

// Text that is not UTF-8 is sent replaced rather than failing the answer:
// the task came from a test, which sees the replacement in what it reads.
std::string dumpOrdered(const OrderedJson& value) {
    return value.dump(-1, ' ', false, OrderedJson::error_handler_t::replace);
}

std::optional<std::string> orderedString(const OrderedJson& object, const std::string& key) {
    if (!object.is_object()) return std::nullopt;
    auto found = object.find(key);
    if (found == object.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

std::optional<std::int64_t> orderedInt64(const OrderedJson& object, const std::string& key) {
    if (!object.is_object()) return std::nullopt;
    auto found = object.find(key);
    if (found == object.end() || !found->is_number_integer()) return std::nullopt;
    if (found->is_number_unsigned() && found->get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX))
        return std::nullopt;
    return found->get<std::int64_t>();
}

// A success whose members keep their order: "ok" first, then the body's.
DevAnswer orderedAnswer(const OrderedJson& body, int status = 200) {
    OrderedJson sent = {{"ok", true}};
    for (const auto& [key, value] : body.items()) sent[key] = value;
    DevAnswer answer;
    answer.status = status;
    answer.text = dumpOrdered(sent);
    answer.body = JsonValue(sent);
    return answer;
}

}  // namespace

std::string publishedContentHash(const SkillFiles& files) {
    JsonValue map = JsonValue::object();
    for (const auto& [path, text] : files) map[path] = text;
    return sha256Hex(map.dump(-1, ' ', false, JsonValue::error_handler_t::replace));
}

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

void AuthorityState::addFoundationProject(const std::string& projectKey, const std::string& name,
                                          const FoundationProjectOptions& options) {
    // Any other mode would be served with some credential the catalogue does
    // not name; a typo in a test should fail there, not look like a bridge bug.
    if (options.resourceAuthMode != "project-agent" && options.resourceAuthMode != "web-session")
        throw std::invalid_argument("resourceAuthMode must be \"project-agent\" or \"web-session\"");
    std::lock_guard lock(mutex_);
    ensureProject(projectKey, name);
    projects_[projectKey].foundation = options;
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

JsonValue AuthorityState::addTask(const std::string& projectKey, OrderedJson task) {
    std::lock_guard lock(mutex_);
    if (!projects_.count(projectKey)) ensureProject(projectKey, projectKey);
    if (!task.is_object()) task = OrderedJson::object();
    auto itemId = orderedString(task, "itemId");
    if (!itemId || itemId->empty()) task["itemId"] = "task-" + randomUuidLower().substr(0, 8);
    if (!orderedString(task, "status")) task["status"] = "open";
    if (!orderedInt64(task, "revision")) task["revision"] = 1;
    task["projectKey"] = projectKey;
    projects_[projectKey].tasks.push_back(task);
    return JsonValue(task);
}

void AuthorityState::addProgressItem(const std::string& projectKey, OrderedJson task,
                                     const ProgressItemOptions& options) {
    std::string itemId = options.itemId;
    if (itemId.empty()) itemId = orderedString(task, "itemId").value_or("");
    if (itemId.empty()) itemId = orderedString(task, "id").value_or("");
    if (itemId.empty()) throw std::invalid_argument("a progress item needs an item id");
    if (options.where == ProgressItemOptions::Place::repoLevel && options.repoKey.empty())
        throw std::invalid_argument("a repository-level progress item needs a repoKey");
    std::string repoKey = options.where == ProgressItemOptions::Place::repoLevel ? options.repoKey : "";
    std::lock_guard lock(mutex_);
    if (!projects_.count(projectKey)) ensureProject(projectKey, projectKey);
    projects_[projectKey].progressItems[{options.where, repoKey, itemId}] = {options.wrapper, std::move(task)};
}

// --- published skills -----------------------------------------------------------

std::string AuthorityState::publishSkill(const std::string& skillId, const std::string& version,
                                         const SkillFiles& files, const PublishOptions& options) {
    std::lock_guard lock(mutex_);
    PublishedSkill& skill = skills_[skillId];
    PublishedVersion published{version, files, options.layout, publishedContentHash(files)};
    auto same = std::find_if(skill.versions.begin(), skill.versions.end(),
                             [&](const PublishedVersion& entry) { return entry.version == version; });
    if (same == skill.versions.end())
        skill.versions.push_back(published);
    else
        *same = published;
    if (options.makeCurrent) skill.currentVersion = version;
    return published.contentHash;
}

std::string AuthorityState::changePublishedPackage(const std::string& skillId, const std::string& version,
                                                   const SkillFiles& files) {
    std::lock_guard lock(mutex_);
    auto skill = skills_.find(skillId);
    if (skill == skills_.end()) throw std::invalid_argument("no published skill " + skillId);
    for (PublishedVersion& entry : skill->second.versions) {
        if (entry.version != version) continue;
        entry.files = files;
        entry.contentHash = publishedContentHash(files);
        return entry.contentHash;
    }
    throw std::invalid_argument("skill " + skillId + " has no version " + version);
}

namespace {

JsonValue fileMap(const SkillFiles& files, bool (*keep)(const std::string&)) {
    JsonValue map = JsonValue::object();
    for (const auto& [path, text] : files)
        if (keep(path)) map[path] = text;
    return map;
}

bool isScript(const std::string& path) { return path.size() >= 3 && path.compare(path.size() - 3, 3, ".sh") == 0; }

}  // namespace

JsonValue AuthorityState::skillRecord(const std::string& skillId, const PublishedSkill& skill, bool packageView,
                                      const std::optional<std::string>& version) const {
    std::optional<std::string> wanted = version ? version : skill.currentVersion;
    JsonValue versions = JsonValue::array();
    for (const PublishedVersion& entry : skill.versions) {
        if (packageView && entry.version != wanted) continue;
        JsonValue json = {{"version", entry.version}, {"status", "published"}, {"contentHash", entry.contentHash}};
        if (entry.layout == PublishOptions::Layout::snapshot) {
            json["fileTreeSnapshot"] = fileMap(entry.files, [](const std::string&) { return true; });
        } else {
            json["documentation"] = fileMap(entry.files, [](const std::string& path) { return !isScript(path); });
            json["scripts"] = fileMap(entry.files, isScript);
        }
        versions.push_back(std::move(json));
    }
    JsonValue record = {{"id", "global:" + skillId}, {"skillId", skillId}, {"status", "active"}, {"versions", versions}};
    if (skill.currentVersion) record["currentVersion"] = *skill.currentVersion;
    return record;
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

void AuthorityState::expireAccessTokens() {
    std::lock_guard lock(mutex_);
    for (auto& [token, grant] : accessTokens_) grant.expiresAt = std::min(grant.expiresAt, now());
}

void AuthorityState::expireRefreshTokens() {
    std::lock_guard lock(mutex_);
    for (auto& [token, grant] : refreshTokens_) grant.expiresAt = std::min(grant.expiresAt, now());
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
        if (m == "POST" && s.size() == 4 && s[3] == "ai-work-events") return receiveWorkEvent(request, key);
        if (m == "GET" && s.size() >= 5 && s[3] == "progress") return progressItem(request, s);
    }
    if (m == "GET" && s.size() == 4 && s[0] == "api" && s[1] == "skills" && s[3] == "package")
        return skillPackage(request, s[2], std::nullopt, std::nullopt);
    if (m == "GET" && s.size() == 7 && s[0] == "api" && s[1] == "public" && s[2] == "skills" && s[6] == "package")
        return skillPackage(request, s[3], s[4], s[5]);
    if (auto served = serveOperation(request, s)) return std::move(*served);
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

// An agent token describes its node, so that a client can tell whether the
// token it holds is still good without spending a web session on it.
DevAnswer AuthorityState::me(const RecordedRequest& request) {
    auto token = bearerToken(request);
    if (auto agent = token ? agentTokens_.find(*token) : agentTokens_.end(); agent != agentTokens_.end()) {
        if (agent->second.expiresAt <= now()) return authRequired();
        const AgentGrant& grant = agent->second;
        return okAnswer({{"tokenType", "project-agent"},
                         {"nodeId", grant.nodeId},
                         {"projectKey", grant.projectKey},
                         {"node", {{"nodeId", grant.nodeId}, {"projectKey", grant.projectKey}}}});
    }
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
    agentTokens_[token] = {asciiLower(user->email), projectKey, nodeId, expires};

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
    const Project& project = projects_.at(key->second);
    bool explicitValidation = project.foundation && project.foundation->explicitValidation;
    JsonValue body = {{"projectKey", key->second},
                      {"operationCatalog", catalogFor(project)},
                      {"bridgeCompatibility", {{"validationExecutorRequired", !explicitValidation}}}};
    if (project.foundation) body["mode"] = "foundation-v2";
    // The compact view carries the catalogue alone, and is what clients
    // revalidate.
    if (auto view = query.find("view"); view != query.end() && view->second == "catalog") {
        DevAnswer answer = okAnswer(std::move(body));
        answer.body["meta"] = JsonValue::object();
        answer.revalidatable = true;
        return answer;
    }
    body["project"] = projectJson(key->second);
    return okAnswer(std::move(body));
}

// --- progress items and skill packages of the older generation -----------------

DevAnswer AuthorityState::progressItem(const RecordedRequest& request, const std::vector<std::string>& segments) {
    const std::string& projectKey = segments[2];
    DevAnswer failure;
    if (!projectMember(request, projectKey, failure)) return failure;
    using Place = ProgressItemOptions::Place;
    std::optional<ProgressPath> path;
    const auto& s = segments;
    if (s.size() == 5)
        path = ProgressPath{Place::item, "", s[4]};
    else if (s.size() == 6 && s[4] == "project-level")
        path = ProgressPath{Place::projectLevel, "", s[5]};
    else if (s.size() == 6 && s[4] == "repo-level")
        path = ProgressPath{Place::repoLevelWithoutRepo, "", s[5]};
    else if (s.size() == 7 && s[4] == "repo-level")
        path = ProgressPath{Place::repoLevel, s[5], s[6]};
    const auto& items = projects_.at(projectKey).progressItems;
    auto found = path ? items.find(*path) : items.end();
    if (found == items.end())
        return failureAnswer(404, "PROGRESS_ITEM_NOT_FOUND", "No progress item at " + request.path + ".");
    const ProgressItem& item = found->second;
    if (!item.wrapper.empty()) return orderedAnswer({{item.wrapper, item.task}});
    DevAnswer answer;
    answer.text = dumpOrdered(item.task);
    answer.body = JsonValue(item.task);
    return answer;
}

DevAnswer AuthorityState::skillPackage(const RecordedRequest& request, const std::string& skillId,
                                       const std::optional<std::string>& version,
                                       const std::optional<std::string>& hash) {
    DevAnswer failure;
    if (!webUser(request, failure)) return failure;
    const PublishedVersion* entry = nullptr;
    if (auto skill = skills_.find(skillId); skill != skills_.end()) {
        std::optional<std::string> wanted = version ? version : skill->second.currentVersion;
        for (const PublishedVersion& candidate : skill->second.versions)
            if (wanted && candidate.version == *wanted && (!hash || candidate.contentHash == *hash)) entry = &candidate;
    }
    if (!entry)
        return failureAnswer(404, "SKILL_PACKAGE_NOT_FOUND", "No published package matches " + request.path + ".");
    JsonValue snapshot = JsonValue::object();
    for (const auto& [path, text] : entry->files) snapshot[path] = text;
    std::string exact = "/api/public/skills/" + urlEncode(skillId) + "/" + urlEncode(entry->version) + "/" +
                        entry->contentHash + "/package";
    return okAnswer({{"skillId", skillId},
                     {"version", entry->version},
                     {"contentHash", entry->contentHash},
                     {"fileTreeSnapshot", snapshot},
                     {"downloadUrl", exact}});
}

// --- work events ---------------------------------------------------------------

// Events are kept as received. A repeated idempotency key is acknowledged
// again without a second record, as a client retrying after a lost answer
// needs.
DevAnswer AuthorityState::receiveWorkEvent(const RecordedRequest& request, const std::string& projectKey) {
    DevAnswer failure;
    if (!projectAgent(request, projectKey, failure)) return failure;
    auto event = parseJson(request.body);
    if (!event || !event->is_object()) return invalidBody();
    Project& project = projects_.at(projectKey);
    auto key = nonEmptyString(*event, "idempotencyKey");
    if (key) {
        if (auto seen = project.eventIdByIdempotencyKey.find(*key); seen != project.eventIdByIdempotencyKey.end())
            return okAnswer({{"eventId", seen->second}, {"duplicate", true}});
    }
    std::string eventId = "evt-" + randomUuidLower();
    if (key) project.eventIdByIdempotencyKey[*key] = eventId;
    project.workEvents.push_back({eventId, isoNow(), std::move(*event)});
    return okAnswer({{"eventId", eventId}, {"duplicate", false}}, 201);
}

std::vector<JsonValue> AuthorityState::workEvents(const std::string& projectKey) const {
    std::lock_guard lock(mutex_);
    std::vector<JsonValue> events;
    if (auto project = projects_.find(projectKey); project != projects_.end())
        for (const auto& received : project->second.workEvents) events.push_back(received.event);
    return events;
}

void AuthorityState::clearWorkEvents() {
    std::lock_guard lock(mutex_);
    for (auto& [key, project] : projects_) {
        project.workEvents.clear();
        project.eventIdByIdempotencyKey.clear();
    }
}

// --- the operation catalogue ------------------------------------------------------

struct AuthorityState::Operation {
    enum class Offered {
        everywhere,
        foundationOnly,
        // foundation projects that take validation on explicit requests
        explicitValidationOnly,
    };

    std::string id;
    std::string summary;
    std::string method;
    std::string pathTemplate;
    std::vector<std::string> requiredPathParams;
    std::vector<std::string> queryParams;
    std::string authMode;
    std::optional<std::string> phase;  // set: the bridge records its events
    DevAnswer (AuthorityState::*handler)(const OperationCall&);
    Offered offered = Offered::everywhere;

    bool offeredTo(const std::optional<FoundationProjectOptions>& foundation) const {
        switch (offered) {
        case Offered::everywhere: return true;
        case Offered::foundationOnly: return foundation.has_value();
        case Offered::explicitValidationOnly: return foundation && foundation->explicitValidation;
        }
        return false;
    }
    // The resource read asks for the credential its project chose.
    std::string authModeFor(const std::optional<FoundationProjectOptions>& foundation) const {
        return id == "foundation.resource.get" && foundation ? foundation->resourceAuthMode : authMode;
    }
};

// The catalogue and the routes serving it are one table, so that every
// listed operation is served on its method and template, with the credential
// its authMode names. The two echo templates give overlapping placeholder
// names (":item" is a prefix of ":itemId") on purpose.
const std::vector<AuthorityState::Operation>& AuthorityState::operationTable() {
    using S = std::vector<std::string>;
    static const std::vector<Operation> table = {
        {"projects.get", "Read the project's name and counters.", "GET", "/api/projects/:projectKey",
         S{"projectKey"}, S{}, "web-session", std::nullopt, &AuthorityState::projectInfo},
        {"tasks.list", "List the project's tasks, optionally by status.", "GET", "/api/projects/:projectKey/tasks",
         S{"projectKey"}, S{"status", "limit"}, "project-agent", std::nullopt, &AuthorityState::listTasks},
        {"tasks.get", "Read one task.", "GET", "/api/projects/:projectKey/tasks/:itemId", S{"projectKey", "itemId"},
         S{}, "project-agent", "planning", &AuthorityState::getTask},
        {"tasks.notes.get", "Read one note of a task.", "GET", "/api/projects/:projectKey/tasks/:itemId/notes/:noteId",
         S{"projectKey", "itemId", "noteId"}, S{}, "web-session", "review", &AuthorityState::getNote},
        {"progress.native.claim", "Claim a task: the given open one, else the first open one.", "POST",
         "/api/projects/:projectKey/progress/native/claim", S{"projectKey"}, S{}, "project-agent", "execution",
         &AuthorityState::claimTask},
        {"ai.work_events.list", "List the work events received for the project.", "GET",
         "/api/projects/:projectKey/ai-work-events", S{"projectKey"}, S{"limit"}, "project-agent", "observability",
         &AuthorityState::listWorkEvents},
        {"dev.echo.get", "Answer what was received: path parameters, query and body.", "GET",
         "/api/projects/:projectKey/echo/:item/:itemId", S{"projectKey", "item"}, S{"status", "limit", "projectKey"},
         "web-session", std::nullopt, &AuthorityState::echo},
        {"dev.echo.post", "Answer what was received: path parameters, query and body.", "POST",
         "/api/projects/:projectKey/echo/:item/:itemId", S{"projectKey", "item"}, S{"mode"}, "web-session",
         std::nullopt, &AuthorityState::echo},
        {"foundation.resource.get", "Read one resource: a task by item id, a published skill by global id.", "GET",
         "/api/v2/projects/:projectKey/resources/:resource/:id", S{"projectKey", "resource", "id"},
         S{"view", "version"}, "project-agent", std::nullopt, &AuthorityState::readResource,
         Operation::Offered::foundationOnly},
        {"foundation.validation.create", "Ask for a validation run.", "POST",
         "/api/v2/projects/:projectKey/validations", S{"projectKey"}, S{}, "project-agent", std::nullopt,
         &AuthorityState::createValidation, Operation::Offered::explicitValidationOnly},
        {"foundation.validation.report", "Report the outcome of a validation run.", "POST",
         "/api/v2/projects/:projectKey/validations/:validationId/report", S{"projectKey", "validationId"}, S{},
         "project-agent", std::nullopt, &AuthorityState::reportValidation,
         Operation::Offered::explicitValidationOnly},
    };
    return table;
}

JsonValue AuthorityState::operationCatalog(bool announceReadOptimizations,
                                           const std::optional<FoundationProjectOptions>& foundation) {
    JsonValue operations = JsonValue::array();
    JsonValue ids = JsonValue::array();
    for (const Operation& operation : operationTable()) {
        if (!operation.offeredTo(foundation)) continue;
        JsonValue descriptor = {{"id", operation.id},
                                {"summary", operation.summary},
                                {"method", operation.method},
                                {"pathTemplate", operation.pathTemplate},
                                {"requiredPathParams", operation.requiredPathParams},
                                {"queryParams", operation.queryParams},
                                {"authMode", operation.authModeFor(foundation)}};
        if (operation.phase)
            descriptor["observability"] = {{"capturePolicy", "bridge-authority"}, {"phase", *operation.phase}};
        operations.push_back(std::move(descriptor));
        ids.push_back(operation.id);
    }
    JsonValue readOptimizations = JsonValue::object();
    if (announceReadOptimizations) readOptimizations["schemaVersion"] = "authority-reads.v1";
    if (foundation && foundation->announcePackageView) readOptimizations["skillPackageView"] = "package";
    return {{"version", foundation ? "foundation-v2" : "dev-authority.2"},
            {"operations", operations},
            {"operationIds", ids},
            {"readOptimizations", readOptimizations}};
}

JsonValue AuthorityState::catalogFor(const Project& project) const {
    return operationCatalog(options_.announceReadOptimizations, project.foundation);
}

std::optional<DevAnswer> AuthorityState::serveOperation(const RecordedRequest& request,
                                                        const std::vector<std::string>& segments) {
    for (const Operation& operation : operationTable()) {
        if (operation.method != request.method) continue;
        auto pattern = splitKeepingEmpty(operation.pathTemplate, "/");
        std::erase_if(pattern, [](std::string_view piece) { return piece.empty(); });
        if (pattern.size() != segments.size()) continue;
        std::map<std::string, std::string> params;
        bool matches = true;
        for (std::size_t i = 0; i < pattern.size() && matches; ++i) {
            if (pattern[i].front() == ':')
                params[std::string(pattern[i].substr(1))] = segments[i];
            else
                matches = pattern[i] == segments[i];
        }
        if (!matches) continue;

        OperationCall call{request, operation, params["projectKey"], std::move(params), queryItems(request.query)};
        auto project = projects_.find(call.projectKey);
        std::optional<FoundationProjectOptions> foundation;
        if (project != projects_.end()) foundation = project->second.foundation;
        if (!operation.offeredTo(foundation)) continue;
        DevAnswer failure;
        bool allowed = operation.authModeFor(foundation) == "project-agent"
                           ? projectAgent(request, call.projectKey, failure)
                           : projectMember(request, call.projectKey, failure) != nullptr;
        if (!allowed) return failure;
        return (this->*operation.handler)(call);
    }
    return std::nullopt;
}

DevAnswer AuthorityState::projectInfo(const OperationCall& call) {
    JsonValue project = projectJson(call.projectKey);
    project["taskCount"] = projects_.at(call.projectKey).tasks.size();
    return okAnswer({{"project", project}});
}

namespace {

// Reads the "limit" query item (1 to 500) into `limit` when present; the
// failure to answer when it is malformed.
std::optional<DevAnswer> readLimit(const std::map<std::string, std::string>& query,
                                   std::optional<std::size_t>& limit) {
    auto given = query.find("limit");
    if (given == query.end()) return std::nullopt;
    auto parsed = parseDecimalInteger(given->second);
    if (!parsed || *parsed < 1 || *parsed > 500) {
        DevAnswer invalid = failureAnswer(400, "VALIDATION_FAILED", "limit must be an integer from 1 to 500.");
        invalid.body["fields"] = JsonValue::array({"limit"});
        return invalid;
    }
    limit = static_cast<std::size_t>(*parsed);
    return std::nullopt;
}

}  // namespace

DevAnswer AuthorityState::listTasks(const OperationCall& call) {
    std::optional<std::size_t> given;
    if (auto invalid = readLimit(call.query, given)) return std::move(*invalid);
    std::size_t limit = given.value_or(50);
    auto status = call.query.find("status");
    OrderedJson items = OrderedJson::array();
    std::size_t total = 0;
    for (const auto& task : projects_.at(call.projectKey).tasks) {
        if (status != call.query.end() && orderedString(task, "status") != status->second) continue;
        ++total;
        if (items.size() < limit) items.push_back(task);
    }
    return orderedAnswer({{"items", items}, {"total", total}});
}

DevAnswer AuthorityState::getTask(const OperationCall& call) {
    const std::string& itemId = call.pathParams.at("itemId");
    for (const auto& task : projects_.at(call.projectKey).tasks)
        if (orderedString(task, "itemId") == itemId) return orderedAnswer({{"item", task}});
    return failureAnswer(404, "TASK_NOT_FOUND", "No task " + itemId + " in " + call.projectKey + ".");
}

// Notes are not kept: every note exists and says where it was asked for.
DevAnswer AuthorityState::getNote(const OperationCall& call) {
    const std::string& itemId = call.pathParams.at("itemId");
    const std::string& noteId = call.pathParams.at("noteId");
    return okAnswer({{"note",
                      {{"noteId", noteId},
                       {"itemId", itemId},
                       {"projectKey", call.projectKey},
                       {"text", "Note " + noteId + " on " + itemId + "."}}},
                     {"pathParams", call.pathParams}});
}

DevAnswer AuthorityState::echo(const OperationCall& call) {
    JsonValue body = nullptr;
    if (!trim(call.request.body).empty()) {
        auto parsed = parseJson(call.request.body);
        if (!parsed) return invalidBody();
        body = std::move(*parsed);
    }
    return okAnswer({{"operationId", call.operation.id},
                     {"method", call.request.method},
                     {"path", call.request.path},
                     {"pathParams", call.pathParams},
                     {"query", call.query},
                     {"rawQuery", call.request.query},
                     {"body", std::move(body)}});
}

// Body: optional "itemId" (text) and "expectedRevision" (integer). A claim
// moves the task to "in_progress" and raises its revision.
DevAnswer AuthorityState::claimTask(const OperationCall& call) {
    auto body = objectBody(call.request);
    if (!body) return invalidBody();
    auto wanted = nonEmptyString(*body, "itemId");
    auto& tasks = projects_.at(call.projectKey).tasks;
    auto task = std::find_if(tasks.begin(), tasks.end(), [&](const OrderedJson& candidate) {
        return wanted ? orderedString(candidate, "itemId") == wanted : orderedString(candidate, "status") == "open";
    });
    if (task == tasks.end())
        return wanted ? failureAnswer(404, "TASK_NOT_FOUND", "No task " + *wanted + " in " + call.projectKey + ".")
                      : failureAnswer(404, "NO_CLAIMABLE_TASK", "No open task in " + call.projectKey + ".");
    std::int64_t revision = orderedInt64(*task, "revision").value_or(1);
    if (auto expected = optInt64(*body, "expectedRevision"); expected && *expected != revision) {
        DevAnswer conflict = failureAnswer(409, "TASK_REVISION_CONFLICT", "The task changed since it was read.");
        conflict.body["currentRevision"] = revision;
        return conflict;
    }
    if (orderedString(*task, "status") != "open")
        return failureAnswer(409, "TASK_NOT_CLAIMABLE", "The task is not open.");
    (*task)["status"] = "in_progress";
    (*task)["revision"] = revision + 1;
    (*task)["claimedAt"] = isoNow();
    // The whole record, skill members included: a client installs the
    // claimed task's skills from this answer.
    return orderedAnswer({{"item", *task}});
}

DevAnswer AuthorityState::listWorkEvents(const OperationCall& call) {
    std::optional<std::size_t> limit;
    if (auto invalid = readLimit(call.query, limit)) return std::move(*invalid);
    const auto& received = projects_.at(call.projectKey).workEvents;
    JsonValue items = JsonValue::array();
    for (const auto& event : received) {
        if (limit && items.size() >= *limit) break;
        items.push_back({{"eventId", event.eventId}, {"receivedAt", event.receivedAt}, {"event", event.event}});
    }
    return okAnswer({{"items", items}, {"total", received.size()}});
}

// --- foundation resources and validations ------------------------------------------

DevAnswer AuthorityState::readResource(const OperationCall& call) {
    const std::string& resource = call.pathParams.at("resource");
    const std::string& id = call.pathParams.at("id");
    if (resource != "tasks" && resource != "skills")
        return failureAnswer(404, "RESOURCE_NOT_FOUND", "No resource kind " + resource + ".");
    if (resource == "tasks") {
        for (const auto& task : projects_.at(call.projectKey).tasks)
            if (orderedString(task, "itemId") == id) return orderedAnswer({{"data", task}});
    } else if (auto skill = startsWith(id, "global:") ? skills_.find(id.substr(7)) : skills_.end();
               skill != skills_.end()) {
        auto view = call.query.find("view");
        bool packageView = view != call.query.end() && view->second == "package";
        std::optional<std::string> wanted;
        if (auto version = call.query.find("version"); version != call.query.end()) wanted = version->second;
        return okAnswer({{"data", skillRecord(skill->first, skill->second, packageView, wanted)}});
    }
    return failureAnswer(404, "RESOURCE_NOT_FOUND", "No " + resource + " " + id + " in " + call.projectKey + ".");
}

DevAnswer AuthorityState::createValidation(const OperationCall& call) {
    auto body = objectBody(call.request);
    if (!body) return invalidBody();
    JsonValue validation = {{"validationId", "val-" + randomUuidLower()},
                            {"status", "requested"},
                            {"request", std::move(*body)},
                            {"createdAt", isoNow()}};
    projects_.at(call.projectKey).validations.push_back(validation);
    return okAnswer({{"validation", validation}}, 201);
}

// Body: optional "status" (text, "reported" when absent) and anything else,
// kept as the report.
DevAnswer AuthorityState::reportValidation(const OperationCall& call) {
    auto body = objectBody(call.request);
    if (!body) return invalidBody();
    const std::string& validationId = call.pathParams.at("validationId");
    for (JsonValue& validation : projects_.at(call.projectKey).validations) {
        if (optString(validation, "validationId") != validationId) continue;
        validation["status"] = nonEmptyString(*body, "status").value_or("reported");
        validation["report"] = std::move(*body);
        validation["reportedAt"] = isoNow();
        return okAnswer({{"validation", validation}});
    }
    return failureAnswer(404, "VALIDATION_NOT_FOUND", "No validation " + validationId + " in " + call.projectKey + ".");
}

}  // namespace palisor::dev
