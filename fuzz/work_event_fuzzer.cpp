// Feeds arbitrary text and JSON to the value scrubber and the work-event
// sanitiser of the spool: what an agent sends in a work event, or what an
// authority or an executor says in a failure, before it reaches the disk. The
// first byte picks the mode:
//   0 mod 3  the rest is one string value (any bytes, UTF-8 or not)
//   1 mod 3  the rest is a JSON document, scrubbed as a diagnostic value
//   2 mod 3  the rest is a JSON document, sanitised as a work event; the
//            second byte picks the component
// Besides crashes it traps when the output keeps a credential that the input
// carried in a form the scrubber removes (a Bearer token, a JWT, the user and
// password of a URL, Basic credentials of an Authorization header, the value
// of a pair named like a secret, a line of a private key block), when output
// is not UTF-8 or cannot be serialised, when a
// size or depth bound or a dropped key shows up. A URL's user and password
// may read as such only once a secret is gone ("x://Bearer t:pw@h"): the
// output holds none, whatever the input.
#include <re2/re2.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "bridge/common/json.h"
#include "bridge/common/text.h"
#include "bridge/common/unicode.h"
#include "bridge/spool/ai_work_event_spool.h"

namespace {

using palisor::AiWorkEventSpool;
using palisor::AiWorkEventSpoolError;
using palisor::JsonValue;

constexpr std::size_t kMaxStringCharacters = 4000;
constexpr std::size_t kMaxContainerMembers = 50;
constexpr int kMaxDepth = 5;

constexpr std::array<std::string_view, 29> kAllowedFields = {
    "idempotencyKey", "traceId",         "spanId",    "parentSpanId", "causalId",     "operationId",
    "taskId",         "taskRevision",    "component", "kind",         "eventType",    "phase",
    "operationName",  "outcome",         "severity",  "occurredAt",   "durationMs",   "requestId",
    "jobId",          "validationRunId", "reportId",  "errorCode",    "errorMessage", "retryable",
    "httpStatus",     "summary",         "skillRefs", "evidenceRefs", "attributes",
};
constexpr std::array<std::string_view, 5> kRequiredFields = {"idempotencyKey", "kind", "eventType", "outcome",
                                                             "summary"};
constexpr std::array<std::string_view, 5> kProhibitedKeys = {"chainofthought", "reasoningtrace", "hiddenreasoning",
                                                             "rawprompt", "sourcecode"};
constexpr std::array<const char*, 4> kComponents = {"ai-node", "bridge", "validator", "agent"};

template <std::size_t N>
bool listed(const std::array<std::string_view, N>& names, std::string_view name) {
    return std::ranges::find(names, name) != names.end();
}

// What the scrubber promises to remove; the capture is the secret itself.
constexpr const char* kSpace = R"(\t\n\v\f\r\p{Z}\x{85})";
const RE2& bearerSecret() {
    static const RE2& pattern =
        *new RE2(std::string(R"((?i)\bBearer[)") + kSpace + R"(]+([A-Za-z0-9._~+/-]+=*))");
    return pattern;
}
const RE2& jwtSecret() {
    static const RE2& pattern =
        *new RE2(R"((?i)(\beyJ[A-Za-z0-9_-]{8,}\.[A-Za-z0-9_-]{8,}\.[A-Za-z0-9_-]{8,}\b))");
    return pattern;
}
const RE2& urlSecret() {
    static const RE2& pattern =
        *new RE2(std::string(R"((?i)[a-z][a-z0-9+.-]*://([^)") + kSpace + R"(/@:]+:[^)" + kSpace + R"(/@]+@))");
    return pattern;
}
const RE2& privateKeySecret() {
    static const RE2& pattern = *new RE2(
        R"((?i)-----BEGIN[ A-Z0-9]*PRIVATE KEY(?: BLOCK)?-----((?s:.*?))(?:-----END[ A-Z0-9]*PRIVATE KEY(?: BLOCK)?-----|\z))");
    return pattern;
}
constexpr const char* kNameEnd = R"(\\?["']?[\t\p{Zs}]*(?:=>?|:)[\t\p{Zs}]*)";
const RE2& basicSecret() {
    static const RE2& pattern = *new RE2(std::string(R"((?i)\bauthorization)") + kNameEnd + R"(\\?["']?Basic[)" +
                                         kSpace + R"(]+([^)" + kSpace + R"("']+))");
    return pattern;
}
// The quoted value, the single-quoted one, or the bare one: one group matches.
const RE2& pairSecret() {
    static const RE2& pattern = *new RE2(
        std::string(R"((?i)\b(?:[a-z0-9]+[-_.])*(?:(?:access|refresh|id)[-_]?token|token|passw(?:or)?d|)") +
        R"((?:client[-_]?)?secret|api[-_]?key|private[-_]?key))" + kNameEnd + R"((?:\\?"((?:[^"\\]|\\[^"])+)|'([^']+)|)" +
        R"(([^)" + kSpace + R"("'&]+)))");
    return pattern;
}

