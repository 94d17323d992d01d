#pragma once

#include <string>

#include "bridge/credentials/credential_vault.h"

namespace palisor {

// Items in the user's keyring through the freedesktop Secret Service
// (GNOME Keyring, KWallet's provider, KeePassXC) over the session bus.
//
// Items carry the attributes "service" and "account" under a schema of our
// own, so another program's items with the same attribute names never match.
// New items go to the default collection, which on a desktop is the login
// keyring: local to this machine and unlocked with the user's session.
//
// The bridge often runs without a display, so this vault never asks the
// service to unlock anything (that would raise a prompt nobody can answer):
// a locked item or collection is the failure kLocked.
class SecretServiceVault : public CredentialVault {
public:
    static constexpr const char* kLabel = "Palisor Bridge";

    KeychainReadResult read(const std::string& service, const std::string& account) override;
    std::int32_t write(const std::string& service, const std::string& account, std::string_view data) override;
    std::int32_t remove(const std::string& service, const std::string& account) override;

    // Whether new items could be stored now, without storing one: kSuccess
    // when the service answers and its default collection exists and is
    // unlocked; else kServiceUnavailable, kNoDefaultCollection, kLocked or
    // kServiceFailed, as write() would report. Blocks like the other calls.
    static std::int32_t defaultCollectionStatus();
};

}  // namespace palisor
