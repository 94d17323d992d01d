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
#include <vector>

#include "bridge/common/atomic_file.h"
#include "bridge/common/contained_files.h"
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
// closing quote, even across lines; one of the groups 2 and 3), or else runs
// to white space, a quote or "&" (group 4).
const RE2& secretPairPattern() {
    static const RE2& pattern = *new RE2(
        std::string(R"((\b(?:[a-z0-9]+[-_.])*(?:(?:access|refresh|id)[-_]?token|token|passw(?:or)?d|)") +
            R"((?:client[-_]?)?secret|api[-_]?key|private[-_]?key))" + kNameEnd +
            R"()(?:\\?"((?:[^"\\]|\\[^"])+)|'([^']+)|([^)" + kSpace + R"("'&]+)))",
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

// A stretch of the text that holds a secret, as offsets.
struct Secret {
    std::size_t begin;
    std::size_t end;
};

std::string_view piece(const re2::StringPiece& group) { return {group.data(), group.size()}; }

// Every secret `pattern` finds in the text as one global replacement would:
// left to right, matches not overlapping, each with the text before it as
// the context of "\b". `secretOf` tells which part of a match is the secret.
template <typename SecretOf>
void findSecrets(std::string_view text, const RE2& pattern, std::vector<Secret>& secrets, SecretOf secretOf) {
    re2::StringPiece groups[5];
    int count = pattern.NumberOfCapturingGroups() + 1;
    std::size_t at = 0;
    re2::StringPiece whole(text.data(), text.size());
    while (at < text.size() && pattern.Match(whole, at, text.size(), RE2::UNANCHORED, groups, count)) {
        std::string_view secret = secretOf(groups);
        if (!secret.empty())
            secrets.push_back({static_cast<std::size_t>(secret.data() - text.data()),
                               static_cast<std::size_t>(secret.data() - text.data()) + secret.size()});
        at = std::max(static_cast<std::size_t>(groups[0].data() - text.data()) + groups[0].size(), at + 1);
    }
}

std::string scrubText(std::string_view input) {
    std::string text = validUtf8(input);
    // Every pattern looks at the text as it came, and everything any of them
    // found is removed at once. Replaced one pattern after another, a match
    // could take away what marks another's secret and leave that secret
    // behind: a Bearer token the scheme of a URL ("Bearer srv://admin:pw@h"),
    // a header's Basic value the word Bearer, a pair's value the header name
    // of Basic credentials, a token the name of a pair ("Bearer a.token=x").
    std::vector<Secret> secrets;
    auto whole = [](const re2::StringPiece* groups) { return piece(groups[0]); };
    // The scheme stays, and the "@" after the user and password.
    findSecrets(text, urlCredentialsPattern(), secrets, [](const re2::StringPiece* groups) {
        const char* begin = groups[1].data() + groups[1].size();
        return std::string_view(begin, static_cast<std::size_t>(groups[0].data() + groups[0].size() - 1 - begin));
    });
    findSecrets(text, bearerPattern(), secrets, whole);
    findSecrets(text, jwtPattern(), secrets, whole);
    findSecrets(text, privateKeyBlockPattern(), secrets, whole);
    // The header name stays.
    findSecrets(text, basicCredentialsPattern(), secrets, [](const re2::StringPiece* groups) {
        const char* begin = groups[1].data() + groups[1].size();
        return std::string_view(begin, static_cast<std::size_t>(groups[0].data() + groups[0].size() - begin));
    });
    // The pair's name stays, and the quotes around its value.
    findSecrets(text, secretPairPattern(), secrets, [](const re2::StringPiece* groups) {
        return piece(groups[2].data() ? groups[2] : groups[3].data() ? groups[3] : groups[4]);
    });

    if (!secrets.empty()) {
        std::sort(secrets.begin(), secrets.end(), [](const Secret& a, const Secret& b) { return a.begin < b.begin; });
        std::string out;
        out.reserve(text.size());
        std::size_t kept = 0;  // the text before this is written or replaced
        for (std::size_t i = 0; i < secrets.size();) {
            std::size_t end = secrets[i].end;
            out.append(text, kept, secrets[i].begin - kept);
            // Secrets that overlap or touch become one.
            for (++i; i < secrets.size() && secrets[i].begin <= end; ++i) end = std::max(end, secrets[i].end);
            out += "[REDACTED]";
            kept = end;
        }
        out.append(text, kept, std::string::npos);
        text = std::move(out);
        // A removed secret can be what kept a URL's user part from reading as
        // one: in "x://Bearer abc:pw@h" the space hid the password, and after
        // the token goes the text says "x://[REDACTED]:pw@h".
        RE2::GlobalReplace(&text, urlCredentialsPattern(), R"(\1[REDACTED]@)");
    }
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

}  // namespace

// Everything but an event too large for the spool is a fault of the event.
AiWorkEventSpoolError::AiWorkEventSpoolError(Case errorCase, std::string code, std::string field)
    : BridgeError(std::move(code), errorCase == Case::tooLarge ? ErrorKind::failure : ErrorKind::badRequest),
      case_(errorCase),
      field_(std::move(field)) {}

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
AiWorkEventSpoolError AiWorkEventSpoolError::tooLarge() {
    return {Case::tooLarge, "AI_WORK_EVENT_TOO_LARGE"};
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

std::size_t AiWorkEventSpool::maxFileBytes() const { return maxItems_ * kBytesPerEntry; }

std::string AiWorkEventSpool::workspaceOf(const std::string& spoolPath) {
    return spoolPath.substr(0, spoolPath.size() - std::strlen(kRelativePath) - 1);
}

JsonValue AiWorkEventSpool::readState(const std::string& workspaceRoot, const std::string& projectKey) const {
    std::string path = spoolUrl(workspaceRoot);
    JsonValue state = emptyState(projectKey);
    // The runtime folder is reached without leaving the workspace, and the
    // file is read only when it is a regular file no larger than any spool
    // can be: a link, a FIFO or a huge file is refused with its own error.
    // A file that is not there is an empty spool. One that is there but
    // cannot be opened or read just now (no descriptors left, an I/O error)
    // is not: starting afresh would write over the events it holds.
    Fd folder;
    try {
        folder = openFolderInside(workspaceOf(path), kRuntimeFolder, false);
    } catch (const FileError& error) {
        // No folder, or a file where one belongs: there is no spool yet.
        if (error.systemError() == ENOENT || error.systemError() == ENOTDIR) return state;
        throw;
    }
    BoundedRead read = readBoundedFileAt(folder.get(), kFileName, maxFileBytes(), false);
    if (read.status == BoundedReadStatus::missing) return state;
    if (read.status != BoundedReadStatus::ok) throwUnreadable(read, maxFileBytes(), path);
    std::optional<JsonValue> stored = parseJson(read.bytes);
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

std::string AiWorkEventSpool::serializeWithinBound(JsonValue& state) const {
    std::string bytes = dumpPrettyForFile(state) + '\n';
    JsonValue& entries = state["entries"];
    while (bytes.size() > maxFileBytes()) {
        // The newest entry is the one being queued; it alone may not fit.
        if (entries.size() <= 1) throw AiWorkEventSpoolError::tooLarge();
        // What each of the oldest entries adds to the file: its own text,
        // four more spaces of indentation on each of its lines, and ",\n".
        std::size_t excess = bytes.size() - maxFileBytes();
        std::size_t drop = 0;
        for (std::size_t freed = 0; drop + 1 < entries.size() && freed < excess; ++drop) {
            std::string text = dumpPrettyForFile(entries[drop]);
            freed += text.size() + 4 * (1 + static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'))) + 2;
        }
        entries.erase(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(std::max<std::size_t>(drop, 1)));
        addDropped(state, std::max<std::size_t>(drop, 1));
        bytes = dumpPrettyForFile(state) + '\n';
    }
    return bytes;
}

void AiWorkEventSpool::writeState(const std::string& workspaceRoot, JsonValue& state) const {
    std::string path = spoolUrl(workspaceRoot);
    std::string bytes = serializeWithinBound(state);
    // Folders made here are made durable in their parents, and a link on the
    // way may not lead out of the workspace.
    Fd folder = openFolderInside(workspaceOf(path), kRuntimeFolder, true, 0755);
    // Durable and atomic: readers see the old file or the new one, and an
    // event reported as queued survives a crash. A link in the file's place
    // is replaced, never followed. Owner-only where the file system keeps
    // modes; where it keeps none, the events are still worth keeping.
    writeFileAtomicallyAt(folder.get(), kFileName, bytes, path, FileMode::ifSupported(0600));
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
