#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bridge/common/json.h"
#include "bridge/skills/skill_folder.h"

namespace palisor {

class AuthorityClient;
class FoundationSkillSource;

// Brings the skill packages installed in a workspace's ".agents/skills" in
// line with what a task needs.
//
// Each sync, under the workspace's lock: loads the task when needed, collects
// and resolves the skill references (SkillReferenceResolver), asks the
// authority whether it is of the foundation generation, and for each
// reference either skips it with a reason or fetches its package, checks the
// package's identity against the reference and installs it (skill_folder.h);
// then rewrites the workspace's lock file and returns a report:
//
//   {"ok": true, "projectKey", "workspaceRoot", "skillRoot", "lockPath",
//    "synced": [records of installed packages],
//    "skipped": [{"reason": "SKILL_ID_MISSING" | "STALE_TASK_SNAPSHOT_IGNORED"
//                 | "ALREADY_CURRENT", ...}]}
//
// A reference that pins neither a version nor a content hash is fetched and
// rewritten on every sync; a pinned one only when the lock entry, the marker
// or (foundation authority) the installed files disagree with it.
//
// Failures abort the whole sync and propagate: the authority client's errors,
// SkillReferenceResolverError, FoundationSkillSource::SourceError,
// SkillSyncError, FileError. Packages installed earlier in a failing sync stay,
// but the lock file is left exactly as it was.
//
// Thread safety: syncs of different workspaces run in parallel on the
// callers' threads; syncs of one workspace are serialised by its lock (a
// mutex, then the skill root's file lock, which also keeps out syncs of other
// processes), held for the whole sync, network requests included. The lock table
// belongs to the instance, so all syncs must go through one instance. The
// locks are not re-entrant: nothing inside a sync may start another.
class SkillSyncService {
public:
    explicit SkillSyncService(std::shared_ptr<AuthorityClient> authorityClient);

    // The skill root relative to a workspace, and the lock file's name in it.
    static constexpr const char* skillRootRelativePath = kSkillRootRelativePath;
    static constexpr const char* lockFileName = kSkillLockFileName;

    // Sync for a progress item (a task on the authority). `scope` is
    // "repo-level" for repository-level items; `repoKey` names the
    // repository. Throws "PROGRESS_ITEM_LOAD_FAILED:<item>:<failures joined
    // with |>" when an older authority has the item under none of its paths.
    JsonValue syncForProgressItem(const std::string& projectKey, const std::string& workspaceRoot,
                                  const std::string& itemId, const std::optional<std::string>& scope,
                                  const std::optional<std::string>& repoKey);

    // Sync for skills an agent names (objects with at least a "skillId", or
    // plain skill id texts), plus those of an optional task object. The task
    // is taken in the order its members were received; a caller that holds
    // only a JsonValue passes it as it is (it converts implicitly, or with
    // toOrderedJson), and then the sorted order counts.
    JsonValue syncExplicit(const std::string& projectKey, const std::string& workspaceRoot,
                           const std::vector<JsonValue>& skills,
                           const std::optional<OrderedJsonValue>& task = std::nullopt);

    // Sync for the task an authority operation answered with: the first of
    // the answer's "data", "item", "task", "progressItem" that looks like a
    // task, else the answer itself. Nothing (and no lock taken) when the
    // answer holds no task. Pass the answer in received order
    // (AuthorityClient's `receivedOrder`) where it is at hand.
    std::optional<JsonValue> syncFromAuthorityResponse(const std::string& projectKey,
                                                       const std::string& workspaceRoot,
                                                       const OrderedJsonValue& response);
    std::optional<JsonValue> syncFromAuthorityResponse(const std::string& projectKey,
                                                       const std::string& workspaceRoot, const JsonValue& response);

    // Creates the workspace's skill root when it is missing; used at start-up
    // and when a workspace is added, and safe to call beside a running sync.
    SkillRootPaths ensureWorkspaceSkillRoot(const std::string& workspaceRoot) const;

private:
    template <typename Operation>
    JsonValue withWorkspaceLock(const std::string& workspaceRoot, Operation&& operation);
    JsonValue syncSkillRefsUnlocked(const std::string& projectKey, const std::string& workspaceRoot,
                                    const std::vector<JsonValue>& skillRefs);
    // The foundation source of the authority, or nullptr for an older one.
    // Answers its reads fetch also land in `receivedOrder` when given.
    std::shared_ptr<FoundationSkillSource> foundationSource(const std::string& projectKey,
                                                            OrderedJsonValue* receivedOrder = nullptr);
    JsonValue fetchLegacyPackage(const std::string& skillId, const JsonValue& ref);
    static bool looksLikeTask(const OrderedJsonValue& object);
    static const OrderedJsonValue* taskIn(const OrderedJsonValue& response);

    std::shared_ptr<AuthorityClient> authorityClient_;
    std::mutex coordinatorLock_;  // guards workspaceLocks_ only
    std::map<std::string, std::shared_ptr<std::mutex>> workspaceLocks_;
};

}  // namespace palisor
