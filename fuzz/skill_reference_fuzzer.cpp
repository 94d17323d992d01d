// Feeds an arbitrary JSON document to the skill reference rules and to the
// foundation source's reading of published file maps, as an authority (or an
// agent naming skills) could send them. The document's members:
//   "task"      a task or progress item (kept in its received order)
//   "skills"    the skills an agent names
//   "lock"      the lock file's "skills" object
//   "record"    a published skill record; without one, a record is made
//               around "files", "documentation" and "scripts" for the first
//               resolved skill, so that file maps are reached quickly
//   "authority" a bootstrap answer with its operation catalogue; "query"
//               the query of a catalogued read
// Besides crashes it traps when a resolved reference, a folder name the sync
// accepts or a package path the source accepts breaks its promise: above
// all, when an accepted path could lead out of the skill's folder.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/common/json.h"
#include "bridge/common/paths.h"
#include "bridge/common/text.h"
#include "bridge/skills/foundation_skill_source.h"
#include "bridge/skills/skill_folder.h"
#include "bridge/skills/skill_reference_resolver.h"
#include "bridge/skills/skill_sync_error.h"

namespace {

using palisor::FoundationSkillSource;
using palisor::JsonValue;
using palisor::OrderedJsonValue;
using palisor::SkillReferenceResolver;
using palisor::SkillReferenceResolverError;

const std::string kSkillRoot = "/work/project/.agents/skills";

const std::set<std::string>& sourceKinds() {
    static const std::set<std::string> kinds{SkillReferenceResolver::kCanonicalBinding,
                                             SkillReferenceResolver::kLegacyBinding, SkillReferenceResolver::kExplicit,
                                             SkillReferenceResolver::kOutputFallback};
    return kinds;
}

const std::string* text(const JsonValue& object, std::string_view key) { return palisor::stringMember(object, key); }

// What the resolver reads as a reference's skill id.
std::optional<std::string> idOf(const JsonValue& ref) {
    const JsonValue* id = palisor::member(ref, "skillId");
    if (!id || id->is_null()) return std::nullopt;
    std::string value = palisor::trim(id->is_string() ? id->get<std::string>() : palisor::dumpCompact(*id).value_or(""));
    if (value.empty()) return std::nullopt;
    return value;
}

std::vector<JsonValue> collect(const OrderedJsonValue& document) {
    std::vector<JsonValue> named;
    if (auto skills = document.find("skills"); skills != document.end() && skills->is_array())
        for (const auto& item : *skills) named.push_back(palisor::toSortedJson(item));
    const OrderedJsonValue* task = nullptr;
    if (auto found = document.find("task"); found != document.end()) task = &*found;
    std::vector<JsonValue> refs = SkillReferenceResolver::collect(task, named);

    // Every raw reference names its skill and its source; the named skills
    // come first, then those of one source of the task.
    std::size_t fromNamed = 0;
    std::set<std::string> taskKinds;
    for (const JsonValue& ref : refs) {
        if (!ref.is_object()) __builtin_trap();
        const std::string* id = text(ref, "skillId");
        const std::string* kind = text(ref, "syncSourceKind");
        if (!id || id->empty() || !kind || !sourceKinds().count(*kind)) __builtin_trap();
        if (palisor::optInt64(ref, "syncSourcePriority") != SkillReferenceResolver::priorityOf(*kind)) __builtin_trap();
        if (*kind == SkillReferenceResolver::kExplicit && taskKinds.empty()) {
            ++fromNamed;
        } else {
            taskKinds.insert(*kind);
        }
    }
    if (fromNamed > named.size() || taskKinds.size() > 1) __builtin_trap();
    if (taskKinds.count(SkillReferenceResolver::kExplicit)) __builtin_trap();
    return refs;
}

std::vector<JsonValue> resolve(const std::vector<JsonValue>& refs) {
    std::vector<JsonValue> resolved;
    try {
        resolved = SkillReferenceResolver::resolve(refs);
    } catch (const SkillReferenceResolverError& error) {
        if (error.errorCase() != SkillReferenceResolverError::Case::canonicalConflict) __builtin_trap();
        return {};
    }
    // One reference per skill id, in id order, each at the highest priority
    // any reference of that id had.
    std::map<std::string, std::int64_t> best;
    for (const JsonValue& ref : refs) {
        auto id = idOf(ref);
        if (!id) continue;
        std::int64_t priority = SkillReferenceResolver::priorityOf(text(ref, "syncSourceKind") ? *text(ref, "syncSourceKind") : "");
        auto [it, fresh] = best.emplace(*id, priority);
        if (!fresh) it->second = std::max(it->second, priority);
    }
    if (resolved.size() != best.size()) __builtin_trap();
    auto expected = best.begin();
    for (const JsonValue& ref : resolved) {
        const std::string* id = text(ref, "skillId");
        const std::string* kind = text(ref, "syncSourceKind");
        if (!id || *id != expected->first || !kind) __builtin_trap();
        auto priority = palisor::optInt64(ref, "syncSourcePriority");
        if (priority != SkillReferenceResolver::priorityOf(*kind) || priority != expected->second) __builtin_trap();
        for (const char* key : {"version", "contentHash", "sourceTaskId"})
            if (const JsonValue* value = palisor::member(ref, key); value && (!value->is_string() || value->get<std::string>().empty()))
                __builtin_trap();
        ++expected;
    }
    return resolved;
}

bool unsafeSegment(const std::string& trimmed) {
    return trimmed.empty() || trimmed == "." || trimmed == ".." ||
           trimmed.find_first_of(std::string("/\\\0", 3)) != std::string::npos;
}

// The folder a skill id names: the sync refuses exactly the ids that cannot
// name one folder right below the skill root.
void checkFolderName(const std::string& id) {
    std::string safe;
    try {
        safe = palisor::assertSafePathSegment(id);
    } catch (const palisor::SkillSyncError&) {
        if (!unsafeSegment(palisor::trim(id))) __builtin_trap();
        return;
    }
    if (safe != palisor::trim(id) || unsafeSegment(safe)) __builtin_trap();
    std::string folder = palisor::standardizePath(palisor::joinPath(kSkillRoot, safe));
    if (palisor::parentPath(folder) != kSkillRoot) __builtin_trap();
}

bool unsafePublishedPath(const std::string& path) {
    if (path.empty() || path.front() == '/') return true;
    if (path.find('\\') != std::string::npos || path.find('\0') != std::string::npos) return true;
    if (path == ".quillstone-sync.json" || path == ".skill-lock.json") return true;
    for (std::string_view part : palisor::splitKeepingEmpty(path, "/"))
        if (part.empty() || part == "." || part == "..") return true;
    return false;
}

// A file path the folder accepts stays beneath the package folder.
void checkSnapshotPath(const std::string& packageRoot, const std::string& path, bool mustAccept) {
    std::string file;
    try {
        file = palisor::resolveSnapshotPath(packageRoot, path);
    } catch (const palisor::SkillSyncError&) {
        if (mustAccept) __builtin_trap();
        return;
    }
    if (!palisor::startsWith(file, packageRoot + "/")) __builtin_trap();
    for (std::string_view part : palisor::splitKeepingEmpty(std::string_view(file).substr(packageRoot.size() + 1), "/"))
        if (part.empty() || part == "." || part == "..") __builtin_trap();
}

bool isLowerHex64(const std::string& text) {
    if (text.size() != 64) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

void checkPackage(const JsonValue& record, const JsonValue& ref) {
    const std::string* skillId = text(ref, "skillId");
    std::string packageRoot = kSkillRoot + "/package";

    // Whatever the source decides, the folder's own path rule holds alone.
    for (const char* mapName : {"fileTreeSnapshot", "documentation", "scripts"}) {
        if (const JsonValue* versions = palisor::arrayMember(record, "versions"))
            for (const JsonValue& entry : *versions)
                if (const JsonValue* map = palisor::objectMember(entry, mapName))
                    for (auto it = map->begin(); it != map->end(); ++it) checkSnapshotPath(packageRoot, it.key(), false);
    }

    JsonValue package;
    try {
        package = FoundationSkillSource::publishedFileMaps(record, ref);
    } catch (const FoundationSkillSource::SourceError&) {
        return;
    }
    if (!skillId || package.value("skillId", "") != *skillId) __builtin_trap();
    const std::string* hash = text(package, "contentHash");
    if (!hash || !isLowerHex64(*hash)) __builtin_trap();
    if (const JsonValue* pinned = palisor::member(ref, "contentHash"); pinned && *pinned != *hash) __builtin_trap();
    const JsonValue* files = palisor::objectMember(package, "fileTreeSnapshot");
    if (!files || files->size() > FoundationSkillSource::kMaxFiles) __builtin_trap();
    const std::string* skillMd = text(*files, "SKILL.md");
    if (!skillMd || skillMd->empty()) __builtin_trap();
    for (auto it = files->begin(); it != files->end(); ++it) {
        if (!it.value().is_string() || unsafePublishedPath(it.key())) __builtin_trap();
        // What the source accepts, the folder writes, inside the package.
        checkSnapshotPath(packageRoot, it.key(), true);
    }
    if (!palisor::dumpCompact(package)) __builtin_trap();
}

JsonValue recordAround(const JsonValue& document, const JsonValue& ref) {
    JsonValue entry = {{"version", "1.0.0"}, {"status", "published"}, {"contentHash", std::string(64, 'a')}};
    for (const char* mapName : {"fileTreeSnapshot", "documentation", "scripts"}) {
        std::string key = std::string(mapName) == "fileTreeSnapshot" ? "files" : mapName;
        if (const JsonValue* map = palisor::member(document, key)) entry[mapName] = *map;
    }
    return {{"skillId", ref.value("skillId", "")},
            {"status", "active"},
            {"currentVersion", "1.0.0"},
            {"versions", JsonValue::array({entry})}};
}

bool isPlainName(const std::string& name) {
    if (name.empty()) return false;
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
    return true;
}

// A catalogued read fills in values that can add no separator, placeholder
// or query of their own.
void checkCatalogRead(const JsonValue& document, const std::string& id) {
    const JsonValue* authority = palisor::objectMember(document, "authority");
    if (!authority) return;
    std::string fetched;
    std::shared_ptr<FoundationSkillSource> source;
    try {
        source = FoundationSkillSource::discover(*authority, palisor::optString(document, "projectKey").value_or("P/../x?y"),
                                                 [&](const std::string& path, bool) {
                                                     fetched = path;
                                                     return JsonValue{{"ok", true}, {"data", JsonValue::object()}};
                                                 });
    } catch (const FoundationSkillSource::SourceError&) {
        return;
    }
    if (!source) return;
    std::map<std::string, std::string> query;
    if (const JsonValue* given = palisor::objectMember(document, "query"))
        for (auto it = given->begin(); it != given->end(); ++it)
            // The names are the sync's own constants; only values come from outside.
            if (it.value().is_string() && isPlainName(it.key())) query[it.key()] = it.value().get<std::string>();
    try {
        source->read("skills", id, query);
    } catch (const FoundationSkillSource::SourceError&) {
        return;
    }
    if (!palisor::startsWith(fetched, "/api/v2/")) __builtin_trap();
    if (fetched.find('#') != std::string::npos) __builtin_trap();
    std::size_t question = fetched.find('?');
    if (question != std::string::npos && fetched.find('?', question + 1) != std::string::npos) __builtin_trap();
    // The catalogued template has as many slashes as the path it gives.
    const JsonValue* operations = palisor::arrayMember(source->catalog(), "operations");
    std::size_t templateSlashes = std::string::npos;
    for (const JsonValue& operation : *operations)
        if (const std::string* operationId = text(operation, "id"); operationId && *operationId == FoundationSkillSource::kReadOperationId) {
            templateSlashes = static_cast<std::size_t>(std::count(text(operation, "pathTemplate")->begin(),
                                                                  text(operation, "pathTemplate")->end(), '/'));
            break;
        }
    std::string_view pathPart = std::string_view(fetched).substr(0, question);
    if (static_cast<std::size_t>(std::count(pathPart.begin(), pathPart.end(), '/')) != templateSlashes) __builtin_trap();
    // Query values are encoded: only '=' and '&' separate them.
    if (question != std::string::npos) {
        for (std::string_view pair : palisor::splitKeepingEmpty(std::string_view(fetched).substr(question + 1), "&")) {
            std::size_t equals = pair.find('=');
            if (equals == std::string_view::npos || !query.count(std::string(pair.substr(0, equals)))) __builtin_trap();
            if (pair.substr(equals + 1).find_first_of("=&/?#:") != std::string_view::npos) __builtin_trap();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto ordered = palisor::parseOrderedJson(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!ordered || !ordered->is_object()) return 0;
    JsonValue document = palisor::toSortedJson(*ordered);

    std::vector<JsonValue> refs = collect(*ordered);
    std::vector<JsonValue> resolved = resolve(refs);

    const JsonValue* lock = palisor::objectMember(document, "lock");
    for (const JsonValue& ref : resolved) {
        std::string id = *text(ref, "skillId");
        checkFolderName(id);
        const JsonValue* lockEntry = lock ? palisor::objectMember(*lock, id) : nullptr;
        try {
            auto reason = SkillReferenceResolver::staleTaskSnapshotReason(lockEntry, ref);
            if (reason && *reason != "STALE_TASK_SNAPSHOT_IGNORED") __builtin_trap();
        } catch (const SkillReferenceResolverError& error) {
            if (error.errorCase() != SkillReferenceResolverError::Case::sameRevisionConflict) __builtin_trap();
        }
    }

    JsonValue ref = resolved.empty() ? JsonValue{{"skillId", "skill"}} : resolved.front();
    const JsonValue* record = palisor::objectMember(document, "record");
    checkPackage(record ? *record : recordAround(document, ref), ref);

    checkCatalogRead(document, resolved.empty() ? std::string("global:skill") : "global:" + *text(ref, "skillId"));
    return 0;
}
