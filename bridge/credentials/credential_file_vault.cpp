#include "bridge/credentials/credential_file_vault.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "bridge/common/atomic_file.h"
#include "bridge/common/bridge_error.h"
#include "bridge/common/json.h"
#include "bridge/common/jwt.h"
#include "bridge/common/paths.h"
#include "bridge/common/text.h"

namespace palisor {

namespace {

// The file's object, or nullopt when it is not a credential file. A missing
// or blank file is an empty one: users create it with `touch` to opt in.
std::optional<JsonValue> parseCredentialFile(const std::optional<std::string>& bytes) {
    if (!bytes || trim(*bytes).empty()) return JsonValue::object();
    std::optional<JsonValue> parsed = parseJson(*bytes);
    if (!parsed || !parsed->is_object()) return std::nullopt;
    auto items = parsed->find("items");
    if (items == parsed->end()) return parsed;
    if (!items->is_object()) return std::nullopt;
    for (const auto& [service, accounts] : items->items()) {
        if (!accounts.is_object()) return std::nullopt;
        for (const auto& [account, data] : accounts.items())
            if (!data.is_string() || !base64Decode(data.get<std::string>())) return std::nullopt;
    }
    return parsed;
}

void store(const std::string& path, const JsonValue& contents) {
    // Services and accounts are our own texts and data is Base64, so the
    // object always serialises.
    std::string bytes = contents.dump(2);
    bytes.push_back('\n');
    writeFileAtomically(path, bytes, 0600);
}

}  // namespace

CredentialFileVault::CredentialFileVault(std::string path) : path_(std::move(path)) {}

KeychainReadResult CredentialFileVault::read(const std::string& service, const std::string& account) {
    // Files are only ever replaced by rename, so a read needs no lock: it sees
    // the old file or the new one, never a mixture.
    std::optional<std::string> bytes;
    try {
        bytes = readFileIfExists(path_);
    } catch (const FileError&) {
        return {vault_status::kFileUnreadable, std::nullopt};
    }
    std::optional<JsonValue> contents = parseCredentialFile(bytes);
    if (!contents) return {vault_status::kFileCorrupt, std::nullopt};
    const JsonValue* accounts = objectMember(*contents, "items");
    accounts = accounts ? objectMember(*accounts, service) : nullptr;
    const std::string* data = accounts ? stringMember(*accounts, account) : nullptr;
    if (!data) return {vault_status::kItemNotFound, std::nullopt};
    return {vault_status::kSuccess, base64Decode(*data)};
}

std::int32_t CredentialFileVault::write(const std::string& service, const std::string& account,
                                        std::string_view data) {
    try {
        createDirectories(parentPath(path_), 0700);
        ExclusiveFileLock lock(path_ + ".lock");
        std::optional<std::string> bytes;
        try {
            bytes = readFileIfExists(path_);
        } catch (const FileError&) {
            return vault_status::kFileUnreadable;
        }
        // A corrupt file holds nothing we can use; writing a session (a login)
        // is what replaces it.
        JsonValue contents = parseCredentialFile(bytes).value_or(JsonValue::object());
        JsonValue& items = contents["items"];
        if (!items.is_object()) items = JsonValue::object();
        items[service][account] = base64Encode(data);
        contents["version"] = 1;
        store(path_, contents);
        return vault_status::kSuccess;
    } catch (const FileError&) {
        return vault_status::kFileWriteFailed;
    }
}

std::int32_t CredentialFileVault::remove(const std::string& service, const std::string& account) {
    try {
        // Nothing to delete: answer without creating a lock file (or a folder
        // for it) on a machine that never stored anything.
        if (::access(path_.c_str(), F_OK) != 0 && errno == ENOENT) return vault_status::kItemNotFound;
        ExclusiveFileLock lock(path_ + ".lock");
        std::optional<std::string> bytes;
        try {
            bytes = readFileIfExists(path_);
        } catch (const FileError&) {
            return vault_status::kFileUnreadable;
        }
        if (!bytes) return vault_status::kItemNotFound;
        std::optional<JsonValue> contents = parseCredentialFile(bytes);
        if (!contents) return vault_status::kFileCorrupt;
        auto items = contents->find("items");
        if (items == contents->end()) return vault_status::kItemNotFound;
        auto accounts = items->find(service);
        if (accounts == items->end() || accounts->erase(account) == 0) return vault_status::kItemNotFound;
        if (accounts->empty()) items->erase(accounts);
        store(path_, *contents);
        return vault_status::kSuccess;
    } catch (const FileError&) {
        return vault_status::kFileWriteFailed;
    }
}

}  // namespace palisor
