#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/common/paths.h"

namespace palisor {

class SettingsStore;

// Status of one vault call. Success, "item not found" and "internal error"
// keep the numbers the bridge has always reported: they appear in error codes
// such as "KEYCHAIN_WRITE_FAILED:-25300" that users and support already know.
// Every other failure has a negative number of our own, listed here, chosen
// outside the ranges platform keychains use so the two never get confused.
namespace vault_status {

inline constexpr std::int32_t kSuccess = 0;
inline constexpr std::int32_t kItemNotFound = -25300;
// The call ended without an answer (the backend threw).
inline constexpr std::int32_t kInternalError = -67671;

// Secret Service: no session bus, or no Secret Service provider on it.
inline constexpr std::int32_t kServiceUnavailable = -72001;
// Secret Service: the item or the default collection is locked. Unlocking
// needs a prompt, which a headless bridge cannot show, so we never ask.
inline constexpr std::int32_t kLocked = -72002;
// Secret Service: there is no default collection to store the item in.
inline constexpr std::int32_t kNoDefaultCollection = -72003;
// Secret Service: any other error the service or the bus reported.
inline constexpr std::int32_t kServiceFailed = -72004;

// Credential file: it exists but cannot be read.
inline constexpr std::int32_t kFileUnreadable = -72101;
// Credential file: it is not a credential file we wrote (not JSON, wrong
// shape, an item that is not Base64). Reads and deletes leave it alone.
inline constexpr std::int32_t kFileCorrupt = -72102;
// Credential file: its folder, lock file or new content could not be written.
inline constexpr std::int32_t kFileWriteFailed = -72103;
// Credential file: someone else could read or replace it (a symbolic link,
// another user's file, permissions for group or others, or a folder that
// another user owns or others can write). Reads, writes and deletes leave it
// alone until the user fixes it; CredentialFileVault::refusal says how.
inline constexpr std::int32_t kFileNotPrivate = -72104;

}  // namespace vault_status

struct KeychainReadResult {
    std::int32_t status = vault_status::kSuccess;
    std::optional<std::string> data;
};

// A store of generic-password items addressed by (service, account). Calls
// block and may come from several threads at once.
class CredentialVault {
public:
    virtual ~CredentialVault() = default;

    // kSuccess with the data, kItemNotFound, or a failure status.
    virtual KeychainReadResult read(const std::string& service, const std::string& account) = 0;
    // Replaces the item's data, adding the item when there is none.
    virtual std::int32_t write(const std::string& service, const std::string& account, std::string_view data) = 0;
    // kItemNotFound when there was nothing to delete.
    virtual std::int32_t remove(const std::string& service, const std::string& account) = 0;
    // Why the last write or remove made on the calling thread failed, in
    // words for people (what failed where, and the system's reason); empty
    // when the backend has nothing to add to the status.
    virtual std::string lastFailureDetail() const { return {}; }
};

inline constexpr const char* kDisableKeychainVariable = "PALISOR_BRIDGE_DISABLE_KEYCHAIN";
inline constexpr const char* kCredentialFileVariable = "PALISOR_BRIDGE_CREDENTIAL_FILE";

// What decides where sessions are kept.
struct CredentialSettings {
    // PALISOR_BRIDGE_DISABLE_KEYCHAIN is exactly "1": sessions live in memory only.
    bool keychainDisabled = false;
    // PALISOR_BRIDGE_CREDENTIAL_FILE.
    std::optional<std::string> credentialFile;
    // The user's settings, where `palisor-bridge login` remembers a file; none
    // remembers nothing.
    std::shared_ptr<const SettingsStore> settings;
    // standardCredentialFilePath() of the user's folders, offered as an example.
    std::string standardFile;
};

// Where sessions are kept, decided in this one place for every program: in
// memory only when the keychain is disabled (that wins over everything else);
// else in the file PALISOR_BRIDGE_CREDENTIAL_FILE names when set and not
// empty; else in the file `palisor-bridge login` remembered (--credential-file
// or the answer to its question on a machine without a keyring); else in the
// Secret Service.
struct CredentialStoreChoice {
    enum class Kind { memory, file, keyring };
    enum class Source { environment, remembered, none };
    Kind kind = Kind::keyring;
    Source source = Source::none;
    std::string file;  // for Kind::file, as given
};
CredentialStoreChoice configuredCredentialStore(const CredentialSettings& settings);

// session.json in the bridge's settings folder: the file offered on a
// machine without a keyring, and the example the hints give.
std::string standardCredentialFilePath(const UserFolders& folders);

// The vault configuredCredentialStore() names: none for memory only.
std::shared_ptr<CredentialVault> credentialVault(const CredentialSettings& settings);

// As above without the disabling rule, for callers that decided on their own
// that the session is to be persisted.
std::shared_ptr<CredentialVault> persistentCredentialVault(const CredentialSettings& settings);

}  // namespace palisor
