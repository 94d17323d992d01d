#include "bridge/credentials/native_token_store.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <functional>
#include <string_view>

#include "bridge/common/jwt.h"
#include "bridge/common/time.h"
#include "bridge/common/work_queue.h"
#include "bridge/credentials/locked_box.h"

namespace palisor {

// ---- errors ----

NativeTokenStoreError::NativeTokenStoreError(Case errorCase, std::string code, std::optional<std::int32_t> status,
                                             std::string detail)
    : BridgeError(std::move(code), std::move(detail)), case_(errorCase), status_(status) {}

NativeTokenStoreError NativeTokenStoreError::keychainWriteFailed(std::int32_t status, std::string detail) {
    return {Case::keychainWriteFailed, "KEYCHAIN_WRITE_FAILED:" + std::to_string(status), status, std::move(detail)};
}
NativeTokenStoreError NativeTokenStoreError::keychainDeleteFailed(std::int32_t status, std::string detail) {
    return {Case::keychainDeleteFailed, "KEYCHAIN_DELETE_FAILED:" + std::to_string(status), status, std::move(detail)};
}
NativeTokenStoreError NativeTokenStoreError::encodeFailed() {
    return {Case::encodeFailed, "KEYCHAIN_SESSION_ENCODE_FAILED", std::nullopt};
}
NativeTokenStoreError NativeTokenStoreError::keychainWriteTimedOut() {
    return {Case::keychainWriteTimedOut, "KEYCHAIN_SESSION_WRITE_TIMED_OUT", std::nullopt};
}
NativeTokenStoreError NativeTokenStoreError::keychainDeleteTimedOut() {
    return {Case::keychainDeleteTimedOut, "KEYCHAIN_SESSION_DELETE_TIMED_OUT", std::nullopt};
}

namespace {

constexpr const char* kLegacyServiceV2 = "Palisor Bridge Native Session V2";
constexpr const char* kLegacyServiceV1 = "Palisor Bridge Native Session";
// Project-agent tokens are dropped this long before they expire, so a request
// never leaves with a token that dies on the way.
constexpr int kProjectAgentSkewSeconds = 60;

// A write's or delete's status with the vault's account of a failure.
struct VaultStatus {
    std::int32_t status = vault_status::kSuccess;
    std::string detail;
};

template <typename T>
struct VaultAnswer {
    bool timedOut = false;
    // Empty when the call ended without an answer.
    std::optional<T> value;
};

}  // namespace

// Calls that overran their caller and are still running. While there is one,
// the vault is not answering (a keyring daemon that is stopped, for one), and
// every further call would only wait out its own timeout behind it: they are
// answered as timed out at once instead, until the overdue call comes back.
struct NativeTokenStore::VaultHealth {
    std::mutex mutex;
    int overdue = 0;
};

namespace {

// Runs `work` on `queue` and waits for it until the timeout. The work item
// owns everything it touches (the vault by shared pointer, its result box), so
// when the caller gives up it simply finishes later and nobody reads its box.
template <typename T>
VaultAnswer<T> runWithTimeout(WorkQueue& queue, const std::shared_ptr<NativeTokenStore::VaultHealth>& health,
                              std::chrono::milliseconds timeout, std::function<T()> work) {
    struct Call {
        LockedBox<T> box;
        CompletionSignal done;
        // Both guarded by the health's mutex.
        bool finished = false;
        bool abandoned = false;
    };
    {
        std::lock_guard guard(health->mutex);
        if (health->overdue > 0) return {true, std::nullopt};
    }
    auto call = std::make_shared<Call>();
    auto deadline = std::chrono::steady_clock::now() + timeout;
    queue.post([call, health, work = std::move(work)] {
        try {
            call->box.set(work());
        } catch (...) {
            // Leaves the box empty: the caller reports an internal error.
        }
        {
            std::lock_guard guard(health->mutex);
            if (call->abandoned) --health->overdue;
            call->finished = true;
        }
        call->done.signal();
    });
    if (!call->done.waitUntil(deadline)) {
        std::lock_guard guard(health->mutex);
        if (!call->finished) {
            call->abandoned = true;
            ++health->overdue;
            return {true, std::nullopt};
        }
    }
    return {false, call->box.get()};
}

// The refresh token a record holds, expired or not: what tells one login's
// session (and each of its rotations) from another.
std::string storedRefreshToken(const JsonValue& record) {
    const JsonValue* web = objectMember(record, "web");
    const std::string* token = web ? stringMember(*web, "refreshToken") : nullptr;
    return token ? *token : std::string();
}

bool isVaultWriteFailure(const NativeTokenStoreError& error) {
    return error.errorCase() == NativeTokenStoreError::Case::keychainWriteFailed ||
           error.errorCase() == NativeTokenStoreError::Case::keychainWriteTimedOut;
}

// ISO 8601 text of whole seconds since 1970 for any year from 1000 to 9999.
// The system clock counts nanoseconds and cannot hold years past 2262, and a
// year below 1000 would not print as the four digits readers expect, so the
// value is clamped into that range (tokens that far out are "never" and
// "long ago" either way).
std::string isoTimeOfEpochSeconds(double seconds) {
    constexpr double kEarliest = -30610224000.0;  // 1000-01-01T00:00:00Z
    constexpr double kLatest = 253402300799.0;    // 9999-12-31T23:59:59Z
    std::time_t whole = static_cast<std::time_t>(std::clamp(std::floor(seconds), kEarliest, kLatest));
    std::tm utc{};
    gmtime_r(&whole, &utc);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return buffer;
}

}  // namespace

bool isExpired(const JsonValue* expiresAt, int skewSeconds) {
    if (!expiresAt || !expiresAt->is_string()) return false;
    const std::string& text = expiresAt->get_ref<const std::string&>();
    if (text.empty()) return false;
    auto when = parseIsoTime(text);
    if (!when) return false;
    return *when <= std::chrono::system_clock::now() + std::chrono::seconds(skewSeconds);
}

std::optional<std::string> jwtExpiresAt(const std::string& token) {
    std::optional<JsonValue> payload = jwtPayload(token);
    if (!payload) return std::nullopt;
    const JsonValue* exp = member(*payload, "exp");
    if (!exp || !exp->is_number()) return std::nullopt;
    return isoTimeOfEpochSeconds(exp->get<double>());
}

// ---- the store ----

NativeTokenStore::NativeTokenStore(Options options)
    : service_(std::move(options.service)),
      account_(std::move(options.account)),
      keychainEnabled_(options.keychainEnabled.value_or(!options.credentials.keychainDisabled)),
      keychainTimeout_(options.keychainTimeout),
      health_(std::make_shared<VaultHealth>()) {
    if (options.legacyServices) {
        legacyServices_ = std::move(*options.legacyServices);
    } else if (service_ == kDefaultService) {
        legacyServices_ = {kLegacyServiceV2, kLegacyServiceV1};
    }
    if (keychainEnabled_) {
        vault_ = options.vault ? std::move(options.vault) : persistentCredentialVault(options.credentials);
        keychainQueue_ = std::make_unique<WorkQueue>("vn.palisor.bridge.native.keychain", 8);
        keychainWriteQueue_ = std::make_unique<WorkQueue>("vn.palisor.bridge.native.keychain.write", 1);
    }
}

// The queues let calls still running finish on their own. A session that
// could not be saved gets one last try: this is the last chance to keep it.
NativeTokenStore::~NativeTokenStore() {
    try {
        if (unsavedSessionFailure()) saveUnsavedSession();
    } catch (...) {
        // Nothing more can be done for it here.
    }
}

std::string NativeTokenStore::projectAgentKey(const std::string& authorityOrigin, const std::string& projectKey) {
    return authorityOrigin + "::" + projectKey;
}

NativeTokenStore::KeychainReadOutcome NativeTokenStore::readKeychainDataWithTimeout(const std::string& service) {
    auto vault = vault_;
    auto answer = runWithTimeout<KeychainReadResult>(
        *keychainQueue_, health_, keychainTimeout_,
        [vault, service, account = account_] { return vault->read(service, account); });
    using Kind = KeychainReadOutcome::Kind;
    if (answer.timedOut) return {Kind::timedOut, {}, 0};
    KeychainReadResult result = answer.value.value_or(KeychainReadResult{vault_status::kInternalError, std::nullopt});
    if (result.status == vault_status::kItemNotFound) return {Kind::notFound, {}, result.status};
    if (result.status != vault_status::kSuccess) return {Kind::failed, {}, result.status};
    if (!result.data) return {Kind::failed, {}, 0};
    return {Kind::found, std::move(*result.data), 0};
}

void NativeTokenStore::writeKeychainDataWithTimeout(const std::string& data) {
    auto vault = vault_;
    // The detail is asked for on the thread that made the call, right after it.
    auto answer = runWithTimeout<VaultStatus>(*keychainWriteQueue_, health_, keychainTimeout_,
                                              [vault, service = service_, account = account_, data] {
                                                  std::int32_t status = vault->write(service, account, data);
                                                  return VaultStatus{status, vault->lastFailureDetail()};
                                              });
    if (answer.timedOut) throw NativeTokenStoreError::keychainWriteTimedOut();
    VaultStatus result = answer.value.value_or(VaultStatus{vault_status::kInternalError, {}});
    if (result.status != vault_status::kSuccess)
        throw NativeTokenStoreError::keychainWriteFailed(result.status, result.detail);
}

std::optional<NativeTokenStoreError> NativeTokenStore::deleteKeychainDataWithTimeout() {
    auto vault = vault_;
    auto answer = runWithTimeout<VaultStatus>(*keychainWriteQueue_, health_, keychainTimeout_,
                                              [vault, service = service_, account = account_] {
                                                  std::int32_t status = vault->remove(service, account);
                                                  return VaultStatus{status, vault->lastFailureDetail()};
                                              });
    if (answer.timedOut) return NativeTokenStoreError::keychainDeleteTimedOut();
    VaultStatus result = answer.value.value_or(VaultStatus{vault_status::kInternalError, {}});
    if (result.status == vault_status::kSuccess || result.status == vault_status::kItemNotFound) return std::nullopt;
    return NativeTokenStoreError::keychainDeleteFailed(result.status, result.detail);
}

NativeTokenStore::PersistedSessionRead NativeTokenStore::readCurrentItem() {
    using Result = PersistedSessionRead::Kind;
    KeychainReadOutcome current = readKeychainDataWithTimeout(service_);
    switch (current.kind) {
        case KeychainReadOutcome::Kind::found: {
            JsonValue record = parseJsonObject(std::string_view(current.data));
            // An unreadable record is no evidence of a missing session.
            if (record.empty()) return {Result::unavailable, {}};
            return {Result::loaded, std::move(record)};
        }
        case KeychainReadOutcome::Kind::notFound:
            return {Result::missing, {}};
        case KeychainReadOutcome::Kind::failed:
        case KeychainReadOutcome::Kind::timedOut:
            break;
    }
    return {Result::unavailable, {}};
}

std::uint64_t NativeTokenStore::currentGeneration() {
    std::lock_guard guard(lock_);
    return generation_;
}

NativeTokenStore::PersistedSessionRead NativeTokenStore::loadPersistedSession(std::uint64_t generation) {
    using Kind = KeychainReadOutcome::Kind;
    using Result = PersistedSessionRead::Kind;

    PersistedSessionRead current = readCurrentItem();
    if (current.kind != Result::missing) return current;

    for (const std::string& legacy : legacyServices_) {
        if (legacy == service_) continue;
        KeychainReadOutcome old = readKeychainDataWithTimeout(legacy);
        if (old.kind == Kind::failed || old.kind == Kind::timedOut) return {Result::unavailable, {}};
        if (old.kind == Kind::notFound) continue;
        JsonValue record = parseJsonObject(std::string_view(old.data));
        if (record.empty()) continue;
        {
            // Copy the item forward, unless this process wrote or cleared the
            // session since the load began: the old record must not replace
            // what a login just stored, nor come back after a logout.
            std::lock_guard writing(writeLock_);
            bool overtaken;
            {
                std::lock_guard guard(lock_);
                overtaken = generation_ != generation;
            }
            if (!overtaken) {
                try {
                    writeKeychainDataWithTimeout(old.data);
                } catch (const NativeTokenStoreError&) {
                    // The record is still good for this run; the next start tries again.
                }
            }
        }
        return {Result::loaded, std::move(record)};
    }
    return {Result::missing, {}};
}

JsonValue NativeTokenStore::readSession() {
    std::uint64_t generation;
    {
        std::lock_guard guard(lock_);
        if (didLoadSession_) return cachedSession_;
        if (!keychainEnabled_) {
            didLoadSession_ = true;
            cachedSession_ = JsonValue::object();
            return cachedSession_;
        }
        generation = generation_;
    }
    PersistedSessionRead persisted = loadPersistedSession(generation);
    std::lock_guard guard(lock_);
    // A write, clear or reload that finished while we were reading is newer
    // than what we read: memory is authoritative from then on.
    if (didLoadSession_ || generation_ != generation) return cachedSession_;
    switch (persisted.kind) {
        case PersistedSessionRead::Kind::missing:
            didLoadSession_ = true;
            cachedSession_ = JsonValue::object();
            break;
        case PersistedSessionRead::Kind::unavailable:
            // A record loaded earlier in this run is still the session; a
            // keychain hiccup must not make it look logged out (and a
            // read-modify-write built on an empty record would erase it).
            break;
        case PersistedSessionRead::Kind::loaded:
            if (cachedSession_.empty()) cachedSession_ = std::move(persisted.record);
            break;
    }
    return cachedSession_;
}

bool NativeTokenStore::reloadSessionFromKeychain() {
    if (!keychainEnabled_) return false;
    // Memory holds a session the vault lacks: reading the vault would bring
    // back the one it replaced. Settle the two instead.
    if (hasUnsaved()) {
        std::lock_guard updating(updateLock_);
        currentRecordLocked();
        return true;
    }
    std::uint64_t generation = currentGeneration();
    PersistedSessionRead persisted = loadPersistedSession(generation);
    if (persisted.kind != PersistedSessionRead::Kind::loaded) return false;
    std::lock_guard guard(lock_);
    // A write or clear in this process after the read began holds a newer
    // session than the one we read; keep it.
    if (generation_ == generation) {
        cachedSession_ = std::move(persisted.record);
        didLoadSession_ = true;
    }
    return true;
}

bool NativeTokenStore::adoptPersistedSession() {
    if (!keychainEnabled_) return false;
    // Whether the session became unsaved, or saved, since the last call:
    // callers show that, so it counts as a change.
    auto unsavedChanged = [this] {
        std::lock_guard guard(lock_);
        bool changed = unsaved_.has_value() != unsavedReported_;
        unsavedReported_ = unsaved_.has_value();
        return changed;
    };
    if (hasUnsaved()) {
        std::lock_guard updating(updateLock_);
        JsonValue before = readSession();
        currentRecordLocked();
        bool changed = readSession() != before;
        return unsavedChanged() || changed;
    }
    std::uint64_t generation = currentGeneration();
    PersistedSessionRead current = readCurrentItem();
    if (current.kind == PersistedSessionRead::Kind::unavailable) return unsavedChanged();
    JsonValue record = current.kind == PersistedSessionRead::Kind::loaded ? std::move(current.record)
                                                                          : JsonValue::object();
    bool changed = unsavedChanged();
    std::lock_guard guard(lock_);
    // A write or clear in this process after the read began is newer. Memory
    // that was never loaded is empty, so nothing stored means no change.
    if (generation_ != generation || cachedSession_ == record) return changed;
    cachedSession_ = std::move(record);
    didLoadSession_ = true;
    return true;
}

void NativeTokenStore::writeSession(const JsonValue& record) {
    if (!record.is_object()) throw NativeTokenStoreError::encodeFailed();
    // Text that is not valid UTF-8 cannot be stored as JSON either.
    std::optional<std::string> bytes = dumpCompact(record);
    if (!bytes) throw NativeTokenStoreError::encodeFailed();
    std::lock_guard writing(writeLock_);
    if (keychainEnabled_) writeKeychainDataWithTimeout(*bytes);
    std::lock_guard guard(lock_);
    cachedSession_ = record;
    didLoadSession_ = true;
    ++generation_;
    // The whole record is in the vault now, whatever memory held unsaved.
    unsaved_.reset();
}

void NativeTokenStore::writeOrKeepLocked(const JsonValue& record, const std::string& vaultRefreshToken) {
    try {
        writeSession(record);
    } catch (const NativeTokenStoreError& error) {
        if (!keychainEnabled_ || !isVaultWriteFailure(error)) throw;
        std::lock_guard guard(lock_);
        cachedSession_ = record;
        didLoadSession_ = true;
        ++generation_;
        // The vault still holds what it held when the first save failed.
        std::string held = unsaved_ ? unsaved_->vaultRefreshToken : vaultRefreshToken;
        unsaved_ = Unsaved{std::move(held), errorMessage(error)};
    }
}

bool NativeTokenStore::hasUnsaved() {
    std::lock_guard guard(lock_);
    return unsaved_.has_value();
}

std::optional<std::string> NativeTokenStore::unsavedSessionFailure() {
    std::lock_guard guard(lock_);
    if (!unsaved_) return std::nullopt;
    return unsaved_->failure;
}

bool NativeTokenStore::saveUnsavedSession() {
    if (!hasUnsaved()) return true;
    std::lock_guard updating(updateLock_);
    currentRecordLocked();
    return !hasUnsaved();
}

bool NativeTokenStore::sessionUnknown() {
    std::lock_guard guard(lock_);
    return keychainEnabled_ && !didLoadSession_;
}

void NativeTokenStore::clearSession() {
    std::optional<NativeTokenStoreError> failure;
    {
        // After any update under way, so that none of them lands after the
        // clear and brings the session back.
        std::lock_guard updating(updateLock_);
        std::lock_guard writing(writeLock_);
        if (keychainEnabled_) failure = deleteKeychainDataWithTimeout();
        std::lock_guard guard(lock_);
        cachedSession_ = JsonValue::object();
        didLoadSession_ = true;
        ++generation_;
        unsaved_.reset();
    }
    if (failure) throw *failure;
}

// ---- web session ----

JsonValue NativeTokenStore::webSession() {
    JsonValue record = readSession();
    const JsonValue* web = objectMember(record, "web");
    return web ? *web : JsonValue();
}

std::optional<std::string> NativeTokenStore::webToken(int renewBeforeSeconds) {
    return webAccessTokenOf(webSession(), renewBeforeSeconds);
}

std::optional<std::string> NativeTokenStore::webRefreshToken() { return webRefreshTokenOf(webSession()); }

bool NativeTokenStore::hasExpiredWebSession() { return isExpiredWebSession(webSession()); }

bool NativeTokenStore::hasRecoverableWebSession() { return isRecoverableWebSession(webSession()); }

std::optional<std::string> webAccessTokenOf(const JsonValue& web, int renewBeforeSeconds) {
    if (!web.is_object() || isExpired(member(web, "expiresAt"), renewBeforeSeconds)) return std::nullopt;
    return optString(web, "accessToken");
}

std::optional<std::string> webRefreshTokenOf(const JsonValue& web) {
    if (!web.is_object()) return std::nullopt;
    std::optional<std::string> token = nonEmptyString(web, "refreshToken");
    if (!token || isExpired(member(web, "refreshExpiresAt"), 0)) return std::nullopt;
    return token;
}

bool isExpiredWebSession(const JsonValue& web) {
    if (!web.is_object() || !stringMember(web, "accessToken")) return false;
    bool accessExpired = isExpired(member(web, "expiresAt"), 0);
    if (stringMember(web, "refreshToken")) return accessExpired && isExpired(member(web, "refreshExpiresAt"), 0);
    return accessExpired;
}

bool isRecoverableWebSession(const JsonValue& web) {
    if (!web.is_object()) return false;
    bool accessValid = stringMember(web, "accessToken") && !isExpired(member(web, "expiresAt"), 0);
    if (stringMember(web, "refreshToken")) return accessValid || !isExpired(member(web, "refreshExpiresAt"), 0);
    return accessValid;
}

int webTokenRenewBeforeSeconds(const JsonValue& web) {
    constexpr int kMargin = 900;
    auto timeOf = [&](const char* key) -> std::optional<std::chrono::system_clock::time_point> {
        const std::string* text = web.is_object() ? stringMember(web, key) : nullptr;
        return text ? parseIsoTime(*text) : std::nullopt;
    };
    auto received = timeOf("receivedAt");
    auto expires = timeOf("expiresAt");
    if (!received || !expires) return kMargin;
    auto lifetime = std::chrono::duration_cast<std::chrono::seconds>(*expires - *received).count();
    if (lifetime > 2 * kMargin) return kMargin;
    return static_cast<int>(std::max<long long>(0, lifetime) / 3);
}

namespace {

JsonValue webSessionObject(const std::string& authorityOrigin, const JsonValue& data) {
    auto field = [&](const char* key) -> JsonValue {
        const JsonValue* value = member(data, key);
        return value ? *value : JsonValue();
    };
    // As the authority sent it, null included; only a missing list is empty.
    const JsonValue* memberships = member(data, "memberships");
    std::string now = isoNow();
    return {
        {"authorityOrigin", authorityOrigin},
        {"accessToken", field("accessToken")},
        {"refreshToken", field("refreshToken")},
        {"expiresAt", field("expiresAt")},
        {"refreshExpiresAt", field("refreshExpiresAt")},
        {"user", field("user")},
        {"memberships", memberships ? *memberships : JsonValue::array()},
        {"updatedAt", now},
        // The token's lifetime runs from here, which decides how early it is
        // renewed.
        {"receivedAt", now},
    };
}

}  // namespace

std::optional<JsonValue> NativeTokenStore::currentRecordLocked() {
    JsonValue memory = readSession();
    // Cleared in this process (even if the vault's deletion failed): that
    // logout stands whatever the vault still holds.
    if (memory.empty()) return std::nullopt;
    if (!keychainEnabled_) return memory;
    std::uint64_t generation = currentGeneration();
    PersistedSessionRead persisted = readCurrentItem();
    // A vault that cannot be read says nothing of other processes; memory
    // still knows what this one did.
    if (persisted.kind == PersistedSessionRead::Kind::unavailable) return memory;
    JsonValue record = persisted.kind == PersistedSessionRead::Kind::loaded ? persisted.record : JsonValue::object();
    std::optional<std::string> unsavedOver;
    {
        std::lock_guard guard(lock_);
        if (unsaved_) unsavedOver = unsaved_->vaultRefreshToken;
    }
    if (unsavedOver) {
        // The vault still holds the session ours replaced: nobody else has
        // touched it, and ours is the newer. Save it now if the vault takes it.
        if (persisted.kind == PersistedSessionRead::Kind::loaded && storedRefreshToken(record) == *unsavedOver) {
            writeOrKeepLocked(memory, *unsavedOver);
            return memory;
        }
        // Logged out or in again elsewhere meanwhile: that stands, as it does
        // for a refresh that was still under way.
        std::lock_guard guard(lock_);
        unsaved_.reset();
    }
    {
        std::lock_guard guard(lock_);
        if (generation_ == generation) {
            cachedSession_ = record;
            didLoadSession_ = true;
        }
    }
    if (persisted.kind == PersistedSessionRead::Kind::missing) return std::nullopt;
    return record;
}

void NativeTokenStore::setWebSession(const std::string& authorityOrigin, const JsonValue& data) {
    JsonValue web = webSessionObject(authorityOrigin, data);
    std::lock_guard updating(updateLock_);
    JsonValue record = readSession();
    record["web"] = std::move(web);
    if (!record.contains("projectAgents")) record["projectAgents"] = JsonValue::object();
    writeSession(record);
}

bool NativeTokenStore::setRefreshedWebSession(const std::string& authorityOrigin, const JsonValue& data,
                                              const std::string& usedRefreshToken) {
    JsonValue web = webSessionObject(authorityOrigin, data);
    std::lock_guard updating(updateLock_);
    std::optional<JsonValue> record = currentRecordLocked();
    if (!record) return false;
    const JsonValue* current = objectMember(*record, "web");
    const std::string* held = current ? stringMember(*current, "refreshToken") : nullptr;
    if (!held || *held != usedRefreshToken) return false;
    (*record)["web"] = std::move(web);
    if (!record->contains("projectAgents")) (*record)["projectAgents"] = JsonValue::object();
    // The used refresh token is spent: losing this answer would lose the session.
    writeOrKeepLocked(*record, usedRefreshToken);
    return true;
}

// ---- project agents ----

std::optional<std::string> NativeTokenStore::projectAgentToken(const std::string& authorityOrigin,
                                                               const std::string& projectKey) {
    std::string key = projectAgentKey(authorityOrigin, projectKey);
    JsonValue record = readSession();
    const JsonValue* agents = objectMember(record, "projectAgents");
    const JsonValue* entry = agents ? objectMember(*agents, key) : nullptr;
    const std::string* token = entry ? stringMember(*entry, "token") : nullptr;
    if (!token) return std::nullopt;

    bool expired;
    const JsonValue* item = objectMember(*entry, "item");
    if (item && item->contains("expiresAt")) {
        expired = isExpired(member(*item, "expiresAt"), kProjectAgentSkewSeconds);
    } else {
        std::optional<std::string> fromToken = jwtExpiresAt(*token);
        JsonValue expiresAt = fromToken ? JsonValue(*fromToken) : JsonValue();
        expired = isExpired(fromToken ? &expiresAt : nullptr, kProjectAgentSkewSeconds);
    }
    if (!expired) return *token;
    try {
        // Only this expired token: another thread may have stored a fresh one meanwhile.
        removeProjectAgentEntry(key, *token);
    } catch (...) {
        // The caller obtains a new token anyway; the stale entry goes next time.
    }
    return std::nullopt;
}

bool NativeTokenStore::setProjectAgentToken(const std::string& authorityOrigin, const std::string& projectKey,
                                            const std::string& token, const JsonValue& item) {
    std::string key = projectAgentKey(authorityOrigin, projectKey);
    std::lock_guard updating(updateLock_);
    // Issued for a session that was logged out meanwhile, here or elsewhere:
    // writing it would bring a credential back after the logout.
    std::optional<JsonValue> record = currentRecordLocked();
    if (!record || !objectMember(*record, "web")) return false;
    const JsonValue* existing = objectMember(*record, "projectAgents");
    JsonValue agents = existing ? *existing : JsonValue::object();
    agents[key] = {{"token", token}, {"item", item}, {"updatedAt", isoNow()}};
    std::string vaultRefreshToken = storedRefreshToken(*record);
    (*record)["projectAgents"] = std::move(agents);
    writeOrKeepLocked(*record, vaultRefreshToken);
    return true;
}

void NativeTokenStore::clearProjectAgentToken(const std::string& authorityOrigin, const std::string& projectKey) {
    removeProjectAgentEntry(projectAgentKey(authorityOrigin, projectKey), std::nullopt);
}

void NativeTokenStore::removeProjectAgentEntry(const std::string& key, const std::optional<std::string>& onlyToken) {
    std::lock_guard updating(updateLock_);
    JsonValue record = readSession();
    const JsonValue* existing = objectMember(record, "projectAgents");
    JsonValue agents = existing ? *existing : JsonValue::object();
    if (onlyToken) {
        const JsonValue* entry = objectMember(agents, key);
        const std::string* stored = entry ? stringMember(*entry, "token") : nullptr;
        if (!stored || *stored != *onlyToken) return;
    }
    agents.erase(key);
    record["projectAgents"] = std::move(agents);
    writeOrKeepLocked(record, storedRefreshToken(record));
}

}  // namespace palisor
