#include "bridge/skills/skill_sync_service.h"

#include "bridge/authority/authority_client.h"
#include "bridge/common/paths.h"
#include "bridge/common/text.h"
#include "bridge/common/url.h"
#include "bridge/skills/foundation_skill_source.h"
#include "bridge/skills/skill_reference_resolver.h"
#include "bridge/skills/skill_sync_error.h"
#include "bridge/skills/skill_values.h"

namespace palisor {

using namespace skill_values;

namespace {

std::optional<JsonValue> text(std::optional<std::string> value) {
    return value ? std::optional<JsonValue>(std::move(*value)) : std::nullopt;
}

std::optional<JsonValue> number(std::optional<std::int64_t> value) {
    return value ? std::optional<JsonValue>(*value) : std::nullopt;
}

std::optional<JsonValue> memberCopy(const JsonValue& object, const char* key) {
    const JsonValue* value = member(object, key);
    return value ? std::optional<JsonValue>(*value) : std::nullopt;
}

// Where the reference came from, as every record repeats it.
OptionalEntries provenance(const JsonValue& ref) {
    return {{"syncSourceKind", text(stringValue(ref, "syncSourceKind"))},
            {"sourceTaskId", text(stringValue(ref, "sourceTaskId"))},
            {"sourceTaskRevision", number(SkillReferenceResolver::integer(member(ref, "sourceTaskRevision")))}};
}

JsonValue record(OptionalEntries entries, const OptionalEntries& more) {
    entries.insert(entries.end(), more.begin(), more.end());
    return compactDictionary(entries);
}

void checkIdentity(const std::string& id, const char* field, const JsonValue& packageInfo,
                   const std::optional<std::string>& expected) {
    if (!expected) return;
    auto received = stringValue(packageInfo, field);
    if (received != expected)
        throw SkillSyncError::packageIdentityMismatch(id, field, received.value_or("missing"), *expected);
}

}  // namespace

SkillSyncService::SkillSyncService(std::shared_ptr<AuthorityClient> authorityClient)
    : authorityClient_(std::move(authorityClient)) {}

SkillRootPaths SkillSyncService::ensureWorkspaceSkillRoot(const std::string& workspaceRoot) const {
    return palisor::ensureWorkspaceSkillRoot(workspaceRoot);
}

template <typename Operation>
JsonValue SkillSyncService::withWorkspaceLock(const std::string& workspaceRoot, Operation&& operation) {
    std::string key = standardizePath(workspaceRoot);
    std::shared_ptr<std::mutex> workspaceLock;
    {
        std::lock_guard guard(coordinatorLock_);
        auto& slot = workspaceLocks_[key];
        if (!slot) slot = std::make_shared<std::mutex>();
        workspaceLock = slot;
    }
    std::lock_guard guard(*workspaceLock);
    // The mutex orders this process's syncs; the file lock orders them with
    // syncs of other processes, which read and rewrite the same lock file.
    SkillRootLock fileLock(palisor::ensureWorkspaceSkillRoot(workspaceRoot));
    return operation();
}

std::shared_ptr<FoundationSkillSource> SkillSyncService::foundationSource(const std::string& projectKey,
                                                                          OrderedJsonValue* receivedOrder) {
    JsonValue catalog = authorityClient_->requestCatalogWithWebSession(projectKey, AuthorityTraceContext());
    auto client = authorityClient_;
    return FoundationSkillSource::discover(
        catalog, projectKey, [client, projectKey, receivedOrder](const std::string& path, bool useProjectAgent) {
            if (useProjectAgent)
                return client->requestWithProjectAgent(projectKey, path, "GET", std::nullopt, AuthorityTraceContext(),
                                                       receivedOrder);
            return client->requestWithWebSession(path, "GET", std::nullopt, AuthorityTraceContext(), receivedOrder);
        });
}

bool SkillSyncService::looksLikeTask(const OrderedJsonValue& object) {
    if (!object.is_object()) return false;
    auto isA = [&](const char* key, auto predicate) {
        auto found = object.find(key);
        return found != object.end() && predicate(*found);
    };
    auto isString = [](const OrderedJsonValue& value) { return value.is_string(); };
    auto isObject = [](const OrderedJsonValue& value) { return value.is_object(); };
    auto isArray = [](const OrderedJsonValue& value) { return value.is_array(); };
    bool named = isA("itemId", isString) || isA("id", isString);
    return named && (isA("skillState", isObject) || isA("skills", isArray) || isA("skillOutputs", isObject));
}

const OrderedJsonValue* SkillSyncService::taskIn(const OrderedJsonValue& response) {
    if (!response.is_object()) return nullptr;
    for (const char* key : {"data", "item", "task", "progressItem"}) {
        auto found = response.find(key);
        if (found != response.end() && looksLikeTask(*found)) return &*found;
    }
    return looksLikeTask(response) ? &response : nullptr;
}

JsonValue SkillSyncService::syncForProgressItem(const std::string& projectKey, const std::string& workspaceRoot,
                                                const std::string& itemId, const std::optional<std::string>& scope,
                                                const std::optional<std::string>& repoKey) {
    // The item id is the caller's: it names one task, never a step elsewhere.
    std::string item = requestPathSegment("itemId", itemId);
    return withWorkspaceLock(workspaceRoot, [&] {
        OrderedJsonValue received;
        OrderedJsonValue task;
        if (auto source = foundationSource(projectKey, &received)) {
            source->read("tasks", itemId);
            task = FoundationSkillSource::payloadOf(received);
        } else {
            std::string project = "/api/projects/" + requestPathSegment("projectKey", projectKey) + "/progress/";
            bool hasRepo = repoKey && !repoKey->empty();
            std::vector<std::string> candidates{project + item, project + "project-level/" + item};
            if (hasRepo)
                candidates.push_back(project + "repo-level/" + requestPathSegment("repoKey", *repoKey) + "/" + item);
            else if (scope == "repo-level") candidates.push_back(project + "repo-level/" + item);

            std::vector<std::string> failures;
            const OrderedJsonValue* found = nullptr;
            for (const std::string& path : candidates) {
                try {
                    authorityClient_->requestWithWebSession(path, "GET", std::nullopt, AuthorityTraceContext(),
                                                            &received);
                } catch (...) {
                    failures.push_back(currentExceptionDescription());
                    continue;
                }
                if ((found = taskIn(received))) break;
            }
            if (!found) {
                std::string joined;
                for (const std::string& failure : failures) joined += (joined.empty() ? "" : "|") + failure;
                throw SkillSyncError::progressItemLoadFailed(itemId, joined);
            }
            task = *found;
        }
        return syncSkillRefsUnlocked(projectKey, workspaceRoot, SkillReferenceResolver::collect(&task, {}));
    });
}

JsonValue SkillSyncService::syncExplicit(const std::string& projectKey, const std::string& workspaceRoot,
                                         const std::vector<JsonValue>& skills,
                                         const std::optional<OrderedJsonValue>& task) {
    return withWorkspaceLock(workspaceRoot, [&] {
        return syncSkillRefsUnlocked(projectKey, workspaceRoot,
                                     SkillReferenceResolver::collect(task ? &*task : nullptr, skills));
    });
}

std::optional<JsonValue> SkillSyncService::syncFromAuthorityResponse(const std::string& projectKey,
                                                                     const std::string& workspaceRoot,
                                                                     const OrderedJsonValue& response) {
    const OrderedJsonValue* task = taskIn(response);
    if (!task) return std::nullopt;
    return withWorkspaceLock(workspaceRoot, [&] {
        return syncSkillRefsUnlocked(projectKey, workspaceRoot, SkillReferenceResolver::collect(task, {}));
    });
}

std::optional<JsonValue> SkillSyncService::syncFromAuthorityResponse(const std::string& projectKey,
                                                                     const std::string& workspaceRoot,
                                                                     const JsonValue& response) {
    return syncFromAuthorityResponse(projectKey, workspaceRoot, toOrderedJson(response));
}

JsonValue SkillSyncService::fetchLegacyPackage(const std::string& skillId, const JsonValue& ref) {
    auto version = stringValue(ref, "version");
    auto contentHash = stringValue(ref, "contentHash");
    std::string id = requestPathSegment("skillId", skillId);
    std::string path = version && contentHash ? "/api/public/skills/" + id + "/" +
                                                    requestPathSegment("version", *version) + "/" +
                                                    requestPathSegment("contentHash", *contentHash) + "/package"
                                              : "/api/skills/" + id + "/package";
    return authorityClient_->requestWithWebSession(path, "GET", std::nullopt, AuthorityTraceContext());
}

JsonValue SkillSyncService::syncSkillRefsUnlocked(const std::string& projectKey, const std::string& workspaceRoot,
                                                  const std::vector<JsonValue>& skillRefs) {
    SkillRootPaths root = palisor::ensureWorkspaceSkillRoot(workspaceRoot);
    auto source = foundationSource(projectKey);
    JsonValue lock = readSkillLock(root);
    const JsonValue* lockSkills = objectMember(lock, "skills");
    std::vector<JsonValue> refs = SkillReferenceResolver::resolve(skillRefs);
    std::vector<JsonValue> synced;
    std::vector<JsonValue> skipped;

    for (const JsonValue& ref : refs) {
        auto id = stringValue(ref, "skillId");
        if (!id) {
            skipped.push_back({{"reason", "SKILL_ID_MISSING"}});
            continue;
        }
        const JsonValue* lockEntry = lockSkills ? objectMember(*lockSkills, *id) : nullptr;
        auto version = stringValue(ref, "version");
        auto contentHash = stringValue(ref, "contentHash");
        if (auto reason = SkillReferenceResolver::staleTaskSnapshotReason(lockEntry, ref)) {
            skipped.push_back(compactDictionary({{"reason", *reason},
                                                 {"skillId", *id},
                                                 {"version", text(version)},
                                                 {"contentHash", text(contentHash)},
                                                 {"sourceTaskId", text(stringValue(ref, "sourceTaskId"))},
                                                 {"sourceTaskRevision", number(SkillReferenceResolver::integer(
                                                                            member(ref, "sourceTaskRevision")))}}));
            continue;
        }
        // An id that cannot name a folder is refused before anything is asked
        // for it: it would only fail at the write.
        assertSafePathSegment(*id);

        std::optional<JsonValue> canonical;
        if (source) canonical = source->package(ref);
        if (localSkillMatchesRef(root, lock, ref, canonical ? &*canonical : nullptr)) {
            auto held = [&](const char* key) { return lockEntry ? stringValue(*lockEntry, key) : std::nullopt; };
            skipped.push_back(record({{"reason", "ALREADY_CURRENT"},
                                      {"skillId", *id},
                                      {"version", text(version ? version : held("version"))},
                                      {"contentHash", text(contentHash ? contentHash : held("contentHash"))},
                                      {"targetPath", held("targetPath").value_or(joinPath(root.skillRoot, *id))}},
                                     provenance(ref)));
            continue;
        }

        JsonValue packageInfo = canonical ? std::move(*canonical) : fetchLegacyPackage(*id, ref);
        checkIdentity(*id, "skillId", packageInfo, id);
        checkIdentity(*id, "version", packageInfo, version);
        checkIdentity(*id, "contentHash", packageInfo, contentHash);
        const JsonValue* snapshot = objectMember(packageInfo, "fileTreeSnapshot");
        if (packageInfo.empty() || !snapshot) throw SkillSyncError::fileTreeMissing(*id);

        SkillPackageWrite written = writeSkillPackage(root, *id, packageInfo, *snapshot);
        auto packageVersion = stringValue(packageInfo, "version");
        auto packageHash = stringValue(packageInfo, "contentHash");
        synced.push_back(record({{"skillId", *id},
                                 {"version", text(packageVersion ? packageVersion : version)},
                                 {"contentHash", text(packageHash ? packageHash : contentHash)},
                                 {"fileCount", written.fileCount},
                                 {"targetPath", written.targetPath},
                                 {"sourceFormat", memberCopy(packageInfo, "sourceFormat")},
                                 {"sourceCompleteness", memberCopy(packageInfo, "sourceCompleteness")},
                                 {"identityVerification", memberCopy(packageInfo, "identityVerification")}},
                                provenance(ref)));
    }

    std::string lockPath = writeSkillLock(root, authorityClient_->authorityOrigin(), projectKey, synced, skipped);
    return {{"ok", true},
            {"projectKey", projectKey},
            {"workspaceRoot", root.workspaceUrl},
            {"skillRoot", root.skillRoot},
            {"lockPath", lockPath},
            {"synced", synced},
            {"skipped", skipped}};
}

}  // namespace palisor
