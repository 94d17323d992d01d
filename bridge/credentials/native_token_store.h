#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bridge/common/bridge_error.h"
#include "bridge/common/json.h"
#include "bridge/credentials/credential_vault.h"

namespace palisor {

class WorkQueue;

class NativeTokenStoreError : public BridgeError {
public:
    enum class Case { keychainWriteFailed, keychainDeleteFailed, encodeFailed, keychainWriteTimedOut, keychainDeleteTimedOut };

    // `detail`: the vault's own account of the failure, for people; the
    // code stays the status alone.
    static NativeTokenStoreError keychainWriteFailed(std::int32_t status, std::string detail = {});
    static NativeTokenStoreError keychainDeleteFailed(std::int32_t status, std::string detail = {});
    static NativeTokenStoreError encodeFailed();
    static NativeTokenStoreError keychainWriteTimedOut();
    static NativeTokenStoreError keychainDeleteTimedOut();

    Case errorCase() const noexcept { return case_; }
    // The vault's status for the two "failed" cases.
    std::optional<std::int32_t> status() const noexcept { return status_; }

private:
    NativeTokenStoreError(Case errorCase, std::string code, std::optional<std::int32_t> status,
                          std::string detail = {});
    Case case_;
    std::optional<std::int32_t> status_;
};

// The user's authority session between runs: one JSON record (the web session
// under "web", project-agent tokens under "projectAgents") kept as a single
// vault item and mirrored in memory.
//
// Every vault call runs on a worker thread and the caller waits at most
// `keychainTimeout`; a call that overruns finishes later on its own and its
// answer is dropped, and until it does, further calls are answered as timed
// out at once, so a vault that stopped answering costs each caller one
// timeout at most. Reads that fail or time out look like "no session", but
// sessionUnknown() tells that case apart.
//
// A refreshed session replaces a refresh token that cannot be used again, so
// when it cannot be saved it is kept in memory and used; the save is tried
// again at each later update, at saveUnsavedSession() and when the store is
// destroyed, and unsavedSessionFailure() says why it has not been saved yet.
class NativeTokenStore {
public:
    static constexpr const char* kDefaultService = "Palisor Bridge Native Session V3";
    static constexpr const char* kDefaultAccount = "authority-session";

    struct Options {
        std::string service = kDefaultService;
        std::string account = kDefaultAccount;
        // Absent: the two older services for the default service, none otherwise.
        std::optional<std::vector<std::string>> legacyServices;
        // Where the session is kept when the two below are absent.
        CredentialSettings credentials;
        // Absent: enabled unless credentials.keychainDisabled.
        std::optional<bool> keychainEnabled;
        // Absent: the vault `credentials` names (credential file or Secret Service).
        std::shared_ptr<CredentialVault> vault;
        std::chrono::milliseconds keychainTimeout = std::chrono::seconds(3);
    };

    explicit NativeTokenStore(Options options);
    ~NativeTokenStore();
    NativeTokenStore(const NativeTokenStore&) = delete;
    NativeTokenStore& operator=(const NativeTokenStore&) = delete;

    const std::string& service() const { return service_; }
    const std::string& account() const { return account_; }
    const std::vector<std::string>& legacyServices() const { return legacyServices_; }
    bool keychainEnabled() const { return keychainEnabled_; }

    JsonValue readSession();
    // Replaces the in-memory copy with the persisted record, so that a session
    // another process wrote is seen. False when nothing could be loaded.
    bool reloadSessionFromKeychain();
    // Takes in what another process did to the stored session (a login, a
    // logout, a rotation): memory becomes the persisted record, or empty when
    // there is none. Legacy items are not consulted, so a logout made
    // elsewhere is not undone by an old record. Returns whether memory
    // changed; false too when the store cannot be read or is memory-only.
    bool adoptPersistedSession();
    void writeSession(const JsonValue& record);
    // Memory is cleared even when the deletion fails; its error is raised after.
    void clearSession();

    std::optional<std::string> webToken(int renewBeforeSeconds = 60);
    std::optional<std::string> webRefreshToken();
    void setWebSession(const std::string& authorityOrigin, const JsonValue& data);
    // Stores the answer of a refresh that was made with `usedRefreshToken`,
    // but only while the stored session still holds that token, here and in
    // the vault: a logout (in this process or another) or a new login that
    // came while the refresh was under way stays done. When it does not
    // store, memory takes up what the vault holds now. Returns whether it
    // stored; write failures are raised as by setWebSession.
    bool setRefreshedWebSession(const std::string& authorityOrigin, const JsonValue& data,
                                const std::string& usedRefreshToken);
    // The store could not read the vault at any attempt so far, so memory
    // says nothing of whether a session is stored: not the same as logged out.
    bool sessionUnknown();
    // Why the session in memory is not in the vault yet (the error code of the
    // last save), or nullopt when everything is saved.
    std::optional<std::string> unsavedSessionFailure();
    // Tries again to save a session that is only in memory. When another
    // process changed the stored session meanwhile (a logout, a new login),
    // that change stands and memory takes it up instead. Returns whether
    // nothing is left unsaved.
    bool saveUnsavedSession();
    bool hasExpiredWebSession();
    bool hasRecoverableWebSession();

