#include "bridge/credentials/credential_file_vault.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

namespace palisor {
namespace {

using ::testing::HasSubstr;

unsigned modeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
}

TEST(CredentialFileVault, KeepsItemsPrivateAndApartAndNeverTakesAnUnreadableFileForAMiss) {
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
    EXPECT_FALSE(vault.refusal());
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

    // A corrupt file fails reads and deletes, and only a login replaces it.
    for (const std::string& corrupt :
         {std::string("{\"items\": "), std::string("[]"), std::string("{\"items\": {\"S\": \"a\"}}"),
          std::string("{\"items\": {\"S\": {\"a\": \"not base64!\"}}}"), std::string("\xFF\xFE")}) {
        test::writeFile(path, corrupt);
        ::chmod(path.c_str(), 0600);
        // Failures, never misses: a miss would log the user out, and deleting must not report success.
        EXPECT_EQ(vault.read("S", "a").status, vault_status::kFileCorrupt) << corrupt;
        EXPECT_EQ(vault.remove("S", "a"), vault_status::kFileCorrupt) << corrupt;
        EXPECT_EQ(test::readFile(path), corrupt);
        EXPECT_EQ(vault.write("S", "a", "a login"), vault_status::kSuccess);
        EXPECT_EQ(vault.read("S", "a").data, "a login") << corrupt;
    }
}

// Another user could read the session or put one of their own in its place:
// every call refuses the file and leaves it as it is, and the refusal names
// the file and the fix. Each case starts from a session file of mode 0600 in
// a private folder.
TEST(CredentialFileVault, RefusesAFileOthersCouldReadOrReplace) {
    const std::string kMove = "Hãy chuyển file vào một thư mục riêng của tài khoản này (ví dụ /private/session.json)";
    const std::vector<std::pair<std::string, std::function<int(const std::string&, const std::string&)>>> cases = {
        {"chmod 600 FILE", [](auto&, auto& file) { return ::chmod(file.c_str(), 0644); }},
        {"chmod 600 FILE", [](auto&, auto& file) { return ::chmod(file.c_str(), 0620); }},
        {"chown ", [](auto&, auto& file) { return ::chown(file.c_str(), 65534, 65534); }},
        {"liên kết",
         [](auto&, auto& file) {
             return ::rename(file.c_str(), (file + ".real").c_str()) |
                    ::symlink((file + ".real").c_str(), file.c_str());
         }},
        {"chmod go-w FOLDER", [](auto& folder, auto&) { return ::chmod(folder.c_str(), 0770); }},
        {kMove, [](auto& folder, auto&) { return ::chmod(folder.c_str(), 01777); }},
        {kMove, [](auto& folder, auto&) { return ::chown(folder.c_str(), 65534, 65534); }},
    };
    for (const auto& [fix, make] : cases) {
        test::TempDir dir;
        std::string folder = dir.file("store"), path = folder + "/credentials.json";
        CredentialFileVault vault(path, "/private/session.json");
        ASSERT_EQ(vault.write("S", "a", "session"), vault_status::kSuccess);
        if (make(folder, path) != 0) continue;  // chown to "nobody" needs root
        std::string before = test::readFile(path);
        EXPECT_EQ(vault.read("S", "a").status, vault_status::kFileNotPrivate) << fix;
        EXPECT_EQ(vault.write("S", "a", "a login"), vault_status::kFileNotPrivate) << fix;
        EXPECT_EQ(vault.remove("S", "a"), vault_status::kFileNotPrivate) << fix;
        EXPECT_EQ(test::readFile(path), before);
        std::optional<CredentialFileRefusal> refusal = vault.refusal();
        ASSERT_TRUE(refusal) << fix;
        std::string expected = fix.starts_with("chmod 600")    ? "chmod 600 " + path
                               : fix.starts_with("chmod go-w") ? "chmod go-w " + folder
                                                               : fix;
        EXPECT_THAT(refusal->finding, HasSubstr(path)) << refusal->finding;
        EXPECT_THAT(refusal->fix, HasSubstr(expected)) << refusal->fix;
    }
    // Nothing stored yet, in a folder others can write: a login makes nothing
    // there, not even its lock file.
    test::TempDir shared;
    ::chmod(shared.path().c_str(), 0777);
    CredentialFileVault fresh(shared.file("credentials.json"));
    EXPECT_EQ(fresh.read("S", "a").status, vault_status::kItemNotFound);
    EXPECT_EQ(fresh.write("S", "a", "a login"), vault_status::kFileNotPrivate);
    EXPECT_TRUE(std::filesystem::is_empty(shared.path()));
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
