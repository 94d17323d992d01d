#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bridge/credentials/credential_file_vault.h"
#include "bridge/credentials/native_token_store.h"
#include "tests/support/errors.h"
#include "tests/support/temp_dir.h"

namespace palisor {
namespace {

unsigned modeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
}

TEST(CredentialFileVault, KeepsItemsPrivateAndApartByServiceAndAccount) {
    test::TempDir dir;
    std::string path = dir.file("nested/credentials.json");
    CredentialFileVault vault(path);
    EXPECT_EQ(vault.read("S", "a").status, vault_status::kItemNotFound);
    EXPECT_EQ(vault.remove("S", "a"), vault_status::kItemNotFound);
    EXPECT_FALSE(std::filesystem::exists(dir.file("nested")));  // a miss creates nothing

    std::string binary("\0\xff{\"", 4);
    EXPECT_EQ(vault.write("S", "a", "first"), vault_status::kSuccess);
    EXPECT_EQ(vault.write("S", "b", binary), vault_status::kSuccess);
    EXPECT_EQ(vault.write("T", "a", "other service"), vault_status::kSuccess);
    EXPECT_EQ(vault.write("S", "a", "replaced"), vault_status::kSuccess);
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_EQ(modeOf(dir.file("nested")), 0700u);
    EXPECT_EQ(vault.read("S", "a").data, "replaced");
    EXPECT_EQ(vault.read("S", "b").data, binary);
    EXPECT_EQ(vault.read("T", "a").data, "other service");
    EXPECT_EQ(vault.remove("S", "a"), vault_status::kSuccess);
    EXPECT_EQ(vault.remove("S", "a"), vault_status::kItemNotFound);
    EXPECT_EQ(vault.read("S", "b").data, binary);

    // A file the user created empty to opt in is an empty store.
    test::writeFile(path, "\n");
    EXPECT_EQ(vault.read("S", "b").status, vault_status::kItemNotFound);

    // A place that cannot be read is a failure, never a miss (which would log the user out).
    CredentialFileVault folder(dir.file("nested"));
    EXPECT_EQ(folder.read("S", "a").status, vault_status::kFileUnreadable);
    EXPECT_EQ(folder.write("S", "a", "x"), vault_status::kFileUnreadable);
    EXPECT_EQ(CredentialFileVault(path + "/below-a-file").write("S", "a", "x"), vault_status::kFileWriteFailed);
}

TEST(CredentialFileVault, CorruptFileFailsReadsAndDeletesAndOnlyALoginReplacesIt) {
    test::TempDir dir;
    std::string path = dir.file("credentials.json");
    for (const std::string& corrupt :
         {std::string("{\"items\": "), std::string("[]"), std::string("{\"items\": {\"S\": \"a\"}}"),
          std::string("{\"items\": {\"S\": {\"a\": \"not base64!\"}}}"), std::string("\xFF\xFE")}) {
        test::writeFile(path, corrupt);
        NativeTokenStore::Options options;
        options.keychainEnabled = true;
        options.vault = std::make_shared<CredentialFileVault>(path);
        NativeTokenStore store(options);
        EXPECT_EQ(store.readSession(), JsonValue::object()) << corrupt;
        EXPECT_FALSE(store.reloadSessionFromKeychain());
        // Deleting from a corrupt file must not report success.
        EXPECT_EQ(test::errorOf<NativeTokenStoreError>([&] { store.clearSession(); }),
                  "KEYCHAIN_DELETE_FAILED:" + std::to_string(vault_status::kFileCorrupt))
            << corrupt;
        EXPECT_EQ(test::readFile(path), corrupt);

        store.setWebSession("https://authority.example", {{"accessToken", "a"}, {"refreshToken", "r"}});
        EXPECT_EQ(NativeTokenStore(options).webToken(), "a") << corrupt;
        EXPECT_EQ(modeOf(path), 0600u);
    }
}

TEST(CredentialFileVault, WritersOnTheSameFileNeverLoseEachOthersItems) {
    test::TempDir dir;
    std::string path = dir.file("credentials.json");
    // One vault per thread, as separate processes would have: only the file
    // and its lock file are shared.
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&, t] {
            CredentialFileVault vault(path);
            for (int i = 0; i < 10; ++i) {
                std::string account = std::to_string(t) + "-" + std::to_string(i);
                EXPECT_EQ(vault.write("S", account, account), vault_status::kSuccess);
                if (i % 2 == 0) {
                    EXPECT_EQ(vault.remove("S", account), vault_status::kSuccess);
                }
            }
        });
    for (auto& thread : threads) thread.join();
    CredentialFileVault vault(path);
    for (int t = 0; t < 6; ++t)
        for (int i = 0; i < 10; ++i) {
            std::string account = std::to_string(t) + "-" + std::to_string(i);
            EXPECT_EQ(vault.read("S", account).data, i % 2 ? std::optional<std::string>(account) : std::nullopt);
        }
    // Only the file and its lock are left: no temporary files.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 2);
}

}  // namespace
}  // namespace palisor
