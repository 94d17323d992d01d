#include "bridge/spool/ai_work_event_spool.h"

#include <fcntl.h>
#include <re2/re2.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

#include "bridge/common/atomic_file.h"
#include "bridge/common/paths.h"
#include "bridge/common/text.h"
#include "bridge/common/time.h"
#include "bridge/common/unicode.h"

namespace palisor {

namespace {

constexpr std::array<std::string_view, 29> kAllowedFields = {
    "idempotencyKey", "traceId",         "spanId",    "parentSpanId", "causalId",     "operationId",
    "taskId",         "taskRevision",    "component", "kind",         "eventType",    "phase",
    "operationName",  "outcome",         "severity",  "occurredAt",   "durationMs",   "requestId",
    "jobId",          "validationRunId", "reportId",  "errorCode",    "errorMessage", "retryable",
    "httpStatus",     "summary",         "skillRefs", "evidenceRefs", "attributes",
};

// Private reasoning and source never leave the machine, however the key is spelled.
constexpr std::array<std::string_view, 5> kProhibitedKeys = {
    "chainofthought", "reasoningtrace", "hiddenreasoning", "rawprompt", "sourcecode",
};

constexpr std::array<std::string_view, 5> kRequiredFields = {"idempotencyKey", "kind", "eventType", "outcome",
                                                             "summary"};

constexpr std::array<std::string_view, 3> kAcceptedComponents = {"ai-node", "bridge", "validator"};

constexpr std::size_t kMaxStringCharacters = 4000;
constexpr std::size_t kMaxContainerMembers = 50;
constexpr int kMaxDepth = 5;
constexpr std::size_t kMinIdempotencyKey = 8;
constexpr std::size_t kMaxIdempotencyKey = 300;

template <std::size_t N>
bool contains(const std::array<std::string_view, N>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// The scrubber runs on untrusted text of any length, so the patterns are RE2
// (linear time, no recursion), compiled once and shared by every thread.
RE2::Options caseInsensitive() {
    RE2::Options options;
    options.set_case_sensitive(false);
    options.set_log_errors(false);
    return options;
}

// White space as Unicode defines it, not only ASCII: "Bearer" followed by a
// no-break space still introduces a token that must not be stored.
constexpr const char* kSpace = R"(\t\n\v\f\r\p{Z}\x{85})";

// The patterns are compiled once and never destroyed: a request thread may
// still scrub a value while the process exits.
const RE2& bearerPattern() {
    static const RE2& pattern = *new RE2(std::string(R"(\bBearer[)") + kSpace + R"(]+[A-Za-z0-9._~+/-]+=*)", caseInsensitive());
    return pattern;
}

const RE2& jwtPattern() {
    static const RE2& pattern = *new RE2(R"(\beyJ[A-Za-z0-9_-]{8,}\.[A-Za-z0-9_-]{8,}\.[A-Za-z0-9_-]{8,}\b)", caseInsensitive());
    return pattern;
}

// The scheme stays; user name and password go.
const RE2& urlCredentialsPattern() {
    static const RE2& pattern = *new RE2(std::string(R"(([a-z][a-z0-9+.-]*://)[^)") + kSpace + R"(/@:]+:[^)" + kSpace + R"(/@]+@)",
                             caseInsensitive());
    return pattern;
}

// A private key in PEM form (PKCS#1, PKCS#8, encrypted, EC, OpenSSH, PGP),
// from its first line to its last, or to the end of the text when the last
// is missing: a key cut short by a length limit is still a key.
const RE2& privateKeyBlockPattern() {
    static const RE2& pattern = *new RE2(
        R"(-----BEGIN[ A-Z0-9]*PRIVATE KEY(?: BLOCK)?-----(?s:.*?)(?:-----END[ A-Z0-9]*PRIVATE KEY(?: BLOCK)?-----|\z))",
        caseInsensitive());
    return pattern;
}

// Where a name and its value meet: "=", "=>" or ":", with spaces on the line
// around it, the name possibly quoted (also as JSON inside a string, \").
constexpr const char* kNameEnd = R"(\\?["']?[\t\p{Zs}]*(?:=>?|:)[\t\p{Zs}]*)";

// "Authorization: Basic <user:password in Base64>"; the header name stays.
// "Basic" alone is a common word, so only the header's value is taken, up to
// white space or a quote whatever its characters.
const RE2& basicCredentialsPattern() {
    static const RE2& pattern = *new RE2(std::string(R"((\bauthorization)") + kNameEnd + R"(\\?["']?)Basic[)" + kSpace +
                                             R"(]+[^)" + kSpace + R"("']+)",
                                         caseInsensitive());
    return pattern;
}

// The value of a query, form, header, JSON or "key: value" pair whose name
// ends in one of the secrets below, in any case and joined by "-" or "_"
// ("api-key", "API_KEY", "X-Api-Key", "db.password", "accessToken"). The name
// is whole words only: "tokenizer=" or "tokens_used=" are not secrets. The
// name, its quotes and the separator stay. A value is a quoted text (to its
// closing quote, even across lines), or else runs to white space, a quote or
// "&"; a value that ends in a "Bearer" or "Basic" scheme takes the token
// after it as well, and so on for as long as that ends in one too, so no
// token is left behind without the word that marks it.
const RE2& secretPairPattern() {
    static const RE2& pattern = *new RE2(
        std::string(R"((\b(?:[a-z0-9]+[-_.])*(?:(?:access|refresh|id)[-_]?token|token|passw(?:or)?d|)") +
            R"((?:client[-_]?)?secret|api[-_]?key|private[-_]?key))" + kNameEnd +
            R"()(?:(\\?")(?:[^"\\]|\\[^"])+|(')[^']+|(?:[^)" + kSpace + R"("'&]*\b(?:bearer|basic)[)" + kSpace +
            R"(]+)*[^)" + kSpace + R"("'&]+))",
        caseInsensitive());
    return pattern;
}

const RE2& sensitiveKeyPattern() {
    static const RE2& pattern = *new RE2(
        "(authorization|bearer|token|secret|password|passwd|cookie|credential|private.?key|connection.?string|"
        "mongo.?uri|jwt|session.?id)",
        caseInsensitive());
    return pattern;
}

// Text that is not valid UTF-8 could not be serialised at all, and the event
// carrying it would be lost; such bytes become U+FFFD instead.
std::string validUtf8(std::string_view text) {
    if (isValidUtf8(text)) return std::string(text);
    std::string out;
    out.reserve(text.size());
    for (char32_t scalar : utf8Scalars(text)) appendUtf8(out, scalar);
    return out;
}

std::string scrubText(std::string_view input) {
    std::string text = validUtf8(input);
    // URL credentials go first. A Bearer token or a JWT may end right where
    // a URL's "://" begins ("Bearer srv://admin:pw@host" reads the scheme as
    // the token); replaced first, it would take the scheme with it, the URL
    // pattern would no longer match, and the user and password would stay.
    // The user and password of a URL never hold white space, "/" or "@", so
    // removing them first leaves every token and JWT for its own pattern.
    RE2::GlobalReplace(&text, urlCredentialsPattern(), R"(\1[REDACTED]@)");
    // Then whatever spans the most: a key block's first line holds spaces
    // and dashes, where a token or a pair's value would end and cut the block
    // in two, leaving the key itself behind.
    RE2::GlobalReplace(&text, privateKeyBlockPattern(), "[REDACTED]");
    // The Basic scheme is known by the header name before it, which a pair
    // value or a Bearer token could take away; and a pair's name could be
    // taken into a Bearer token or a JWT ("Bearer a.token=x" ends at "=").
    // Each of these patterns keeps the text that marks the others, so
    // running them in this order leaves nothing behind.
    RE2::GlobalReplace(&text, basicCredentialsPattern(), R"(\1[REDACTED])");
    RE2::GlobalReplace(&text, secretPairPattern(), R"(\1\2\3[REDACTED])");
    RE2::GlobalReplace(&text, bearerPattern(), "[REDACTED]");
    RE2::GlobalReplace(&text, jwtPattern(), "[REDACTED]");
    if (text.size() > kMaxStringCharacters) text = std::string(prefixOfUserPerceivedLength(text, kMaxStringCharacters));
    return text;
}

std::string normalizedKey(std::string_view key) {
    std::string out;
    for (char c : key) {
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
            out.push_back(c);
        else if (c >= 'A' && c <= 'Z')
            out.push_back(static_cast<char>(c - 'A' + 'a'));
    }
    return out;
}

JsonValue sanitizeValue(const JsonValue& value, int depth) {
    switch (value.type()) {
        case JsonValue::value_t::string:
            return scrubText(value.get_ref<const std::string&>());
        case JsonValue::value_t::null:
        case JsonValue::value_t::boolean:
        case JsonValue::value_t::number_integer:
        case JsonValue::value_t::number_unsigned:
        case JsonValue::value_t::number_float:
            return value;
        default:
            break;
    }
    if (depth >= kMaxDepth) return "[TRUNCATED_DEPTH]";
    if (value.is_array()) {
        JsonValue out = JsonValue::array();
        std::size_t count = std::min(value.size(), kMaxContainerMembers);
        for (std::size_t i = 0; i < count; ++i) out.push_back(sanitizeValue(value[i], depth + 1));
        return out;
    }
    if (value.is_object()) {
        JsonValue out = JsonValue::object();
        std::size_t considered = 0;
        for (auto it = value.begin(); it != value.end() && considered < kMaxContainerMembers; ++it, ++considered) {
            const std::string& key = it.key();
            if (contains(kProhibitedKeys, normalizedKey(key))) continue;
            if (RE2::PartialMatch(key, sensitiveKeyPattern())) continue;
            out[validUtf8(key)] = sanitizeValue(it.value(), depth + 1);
        }
        return out;
    }
    // Binary values and the like: their description, which holds no text of ours.
    return value.dump(-1, ' ', false, JsonValue::error_handler_t::replace);
}

std::string upperAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

bool hasKey(const JsonValue& entry, const std::string& idempotencyKey) {
    const std::string* key = stringMember(entry, "idempotencyKey");
    return key && *key == idempotencyKey;
}

void addDropped(JsonValue& state, std::size_t count) {
    std::int64_t dropped = state["droppedCount"].get<std::int64_t>();
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    dropped = static_cast<std::int64_t>(count) > kMax - dropped ? kMax : dropped + static_cast<std::int64_t>(count);
    state["droppedCount"] = dropped;
}

// Keeps the newest `maxItems` entries; the ones given up are counted, so an
// agent can tell that events were lost rather than delivered.
void keepNewest(JsonValue& state, std::size_t maxItems) {
    JsonValue& entries = state["entries"];
    if (entries.size() <= maxItems) return;
    std::size_t excess = entries.size() - maxItems;
    entries.erase(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(excess));
    addDropped(state, excess);
}

void syncFolder(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int error = fd < 0 ? errno : 0;
    if (fd >= 0) {
        if (::fsync(fd) != 0) error = errno;
        ::close(fd);
    }
    // Some file systems cannot sync a folder; that is not a lost write.
    if (error != 0 && error != EINVAL && error != EROFS)
        throw FileError("DIRECTORY_CREATE_FAILED", "cannot sync folder " + folder + ": " + std::strerror(error), error);
}

// The first write into a workspace makes the runtime folder. Its name, and
// that of any folder made with it, lives in the parent, which is synced too:
// otherwise a crash could lose the folder with the durably written file in it.
void createFolderDurably(const std::string& folder) {
    std::string existing = folder;
    while (existing != "/" && ::access(existing.c_str(), F_OK) != 0) existing = parentPath(existing);
    if (existing == folder) return;
    createDirectories(folder);
    for (std::string parent = parentPath(folder);; parent = parentPath(parent)) {
        syncFolder(parent);
        if (parent == existing || parent == "/") break;
    }
}

}  // namespace

AiWorkEventSpoolError::AiWorkEventSpoolError(Case errorCase, std::string code, std::string field)
    : BridgeError(std::move(code)), case_(errorCase), field_(std::move(field)) {}

AiWorkEventSpoolError AiWorkEventSpoolError::requiredField(const std::string& name) {
    return {Case::requiredField, "AI_WORK_EVENT_" + upperAscii(name) + "_REQUIRED", name};
}
AiWorkEventSpoolError AiWorkEventSpoolError::workspaceRootRequired() {
    return {Case::workspaceRootRequired, "WORKSPACE_ROOT_REQUIRED"};
}
AiWorkEventSpoolError AiWorkEventSpoolError::invalidPath() {
    return {Case::invalidPath, "AI_WORK_EVENT_SPOOL_PATH_INVALID"};
}
AiWorkEventSpoolError AiWorkEventSpoolError::invalidIdempotencyKey() {
    return {Case::invalidIdempotencyKey, "AI_WORK_EVENT_IDEMPOTENCY_KEY_INVALID"};
}

// A spool that kept no entry would answer "queued" for an event it had
// already thrown away, so it keeps at least one.
AiWorkEventSpool::AiWorkEventSpool(int maxItems, int flushLimit)
    : maxItems_(static_cast<std::size_t>(std::max(1, maxItems))),
      flushLimit_(static_cast<std::size_t>(std::max(0, flushLimit))) {}

JsonValue AiWorkEventSpool::sanitizeDiagnosticValue(const JsonValue& value) {
    return sanitizeValue(value, 0);
}

std::string AiWorkEventSpool::spoolUrl(const std::string& workspaceRoot) {
    std::string trimmed = trim(workspaceRoot);
    if (trimmed.empty()) throw AiWorkEventSpoolError::workspaceRootRequired();
    // The system's file calls end a path at the first NUL byte: "/w\0/x" would
    // write beside the workspace instead of inside it.
    if (trimmed.find('\0') != std::string::npos) throw AiWorkEventSpoolError::invalidPath();
    std::string root = standardizePath(trimmed);
    if (root == "/") throw AiWorkEventSpoolError::workspaceRootRequired();
    std::string file = standardizePath(joinPath(root, kRelativePath));
    if (!startsWith(file, root + "/")) throw AiWorkEventSpoolError::invalidPath();
    return file;
}

JsonValue AiWorkEventSpool::emptyState(const std::string& projectKey) {
    return {{"schemaVersion", kSchemaVersion},
            {"projectKey", projectKey},
            {"droppedCount", std::int64_t{0}},
            {"entries", JsonValue::array()}};
}

JsonValue AiWorkEventSpool::sanitizeEvent(const JsonValue& event, const std::string& component) {
    JsonValue out = JsonValue::object();
    if (event.is_object())
        for (auto it = event.begin(); it != event.end(); ++it)
            if (contains(kAllowedFields, it.key())) out[it.key()] = sanitizeValue(it.value(), 0);
    for (std::string_view name : kRequiredFields) {
        const std::string* text = stringMember(out, name);
        if (!text || trim(*text).empty()) throw AiWorkEventSpoolError::requiredField(std::string(name));
    }
    std::size_t keyLength = userPerceivedLength(*stringMember(out, "idempotencyKey"));
    if (keyLength < kMinIdempotencyKey || keyLength > kMaxIdempotencyKey)
        throw AiWorkEventSpoolError::invalidIdempotencyKey();
    if (!contains(kAcceptedComponents, component)) throw AiWorkEventSpoolError::requiredField("component");
    out["component"] = component;
    return out;
}

JsonValue AiWorkEventSpool::readState(const std::string& workspaceRoot, const std::string& projectKey) const {
    std::string path = spoolUrl(workspaceRoot);
    JsonValue state = emptyState(projectKey);
    // Whatever is wrong with the file, the spool starts afresh rather than
    // refusing new events; the next write replaces it.
    std::optional<std::string> bytes;
    try {
        bytes = readFileIfExists(path);
    } catch (const FileError&) {
        return state;
    }
    if (!bytes) return state;
    std::optional<JsonValue> stored = parseJson(*bytes);
    if (!stored || !stored->is_object()) return state;
    const std::string* schema = stringMember(*stored, "schemaVersion");
    const std::string* storedProject = stringMember(*stored, "projectKey");
    if (!schema || *schema != kSchemaVersion || !storedProject || *storedProject != projectKey) return state;
    state["droppedCount"] = std::max<std::int64_t>(0, optInt64(*stored, "droppedCount").value_or(0));
    if (const JsonValue* entries = arrayMember(*stored, "entries"))
        for (const JsonValue& entry : *entries)
            if (entry.is_object()) state["entries"].push_back(entry);
    keepNewest(state, maxItems_);
    return state;
}

void AiWorkEventSpool::writeState(const std::string& workspaceRoot, const JsonValue& state) const {
    std::string path = spoolUrl(workspaceRoot);
    createFolderDurably(parentPath(path));
    std::string bytes = dumpPrettyForFile(state) + '\n';
    // Durable and atomic: readers see the old file or the new one, and an
    // event reported as queued survives a crash.
    writeFileAtomically(path, bytes, 0600);
}

JsonValue AiWorkEventSpool::enqueue(const std::string& workspaceRoot, const std::string& projectKey,
                                    const JsonValue& event, const std::string& component) {
    JsonValue sanitized = sanitizeEvent(event, component);
    std::string idempotencyKey = *stringMember(sanitized, "idempotencyKey");

    std::lock_guard<std::mutex> guard(lock_);
    JsonValue state = readState(workspaceRoot, projectKey);
    JsonValue& entries = state["entries"];
    bool duplicate = std::any_of(entries.begin(), entries.end(),
                                 [&](const JsonValue& entry) { return hasKey(entry, idempotencyKey); });
    if (!duplicate)
        entries.push_back(
            {{"idempotencyKey", idempotencyKey}, {"queuedAt", isoNow()}, {"event", std::move(sanitized)}});
    keepNewest(state, maxItems_);
    writeState(workspaceRoot, state);
    return {{"queued", !duplicate},
            {"duplicate", duplicate},
            {"pendingCount", state["entries"].size()},
            {"droppedCount", state["droppedCount"]}};
}

std::vector<JsonValue> AiWorkEventSpool::pending(const std::string& workspaceRoot, const std::string& projectKey) {
    std::lock_guard<std::mutex> guard(lock_);
    JsonValue state = readState(workspaceRoot, projectKey);
    const JsonValue& entries = state["entries"];
    std::size_t count = std::min(entries.size(), flushLimit_);
    return std::vector<JsonValue>(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(count));
}

JsonValue AiWorkEventSpool::acknowledge(const std::string& workspaceRoot, const std::string& projectKey,
                                        const std::string& idempotencyKey) {
    std::lock_guard<std::mutex> guard(lock_);
    JsonValue state = readState(workspaceRoot, projectKey);
    JsonValue& entries = state["entries"];
    std::size_t before = entries.size();
    JsonValue kept = JsonValue::array();
    for (JsonValue& entry : entries)
        if (!hasKey(entry, idempotencyKey)) kept.push_back(std::move(entry));
    entries = std::move(kept);
    bool removed = entries.size() != before;
    if (removed) writeState(workspaceRoot, state);
    return {{"removed", removed}, {"pendingCount", state["entries"].size()}};
}

JsonValue AiWorkEventSpool::snapshot(const std::string& workspaceRoot, const std::string& projectKey) {
    std::lock_guard<std::mutex> guard(lock_);
    JsonValue state = readState(workspaceRoot, projectKey);
    return {{"pendingCount", state["entries"].size()}, {"droppedCount", state["droppedCount"]}};
}

}  // namespace palisor
