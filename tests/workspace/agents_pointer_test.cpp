#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "bridge/workspace/agents_pointer.h"
#include "tests/support/errors.h"
#include "tests/support/temp_dir.h"

namespace palisor {
namespace {

const std::string kPointer = "- projectKey: P\n- authorityOrigin: https://a.example\n";

class AgentsPointerTest : public ::testing::Test {
protected:
    AgentsPointer read(const std::string& content) {
        test::writeFile(dir.file("AGENTS.md"), content);
        return readAgentsPointer(dir.path());
    }

    std::string failure(const std::string& content) {
        return test::errorOf<AgentsPointerError>([&] { read(content); });
    }

    test::TempDir dir;
};

TEST_F(AgentsPointerTest, ReadsOnlyPointerLinesOfAFreeFormDocument) {
    AgentsPointer pointer = read(
        "# Dự án mẫu\n"
        "Text that mentions projectKey: not-this-one.\n"
        "  \t- ProjectKey: `Dự Án/API`\n"
        "\t- authorityOrigin: \"https://authority.example/\"\n"
        "- bootstrapEndpoint: 'https://authority.example/api/bootstrap'\n"
        "- bridgeEndpoint: ` http://127.0.0.1:47621/mcp `\n"
        "-projectKey: no-space-after-hyphen\n"
        "- projectKey : space-before-colon\n"
        "- projectKey:\n");  // nothing after the colon: the earlier value stays
    EXPECT_EQ(pointer, (AgentsPointer{"Dự Án/API", "https://authority.example",
                                      "https://authority.example/api/bootstrap", " http://127.0.0.1:47621/mcp ",
                                      dir.path() + "/AGENTS.md"}));

    // The later line wins; the value is what follows the line's first colon.
    EXPECT_EQ(read("- projectKey: first\n- note: see - projectKey: demo\n- authorityOrigin: https://a.example\n")
                  .projectKey,
              "see - projectKey: demo");
    EXPECT_EQ(failure("- projectKey: ''\n- authorityOrigin: https://a.example\n"), "AGENTS_PROJECT_KEY_REQUIRED");

    for (std::string br : {"\r\n", "\r", "\v", "\f", "\u0085", "\u2028", "\u2029"}) {
        pointer = read("intro" + br + "- projectKey: demo" + br + "- authorityOrigin: https://a.example:8443" + br);
        EXPECT_EQ(pointer.projectKey + " " + pointer.authorityOrigin, "demo https://a.example:8443")
            << testing::PrintToString(br);
    }
    // A byte order mark does not hide a pointer line that opens the file.
    EXPECT_EQ(read("\xEF\xBB\xBF- projectKey: bom\n- authorityOrigin: https://a.example\n").projectKey, "bom");
}

TEST_F(AgentsPointerTest, OriginsAreNormalisedAndMayComeFromTheBootstrapEndpoint) {
    EXPECT_EQ(read("- projectKey: p\n- allowedAuthorityOrigin: https://auth.example:8443/base/\n").authorityOrigin,
              "https://auth.example:8443");
    AgentsPointer fromBootstrap = read("- projectKey: p\n- bootstrapEndpoint: https://auth.example/api/b?projectKey=p\n");
    EXPECT_EQ(fromBootstrap.authorityOrigin, "https://auth.example");
    EXPECT_FALSE(fromBootstrap.bridgeEndpoint);
    EXPECT_EQ(read("- projectKey: p\n- bootstrapEndpoint: https://other.example/b\n- authorityOrigin: https://a.example\n")
                  .authorityOrigin,
              "https://a.example");

    EXPECT_EQ(failure("- projectKey: p\n- bootstrapEndpoint: /api/bootstrap\n"), "AGENTS_AUTHORITY_ORIGIN_REQUIRED");
    EXPECT_EQ(failure("- projectKey: p\n"), "AGENTS_AUTHORITY_ORIGIN_REQUIRED");
    EXPECT_EQ(failure("- projectKey: p\n- authorityOrigin: //\n"), "AGENTS_AUTHORITY_ORIGIN_REQUIRED");
    EXPECT_EQ(failure(""), "AGENTS_PROJECT_KEY_REQUIRED");

    EXPECT_EQ(normalizeOrigin("https://user:pw@example.com:443/path?q=1#f"), "https://example.com:443");
    EXPECT_EQ(normalizeOrigin("//example.com//"), "example.com");
    EXPECT_EQ(normalizeOrigin(" not a url "), " not a url ");
}

TEST_F(AgentsPointerTest, OnlyBoundedRegularFilesAreRead) {
    test::TempDir binary, folder, fifo, device, huge, linked;
    test::writeFile(binary.file("AGENTS.md"), "- projectKey: p\xFF\n- authorityOrigin: https://a.example\n");
    for (const std::string& root : {dir.path(), dir.file("missing folder"), binary.path()})
        EXPECT_EQ(test::errorOf<FileError>([&] { readAgentsPointer(root); }), "FILE_READ_FAILED:" + root + "/AGENTS.md");

    // A FIFO would block the reader for ever and /dev/zero never ends.
    std::filesystem::create_directory(folder.file("AGENTS.md"));
    ASSERT_EQ(::mkfifo(fifo.file("AGENTS.md").c_str(), 0600), 0);
    std::filesystem::create_symlink("/dev/zero", device.file("AGENTS.md"));
    for (const std::string& root : {folder.path(), fifo.path(), device.path()})
        EXPECT_EQ(test::errorOf<FileError>([&] { readAgentsPointer(root); }), "FILE_NOT_REGULAR:" + root + "/AGENTS.md");
    test::writeFile(huge.file("AGENTS.md"), kPointer + std::string(1024 * 1024, '\n'));
    EXPECT_EQ(test::errorOf<FileError>([&] { readAgentsPointer(huge.path()); }),
              "FILE_TOO_LARGE:" + huge.path() + "/AGENTS.md");

    // A link to a regular file is the common AGENTS.md -> CLAUDE.md.
    test::writeFile(linked.file("CLAUDE.md"), kPointer);
    std::filesystem::create_symlink("CLAUDE.md", linked.file("AGENTS.md"));
    EXPECT_EQ(readAgentsPointer(linked.path()).projectKey, "P");
}

}  // namespace
}  // namespace palisor