    std::optional<std::string> projectAgentToken(const std::string& authorityOrigin, const std::string& projectKey);
    // Kept only while a web session is stored: a token issued for a session
    // that was logged out meanwhile is not written back. Returns whether it
    // was stored.
    bool setProjectAgentToken(const std::string& authorityOrigin, const std::string& projectKey,
                              const std::string& token, const JsonValue& item);
    void clearProjectAgentToken(const std::string& authorityOrigin, const std::string& projectKey);

    static std::string projectAgentKey(const std::string& authorityOrigin, const std::string& projectKey);

    struct VaultHealth;

private:
    struct KeychainReadOutcome {
        enum class Kind { found, failed, notFound, timedOut };
        Kind kind;
        std::string data;
        std::int32_t status = 0;
    };
    struct PersistedSessionRead {
        enum class Kind { missing, unavailable, loaded };
        Kind kind;
        JsonValue record;
    };

    // The current service's item only: loaded, missing, or unavailable
    // (unreadable, failed or timed out).
    PersistedSessionRead readCurrentItem();
    PersistedSessionRead loadPersistedSession(std::uint64_t generation);
    std::uint64_t currentGeneration();
    KeychainReadOutcome readKeychainDataWithTimeout(const std::string& service);
    void writeKeychainDataWithTimeout(const std::string& data);
    std::optional<NativeTokenStoreError> deleteKeychainDataWithTimeout();
    JsonValue webSession();
    // The record as it is now, read from the vault when it can be (what other
    // processes did is seen); memory takes it up. nullopt when the vault has
    // no item: the session was cleared. Call with updateLock_ held.
    std::optional<JsonValue> currentRecordLocked();
    void removeProjectAgentEntry(const std::string& key, const std::optional<std::string>& onlyToken);
    // Writes an updated record; when the vault refuses it, memory takes it
    // up all the same and it is marked unsaved. `vaultRefreshToken` is the
    // refresh token of the record the vault holds, which a later save checks
    // is still there. Call with updateLock_ held.
    void writeOrKeepLocked(const JsonValue& record, const std::string& vaultRefreshToken);
    bool hasUnsaved();

    std::string service_;
    std::string account_;
    std::vector<std::string> legacyServices_;
    bool keychainEnabled_;
    std::shared_ptr<CredentialVault> vault_;
    std::chrono::milliseconds keychainTimeout_;
    // Reads run concurrently; writes and deletes run one at a time in the
    // order they were asked for, so a call that overran its caller can never
    // land after (and undo) a later one.
    std::unique_ptr<WorkQueue> keychainQueue_;
    std::unique_ptr<WorkQueue> keychainWriteQueue_;
    std::shared_ptr<VaultHealth> health_;

    // Guards didLoadSession_, cachedSession_ and generation_; never held
    // across a vault call.
    std::mutex lock_;
    bool didLoadSession_ = false;
    JsonValue cachedSession_ = JsonValue::object();
    // Counts writes and clears, so that a load that was overtaken by one of
    // them does not put an older record back into memory.
    std::uint64_t generation_ = 0;
    struct Unsaved {
        std::string vaultRefreshToken;
        std::string failure;
    };
    // Set while memory holds a session the vault could not take.
    std::optional<Unsaved> unsaved_;
    // Whether adoptPersistedSession last reported an unsaved session.
    bool unsavedReported_ = false;

    // Held across a whole read-modify-write of the record, so concurrent
    // updates of different keys all survive.
    std::mutex updateLock_;
    // Held across a vault write or delete and the memory update that follows,
    // so memory ends in the same state as the vault.
    std::mutex writeLock_;
};

// The web session queries over one "web" object of the record (anything but
// an object is no session). For callers that must decide on a single read of
// the record, such as whose session it is and which token it holds, where
// the store's own queries would each read it afresh.
std::optional<std::string> webAccessTokenOf(const JsonValue& web, int renewBeforeSeconds);
std::optional<std::string> webRefreshTokenOf(const JsonValue& web);
bool isExpiredWebSession(const JsonValue& web);
bool isRecoverableWebSession(const JsonValue& web);

// How long before its expiry a web access token is renewed: 900 seconds,
// or for a token that lives 1,800 seconds or less (from "receivedAt" to
// "expiresAt") a third of its lifetime, so that a short-lived token is not
// renewed on every call. Records without a receipt time keep 900 seconds.
int webTokenRenewBeforeSeconds(const JsonValue& web);

// Whether an expiry time (ISO 8601) lies at or before now + skewSeconds.
// Absent (nullptr), non-text, empty or unreadable expiries never expire.
bool isExpired(const JsonValue* expiresAt, int skewSeconds);

// The "exp" claim of a JWT as ISO 8601 text (UTC, whole seconds), read
// without checking the signature; absent when there is no numeric "exp".
std::optional<std::string> jwtExpiresAt(const std::string& token);

}  // namespace palisor
