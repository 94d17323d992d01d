#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <iterator>
#include <set>

#include "bridge/common/atomic_file.h"
#include "bridge/common/bridge_error.h"
#include "tests/support/errors.h"
#include "tests/support/temp_dir.h"

namespace palisor {
namespace {

using ::testing::HasSubstr;

TEST(AtomicFile, CreatesFoldersAndReplacesWholeFileWithModeLeavingNoTemporaryFile) {
    test::TempDir dir;
    std::string nested = dir.file("a/b/c");
    createDirectories(nested, 0700);
    createDirectories(nested, 0700);  // existing is fine
    std::string path = nested + "/state.json";
    writeFileAtomically(path, "first", 0600);
    writeFileAtomically(path, "second and longer", 0600);
    EXPECT_EQ(readFileIfExists(path), "second and longer");
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(nested), {}), 1);  // no temporary file left
    test::writeFile(dir.file("plain"), "x");
    EXPECT_THROW(createDirectories(dir.file("plain/sub")), FileError);
}

TEST(AtomicFile, TemporaryFilesOfKilledWritersGoWithTheNextWrite) {
    test::TempDir dir;
    pid_t dead = ::fork();
    if (dead == 0) ::_exit(0);
    ASSERT_EQ(::waitpid(dead, nullptr, 0), dead);
    std::string ofDead = ".f." + std::to_string(dead) + ".0000aaaa.tmp";
    std::string ofLive = ".f." + std::to_string(::getpid()) + ".0000bbbb.tmp";
    for (const std::string& name : {ofDead, ofLive, std::string(".f.0000cccc.tmp"), std::string(".f.0000dddd.tmp"),
                                    ".g." + std::to_string(dead) + ".0000eeee.tmp"})
        test::writeFile(dir.file(name), "partial");
    // An older name without a process id, untouched for two hours.
    timespec old[2] = {{::time(nullptr) - 7200, 0}, {::time(nullptr) - 7200, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, dir.file(".f.0000cccc.tmp").c_str(), old, 0), 0);

    writeFileAtomically(dir.file("f"), "whole");
    std::set<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) left.insert(entry.path().filename());
    EXPECT_EQ(left,
              (std::set<std::string>{"f", ofLive, ".f.0000dddd.tmp", ".g." + std::to_string(dead) + ".0000eeee.tmp"}));
}

TEST(AtomicFile, FailuresAreReportedNotSwallowed) {
    test::TempDir dir;
    auto failed = test::thrown<FileError>([&] { writeFileAtomically(dir.file("missing/state.json"), "x"); });
    ASSERT_TRUE(failed) << "writing into a missing folder must fail";
    EXPECT_STREQ(failed->what(), "FILE_WRITE_FAILED");
    EXPECT_THAT(failed->detail(), HasSubstr("missing"));
    EXPECT_FALSE(readFileIfExists(dir.file("absent")));
    EXPECT_THROW(readFileIfExists(dir.path()), FileError);  // a folder is not a file
}

}  // namespace
}  // namespace palisor
