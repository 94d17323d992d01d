#include "bridge/credentials/credential_vault.h"

#include "bridge/common/paths.h"
#include "bridge/credentials/credential_file_vault.h"
#include "bridge/credentials/secret_service_vault.h"
#include "bridge/workspace/settings_store.h"

namespace palisor {

namespace {

// The choice without the disabling rule.
CredentialStoreChoice persistentChoice(const CredentialSettings& settings) {
    CredentialStoreChoice choice;
    if (settings.credentialFile && !settings.credentialFile->empty()) {
        choice.kind = CredentialStoreChoice::Kind::file;
        choice.source = CredentialStoreChoice::Source::environment;
        choice.file = *settings.credentialFile;
    } else if (auto remembered = settings.settings ? rememberedSetting(*settings.settings, kRememberedCredentialFileKey)
                                                   : std::nullopt) {
        choice.kind = CredentialStoreChoice::Kind::file;
        choice.source = CredentialStoreChoice::Source::remembered;
        choice.file = *remembered;
    }
    return choice;
}

std::shared_ptr<CredentialVault> vaultFor(const CredentialStoreChoice& choice, const CredentialSettings& settings) {
    if (choice.kind == CredentialStoreChoice::Kind::file)
        return std::make_shared<CredentialFileVault>(choice.file, settings.standardFile);
    return std::make_shared<SecretServiceVault>();
}

}  // namespace

CredentialStoreChoice configuredCredentialStore(const CredentialSettings& settings) {
    if (settings.keychainDisabled) {
        CredentialStoreChoice memory;
        memory.kind = CredentialStoreChoice::Kind::memory;
        memory.source = CredentialStoreChoice::Source::environment;
        return memory;
    }
    return persistentChoice(settings);
}

std::string standardCredentialFilePath(const UserFolders& folders) {
    return joinPath(folders.configuration, "session.json");
}

std::shared_ptr<CredentialVault> persistentCredentialVault(const CredentialSettings& settings) {
    return vaultFor(persistentChoice(settings), settings);
}

std::shared_ptr<CredentialVault> credentialVault(const CredentialSettings& settings) {
    CredentialStoreChoice choice = configuredCredentialStore(settings);
    if (choice.kind == CredentialStoreChoice::Kind::memory) return nullptr;
    return vaultFor(choice, settings);
}

}  // namespace palisor