const RE2& sensitiveKey() {
    static const RE2& pattern = *new RE2(
        "(?i)(authorization|bearer|token|secret|password|passwd|cookie|credential|private.?key|connection.?string|"
        "mongo.?uri|jwt|session.?id)");
    return pattern;
}

std::string asUtf8(std::string_view bytes) {
    if (palisor::isValidUtf8(bytes)) return std::string(bytes);
    std::string out;
    for (char32_t scalar : palisor::utf8Scalars(bytes)) palisor::appendUtf8(out, scalar);
    return out;
}

std::size_t occurrences(std::string_view text, std::string_view needle) {
    std::size_t count = 0;
    for (std::size_t at = text.find(needle); at != std::string_view::npos; at = text.find(needle, at + 1)) ++count;
    return count;
}

// Every secret a pattern finds in the input as the scrubber scans it: left to
// right, matches not overlapping, the text before a match its context for
// "\b"; the secret is the group that matched. Keyed by the place the secret
// starts; `byLine`, each of its lines is one.
void collectSecrets(const std::string& text, const RE2& pattern, std::map<std::size_t, std::string>& secrets,
                    bool byLine = false) {
    std::size_t at = 0;
    int count = pattern.NumberOfCapturingGroups() + 1;
    re2::StringPiece groups[4];
    while (at < text.size() && pattern.Match(text, at, text.size(), RE2::UNANCHORED, groups, count)) {
        auto secret = std::find_if(groups + 1, groups + count, [](const re2::StringPiece& group) { return !group.empty(); });
        for (std::string_view rest = secret == groups + count ? std::string_view() : std::string_view(*secret);
             !rest.empty();) {
            std::string_view line = byLine ? rest.substr(0, rest.find('\n')) : rest;
            if (!line.empty()) secrets.emplace(static_cast<std::size_t>(line.data() - text.data()), std::string(line));
            rest.remove_prefix(std::min(rest.size(), line.size() + 1));
        }
        std::size_t end = static_cast<std::size_t>(groups[0].data() - text.data()) + groups[0].size();
        at = std::max(end, at + 1);
    }
}

// The output of scrubbing is the input with some stretches replaced (each
// replacement holds "[REDACTED]"), then cut. So each occurrence of a text in
// the output, apart from those inside the replacements, is an occurrence in
// the input that was kept; no kept one may be a secret the scrubber names.
// The replacements become a byte that valid UTF-8 never holds, so that no
// secret can appear anew across one.
void checkNoSecretSurvives(const std::string& input, const std::string& output) {
    std::string kept = output;
    for (std::size_t at = kept.find("[REDACTED]"); at != std::string::npos; at = kept.find("[REDACTED]", at + 1))
        kept.replace(at, 10, "\xFF");
    std::map<std::size_t, std::string> secrets;
    collectSecrets(input, bearerSecret(), secrets);
    collectSecrets(input, jwtSecret(), secrets);
    collectSecrets(input, urlSecret(), secrets);
    collectSecrets(input, basicSecret(), secrets);
    collectSecrets(input, pairSecret(), secrets);
    collectSecrets(input, privateKeySecret(), secrets, true);
    std::map<std::string, std::size_t> secretPlaces;
    for (const auto& [at, secret] : secrets) ++secretPlaces[secret];
    for (const auto& [secret, places] : secretPlaces) {
        std::size_t inInput = occurrences(input, secret);
        if (occurrences(kept, secret) + places > inInput) __builtin_trap();
    }
}

void checkString(const std::string& input, const JsonValue& output) {
    if (!output.is_string()) __builtin_trap();
    const std::string& text = output.get_ref<const std::string&>();
    if (!palisor::isValidUtf8(text)) __builtin_trap();
    if (palisor::userPerceivedLength(text) > kMaxStringCharacters) __builtin_trap();
    if (RE2::PartialMatch(text, urlSecret())) __builtin_trap();
    checkNoSecretSurvives(asUtf8(input), text);
}

std::string normalizedKey(std::string_view key) {
    std::string out;
    for (char c : key) {
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) out.push_back(c);
        else if (c >= 'A' && c <= 'Z') out.push_back(static_cast<char>(c - 'A' + 'a'));
    }
    return out;
}

bool droppedKey(const std::string& key) {
    return listed(kProhibitedKeys, normalizedKey(key)) || RE2::PartialMatch(key, sensitiveKey());
}

