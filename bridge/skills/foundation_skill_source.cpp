#include "bridge/skills/foundation_skill_source.h"

#include <algorithm>
#include <vector>

#include "bridge/common/bridge_error.h"
#include "bridge/common/text.h"
#include "bridge/skills/skill_folder.h"

namespace palisor {

namespace {

using SourceError = FoundationSkillSource::SourceError;

bool isAsciiAlphanumeric(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Every byte but ASCII letters and digits as %XX: a filled-in value can add
// no separator, placeholder or query to the catalogued path.
std::string encodeComponent(std::string_view value) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size());
    for (unsigned char c : value) {
        if (isAsciiAlphanumeric(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

void replaceAll(std::string& text, const std::string& pattern, const std::string& replacement) {
    for (std::size_t at = text.find(pattern); at != std::string::npos;
         at = text.find(pattern, at + replacement.size()))
        text.replace(at, pattern.size(), replacement);
}

bool isLowerHex64(const std::string& text) {
    if (text.size() != 64) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// Relative, no empty, "." or ".." part, no backslash or NUL, and not one of
// the two files the sync writes itself.
bool isSafePublishedPath(const std::string& path) {
    if (path.empty() || path.front() == '/') return false;
    if (path.find('\\') != std::string::npos || path.find('\0') != std::string::npos) return false;
    if (path == kSkillMarkerFileName || path == kSkillLockFileName) return false;
    for (std::string_view part : splitKeepingEmpty(path, "/"))
        if (part.empty() || part == "." || part == "..") return false;
    return true;
}

const JsonValue* findReadOperation(const JsonValue& catalog) {
    const JsonValue* operations = arrayMember(catalog, "operations");
    if (!operations) return nullptr;
    for (const JsonValue& operation : *operations) {
        const std::string* id = stringMember(operation, "id");
        if (id && *id == FoundationSkillSource::kReadOperationId) return &operation;
    }
    return nullptr;
}

}  // namespace

FoundationSkillSource::SourceError::SourceError(const std::string& code, ErrorKind kind)
    : BridgeError("FOUNDATION_SKILL_" + code, kind) {}

FoundationSkillSource::SourceError FoundationSkillSource::SourceError::invalid(const std::string& code) {
    return SourceError(code, ErrorKind::failure);
}

FoundationSkillSource::SourceError FoundationSkillSource::SourceError::malformed(const std::string& code) {
    return SourceError(code, ErrorKind::badRequest);
}

FoundationSkillSource::FoundationSkillSource(std::string projectKey, JsonValue catalog, Fetch fetch)
    : projectKey_(std::move(projectKey)), catalog_(std::move(catalog)), fetch_(std::move(fetch)) {}

std::shared_ptr<FoundationSkillSource> FoundationSkillSource::discover(const JsonValue& authority,
                                                                       const std::string& projectKey, Fetch fetch) {
    const JsonValue* catalogMember = objectMember(authority, "operationCatalog");
    JsonValue catalog = catalogMember ? *catalogMember : JsonValue::object();
    if (!arrayMember(catalog, "operations")) throw SourceError::malformed("CATALOG_INVALID");
    std::string mode = optString(authority, "mode").value_or("");
    std::string version = optString(catalog, "version").value_or("");
    if (!startsWith(mode, "foundation-") && !startsWith(version, "foundation-")) return nullptr;
    if (version != kCatalogVersion) throw SourceError::malformed("CATALOG_INVALID");
    return std::shared_ptr<FoundationSkillSource>(
        new FoundationSkillSource(projectKey, std::move(catalog), std::move(fetch)));
}

JsonValue FoundationSkillSource::read(const std::string& resource, const std::string& id,
                                      const std::map<std::string, std::string>& query) const {
    const JsonValue* operation = findReadOperation(catalog_);
    if (!operation) throw SourceError::invalid("READ_NOT_ALLOWED");
    const std::string* method = stringMember(*operation, "method");
    auto roleAllowed = optBool(*operation, "currentRoleAllowed");
    const std::string* authMode = stringMember(*operation, "authMode");
    const std::string* pathTemplate = stringMember(*operation, "pathTemplate");
    if (!method || *method != "GET" || roleAllowed == false || !authMode ||
        (*authMode != "project-agent" && *authMode != "web-session") || !pathTemplate ||
        !startsWith(*pathTemplate, "/api/v2/") || pathTemplate->find_first_of("?#") != std::string::npos)
        throw SourceError::invalid("READ_NOT_ALLOWED");

    // Percent-encoded dots are still steps to many servers.
    if (isDotSegment(projectKey_)) throw BridgeError("PATH_PARAM_INVALID:projectKey", ErrorKind::badRequest);
    if (isDotSegment(id)) throw BridgeError("PATH_PARAM_INVALID:id", ErrorKind::badRequest);
    std::string path = *pathTemplate;
    replaceAll(path, ":projectKey", encodeComponent(projectKey_));
    replaceAll(path, ":resource", encodeComponent(resource));
    replaceAll(path, ":id", encodeComponent(id));
    for (std::size_t at = path.find(':'); at != std::string::npos; at = path.find(':', at + 1)) {
        char next = at + 1 < path.size() ? path[at + 1] : '\0';
        if ((next >= 'a' && next <= 'z') || (next >= 'A' && next <= 'Z')) throw SourceError::invalid("PATH_UNRESOLVED");
    }

    std::vector<std::string> allowed;
    if (const JsonValue* params = arrayMember(*operation, "queryParams")) {
        for (const JsonValue& name : *params) {
            if (!name.is_string()) {
                allowed.clear();
                break;
            }
            allowed.push_back(name.get<std::string>());
        }
    }
    std::string joined;
    for (const auto& [name, value] : query) {  // a std::map iterates in name order
        if (std::find(allowed.begin(), allowed.end(), name) == allowed.end()) continue;
        if (!joined.empty()) joined += '&';
        joined += name + "=" + encodeComponent(value);
    }
    if (!joined.empty()) path += "?" + joined;

    JsonValue answer = fetch_(path, *authMode == "project-agent");
    if (optBool(answer, "ok") == false) throw SourceError::invalid("READ_REJECTED");
    return payloadOf(answer);
}

JsonValue FoundationSkillSource::package(const JsonValue& ref) const {
    const std::string* skillId = stringMember(ref, "skillId");
    if (!skillId) throw SourceError::invalid("IDENTITY_MISMATCH");
    std::map<std::string, std::string> query;
    const JsonValue* optimizations = objectMember(catalog_, "readOptimizations");
    const std::string* view = optimizations ? stringMember(*optimizations, "skillPackageView") : nullptr;
    if (view && *view == "package") {
        query["view"] = "package";
        if (const std::string* version = stringMember(ref, "version")) query["version"] = *version;
    }
    std::string recordId = optString(ref, "recordId").value_or("global:" + *skillId);
    return publishedFileMaps(read("skills", recordId, query), ref);
}

JsonValue FoundationSkillSource::publishedFileMaps(const JsonValue& record, const JsonValue& ref) {
    const std::string* refSkill = stringMember(ref, "skillId");
    const std::string* recordSkill = stringMember(record, "skillId");
    const std::string* status = stringMember(record, "status");
    if (!refSkill || !recordSkill || *refSkill != *recordSkill || !status || *status != "active")
        throw SourceError::invalid("IDENTITY_MISMATCH");

    std::optional<std::string> wanted = optString(ref, "version");
    if (!wanted) wanted = optString(record, "currentVersion");
    const JsonValue* entry = nullptr;
    if (const JsonValue* versions = arrayMember(record, "versions")) {
        for (const JsonValue& candidate : *versions) {
            if (candidate.is_object() && optString(candidate, "version") == wanted) {
                entry = &candidate;
                break;
            }
        }
    }
    if (!entry) throw SourceError::invalid("PUBLISHED_VERSION_MISMATCH");
    const std::string* entryStatus = stringMember(*entry, "status");
    const std::string* contentHash = stringMember(*entry, "contentHash");
    if (!entryStatus || *entryStatus != "published" || !contentHash || !isLowerHex64(*contentHash))
        throw SourceError::invalid("PUBLISHED_VERSION_MISMATCH");
    if (const JsonValue* pinned = member(ref, "contentHash"); pinned && (!pinned->is_string() || *pinned != *contentHash))
        throw SourceError::invalid("PUBLISHED_VERSION_MISMATCH");

    JsonValue files = JsonValue::object();
    for (const char* mapName : {"fileTreeSnapshot", "documentation", "scripts"}) {
        const JsonValue* map = member(*entry, mapName);
        if (!map) continue;
        if (!map->is_object()) throw SourceError::malformed("FILE_MAP_INVALID");
        for (const auto& [path, content] : map->items()) {
            if (!content.is_string() || !isSafePublishedPath(path)) throw SourceError::malformed("FILE_INVALID");
            auto held = files.find(path);
            if (held != files.end() && *held != content) throw SourceError::invalid("FILE_CONFLICT");
            files[path] = content;
        }
    }
    const std::string* skillMd = stringMember(files, "SKILL.md");
    if (!skillMd || skillMd->empty() || files.size() > kMaxFiles) throw SourceError::malformed("FILE_TREE_INVALID");
    auto encoded = dumpCompact(files);
    if (!encoded || encoded->size() > kMaxFileMapBytes) throw SourceError::malformed("FILE_TREE_INVALID");

    return {{"skillId", *refSkill},
            {"version", wanted.value_or("")},
            {"contentHash", *contentHash},
            {"fileTreeSnapshot", std::move(files)},
            {"sourceFormat", "foundation-v2-file-maps"},
            {"sourceCompleteness", entry->contains("fileTreeSnapshot") ? "published-snapshot" : "published-fields-only"},
            {"identityVerification", "authority-record-not-recomputed-package-hash"}};
}

}  // namespace palisor
