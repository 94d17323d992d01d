#include "bridge/workspace/workspace_registry.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <set>

#include "bridge/common/paths.h"
#include "bridge/common/text.h"
#include "bridge/common/unicode.h"
#include "bridge/workspace/agents_pointer.h"

namespace palisor {

namespace {

constexpr const char* kRegistryKey = "workspaceRegistryV1";
constexpr const char* kDefaultRootKey = "workspaceRoot";

using State = WorkspaceRegistrySnapshot;

const WorkspaceRegistration* findById(const State& state, const std::string& workspaceId) {
    for (const auto& registration : state.workspaces)
        if (registration.workspaceId == workspaceId) return &registration;
    return nullptr;
}

WorkspaceRegistration* findById(State& state, const std::string& workspaceId) {
    for (auto& registration : state.workspaces)
        if (registration.workspaceId == workspaceId) return &registration;
    return nullptr;
}

void ensureDefault(State& state) {
    if (state.defaultWorkspaceId && findById(state, *state.defaultWorkspaceId)) return;
    if (state.workspaces.empty()) {
        state.defaultWorkspaceId.reset();
    } else {
        state.defaultWorkspaceId = state.workspaces.front().workspaceId;
    }
}

// Drops what would break the registry's invariants: entries without id or
// project key, a second entry for a root or an id already seen, and roots that
// are not absolute. Persisted roots are always written absolute, so a relative
// one can only come from hand editing and would mean a different folder in
// every process, depending on where it was started.
State normalizeState(const State& stored) {
    State state;
    std::set<std::string> seenRoots;
    std::set<std::string> seenIds;
    for (const auto& registration : stored.workspaces) {
        if (registration.workspaceId.empty() || registration.projectKey.empty()) continue;
        if (!startsWith(registration.workspaceRoot, "/")) continue;
        std::string root = standardizePath(registration.workspaceRoot);
        if (seenRoots.count(root) || seenIds.count(registration.workspaceId)) continue;
        seenRoots.insert(root);
        seenIds.insert(registration.workspaceId);
        WorkspaceRegistration kept = registration;
        kept.workspaceRoot = std::move(root);
        state.workspaces.push_back(std::move(kept));
    }
    state.defaultWorkspaceId = stored.defaultWorkspaceId;
    ensureDefault(state);
    return state;
}

JsonValue encodeState(const State& state) {
    JsonValue workspaces = JsonValue::array();
    for (const auto& registration : state.workspaces) workspaces.push_back(registration.toJson());
    JsonValue json = {{"workspaces", std::move(workspaces)}};
    if (state.defaultWorkspaceId) json["defaultWorkspaceId"] = *state.defaultWorkspaceId;
    return json;
}

std::optional<State> decodeState(const JsonValue& json) {
    const JsonValue* workspaces = arrayMember(json, "workspaces");
    if (!workspaces) return std::nullopt;
    State state;
    if (const JsonValue* defaultId = member(json, "defaultWorkspaceId"); defaultId && !defaultId->is_null()) {
        if (!defaultId->is_string()) return std::nullopt;
        state.defaultWorkspaceId = defaultId->get<std::string>();
    }
    for (const JsonValue& item : *workspaces) {
        auto registration = WorkspaceRegistration::fromJson(item);
        if (!registration) return std::nullopt;  // one bad record spoils the list
        state.workspaces.push_back(std::move(*registration));
    }
    return state;
}

// The normalised persisted state, or nullopt when the settings hold none that
// can be read.
std::optional<State> persistedState(const JsonValue& settings) {
    const std::string* text = stringMember(settings, kRegistryKey);
    if (!text) return std::nullopt;
    auto json = parseJson(*text);
    if (!json) return std::nullopt;
    auto state = decodeState(*json);
    if (!state) return std::nullopt;
    return normalizeState(*state);
}

void storeState(JsonValue& settings, const State& state) {
    // A state that cannot be encoded must not be reported as saved: it would
    // be gone at the next start, along with every later change.
    auto encoded = dumpCompact(encodeState(state));
    if (!encoded) throw FileError("FILE_WRITE_FAILED", "workspace registry holds text that is not valid UTF-8", EILSEQ);
    settings[kRegistryKey] = *encoded;
    const WorkspaceRegistration* defaultRegistration = state.defaultWorkspaceId ? findById(state, *state.defaultWorkspaceId) : nullptr;
    if (defaultRegistration) {
        settings[kDefaultRootKey] = defaultRegistration->workspaceRoot;
    } else {
        settings.erase(kDefaultRootKey);
    }
}

// Trimmed text argument; other JSON types and blank text count as absent.
std::optional<std::string> normalizedText(const JsonValue& args, std::string_view key) {
    auto value = optString(args, key);
    if (!value) return std::nullopt;
    std::string trimmed = trim(*value);
    if (trimmed.empty()) return std::nullopt;
    return trimmed;
}

}  // namespace

WorkspaceRegistryError::WorkspaceRegistryError(Case errorCase, std::string code)
    : BridgeError(std::move(code), errorCase == Case::workspaceIdRequired || errorCase == Case::defaultWorkspaceRequired
                                       ? ErrorKind::badRequest
                                       : ErrorKind::failure),
      case_(errorCase) {}

WorkspaceRegistryError WorkspaceRegistryError::workspaceNotRegistered(const std::string& workspaceId) {
    return {Case::workspaceNotRegistered, "WORKSPACE_NOT_REGISTERED:" + workspaceId};
}

WorkspaceRegistryError WorkspaceRegistryError::workspaceNotRegisteredForProject(const std::string& projectKey) {
    return {Case::workspaceNotRegisteredForProject, "WORKSPACE_NOT_REGISTERED_FOR_PROJECT:" + projectKey};
}

WorkspaceRegistryError WorkspaceRegistryError::workspaceIdRequired(const std::string& projectKey) {
    return {Case::workspaceIdRequired, "WORKSPACE_ID_REQUIRED_FOR_PROJECT:" + projectKey};
}

WorkspaceRegistryError WorkspaceRegistryError::projectKeyMismatch(const std::string& expected, const std::string& actual) {
    return {Case::projectKeyMismatch, "WORKSPACE_PROJECT_KEY_MISMATCH:" + expected + ":" + actual};
}

WorkspaceRegistryError WorkspaceRegistryError::defaultWorkspaceRequired() {
    return {Case::defaultWorkspaceRequired, "DEFAULT_WORKSPACE_REQUIRED"};
}

WorkspaceRegistryError WorkspaceRegistryError::workspaceRootMismatch() {
    return {Case::workspaceRootMismatch, "WORKSPACE_ROOT_MISMATCH"};
}

WorkspaceRegistryError WorkspaceRegistryError::authorityOriginMismatch() {
    return {Case::authorityOriginMismatch, "WORKSPACE_AUTHORITY_ORIGIN_MISMATCH"};
}

std::string uniqueWorkspaceId(std::string_view projectKey, const std::vector<WorkspaceRegistration>& existing) {
    std::string mapped;
    for (char32_t c : utf8Scalars(unicodeLowercase(projectKey))) {
        bool keep = isUnicodeLetter(c) || isUnicodeNumber(c) || isUnicodeMark(c) || c == U'_' || c == U'-';
        if (keep) {
            appendUtf8(mapped, c);
        } else {
            mapped.push_back('-');
        }
    }
    std::string base;
    for (std::string_view piece : splitKeepingEmpty(mapped, "-")) {
        if (piece.empty()) continue;
        if (!base.empty()) base.push_back('-');
        base += piece;
    }
    if (base.empty()) base = "workspace";

    auto taken = [&](const std::string& id) {
        return std::any_of(existing.begin(), existing.end(),
                           [&](const WorkspaceRegistration& registration) { return registration.workspaceId == id; });
    };
    if (!taken(base)) return base;
    for (std::size_t n = 2;; ++n) {
        std::string candidate = base + "-" + std::to_string(n);
        if (!taken(candidate)) return candidate;
    }
}

WorkspaceRegistry::WorkspaceRegistry(std::string_view authorityOrigin, std::optional<std::string> legacyWorkspaceRoot,
                                     std::shared_ptr<SettingsStore> defaults)
    : defaults_(std::move(defaults)),
      authorityOrigin_(normalizeOrigin(authorityOrigin)),
      persistenceEnabled_(defaults_ && defaults_->persistenceEnabled()) {
    // The legacy root only seeds an otherwise empty registry; a folder that is
    // missing, has no pointer or belongs elsewhere is simply not used.
    std::optional<WorkspaceRegistration> legacy;
    if (legacyWorkspaceRoot) {
        try {
            std::string root = standardizePath(*legacyWorkspaceRoot);
            AgentsPointer pointer = readAgentsPointer(root);
            assertAuthorityOrigin(pointer.authorityOrigin);
            legacy = WorkspaceRegistration{uniqueWorkspaceId(pointer.projectKey, {}), pointer.projectKey, root, true};
        } catch (const BridgeError&) {
        }
    }
    auto seeded = [&](State state) {
        if (state.workspaces.empty() && legacy) {
            state.workspaces = {*legacy};
            state.defaultWorkspaceId = legacy->workspaceId;
        }
        ensureDefault(state);
        return state;
    };

    std::lock_guard guard(lock_);
    if (!persistenceEnabled_ || !defaults_) {
        persistenceEnabled_ = false;
        state_ = seeded(State{});
        return;
    }
    bool loaded = false;
    try {
        // Written back at once, so the file always holds the normalised list.
        defaults_->update([&](JsonValue& settings) {
            state_ = seeded(persistedState(settings).value_or(State{}));
            loaded = true;
            storeState(settings, state_);
        });
    } catch (const FileError&) {
        // Settings that cannot be read or written must not keep the bridge
        // from starting: it serves what it has, and the next change tries
        // to write again (and reports it if that fails).
        if (!loaded) state_ = seeded(State{});
    }
}

void WorkspaceRegistry::assertAuthorityOrigin(const std::string& origin) const {
    if (normalizeOrigin(origin) != authorityOrigin_) throw WorkspaceRegistryError::authorityOriginMismatch();
}

void WorkspaceRegistry::mutate(const std::function<void(State&)>& change) {
    std::lock_guard guard(lock_);
    if (!persistenceEnabled_) {
        State next = state_;
        change(next);
        state_ = std::move(next);
        return;
    }
    // The change applies to what the file holds now, not to what this
    // process last saw, so another process's change in between survives.
    // Whatever happens, memory ends equal to the file.
    std::optional<State> current;
    std::optional<State> committed;
    try {
        defaults_->update([&](JsonValue& settings) {
            current = persistedState(settings).value_or(state_);
            State next = *current;
            change(next);
            storeState(settings, next);
            committed = std::move(next);
        });
    } catch (...) {
        if (current) state_ = std::move(*current);
        throw;
    }
    if (committed) state_ = std::move(*committed);
}

WorkspaceRegistrySnapshot WorkspaceRegistry::snapshot() const {
    std::lock_guard guard(lock_);
    return state_;
}

JsonValue WorkspaceRegistry::snapshotDictionary() const {
    State state = snapshot();
    JsonValue workspaces = JsonValue::array();
    for (const auto& registration : state.workspaces) workspaces.push_back(registration.toJson());
    return {
        {"defaultWorkspaceId", state.defaultWorkspaceId ? JsonValue(*state.defaultWorkspaceId) : JsonValue(nullptr)},
        {"workspaces", std::move(workspaces)},
    };
}

WorkspaceRegistration WorkspaceRegistry::add(std::string_view workspaceRoot, bool validationEnabled, bool makeDefault) {
    std::string root = standardizePath(workspaceRoot);
    AgentsPointer pointer = readAgentsPointer(root);
    assertAuthorityOrigin(pointer.authorityOrigin);

    WorkspaceRegistration stored;
    mutate([&](State& state) {
        auto existing = std::find_if(state.workspaces.begin(), state.workspaces.end(),
                                     [&](const WorkspaceRegistration& r) { return r.workspaceRoot == root; });
        if (existing != state.workspaces.end()) {
            existing->projectKey = pointer.projectKey;
            existing->validationEnabled = validationEnabled;
            stored = *existing;
        } else {
            stored = WorkspaceRegistration{uniqueWorkspaceId(pointer.projectKey, state.workspaces), pointer.projectKey,
                                           root, validationEnabled};
            state.workspaces.push_back(stored);
        }
        if (makeDefault || !state.defaultWorkspaceId) state.defaultWorkspaceId = stored.workspaceId;
    });
    return stored;
}

void WorkspaceRegistry::remove(const std::string& workspaceId) {
    mutate([&](State& state) {
        if (!findById(state, workspaceId)) throw WorkspaceRegistryError::workspaceNotRegistered(workspaceId);
        std::erase_if(state.workspaces, [&](const WorkspaceRegistration& r) { return r.workspaceId == workspaceId; });
        if (state.defaultWorkspaceId == workspaceId) state.defaultWorkspaceId.reset();
        ensureDefault(state);
    });
}

void WorkspaceRegistry::setDefault(const std::string& workspaceId) {
    mutate([&](State& state) {
        if (!findById(state, workspaceId)) throw WorkspaceRegistryError::workspaceNotRegistered(workspaceId);
        state.defaultWorkspaceId = workspaceId;
    });
}

void WorkspaceRegistry::setValidationEnabled(const std::string& workspaceId, bool enabled) {
    mutate([&](State& state) {
        WorkspaceRegistration* registration = findById(state, workspaceId);
        if (!registration) throw WorkspaceRegistryError::workspaceNotRegistered(workspaceId);
        registration->validationEnabled = enabled;
    });
}

bool WorkspaceRegistry::reload() {
    std::lock_guard guard(lock_);
    if (!persistenceEnabled_) return false;
    auto persisted = persistedState(defaults_->read());
    if (!persisted || *persisted == state_) return false;
    state_ = std::move(*persisted);
    return true;
}

WorkspaceContext WorkspaceRegistry::resolve(const JsonValue& args) const {
    // Pointer files are read without the lock; a change made meanwhile is
    // seen by the next call.
    State state = snapshot();
    auto workspaceId = normalizedText(args, "workspaceId");
    auto projectKey = normalizedText(args, "projectKey");
    auto workspaceRoot = normalizedText(args, "workspaceRoot");
    if (workspaceRoot) workspaceRoot = standardizePath(*workspaceRoot);

    WorkspaceRegistration candidate;
    bool transient = false;
    std::optional<AgentsPointer> transientPointer;
    if (workspaceRoot && !workspaceId) {
        auto found = std::find_if(state.workspaces.begin(), state.workspaces.end(),
                                  [&](const WorkspaceRegistration& r) { return r.workspaceRoot == *workspaceRoot; });
        if (found != state.workspaces.end()) {
            candidate = *found;
        } else {
            transientPointer = readAgentsPointer(*workspaceRoot);
            assertAuthorityOrigin(transientPointer->authorityOrigin);
            candidate = WorkspaceRegistration{"", transientPointer->projectKey, *workspaceRoot, false};
            transient = true;
        }
    } else if (workspaceId) {
        const WorkspaceRegistration* found = findById(state, *workspaceId);
        if (!found) throw WorkspaceRegistryError::workspaceNotRegistered(*workspaceId);
        candidate = *found;
    } else if (projectKey) {
        std::vector<const WorkspaceRegistration*> matches;
        for (const auto& registration : state.workspaces)
            if (registration.projectKey == *projectKey) matches.push_back(&registration);
        if (matches.empty()) throw WorkspaceRegistryError::workspaceNotRegisteredForProject(*projectKey);
        if (matches.size() == 1) {
            candidate = *matches.front();
        } else {
            auto isDefault = [&](const WorkspaceRegistration* r) { return r->workspaceId == state.defaultWorkspaceId; };
            auto chosen = std::find_if(matches.begin(), matches.end(), isDefault);
            if (chosen == matches.end()) throw WorkspaceRegistryError::workspaceIdRequired(*projectKey);
            candidate = **chosen;
        }
    } else {
        const WorkspaceRegistration* found =
            state.defaultWorkspaceId ? findById(state, *state.defaultWorkspaceId) : nullptr;
        if (!found) throw WorkspaceRegistryError::defaultWorkspaceRequired();
        candidate = *found;
    }

    // The folder of an unregistered path was read a moment ago; reading it a
    // second time could only see a half-finished edit.
    AgentsPointer pointer = transientPointer ? *transientPointer : readAgentsPointer(candidate.workspaceRoot);
    if (!transientPointer) assertAuthorityOrigin(pointer.authorityOrigin);
    if (pointer.projectKey != candidate.projectKey)
        throw WorkspaceRegistryError::projectKeyMismatch(candidate.projectKey, pointer.projectKey);
    if (projectKey && *projectKey != pointer.projectKey)
        throw WorkspaceRegistryError::projectKeyMismatch(*projectKey, pointer.projectKey);
    if (workspaceRoot && *workspaceRoot != candidate.workspaceRoot) throw WorkspaceRegistryError::workspaceRootMismatch();

    return WorkspaceContext{
        .workspaceId = transient ? std::nullopt : std::optional<std::string>(candidate.workspaceId),
        .projectKey = pointer.projectKey,
        .workspaceRoot = candidate.workspaceRoot,
        .validationEnabled = candidate.validationEnabled,
        .transient = transient,
        .agentsPath = pointer.agentsPath,
    };
}

}  // namespace palisor
