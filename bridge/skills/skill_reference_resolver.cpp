#include "bridge/skills/skill_reference_resolver.h"

#include <map>

#include "bridge/common/text.h"
#include "bridge/skills/skill_values.h"

namespace palisor {

using namespace skill_values;

namespace {

// Keys that a source's defaults always impose on the items it adds.
constexpr const char* kImposedKeys[] = {"syncSourceKind", "syncSourcePriority", "sourceTaskId", "sourceTaskRevision"};

JsonValue sourceDefaults(const char* kind) {
    return {{"syncSourceKind", kind}, {"syncSourcePriority", SkillReferenceResolver::priorityOf(kind)}};
}

std::string formatIdentity(const JsonValue& ref) {
    return stringValue(ref, "version").value_or("unversioned") + "@" +
           stringValue(ref, "contentHash").value_or("unhashed");
}

// Appends at most one reference for a string or object item.
void add(std::vector<JsonValue>& refs, const JsonValue& item, const JsonValue& defaults) {
    if (item.is_string()) {
        if (!item.get_ref<const std::string&>().empty()) refs.push_back(merge(defaults, {{"skillId", item}}));
        return;
    }
    if (!item.is_object()) return;
    auto id = stringValue(item, "skillId");
    if (!id) id = stringValue(item, "id");
    if (!id) id = stringValue(item, "name");
    if (!id) return;
    JsonValue object = item;
    object["skillId"] = *id;
    if (!stringValue(item, "version"))
        if (auto version = stringValue(item, "skillVersion")) object["version"] = *version;
    if (!stringValue(item, "contentHash"))
        if (auto hash = stringValue(item, "hash")) object["contentHash"] = *hash;
    JsonValue result = merge(defaults, object);
    for (const char* key : kImposedKeys)
        if (const JsonValue* imposed = member(defaults, key)) result[key] = *imposed;
    refs.push_back(std::move(result));
}

std::optional<JsonValue> asJson(std::optional<std::string> text) {
    return text ? std::optional<JsonValue>(std::move(*text)) : std::nullopt;
}

std::optional<JsonValue> asJson(std::optional<std::int64_t> number) {
    return number ? std::optional<JsonValue>(*number) : std::nullopt;
}

}  // namespace

const std::set<std::string>& SkillAutoSyncPolicy::defaultActivationOperations() {
    static const std::set<std::string> operations{"progress.native.claim"};
    return operations;
}

bool SkillAutoSyncPolicy::shouldActivate(std::string_view operationId, std::optional<bool> explicitPreference) {
    if (explicitPreference) return *explicitPreference;
    return defaultActivationOperations().count(trim(operationId)) > 0;
}

SkillReferenceResolverError::SkillReferenceResolverError(Case errorCase, std::string code)
    : BridgeError(std::move(code)), case_(errorCase) {}

SkillReferenceResolverError SkillReferenceResolverError::canonicalConflict(const std::string& skillId,
                                                                           const std::string& heldIdentity,
                                                                           const std::string& newIdentity) {
    return {Case::canonicalConflict, "SKILL_REF_CANONICAL_CONFLICT:" + skillId + ":" + heldIdentity + ":" + newIdentity};
}

SkillReferenceResolverError SkillReferenceResolverError::sameRevisionConflict(const std::string& skillId,
                                                                              std::int64_t revision) {
    return {Case::sameRevisionConflict, "SKILL_REF_SAME_REVISION_CONFLICT:" + skillId + ":" + std::to_string(revision)};
}

std::int64_t SkillReferenceResolver::priorityOf(std::string_view kind) {
    if (kind == kCanonicalBinding) return 400;
    if (kind == kLegacyBinding) return 300;
    if (kind == kExplicit) return 200;
    if (kind == kOutputFallback) return 100;
    return 0;
}

std::optional<std::int64_t> SkillReferenceResolver::integer(const JsonValue* value) { return integerValue(value); }

std::vector<JsonValue> SkillReferenceResolver::collect(const OrderedJsonValue* orderedTask,
                                                       const std::vector<JsonValue>& explicitSkills) {
    std::vector<JsonValue> refs;
    JsonValue explicitDefaults = sourceDefaults(kExplicit);
    for (const JsonValue& item : explicitSkills) add(refs, item, explicitDefaults);
    if (!orderedTask || !orderedTask->is_object()) return refs;

    // Everything but the skill outputs is read from the sorted form; arrays
    // keep their order in both.
    const JsonValue task = toSortedJson(*orderedTask);
    auto taskId = stringValue(task, "id");
    if (!taskId) taskId = stringValue(task, "itemId");
    JsonValue meta = compactDictionary({{"sourceTaskId", asJson(taskId)},
                                        {"sourceTaskRevision", asJson(integerValue(task, "revision"))}});

    const JsonValue* skillState = objectMember(task, "skillState");
    const JsonValue* bindings = skillState ? arrayMember(*skillState, "bindings") : nullptr;
    const JsonValue* canonical = bindings ? bindings : arrayMember(task, "skills");

    std::vector<std::pair<const JsonValue*, const char*>> legacy;
    for (auto [key, role] : {std::pair{"requiredSkills", "required"}, std::pair{"supportSkills", "support"},
                             std::pair{"optionalSkills", "optional"}})
        if (const JsonValue* list = arrayMember(task, key))
            for (const JsonValue& item : *list) legacy.emplace_back(&item, role);

    if (bindings || (canonical && !canonical->empty())) {
        JsonValue defaults = merge(meta, sourceDefaults(kCanonicalBinding));
        for (const JsonValue& item : *canonical) add(refs, item, defaults);
    } else if (!legacy.empty()) {
        JsonValue defaults = merge(meta, sourceDefaults(kLegacyBinding));
        for (const auto& [item, role] : legacy) add(refs, *item, merge(defaults, {{"role", role}}));
    } else if (auto outputs = orderedTask->find("skillOutputs");
               outputs != orderedTask->end() && outputs->is_object()) {
        JsonValue defaults = merge(meta, sourceDefaults(kOutputFallback));
        for (const auto& [key, orderedValue] : outputs->items()) {
            if (!orderedValue.is_object()) {
                add(refs, JsonValue(key), defaults);
                continue;
            }
            const JsonValue value = toSortedJson(orderedValue);
            auto version = stringValue(value, "version");
            if (!version) version = stringValue(value, "skillVersion");
            add(refs,
                compactDictionary({{"skillId", stringValue(value, "skillId").value_or(key)},
                                   {"role", asJson(stringValue(value, "role"))},
                                   {"version", asJson(version)},
                                   {"contentHash", asJson(stringValue(value, "contentHash"))}}),
                defaults);
        }
    }
    return refs;
}

std::vector<JsonValue> SkillReferenceResolver::resolve(const std::vector<JsonValue>& refs) {
    std::map<std::string, JsonValue> table;
    for (const JsonValue& ref : refs) {
        auto id = stringValue(ref, "skillId");
        if (!id) continue;
        JsonValue normalized = ref;
        normalized["skillId"] = *id;
        std::string kind = stringValue(ref, "syncSourceKind").value_or("unknown");
        normalized["syncSourceKind"] = kind;
        normalized["syncSourcePriority"] = priorityOf(kind);
        setOptional(normalized, "version", asJson(stringValue(ref, "version")));
        setOptional(normalized, "contentHash", asJson(stringValue(ref, "contentHash")));
        setOptional(normalized, "sourceTaskId", asJson(stringValue(ref, "sourceTaskId")));
        setOptional(normalized, "sourceTaskRevision", asJson(integerValue(ref, "sourceTaskRevision")));

        auto found = table.find(*id);
        if (found == table.end()) {
            table.emplace(*id, std::move(normalized));
            continue;
        }
        JsonValue& held = found->second;
        auto heldPriority = integerValue(held, "syncSourcePriority");
        auto newPriority = integerValue(normalized, "syncSourcePriority");
        if (heldPriority.value_or(0) == newPriority.value_or(0) && identitiesConflict(held, normalized))
            throw SkillReferenceResolverError::canonicalConflict(*id, formatIdentity(held), formatIdentity(normalized));

        bool newWins = newPriority.value_or(0) > heldPriority.value_or(0);
        const JsonValue& winner = newWins ? normalized : held;
        const JsonValue& loser = newWins ? held : normalized;
        JsonValue stored;
        if (identitiesConflict(winner, loser)) {
            stored = winner;
            stored["ignoredLowerPriorityIdentity"] = formatIdentity(loser);
            stored["ignoredLowerPrioritySource"] = stringValue(loser, "syncSourceKind").value_or("unknown");
        } else {
            stored = merge(loser, winner);
            bool samePriority = heldPriority == newPriority;
            auto pick = [&](const char* key) {
                auto value = stringValue(winner, key);
                if (!value && samePriority) value = stringValue(loser, key);
                return asJson(value);
            };
            auto role = stringValue(winner, "role");
            if (!role) role = stringValue(loser, "role");
            setOptional(stored, "role", asJson(role));
            setOptional(stored, "version", pick("version"));
            setOptional(stored, "contentHash", pick("contentHash"));
        }
        held = std::move(stored);
    }
    std::vector<JsonValue> resolved;
    resolved.reserve(table.size());
    for (auto& [id, ref] : table) resolved.push_back(std::move(ref));
    return resolved;
}

bool SkillReferenceResolver::identitiesConflict(const JsonValue& a, const JsonValue& b) {
    for (const char* key : {"version", "contentHash"}) {
        auto left = stringValue(a, key);
        auto right = stringValue(b, key);
        if (left && right && *left != *right) return true;
    }
    return false;
}

std::optional<std::string> SkillReferenceResolver::staleTaskSnapshotReason(const JsonValue* lockEntry,
                                                                           const JsonValue& ref) {
    if (!lockEntry) return std::nullopt;
    auto heldTask = stringValue(*lockEntry, "sourceTaskId");
    auto refTask = stringValue(ref, "sourceTaskId");
    if (!heldTask || !refTask || *heldTask != *refTask) return std::nullopt;
    auto heldRevision = integerValue(*lockEntry, "sourceTaskRevision");
    auto refRevision = integerValue(ref, "sourceTaskRevision");
    if (!heldRevision || !refRevision) return std::nullopt;
    if (*refRevision < *heldRevision) return std::string("STALE_TASK_SNAPSHOT_IGNORED");
    if (*refRevision == *heldRevision && identitiesConflict(*lockEntry, ref))
        throw SkillReferenceResolverError::sameRevisionConflict(stringValue(ref, "skillId").value_or("unknown"),
                                                                *heldRevision);
    return std::nullopt;
}

}  // namespace palisor
