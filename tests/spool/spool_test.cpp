// The spool as the tool layer uses it: what it accepts, what it writes, how it
// reads whatever it finds on disk, and request threads sharing it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bridge/common/atomic_file.h"
#include "bridge/common/time.h"
#include "bridge/spool/ai_work_event_spool.h"
#include "tests/support/errors.h"
#include "tests/support/temp_dir.h"

// While set, fchmod fails as on a file system without POSIX modes. Defined
// here, it takes the C library's place in the whole test program.
static std::atomic<bool> fchmodFails{false};
extern "C" int fchmod(int fd, mode_t mode) noexcept {
    return fchmodFails ? (errno = EPERM, -1) : static_cast<int>(::syscall(SYS_fchmod, fd, mode));
}

// While set, opening the spool file fails as when no descriptor is left.
static std::atomic<bool> spoolOpenFails{false};
extern "C" int openat(int dirFd, const char* path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list arguments;
        va_start(arguments, flags);
        mode = va_arg(arguments, mode_t);
        va_end(arguments);
    }
    if (spoolOpenFails && std::string_view(path) == "ai-work-event-spool.v1.json") return errno = EMFILE, -1;
    return static_cast<int>(::syscall(SYS_openat, dirFd, path, flags, mode));
}

namespace palisor {
namespace {

using test::readFile;
using test::writeFile;

JsonValue event(const std::string& key) {
    return {{"idempotencyKey", key},
            {"kind", "work"},
            {"eventType", "task.progress"},
            {"outcome", "succeeded"},
            {"summary", "Đã xong bước một"}};
}

class SpoolTest : public ::testing::Test {
protected:
    test::TempDir dir;
    std::string root = dir.path() + "/workspace";
    std::string file = root + "/.agents/runtime/ai-work-event-spool.v1.json";
    AiWorkEventSpool spool;

    JsonValue stored() const { return parseJson(readFile(file)).value_or(JsonValue()); }
    std::vector<std::string> storedKeys() const {
        std::vector<std::string> keys;
        JsonValue state = stored();
        for (const JsonValue& entry : state["entries"]) keys.push_back(entry["idempotencyKey"]);
        return keys;
    }
    // The code of the BridgeError that `action` threw, "no error" when it returned.
    std::string codeOf(const std::function<void()>& action) { return test::codeOf<BridgeError>(action); }
};

TEST_F(SpoolTest, RefusesIncompleteEventsBeforeTouchingTheFile) {
    std::string sevenAccented;
    for (int i = 0; i < 7; ++i) sevenAccented += "e\u0301";  // 14 scalars, 21 bytes
    auto with = [](const JsonValue& changes) {
        JsonValue value = event("key-00001");
        value.update(changes);
        return value;
    };
    // Required fields are checked in a fixed order; wrong types count as
    // missing. Idempotency keys have 8 to 300 user-perceived characters.
    const std::tuple<JsonValue, std::string, std::string> cases[] = {
        {JsonValue::object(), "ai-node", "AI_WORK_EVENT_IDEMPOTENCYKEY_REQUIRED"},
        {with({{"kind", nullptr}, {"eventType", 7}}), "ai-node", "AI_WORK_EVENT_KIND_REQUIRED"},
        {with({{"eventType", 7}}), "ai-node", "AI_WORK_EVENT_EVENTTYPE_REQUIRED"},
        {with({{"summary", " \n\t "}}), "ai-node", "AI_WORK_EVENT_SUMMARY_REQUIRED"},
        {event("key-00001"), "robot", "AI_WORK_EVENT_COMPONENT_REQUIRED"},
        {event(std::string(7, 'k')), "ai-node", "AI_WORK_EVENT_IDEMPOTENCY_KEY_INVALID"},
        {event(std::string(301, 'k')), "ai-node", "AI_WORK_EVENT_IDEMPOTENCY_KEY_INVALID"},
        {event(sevenAccented), "ai-node", "AI_WORK_EVENT_IDEMPOTENCY_KEY_INVALID"},
    };
    for (const auto& [value, component, expected] : cases)
        EXPECT_EQ(codeOf([&] { spool.enqueue(root, "PRJ", value, component); }), expected) << value.dump();
    // A bad event is refused even where the root is bad too: nothing was read or written.
    EXPECT_EQ(codeOf([&] { spool.enqueue("/", "PRJ", JsonValue::object()); }), "AI_WORK_EVENT_IDEMPOTENCYKEY_REQUIRED");
    EXPECT_NE(::access(file.c_str(), F_OK), 0);

    for (const std::string& key : {std::string(8, 'k'), std::string(300, 'k'), sevenAccented + "e\u0301"})
        EXPECT_EQ(spool.enqueue(root, "PRJ", event(key))["queued"], true);
}

TEST_F(SpoolTest, StoresTheScrubbedEventInAPrivatePrettyFile) {
    JsonValue value = event("evt-0000001");
    value["prompt"] = "the whole prompt";
    value["component"] = "validator";
    JsonValue answer = spool.enqueue(root, "PRJ", value, "bridge");
    EXPECT_EQ(answer, JsonValue({{"queued", true}, {"duplicate", false}, {"pendingCount", 1}, {"droppedCount", 0}}));

    JsonValue state = stored();
    ASSERT_EQ(state["entries"].size(), 1u);
    const JsonValue& entry = state["entries"][0];
    EXPECT_EQ(entry["idempotencyKey"], "evt-0000001");
    const std::string queuedAt = entry["queuedAt"];  // whole seconds in UTC
    EXPECT_TRUE(queuedAt.size() == 20 && queuedAt.back() == 'Z' && parseIsoTime(queuedAt)) << queuedAt;
    const JsonValue& saved = entry["event"];
    EXPECT_FALSE(saved.contains("prompt"));
    EXPECT_EQ(saved["component"], "bridge");  // the caller's component wins over the event's
    EXPECT_EQ(spool.pending(root, "PRJ"), std::vector<JsonValue>{entry});

    // Pretty, with sorted keys, owner-only.
    EXPECT_EQ(readFile(file), state.dump(2) + "\n");
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(SpoolTest, DeduplicatesDropsTheOldestAndAcknowledges) {
    spool.enqueue(root, "PRJ", event("dup-key-001"));
    EXPECT_EQ(spool.enqueue(root, "PRJ", event("dup-key-001")),
              JsonValue({{"queued", false}, {"duplicate", true}, {"pendingCount", 1}, {"droppedCount", 0}}));

    for (int i = 0; i < 200; ++i) spool.enqueue(root, "PRJ", event("event-" + std::to_string(1000 + i)));
    // 201 distinct events in a spool of 200: the very first one gave way.
    EXPECT_EQ(spool.snapshot(root, "PRJ"), JsonValue({{"pendingCount", 200}, {"droppedCount", 1}}));
    std::vector<JsonValue> batch = spool.pending(root, "PRJ");
    ASSERT_EQ(batch.size(), 20u);
    EXPECT_EQ(batch.front()["idempotencyKey"], "event-1000");
    EXPECT_EQ(batch.back()["idempotencyKey"], "event-1019");

    struct stat before {
    }, after{};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);
    EXPECT_EQ(spool.acknowledge(root, "PRJ", "dup-key-001"), JsonValue({{"removed", false}, {"pendingCount", 200}}));
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);  // not rewritten: a replace makes a new file

