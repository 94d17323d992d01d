#pragma once

// Reading tasks and published skills from an authority of the foundation
// generation, which exposes them only through one catalogued, generic read
// operation ("foundation.resource.get"). The source checks that operation
// strictly before every read, and turns a published skill record into one
// package: a flat map of file path to file text with the published identity.
// It does not recompute package hashes; it checks that the published hash is
// well formed and matches the reference, and says so in the package.
//
// The source does no input or output of its own: every read goes through the
// `fetch` function it was discovered with.

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "bridge/common/bridge_error.h"
#include "bridge/common/json.h"

namespace palisor {

class FoundationSkillSource {
public:
    // An authority GET of a path (with its query); true asks for the project
    // agent's credential, false for the user's web session. Returns the
    // decoded answer; its failures pass through the source unchanged.
    using Fetch = std::function<JsonValue(const std::string& path, bool useProjectAgent)>;

    // "FOUNDATION_SKILL_" + code, the code one of CATALOG_INVALID,
    // READ_NOT_ALLOWED, PATH_UNRESOLVED, READ_REJECTED, IDENTITY_MISMATCH,
    // PUBLISHED_VERSION_MISMATCH, FILE_MAP_INVALID, FILE_INVALID,
    // FILE_CONFLICT, FILE_TREE_INVALID.
    class SourceError : public BridgeError {
    public:
        static SourceError invalid(const std::string& code);
        // The *_INVALID codes: a catalogue or file map not in the form read.
        static SourceError malformed(const std::string& code);

    private:
        SourceError(const std::string& code, ErrorKind kind);
    };

    static constexpr const char* kCatalogVersion = "foundation-v2";
    static constexpr const char* kReadOperationId = "foundation.resource.get";
    static constexpr std::size_t kMaxFiles = 2000;
    static constexpr std::size_t kMaxFileMapBytes = 16 * 1024 * 1024;

    // A source when the authority's bootstrap answer (with its
    // "operationCatalog") says it is of the foundation generation; nullptr
    // for an older authority. Throws CATALOG_INVALID for a catalogue without
    // operations, or one that claims the generation in another version.
    static std::shared_ptr<FoundationSkillSource> discover(const JsonValue& authority, const std::string& projectKey,
                                                           Fetch fetch);

    // One catalogued read of a resource ("tasks", "skills") by id. Query
    // entries the operation does not list are dropped. Returns the answer's
    // "data" when it is an object, else the whole answer.
    JsonValue read(const std::string& resource, const std::string& id,
                   const std::map<std::string, std::string>& query = {}) const;

    // The package of a resolved skill reference: the published version it
    // pins (else the record's current one) as one file map.
    JsonValue package(const JsonValue& ref) const;

    // The record-to-package step of package(), a function of its arguments.
    static JsonValue publishedFileMaps(const JsonValue& record, const JsonValue& ref);

    // What read() returns of an answer: its "data" when that is an object,
    // else the answer itself. Works on either JSON form, so a caller that
    // kept the received order of the answer can pick the same part.
    template <typename Json>
    static const Json& payloadOf(const Json& answer) {
        auto data = answer.find("data");
        return data != answer.end() && data->is_object() ? *data : answer;
    }

    const std::string& projectKey() const { return projectKey_; }
    const JsonValue& catalog() const { return catalog_; }

private:
    FoundationSkillSource(std::string projectKey, JsonValue catalog, Fetch fetch);

    std::string projectKey_;
    JsonValue catalog_;
    Fetch fetch_;
};

}  // namespace palisor
