#include "bridge/workspace/agents_pointer.h"

#include <fcntl.h>

#include <cerrno>
#include <map>
#include <vector>

#include "bridge/common/contained_files.h"
#include "bridge/common/paths.h"
#include "bridge/common/text.h"
#include "bridge/common/url.h"

namespace palisor {

namespace {

const char* codeFor(AgentsPointerError::Case errorCase) {
    switch (errorCase) {
        case AgentsPointerError::Case::projectKeyRequired:
            return "AGENTS_PROJECT_KEY_REQUIRED";
        case AgentsPointerError::Case::authorityOriginRequired:
            return "AGENTS_AUTHORITY_ORIGIN_REQUIRED";
    }
    return "AGENTS_POINTER_INVALID";
}

// The error code carries the path so that an agent told about a broken
// workspace knows which file to look at.
[[noreturn]] void unreadable(const std::string& path, const std::string& reason, int error) {
    throw FileError("FILE_READ_FAILED:" + path, "cannot read " + path + ": " + reason, error);
}

// A pointer is a few lines in a document; a file larger than this is not
// one, and reading it whole would only take memory.
constexpr std::size_t kMaxAgentsFileBytes = 1024 * 1024;

// The file may be a link (AGENTS.md -> CLAUDE.md is common), but what it
// leads to must be a regular file of bounded size: a FIFO would block the
// reader for ever, a device such as /dev/zero would never end.
std::string readAgentsFile(const std::string& path) {
    std::optional<std::string> bytes = readBoundedFile(AT_FDCWD, path, kMaxAgentsFileBytes, true, path);
    if (!bytes) unreadable(path, "no such file", ENOENT);
    if (!isValidUtf8(*bytes)) unreadable(path, "not UTF-8 text", EILSEQ);
    return std::move(*bytes);
}

// Line feed, vertical tab, form feed, carriage return, NEL, LINE SEPARATOR and
// PARAGRAPH SEPARATOR all end a line. A CR LF pair leaves an empty line
// between them, which no rule looks at.
std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        std::size_t width = 0;
        if (c == '\n' || c == '\r' || c == '\v' || c == '\f') {
            width = 1;
        } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x85) {
            width = 2;
        } else if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
                   (static_cast<unsigned char>(text[i + 2]) == 0xA8 || static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
            width = 3;
        }
        if (width == 0) {
            ++i;
            continue;
        }
        lines.push_back(text.substr(start, i - start));
        i += width;
        start = i;
    }
    lines.push_back(text.substr(start));
    return lines;
}

std::string cleanupPointerValue(std::string_view value) {
    std::string trimmed = trim(value);
    auto isQuote = [](char c) { return c == '`' || c == '"' || c == '\''; };
    std::size_t begin = 0;
    std::size_t end = trimmed.size();
    while (begin < end && isQuote(trimmed[begin])) ++begin;
    while (end > begin && isQuote(trimmed[end - 1])) --end;
    return trimmed.substr(begin, end - begin);
}

// The value is whatever follows the line's first colon, wherever the key
// stands in the line.
std::optional<std::string> readPointerValue(std::string_view line, const std::vector<std::string_view>& keys) {
    for (std::string_view key : keys) {
        std::string needle = "- " + std::string(key) + ":";
        if (!containsAsciiCaseInsensitive(line, needle)) continue;
        std::size_t colon = line.find(':');
        std::string_view after = line.substr(colon + 1);
        if (after.empty()) continue;
        return cleanupPointerValue(after);
    }
    return std::nullopt;
}

struct PointerField {
    const char* name;
    std::vector<std::string_view> keys;
};

const std::vector<PointerField>& pointerFields() {
    // Never destroyed: resolutions on request threads may outlive static destruction.
    static const std::vector<PointerField>& fields = *new std::vector<PointerField>{
        {"projectKey", {"projectKey"}},
        {"authorityOrigin", {"authorityOrigin", "allowedAuthorityOrigin"}},
        {"bootstrapEndpoint", {"bootstrapEndpoint"}},
        {"bridgeEndpoint", {"bridgeEndpoint"}},
    };
    return fields;
}

std::optional<std::string> lookup(const std::map<std::string, std::string>& found, const std::string& name) {
    auto it = found.find(name);
    if (it == found.end()) return std::nullopt;
    return it->second;
}

}  // namespace

// Every case is a pointer that does not say what it must.
AgentsPointerError::AgentsPointerError(Case errorCase)
    : BridgeError(codeFor(errorCase), ErrorKind::badRequest), case_(errorCase) {}

AgentsPointer readAgentsPointer(std::string_view workspaceRoot) {
    std::string agentsPath = joinPath(workspaceRoot, "AGENTS.md");
    std::string text = readAgentsFile(agentsPath);
    return parseAgentsPointer(text, std::move(agentsPath));
}

AgentsPointer parseAgentsPointer(std::string_view text, std::string agentsPath) {
    // Editors on some systems start UTF-8 files with a byte order mark; it
    // would hide a pointer line written first in the file.
    if (startsWith(text, "\xEF\xBB\xBF")) text.remove_prefix(3);

    std::map<std::string, std::string> found;
    for (std::string_view rawLine : splitLines(text)) {
        std::string line = trim(rawLine);
        if (!startsWith(line, "-")) continue;
        // Every field is tried on every list line; a later line wins.
        for (const PointerField& field : pointerFields())
            if (auto value = readPointerValue(line, field.keys)) found[field.name] = std::move(*value);
    }

    auto bootstrapEndpoint = lookup(found, "bootstrapEndpoint");
    if (!found.count("authorityOrigin") && bootstrapEndpoint) {
        if (auto url = Url::parse(*bootstrapEndpoint))
            if (auto origin = url->origin()) found["authorityOrigin"] = *origin;
    }

    auto projectKey = lookup(found, "projectKey");
    if (!projectKey || projectKey->empty()) throw AgentsPointerError(AgentsPointerError::Case::projectKeyRequired);
    // Normalised before the emptiness test: an origin written as "/" would
    // otherwise come out as an empty origin that every later check trips over.
    auto origin = lookup(found, "authorityOrigin");
    std::string authorityOrigin = origin ? normalizeOrigin(*origin) : std::string();
    if (authorityOrigin.empty()) throw AgentsPointerError(AgentsPointerError::Case::authorityOriginRequired);

    return AgentsPointer{
        .projectKey = std::move(*projectKey),
        .authorityOrigin = std::move(authorityOrigin),
        .bootstrapEndpoint = std::move(bootstrapEndpoint),
        .bridgeEndpoint = lookup(found, "bridgeEndpoint"),
        .agentsPath = std::move(agentsPath),
    };
}

std::string normalizeOrigin(std::string_view origin) {
    if (auto url = Url::parse(origin))
        if (auto normalized = url->origin()) return *normalized;
    std::size_t begin = 0;
    std::size_t end = origin.size();
    while (begin < end && origin[begin] == '/') ++begin;
    while (end > begin && origin[end - 1] == '/') --end;
    return std::string(origin.substr(begin, end - begin));
}

}  // namespace palisor
