#include "bridge/credentials/credential_vault.h"

#include <cstdlib>
#include <cstring>

#include "bridge/common/paths.h"
#include "bridge/credentials/credential_file_vault.h"
#include "bridge/credentials/secret_service_vault.h"
#include "bridge/workspace/settings_store.h"

namespace palisor {

namespace {

// The choice without the disabling rule.
CredentialStoreChoice persistentChoice() {
    CredentialStoreChoice choice;
    const char* file = std::getenv(kCredentialFileVariable);
    if (file != nullptr && *file != '\0') {
        choice.kind = CredentialStoreChoice::Kind::file;
        choice.source = CredentialStoreChoice::Source::environment;
        choice.file = file;
    } else if (auto remembered = rememberedSetting(kRememberedCredentialFileKey)) {
        choice.kind = CredentialStoreChoice::Kind::file;
        choice.source = CredentialStoreChoice::Source::remembered;
        choice.file = *remembered;
    }
    return choice;
}

std::shared_ptr<CredentialVault> vaultFor(const CredentialStoreChoice& choice) {
    if (choice.kind == CredentialStoreChoice::Kind::file) return std::make_shared<CredentialFileVault>(choice.file);
    return std::make_shared<SecretServiceVault>();
}

}  // namespace

bool keychainDisabledByEnvironment() {
    const char* value = std::getenv(kDisableKeychainVariable);
    return value != nullptr && std::strcmp(value, "1") == 0;
}

CredentialStoreChoice configuredCredentialStore() {
    if (keychainDisabledByEnvironment()) {
        CredentialStoreChoice memory;
        memory.kind = CredentialStoreChoice::Kind::memory;
        memory.source = CredentialStoreChoice::Source::environment;
        return memory;
    }
    return persistentChoice();
}

std::string standardCredentialFilePath() { return joinPath(configurationDirectory(), "session.json"); }

std::shared_ptr<CredentialVault> persistentCredentialVaultFromEnvironment() { return vaultFor(persistentChoice()); }

std::shared_ptr<CredentialVault> credentialVaultFromEnvironment() {
    CredentialStoreChoice choice = configuredCredentialStore();
    if (choice.kind == CredentialStoreChoice::Kind::memory) return nullptr;
    return vaultFor(choice);
}

}  // namespace palisor
