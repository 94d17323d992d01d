// Feeds arbitrary text to the AGENTS.md pointer rules, as any file in a folder
// a user registers could hold. Besides crashes it traps when a pointer breaks
// what the rules promise: a project key and origin that are never empty, values
// that are UTF-8 and lie on one line, an origin in its comparable form, and
// answers that do not change when the text only changes in ways the rules
// ignore (a byte order mark, CR LF line ends, free text, a later line).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "bridge/common/text.h"
#include "bridge/common/unicode.h"
#include "bridge/common/url.h"
#include "bridge/workspace/agents_pointer.h"

namespace {

using palisor::AgentsPointer;
using palisor::AgentsPointerError;

using Outcome = std::variant<AgentsPointer, AgentsPointerError::Case>;

const std::string kPath = "/workspace/AGENTS.md";

Outcome parse(std::string_view text) {
    try {
        return palisor::parseAgentsPointer(text, kPath);
    } catch (const AgentsPointerError& error) {
        return error.errorCase();
    }
    // Anything else thrown escapes and libFuzzer reports it.
}

bool endsALine(std::string_view value) {
    for (std::string_view terminator : {"\n", "\r", "\v", "\f", "\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9"})
        if (value.find(terminator) != std::string_view::npos) return true;
    return false;
}

void checkValue(std::string_view value) {
    if (!palisor::isValidUtf8(value)) __builtin_trap();
    if (endsALine(value)) __builtin_trap();
}

void checkPointer(const AgentsPointer& pointer) {
    if (pointer.projectKey.empty() || pointer.authorityOrigin.empty()) __builtin_trap();
    if (pointer.agentsPath != kPath) __builtin_trap();
    checkValue(pointer.projectKey);
    checkValue(pointer.authorityOrigin);
    if (pointer.bootstrapEndpoint) checkValue(*pointer.bootstrapEndpoint);
    if (pointer.bridgeEndpoint) checkValue(*pointer.bridgeEndpoint);
}

// The documented contract of normalizeOrigin: a URL with a host gives its
// origin, which normalises to itself; other text loses its leading and
// trailing slashes and nothing else.
void checkNormalizeOrigin(std::string_view text) {
    std::string normalized = palisor::normalizeOrigin(text);
    std::optional<std::string> origin;
    if (auto url = palisor::Url::parse(text)) origin = url->origin();
    if (origin) {
        if (normalized != *origin) __builtin_trap();
        if (palisor::normalizeOrigin(normalized) != normalized) __builtin_trap();
        return;
    }
    std::size_t begin = text.find_first_not_of('/');
    std::size_t end = text.find_last_not_of('/');
    std::string stripped = begin == std::string_view::npos ? std::string() : std::string(text.substr(begin, end - begin + 1));
    if (normalized != stripped) __builtin_trap();
}

std::string replaceAll(std::string_view text, std::string_view from, std::string_view to) {
    std::string out;
    std::size_t start = 0;
    for (std::size_t at = text.find(from); at != std::string_view::npos; at = text.find(from, start)) {
        out.append(text.substr(start, at - start)).append(to);
        start = at + from.size();
    }
    out.append(text.substr(start));
    return out;
}

// The AGENTS.md reader refuses text that is not UTF-8 before these rules
// see it; invalid bytes are made U+FFFD so that no input is wasted.
std::string asUtf8(std::string_view bytes) {
    if (palisor::isValidUtf8(bytes)) return std::string(bytes);
    std::string out;
    for (char32_t scalar : palisor::utf8Scalars(bytes)) palisor::appendUtf8(out, scalar);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text = asUtf8(std::string_view(reinterpret_cast<const char*>(data), size));
    Outcome outcome = parse(text);
    if (const auto* pointer = std::get_if<AgentsPointer>(&outcome)) checkPointer(*pointer);

    // A byte order mark, CR LF line ends and lines that are not list items
    // change nothing.
    if (!palisor::startsWith(text, "\xEF\xBB\xBF") && parse("\xEF\xBB\xBF" + text) != outcome) __builtin_trap();
    if (parse(replaceAll(text, "\n", "\r\n")) != outcome) __builtin_trap();
    if (parse(text + "\nNotes for people: projectKey: elsewhere\n") != outcome) __builtin_trap();

    // A later line wins: the project key becomes the new one, nothing else moves.
    Outcome later = parse(text + "\n- projectKey: LATER-KEY");
    if (const auto* pointer = std::get_if<AgentsPointer>(&later)) {
        if (pointer->projectKey != "LATER-KEY") __builtin_trap();
        if (const auto* before = std::get_if<AgentsPointer>(&outcome)) {
            AgentsPointer expected = *before;
            expected.projectKey = "LATER-KEY";
            if (*pointer != expected) __builtin_trap();
        }
    } else if (std::get<AgentsPointerError::Case>(later) != AgentsPointerError::Case::authorityOriginRequired) {
        __builtin_trap();
    } else if (std::holds_alternative<AgentsPointer>(outcome)) {
        __builtin_trap();
    }

    // The first line of the input as an origin, as a settings value or a
    // pointer line would hand it over.
    checkNormalizeOrigin(std::string_view(text).substr(0, text.find('\n')));
    return 0;
}
