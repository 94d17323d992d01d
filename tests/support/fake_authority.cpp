#include "tests/support/fake_authority.h"

#include "bridge/common/jwt.h"
#include "bridge/common/sha256.h"
#include "bridge/common/text.h"

namespace palisor::test {

namespace {

JsonValue foundationBootstrap() {
    JsonValue read = {{"id", "foundation.resource.get"},
                      {"method", "GET"},
                      {"authMode", "project-agent"},
                      {"pathTemplate", FakeAuthority::kReadTemplate},
                      {"queryParams", {"view", "version"}}};
    return {{"mode", "foundation-v2"},
            {"operationCatalog",
             {{"version", "foundation-v2"},
              {"operations", JsonValue::array({read})},
              {"readOptimizations", {{"skillPackageView", "package"}}}}}};
}

JsonValue olderBootstrap() {
    return {{"mode", "classic"}, {"operationCatalog", {{"version", "classic-v1"}, {"operations", JsonValue::array()}}}};
}

std::string notFound(const std::string& path) {
    return JsonValue{{"code", "NOT_FOUND"}, {"message", "NOT_FOUND:" + path}}.dump();
}

// The path with query of a URL.
std::string targetOf(const std::string& url) {
    std::size_t scheme = url.find("://");
    std::size_t slash = url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
    return slash == std::string::npos ? "/" : url.substr(slash);
}

}  // namespace

std::string agentTokenFor(const std::string& projectKey) {
    return "agent." + base64UrlEncode(JsonValue{{"nodeId", "node-" + projectKey}}.dump()) + ".signature-" +
           std::to_string(projectKey.size());
}

std::shared_ptr<NativeTokenStore> memoryStore() {
    NativeTokenStore::Options options;
    options.keychainEnabled = false;
    return std::make_shared<NativeTokenStore>(options);
}

AuthorityHTTPResponse answerWith(int status, std::string body, std::map<std::string, std::string> headers) {
    return {std::move(body), status, std::nullopt, std::move(headers)};
}

FakeAuthority::FakeAuthority(bool foundation) : bootstrap_(foundation ? foundationBootstrap() : olderBootstrap()) {}

std::shared_ptr<AuthorityClient> FakeAuthority::client(const std::string& origin, bool signedIn) {
    auto store = memoryStore();
    if (signedIn)
        store->setWebSession(origin, {{"accessToken", kWebToken},
                                      {"refreshToken", "web-refresh-token"},
                                      {"expiresAt", "2099-01-01T00:00:00Z"},
                                      {"refreshExpiresAt", "2099-01-01T00:00:00Z"}});
    AuthorityClient::Options options;
    options.authorityOrigin = origin;
    options.tokenStore = store;
    options.headerTask = [this](const AuthorityRequest& request) { return handle(request); };
    return std::make_shared<AuthorityClient>(options);
}

void FakeAuthority::setBootstrap(JsonValue bootstrap) {
    std::lock_guard guard(mutex_);
    bootstrap_ = std::move(bootstrap);
}

void FakeAuthority::setBootstrap(const std::string& projectKey, JsonValue bootstrap) {
    std::lock_guard guard(mutex_);
    bootstraps_[projectKey] = std::move(bootstrap);
}

JsonValue FakeAuthority::bootstrap() const {
    std::lock_guard guard(mutex_);
    return bootstrap_;
}

std::string FakeAuthority::publish(const std::string& skillId, const std::string& version, const JsonValue& files) {
    std::string hash = sha256Hex(files.dump());
    std::lock_guard guard(mutex_);
    std::string id = "global:" + skillId;
    JsonValue& record = records_[id];
    if (!record.is_object()) record = {{"skillId", skillId}, {"status", "active"}, {"versions", JsonValue::array()}};
    JsonValue versions = JsonValue::array();
    for (const JsonValue& entry : record["versions"])
        if (entry.value("version", "") != version) versions.push_back(entry);
    versions.push_back({{"version", version}, {"status", "published"}, {"contentHash", hash}, {"fileTreeSnapshot", files}});
    record["versions"] = std::move(versions);
    record["currentVersion"] = version;
    recordBodies_[id] = ok(record);
    return hash;
}

void FakeAuthority::setSkillRecord(const std::string& recordId, const JsonValue& record) {
    std::lock_guard guard(mutex_);
    records_[recordId] = record;
    recordBodies_[recordId] = ok(record);
}

void FakeAuthority::setTask(const std::string& itemId, const std::string& rawTask) {
    std::lock_guard guard(mutex_);
    tasks_[itemId] = "{\"ok\":true,\"data\":" + rawTask + "}";
}

void FakeAuthority::answer(const std::string& pathAndQuery, int status, const std::string& body) {
    std::lock_guard guard(mutex_);
    answers_[pathAndQuery] = {status, body};
}

void FakeAuthority::clearAnswers() {
    std::lock_guard guard(mutex_);
    answers_.clear();
}

std::vector<std::string> FakeAuthority::requests() const {
    std::lock_guard guard(mutex_);
    std::vector<std::string> targets;
    for (const AuthorityRequest& request : sent_) targets.push_back(targetOf(request.url));
    return targets;
}

std::vector<AuthorityRequest> FakeAuthority::sent() const {
    std::lock_guard guard(mutex_);
    return sent_;
}

std::size_t FakeAuthority::count(const std::string& pathAndQuery) const {
    std::size_t n = 0;
    for (const std::string& request : requests()) n += request == pathAndQuery;
    return n;
}

std::size_t FakeAuthority::countPrefix(const std::string& prefix) const {
    std::size_t n = 0;
    for (const std::string& request : requests()) n += startsWith(request, prefix);
    return n;
}

void FakeAuthority::clearRequests() {
    std::lock_guard guard(mutex_);
    sent_.clear();
}

std::string FakeAuthority::ok(const JsonValue& data) { return JsonValue{{"ok", true}, {"data", data}}.dump(); }

AuthorityHTTPResponse FakeAuthority::handle(const AuthorityRequest& request) {
    std::string target = targetOf(request.url);
    {
        std::lock_guard guard(mutex_);
        sent_.push_back(request);
    }
    if (beforeAnswer) beforeAnswer(target);
    if (respond) return respond(request);

    std::lock_guard guard(mutex_);
    if (auto scripted = answers_.find(target); scripted != answers_.end())
        return answerWith(scripted->second.first, scripted->second.second);
    std::string path = target.substr(0, target.find('?'));
    const std::string projectPrefix = "/api/authority?projectKey=";
    if (request.method == "GET" && path == "/api/authority") {
        std::string key = percentDecode(target.substr(std::min(target.size(), projectPrefix.size()))).value_or("");
        auto own = startsWith(target, projectPrefix) ? bootstraps_.find(key) : bootstraps_.end();
        return answerWith(200, (own != bootstraps_.end() ? own->second : bootstrap_).dump());
    }
    const std::string projects = "/api/projects/", tokens = "/agent-tokens";
    if (request.method == "POST" && startsWith(path, projects) && path.size() > projects.size() + tokens.size() &&
        path.compare(path.size() - tokens.size(), tokens.size(), tokens) == 0) {
        std::string key = percentDecode(path.substr(projects.size(), path.size() - tokens.size() - projects.size()))
                              .value_or("");
        JsonValue body = {{"token", agentTokenFor(key)}, {"item", {{"expiresAt", "2099-01-01T00:00:00Z"}}}};
        return answerWith(200, body.dump());
    }

    // /api/v2/projects/<key>/resources/<resource>/<id>
    std::vector<std::string_view> parts = splitKeepingEmpty(path, "/");
    if (request.method == "GET" && parts.size() == 8 && parts[1] == "api" && parts[2] == "v2" &&
        parts[3] == "projects" && parts[5] == "resources") {
        std::string id = percentDecode(parts[7]).value_or("");
        if (parts[6] == "skills")
            if (auto body = recordBodies_.find(id); body != recordBodies_.end()) return answerWith(200, body->second);
        if (parts[6] == "tasks")
            if (auto body = tasks_.find(id); body != tasks_.end()) return answerWith(200, body->second);
    }
    return answerWith(404, notFound(target));
}

}  // namespace palisor::test
