#include "bridge/credentials/secret_service_vault.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace palisor {
namespace {

constexpr const char* kAccount = "authority-session";

// These tests write to a keyring, so they run only in the throw-away keyring
// that secret_service_session.sh starts in a private D-Bus session, never
// against the keyring of the developer running the suite.
class SecretServiceVaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
        if (!bus || !*bus) GTEST_SKIP() << "no D-Bus session bus is reachable (DBUS_SESSION_BUS_ADDRESS is unset)";
        const char* privateKeyring = std::getenv("PALISOR_TEST_PRIVATE_KEYRING");
        if (!privateKeyring || std::strcmp(privateKeyring, "1") != 0)
            GTEST_SKIP() << "runs only inside tests/credentials/secret_service_session.sh, which provides a "
                            "throw-away keyring; the user's own keyring is left alone";
        // The session script promised a keyring: failing to reach it is a failure, not a skip.
        ASSERT_NE(vault->read("Palisor Bridge probe", kAccount).status, vault_status::kServiceUnavailable)
            << "the private session has no Secret Service";
    }

    std::shared_ptr<SecretServiceVault> vault = std::make_shared<SecretServiceVault>();
};

TEST_F(SecretServiceVaultTest, StoresReplacesReadsAndDeletesItems) {
    const std::string service = "Palisor Bridge Vault Test";
    // The session's login keyring is the default collection, unlocked.
    EXPECT_EQ(SecretServiceVault::defaultCollectionStatus(), vault_status::kSuccess);
    EXPECT_EQ(vault->read(service, kAccount).status, vault_status::kItemNotFound);
    EXPECT_EQ(vault->remove(service, kAccount), vault_status::kItemNotFound);

    std::string binary("{\"a\":1}\0\xff", 9);
    ASSERT_EQ(vault->write(service, kAccount, "first"), vault_status::kSuccess);
    ASSERT_EQ(vault->write(service, "other-account", "other"), vault_status::kSuccess);
    ASSERT_EQ(vault->write(service, kAccount, binary), vault_status::kSuccess);
    KeychainReadResult read = vault->read(service, kAccount);
    EXPECT_EQ(read.status, vault_status::kSuccess);
    EXPECT_EQ(read.data, binary);
    EXPECT_EQ(vault->read(service, "other-account").data, "other");
    EXPECT_EQ(vault->read(service + " V2", kAccount).status, vault_status::kItemNotFound);

    // Replacing left one item: a single delete removes the account's data.
    EXPECT_EQ(vault->remove(service, kAccount), vault_status::kSuccess);
    EXPECT_EQ(vault->read(service, kAccount).status, vault_status::kItemNotFound);
    EXPECT_EQ(vault->read(service, "other-account").data, "other");
    EXPECT_EQ(vault->remove(service, "other-account"), vault_status::kSuccess);
}

}  // namespace
}  // namespace palisor
