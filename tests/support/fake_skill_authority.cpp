#include "tests/support/fake_skill_authority.h"

#include "bridge/common/sha256.h"
#include "bridge/common/text.h"
#include "bridge/credentials/native_token_store.h"

namespace palisor::test {

namespace {

JsonValue foundationBootstrap() {
    JsonValue read = {{"id", "foundation.resource.get"},
                      {"method", "GET"},
                      {"authMode", "project-agent"},
                      {"pathTemplate", FakeSkillAuthority::kReadTemplate},
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

AuthorityHTTPResponse answerWith(int status, std::string body) {
    AuthorityHTTPResponse response;
    response.statusCode = status;
    response.data = std::move(body);
    return response;
}

std::string notFound(const std::string& path) {
    return JsonValue{{"code", "NOT_FOUND"}, {"message", "NOT_FOUND:" + path}}.dump();
}

}  // namespace

FakeSkillAuthority::FakeSkillAuthority(bool foundation)
    : bootstrap_(foundation ? foundationBootstrap() : olderBootstrap()) {}

std::shared_ptr<AuthorityClient> FakeSkillAuthority::client() {
    NativeTokenStore::Options storeOptions;
    storeOptions.keychainEnabled = false;
    auto store = std::make_shared<NativeTokenStore>(storeOptions);
    store->setWebSession(kOrigin, {{"accessToken", "web-access"},
                                   {"refreshToken", "web-refresh"},
                                   {"expiresAt", "2099-01-01T00:00:00Z"},
                                   {"refreshExpiresAt", "2099-01-01T00:00:00Z"}});
    AuthorityClient::Options options;
    options.authorityOrigin = kOrigin;
    options.tokenStore = store;
    options.headerTask = [this](const AuthorityRequest& request) { return handle(request); };
    return std::make_shared<AuthorityClient>(options);
}

void FakeSkillAuthority::setBootstrap(JsonValue bootstrap) {
    std::lock_guard guard(mutex_);
    bootstrap_ = std::move(bootstrap);
}

JsonValue FakeSkillAuthority::bootstrap() const {
    std::lock_guard guard(mutex_);
    return bootstrap_;
}

std::string FakeSkillAuthority::publish(const std::string& skillId, const std::string& version,
                                        const JsonValue& files) {
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

void FakeSkillAuthority::setSkillRecord(const std::string& recordId, const JsonValue& record) {
    std::lock_guard guard(mutex_);
    records_[recordId] = record;
    recordBodies_[recordId] = ok(record);
}

void FakeSkillAuthority::setTask(const std::string& itemId, const std::string& rawTask) {
    std::lock_guard guard(mutex_);
    tasks_[itemId] = "{\"ok\":true,\"data\":" + rawTask + "}";
}

void FakeSkillAuthority::answer(const std::string& pathAndQuery, int status, const std::string& body) {
    std::lock_guard guard(mutex_);
    answers_[pathAndQuery] = {status, body};
}

void FakeSkillAuthority::clearAnswers() {
    std::lock_guard guard(mutex_);
    answers_.clear();
}

std::vector<std::string> FakeSkillAuthority::requests() const {
    std::lock_guard guard(mutex_);
    return requests_;
}

std::size_t FakeSkillAuthority::count(const std::string& pathAndQuery) const {
    std::lock_guard guard(mutex_);
    std::size_t n = 0;
    for (const std::string& request : requests_) n += request == pathAndQuery;
    return n;
}

std::size_t FakeSkillAuthority::countPrefix(const std::string& prefix) const {
    std::lock_guard guard(mutex_);
    std::size_t n = 0;
    for (const std::string& request : requests_) n += startsWith(request, prefix);
    return n;
}

void FakeSkillAuthority::clearRequests() {
    std::lock_guard guard(mutex_);
    requests_.clear();
}

std::string FakeSkillAuthority::ok(const JsonValue& data) { return JsonValue{{"ok", true}, {"data", data}}.dump(); }

AuthorityHTTPResponse FakeSkillAuthority::handle(const AuthorityRequest& request) {
    std::string target = request.url.substr(std::string(kOrigin).size());
    {
        std::lock_guard guard(mutex_);
        requests_.push_back(target);
    }
    if (beforeAnswer) beforeAnswer(target);

    std::lock_guard guard(mutex_);
    if (auto scripted = answers_.find(target); scripted != answers_.end())
        return answerWith(scripted->second.first, scripted->second.second);
    std::string path = target.substr(0, target.find('?'));
    if (request.method == "GET" && path == "/api/authority") return answerWith(200, bootstrap_.dump());
    if (request.method == "POST" && startsWith(path, "/api/projects/") && path.size() > 13 &&
        path.compare(path.size() - 13, 13, "/agent-tokens") == 0)
        return answerWith(200, JsonValue{{"token", "agent-token"}, {"item", {{"expiresAt", "2099-01-01T00:00:00Z"}}}}.dump());

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