// The output against its input, member by member.
void checkValue(const JsonValue& input, const JsonValue& output, int depth) {
    switch (input.type()) {
        case JsonValue::value_t::string:
            checkString(input.get_ref<const std::string&>(), output);
            return;
        case JsonValue::value_t::array:
        case JsonValue::value_t::object:
            break;
        default:
            if (output != input) __builtin_trap();
            return;
    }
    if (depth >= kMaxDepth) {
        if (output != "[TRUNCATED_DEPTH]") __builtin_trap();
        return;
    }
    if (input.is_array()) {
        if (!output.is_array() || output.size() != std::min(input.size(), kMaxContainerMembers)) __builtin_trap();
        for (std::size_t i = 0; i < output.size(); ++i) checkValue(input[i], output[i], depth + 1);
        return;
    }
    if (!output.is_object() || output.size() > kMaxContainerMembers) __builtin_trap();
    std::size_t considered = 0;
    for (auto it = input.begin(); it != input.end() && considered < kMaxContainerMembers; ++it, ++considered) {
        auto found = output.find(it.key());
        if (droppedKey(it.key())) {
            if (found != output.end()) __builtin_trap();
            continue;
        }
        if (found == output.end()) __builtin_trap();
        checkValue(it.value(), *found, depth + 1);
    }
    for (auto it = output.begin(); it != output.end(); ++it)
        if (!input.contains(it.key()) || droppedKey(it.key())) __builtin_trap();
}

void checkSerializable(const JsonValue& value) {
    try {
        (void)value.dump();
    } catch (const JsonValue::exception&) {
        __builtin_trap();
    }
}

void scrubText(std::string_view bytes) {
    JsonValue input = std::string(bytes);
    JsonValue output = AiWorkEventSpool::sanitizeDiagnosticValue(input);
    checkString(input.get_ref<const std::string&>(), output);
    checkSerializable(output);
}

void scrubDocument(const JsonValue& input) {
    JsonValue output = AiWorkEventSpool::sanitizeDiagnosticValue(input);
    checkValue(input, output, 0);
    checkSerializable(output);
}

bool filledString(const JsonValue& object, std::string_view name) {
    const std::string* text = palisor::stringMember(object, name);
    return text && !palisor::trim(*text).empty();
}

void sanitizeEvent(const JsonValue& event, const std::string& component) {
    JsonValue stored;
    try {
        stored = AiWorkEventSpool::sanitizeEvent(event, component);
    } catch (const AiWorkEventSpoolError& error) {
        // A refusal must name a real fault of the event.
        JsonValue fields = JsonValue::object();
        if (event.is_object())
            for (std::string_view name : kRequiredFields)
                if (auto it = event.find(std::string(name)); it != event.end())
                    fields[std::string(name)] = AiWorkEventSpool::sanitizeDiagnosticValue(*it);
        switch (error.errorCase()) {
            case AiWorkEventSpoolError::Case::requiredField:
                if (error.field() == "component") {
                    bool allFilled = std::all_of(kRequiredFields.begin(), kRequiredFields.end(),
                                                 [&](std::string_view name) { return filledString(fields, name); });
                    if (!allFilled || component != "agent") __builtin_trap();
                } else if (filledString(fields, error.field())) {
                    __builtin_trap();
                }
                return;
            case AiWorkEventSpoolError::Case::invalidIdempotencyKey: {
                std::size_t length = palisor::userPerceivedLength(*palisor::stringMember(fields, "idempotencyKey"));
                if (length >= 8 && length <= 300) __builtin_trap();
                return;
            }
            default:
                __builtin_trap();
        }
    }
    if (component == "agent") __builtin_trap();
    if (!stored.is_object() || stored.value("component", "") != component) __builtin_trap();
    for (std::string_view name : kRequiredFields)
        if (!filledString(stored, name)) __builtin_trap();
    std::size_t keyLength = palisor::userPerceivedLength(*palisor::stringMember(stored, "idempotencyKey"));
    if (keyLength < 8 || keyLength > 300) __builtin_trap();
    for (auto it = stored.begin(); it != stored.end(); ++it) {
        if (!listed(kAllowedFields, it.key())) __builtin_trap();
        if (it.key() == "component") continue;
        // Top-level fields are kept whatever their name; their values are scrubbed.
        checkValue(event.at(it.key()), it.value(), 0);
    }
    for (std::string_view name : kAllowedFields)
        if (name != "component" && event.contains(std::string(name)) != stored.contains(std::string(name)))
            __builtin_trap();
    checkSerializable(stored);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 3) {
        case 0:
            scrubText(rest);
            break;
        case 1:
            if (auto document = palisor::parseJson(rest)) scrubDocument(*document);
            break;
        default:
            if (rest.empty()) break;
            if (auto document = palisor::parseJson(rest.substr(1)))
                sanitizeEvent(*document, kComponents[static_cast<std::uint8_t>(rest[0]) % kComponents.size()]);
            break;
    }
    return 0;
}
