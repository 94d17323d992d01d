#include "bridge/credentials/credential_vault.h"

#include <cstdlib>
#include <cstring>

#include "bridge/credentials/credential_file_vault.h"
#include "bridge/credentials/secret_service_vault.h"

namespace palisor {

bool keychainDisabledByEnvironment() {
    const char* value = std::getenv(kDisableKeychainVariable);
    return value != nullptr && std::strcmp(value, "1") == 0;
}

std::shared_ptr<CredentialVault> persistentCredentialVaultFromEnvironment() {
    const char* file = std::getenv(kCredentialFileVariable);
    if (file != nullptr && *file != '\0') return std::make_shared<CredentialFileVault>(file);
    return std::make_shared<SecretServiceVault>();
}

std::shared_ptr<CredentialVault> credentialVaultFromEnvironment() {
    if (keychainDisabledByEnvironment()) return nullptr;
    return persistentCredentialVaultFromEnvironment();
}

}  // namespace palisor