    // A spool told to keep nothing still keeps the event it answers "queued" for.
    AiWorkEventSpool tiny(0, -1);
    std::string tinyRoot = dir.path() + "/tiny";
    EXPECT_EQ(tiny.enqueue(tinyRoot, "PRJ", event("tiny-key-01"))["pendingCount"], 1);
    EXPECT_EQ(tiny.enqueue(tinyRoot, "PRJ", event("tiny-key-02"))["droppedCount"], 1);
    EXPECT_TRUE(tiny.pending(tinyRoot, "PRJ").empty());
}

TEST_F(SpoolTest, ReadsWhateverIsOnDiskWithoutFailing) {
    AiWorkEventSpool spool(3, 20);
    createDirectories(root + "/.agents/runtime");
    const JsonValue entry = {
        {"idempotencyKey", "kept-entry-1"}, {"queuedAt", "2026-01-01T00:00:00Z"}, {"event", event("kept-entry-1")}};
    auto state = [&](const JsonValue& changes) {
        JsonValue base = {{"schemaVersion", "palisor.bridge-ai-work-event-spool.v1"},
                          {"projectKey", "PRJ"},
                          {"droppedCount", 4},
                          {"entries", JsonValue::array({entry})}};
        base.update(changes);
        return base.dump();
    };

    for (const std::string& content :
         {std::string("{not json"), std::string("[]"),
          state({{"schemaVersion", "palisor.bridge-ai-work-event-spool.v2"}}), state({{"projectKey", "OTHER"}})}) {
        writeFile(file, content);
        EXPECT_EQ(spool.snapshot(root, "PRJ"), JsonValue({{"pendingCount", 0}, {"droppedCount", 0}})) << content;
    }
    // A foreign project's file is replaced, entries and all, at the next write.
    spool.enqueue(root, "PRJ", event("fresh-key-1"));
    EXPECT_EQ(stored()["projectKey"], "PRJ");
    EXPECT_EQ(storedKeys(), std::vector<std::string>{"fresh-key-1"});

    // Odd members read as defaults; unknown keys are not written back.
    writeFile(file, state({{"droppedCount", -5}, {"entries", JsonValue::array({entry, 7, "x"})}, {"extra", true}}));
    EXPECT_EQ(spool.snapshot(root, "PRJ"), JsonValue({{"pendingCount", 1}, {"droppedCount", 0}}));
    spool.enqueue(root, "PRJ", event("fresh-key-2"));
    EXPECT_FALSE(stored().contains("extra"));

    // Entries beyond the limit (written by a larger spool) are given up on
    // reading, and counted as dropped rather than vanishing unreported.
    JsonValue many = JsonValue::array();
    for (int i = 0; i < 5; ++i) (many[i] = entry)["idempotencyKey"] = "old-entry-" + std::to_string(i);
    writeFile(file, state({{"entries", many}}));
    EXPECT_EQ(spool.snapshot(root, "PRJ"), JsonValue({{"pendingCount", 3}, {"droppedCount", 6}}));
    EXPECT_EQ(spool.pending(root, "PRJ").front()["idempotencyKey"], "old-entry-2");
}

TEST_F(SpoolTest, LocatesTheFileOnlyInsideARealWorkspace) {
    EXPECT_EQ(AiWorkEventSpool::spoolUrl(" /srv/ws/a/../b/ \n"),
              "/srv/ws/b/.agents/runtime/ai-work-event-spool.v1.json");
    for (const std::string& bad : {std::string("/"), std::string(" \t\n"), std::string("/..")}) {
        EXPECT_EQ(codeOf([&] { spool.enqueue(bad, "PRJ", event("root-key-01")); }), "WORKSPACE_ROOT_REQUIRED");
        EXPECT_EQ(codeOf([&] { spool.pending(bad, "PRJ"); }), "WORKSPACE_ROOT_REQUIRED");
        EXPECT_EQ(codeOf([&] { spool.acknowledge(bad, "PRJ", "root-key-01"); }), "WORKSPACE_ROOT_REQUIRED");
        EXPECT_EQ(codeOf([&] { spool.snapshot(bad, "PRJ"); }), "WORKSPACE_ROOT_REQUIRED");
    }
    // The system's file calls stop at a NUL byte, which would put the file
    // beside the workspace ("<dir>/workspace") instead of inside it.
    std::string withNul = root + std::string("\0", 1) + "/x";
    EXPECT_EQ(codeOf([&] { spool.enqueue(withNul, "PRJ", event("root-key-01")); }), "AI_WORK_EVENT_SPOOL_PATH_INVALID");
    EXPECT_NE(::access(root.c_str(), F_OK), 0);
}

TEST_F(SpoolTest, WriteFailuresAreReportedButPermissionBitsAreNotNeeded) {
    writeFile(root, "a plain file, not a folder");
    EXPECT_EQ(codeOf([&] { spool.enqueue(root, "PRJ", event("fail-key-01")); }), "DIRECTORY_CREATE_FAILED");

    // Without modes the event is still kept, while a file that must be private fails.
    fchmodFails = true;
    EXPECT_EQ(codeOf([&] { spool.enqueue(dir.path(), "PRJ", event("mode-key-01")); }), "no error");
    EXPECT_EQ(codeOf([&] { writeFileAtomically(dir.file("credentials"), "x", 0600); }), "FILE_WRITE_FAILED");
    fchmodFails = false;
    EXPECT_EQ(spool.pending(dir.path(), "PRJ").size(), 1u);

    // A file that is there but cannot be opened just now is not an empty
    // spool: nothing is written over it and nothing is handed out.
    spool.enqueue(dir.path(), "PRJ", event("kept-key-02"));
    std::string spoolFile = AiWorkEventSpool::spoolUrl(dir.path()), before = readFile(spoolFile);
    spoolOpenFails = true;
    EXPECT_EQ(codeOf([&] { spool.enqueue(dir.path(), "PRJ", event("late-key-03")); }), "FILE_READ_FAILED:" + spoolFile);
    EXPECT_EQ(codeOf([&] { spool.pending(dir.path(), "PRJ"); }), "FILE_READ_FAILED:" + spoolFile);
    spoolOpenFails = false;
    EXPECT_EQ(readFile(spoolFile), before);
    EXPECT_EQ(spool.snapshot(dir.path(), "PRJ"), JsonValue({{"pendingCount", 2}, {"droppedCount", 0}}));
}

TEST_F(SpoolTest, RefusesWhatARepositoryCanPlantInItsPlace) {
    AiWorkEventSpool spool(4, 20);
    createDirectories(root + "/.agents");
    auto refused = [&](const std::string& expected) {
        EXPECT_EQ(codeOf([&] { spool.snapshot(root, "PRJ"); }), expected);
        EXPECT_EQ(codeOf([&] { spool.enqueue(root, "PRJ", event("plant-key-1")); }), expected);
    };
    // A runtime folder that leads out of the workspace is neither read nor written.
    std::string outside = dir.path() + "/elsewhere";
    createDirectories(outside);
    writeFile(outside + "/ai-work-event-spool.v1.json", "planted");
    ASSERT_EQ(::symlink(outside.c_str(), (root + "/.agents/runtime").c_str()), 0);
    refused("PATH_OUTSIDE_ALLOWED_ROOT:" + outside);
    EXPECT_EQ(readFile(outside + "/ai-work-event-spool.v1.json"), "planted");
    // One that stays inside is followed.
    ::unlink((root + "/.agents/runtime").c_str());
    createDirectories(root + "/.agents/state");
    ASSERT_EQ(::symlink("state", (root + "/.agents/runtime").c_str()), 0);
    spool.enqueue(root, "PRJ", event("inside-key-1"));
    EXPECT_EQ(storedKeys(), std::vector<std::string>{"inside-key-1"});

    // A FIFO would block every work event behind the spool's lock; a folder, a
    // link or a huge file is no spool either.
    ::unlink(file.c_str());
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    refused("FILE_NOT_REGULAR:" + file);
    ::unlink(file.c_str());
    createDirectories(file);
    refused("FILE_NOT_REGULAR:" + file);
    ::rmdir(file.c_str());
    ASSERT_EQ(::symlink((outside + "/ai-work-event-spool.v1.json").c_str(), file.c_str()), 0);
    refused("FILE_NOT_REGULAR:" + file);
    ::unlink(file.c_str());
    writeFile(file, std::string(spool.maxFileBytes() + 1, ' '));
    refused("FILE_TOO_LARGE:" + file);
    ::unlink(file.c_str());

    // The spool never writes a file it would refuse: the oldest give way to
    // the size bound as they do to the count, and an event too big alone is
    // refused.
    auto sized = [](const std::string& key, int strings) {
        JsonValue big = event(key);
        for (int i = 0; i < strings; ++i) big["attributes"]["a" + std::to_string(i)] = std::string(4000, 'x');
        return big;
    };
    for (const char* key : {"big-key-01", "big-key-02", "big-key-03", "big-key-04"})
        spool.enqueue(root, "PRJ", sized(key, 20));
    EXPECT_EQ(storedKeys(), (std::vector<std::string>{"big-key-02", "big-key-03", "big-key-04"}));
    EXPECT_EQ(stored()["droppedCount"], 1);
    EXPECT_LE(readFile(file).size(), spool.maxFileBytes());
    EXPECT_EQ(codeOf([&] { spool.enqueue(root, "PRJ", sized("huge-key-1", 50)); }), "no error");
    EXPECT_EQ(storedKeys(), std::vector<std::string>{"huge-key-1"});
    JsonValue huge = sized("huge-key-2", 50);
    for (int i = 0; i < 50; ++i) huge["evidenceRefs"].push_back(std::string(4000, 'y'));
    EXPECT_EQ(codeOf([&] { spool.enqueue(root, "PRJ", huge); }), "AI_WORK_EVENT_TOO_LARGE");
    EXPECT_EQ(storedKeys(), std::vector<std::string>{"huge-key-1"});
}

// Request threads share the router's one spool: they queue and acknowledge at
// once (the work-event tool's test has them queue while the authority flaps),
// and another program reading the file meanwhile always finds it whole.
TEST_F(SpoolTest, ParallelWritersLoseNothingAndTheFileAlwaysParses) {
    AiWorkEventSpool spool(64, 20);
    auto key = [](int i) { return "parallel-" + std::to_string(100 + i); };
    std::atomic<bool> done{false};
    std::atomic<int> unreadable{0}, removed{0};
    std::thread reader([&] {
        while (!done) {
            auto bytes = readFileIfExists(file);
            if (bytes && !parseJson(*bytes).value_or(JsonValue()).is_object()) ++unreadable;
        }
    });
    auto inParallel = [](const std::function<void(int)>& work) {
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&, t] {
                for (int i = t; i < 64; i += 8) work(i);
            });
        for (std::thread& thread : threads) thread.join();
    };
    inParallel([&](int i) { spool.enqueue(root, "PRJ", event(key(i))); });
    EXPECT_EQ(spool.snapshot(root, "PRJ")["pendingCount"], 64);
    inParallel([&](int i) { removed += spool.acknowledge(root, "PRJ", key(i))["removed"] == true; });
    done = true;
    reader.join();
    EXPECT_EQ(removed, 64);
    EXPECT_EQ(spool.snapshot(root, "PRJ")["pendingCount"], 0);
    EXPECT_EQ(unreadable, 0);
}

}  // namespace
}  // namespace palisor
