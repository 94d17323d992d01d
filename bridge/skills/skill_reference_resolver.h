#pragma once

// Which skills a task needs: the authority's task records name them in
// several generations of their format, and agents may ask for skills
// themselves. The resolver turns all of that into one reference per skill,
// in skill id order, and recognises task snapshots older than what is
// installed. Pure computation over JSON values; no input or output.
//
// A skill reference is a JSON object with "skillId" and, optionally,
// "version", "contentHash", "role", "syncSourceKind", "syncSourcePriority",
// "sourceTaskId", "sourceTaskRevision", "ignoredLowerPriorityIdentity" and
// "ignoredLowerPrioritySource"; every other member of an input object is
// carried through unchanged.

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/common/bridge_error.h"
#include "bridge/common/json.h"

namespace palisor {

// Whether a successful authority operation should install the skills its
// answer names.
struct SkillAutoSyncPolicy {
    // The operations that activate skills unless the caller says otherwise.
    static const std::set<std::string>& defaultActivationOperations();
    // An explicit preference always wins; otherwise the trimmed operation id
    // must be one of the default operations.
    static bool shouldActivate(std::string_view operationId, std::optional<bool> explicitPreference);
};

class SkillReferenceResolverError : public BridgeError {
public:
    enum class Case { canonicalConflict, sameRevisionConflict };

    // Two references of equal priority pin different versions or hashes:
    // "SKILL_REF_CANONICAL_CONFLICT:<id>:<held identity>:<new identity>".
    static SkillReferenceResolverError canonicalConflict(const std::string& skillId, const std::string& heldIdentity,
                                                         const std::string& newIdentity);
    // The installed skill came from the same revision of the same task with
    // another identity: "SKILL_REF_SAME_REVISION_CONFLICT:<id>:<revision>".
    static SkillReferenceResolverError sameRevisionConflict(const std::string& skillId, std::int64_t revision);

    Case errorCase() const noexcept { return case_; }

private:
    SkillReferenceResolverError(Case errorCase, std::string code);
    Case case_;
};

class SkillReferenceResolver {
public:
    // The source kinds and their priorities; a kind not listed has priority 0.
    static constexpr const char* kCanonicalBinding = "task-canonical-binding";  // 400
    static constexpr const char* kLegacyBinding = "task-legacy-binding";        // 300
    static constexpr const char* kExplicit = "explicit";                        // 200
    static constexpr const char* kOutputFallback = "task-output-fallback";      // 100

    // Raw references: the explicit skills first, then those of exactly one
    // source of the task (canonical bindings, else the typed legacy lists,
    // else the skill outputs). The task is taken in the order it was
    // received, because of two skill outputs naming one skill the first seen
    // stays. A task that is absent or not an object adds nothing. Never fails:
    // malformed items are skipped.
    static std::vector<JsonValue> collect(const OrderedJsonValue* task, const std::vector<JsonValue>& explicitSkills);

    // One reference per skill id, sorted by skill id: the higher priority
    // wins, equal priorities combine. Throws canonicalConflict.
    static std::vector<JsonValue> resolve(const std::vector<JsonValue>& refs);

    // Both pin a version and they differ, or both pin a content hash and
    // they differ.
    static bool identitiesConflict(const JsonValue& a, const JsonValue& b);

    // "STALE_TASK_SNAPSHOT_IGNORED" when the reference comes from an older
    // revision of the task the installed skill came from; throws
    // sameRevisionConflict for the same revision with another identity.
    static std::optional<std::string> staleTaskSnapshotReason(const JsonValue* lockEntry, const JsonValue& ref);

    // The non-negative integer reading shared by the whole skill sync.
    static std::optional<std::int64_t> integer(const JsonValue* value);

    static std::int64_t priorityOf(std::string_view kind);
};

}  // namespace palisor
