// Child programs are /bin/sh scripts; everything a test checks comes back
// through the child's own output.
#include "bridge/common/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <thread>

#include "tests/support/errors.h"
#include "tests/support/temp_dir.h"

namespace palisor {
namespace {

using namespace std::chrono_literals;

// Collects what a child delivers, in order of delivery.
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::string out;
    std::string err;
    std::vector<std::string> events;
    std::optional<ChildExitStatus> exit;

    ChildProcess::Options script(const std::string& text, std::vector<std::string> extra = {}) {
        ChildProcess::Options options;
        options.executable = "/bin/sh";
        options.arguments = {"-c", text};
        options.arguments.insert(options.arguments.end(), extra.begin(), extra.end());
        options.onStandardOutput = [this](std::string_view chunk) { record(out, "out", chunk); };
        options.onStandardError = [this](std::string_view chunk) { record(err, "err", chunk); };
        options.onExit = [this](ChildExitStatus status) {
            std::lock_guard guard(mutex);
            exit = status;
            events.push_back("exit");
            changed.notify_all();
        };
        return options;
    }

    void record(std::string& stream, const char* name, std::string_view chunk) {
        std::lock_guard guard(mutex);
        stream += chunk;
        if (chunk.empty()) events.push_back(std::string(name) + " end");
        changed.notify_all();
    }

    template <typename Predicate>
    bool waitFor(Predicate done, std::chrono::milliseconds limit = 20s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, done);
    }
    bool waitForExit() {
        return waitFor([&] { return exit.has_value(); });
    }
};

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// True once the process is gone and reaped; looking does not reap it.
bool reaped(pid_t pid) {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD;
}

TEST(ChildProcess, DeliversAllOutputThenTheEndOfEachStreamThenTheExit) {
    Recorder recorder;
    // The bulk is written just before exiting: none of it may be lost.
    ChildProcess child(recorder.script("printf out; printf err >&2; head -c 300000 /dev/zero | tr '\\0' x; exit 3"));
    EXPECT_EQ(child.pid(), -1);
    EXPECT_FALSE(child.isRunning());
    child.launch();
    EXPECT_GT(child.pid(), 0);
    ASSERT_TRUE(recorder.waitForExit());
    EXPECT_EQ(child.waitForExit(), (ChildExitStatus{3, false}));
    EXPECT_FALSE(child.isRunning());
    std::lock_guard guard(recorder.mutex);
    EXPECT_EQ(recorder.out, "out" + std::string(300000, 'x'));
    EXPECT_EQ(recorder.err, "err");
    ASSERT_EQ(recorder.events.size(), 3u);
    EXPECT_EQ(recorder.events.back(), "exit");

    Recorder signalled;
    ChildProcess killedBySignal(signalled.script("kill -TERM $$"));
    killedBySignal.launch();
    ASSERT_TRUE(signalled.waitForExit());
    EXPECT_EQ(*signalled.exit, (ChildExitStatus{SIGTERM, true}));

    EXPECT_THROW(killedBySignal.launch(), std::logic_error);
}

TEST(ChildProcess, PassesArgumentsEnvironmentAndWorkingDirectory) {
    test::TempDir dir;
    test::ScopedEnv replaced("PALISOR_CHILD_TEST_VALUE", "cũ");
    test::ScopedEnv kept("PALISOR_CHILD_TEST_KEPT", "giữ");
    Recorder recorder;
    ChildProcess::Options options = recorder.script(
        "printf '%s|%s|%s|%s|%s' \"$0\" \"$1\" \"$PALISOR_CHILD_TEST_VALUE\" \"$PALISOR_CHILD_TEST_KEPT\" \"$(pwd)\"",
        {"không", "một hai"});
    options.environment = environmentWith({"PALISOR_CHILD_TEST_VALUE=mới"});
    options.workingDirectory = dir.path();
    ChildProcess child(std::move(options));
    child.launch();
    ASSERT_TRUE(recorder.waitForExit());
    EXPECT_EQ(recorder.out, "không|một hai|mới|giữ|" + dir.path());

    // A program or a working folder that is not there.
    for (bool missingProgram : {true, false}) {
        auto failed = test::thrown<ChildProcessError>([&] {
            Recorder unused;
            ChildProcess::Options options = unused.script("exit 0");
            if (missingProgram) options.executable = "/nonexistent/program";
            if (!missingProgram) options.workingDirectory = dir.file("missing");
            ChildProcess(std::move(options)).launch();
        });
        ASSERT_TRUE(failed) << missingProgram;
        EXPECT_STREQ(failed->what(), "CHILD_PROCESS_LAUNCH_FAILED");
        EXPECT_EQ(failed->systemError(), ENOENT);
    }
}

TEST(ChildProcess, TerminateAsksAndKillEnds) {
    Recorder polite;
    ChildProcess sleeper(polite.script("exec sleep 30"));
    sleeper.launch();
    sleeper.terminate();
    EXPECT_EQ(sleeper.waitForExit(), (ChildExitStatus{SIGTERM, true}));

    Recorder stubborn;
    ChildProcess ignoring(stubborn.script("trap '' TERM; echo ready; exec sleep 30"));
    ignoring.launch();
    ASSERT_TRUE(stubborn.waitFor([&] { return stubborn.out == "ready\n"; }));
    ignoring.terminate();
    EXPECT_FALSE(stubborn.waitFor([&] { return stubborn.exit.has_value(); }, 300ms));
    EXPECT_TRUE(ignoring.isRunning());
    ignoring.kill();
    EXPECT_EQ(ignoring.waitForExit(), (ChildExitStatus{SIGKILL, true}));
    ASSERT_TRUE(stubborn.waitForExit());
    // After the exit the process id may belong to someone else: not signalled.
    ignoring.terminate();
    ignoring.kill();
}

TEST(ChildProcess, TheChildInheritsNoDescriptorSignalMaskOrIgnoredSignal) {
    // A descriptor left open across exec on purpose, far from the low numbers.
    int stray = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(stray, 0);
    ASSERT_EQ(::dup2(stray, 100), 100);
    ::close(stray);
    // The bridge ignores SIGPIPE; threads may block signals.
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &previous);
    sigset_t blocked;
    sigset_t previousMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    ::pthread_sigmask(SIG_BLOCK, &blocked, &previousMask);

    Recorder recorder;
    ChildProcess child(recorder.script("ls /proc/self/fd; grep -E '^Sig(Blk|Ign):' /proc/self/status"));
    child.launch();
    ASSERT_TRUE(recorder.waitForExit());

    ::pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    ::sigaction(SIGPIPE, &previous, nullptr);
    ::close(100);

    std::vector<std::string> listed;
    for (const std::string& line : lines(recorder.out)) {
        if (line.rfind("Sig", 0) == 0) {
            // Signals 1 to 31. glibc's posix_spawn leaves its own two internal
            // real-time signals ignored; every glibc program resets them.
            unsigned long long bits = std::stoull(line.substr(line.find('\t') + 1), nullptr, 16);
            EXPECT_EQ(bits & 0x7fffffffULL, 0u) << line;
        } else {
            listed.push_back(line);
        }
    }
    // 0, 1 and 2, and the folder ls itself opened to list them.
    EXPECT_EQ(listed, (std::vector<std::string>{"0", "1", "2", "3"}));
}

TEST(ChildProcess, AFloodingChildNeverBlocksAndEveryWayOfLettingGoIsSafe) {
    {
        Recorder recorder;
        ChildProcess flood(recorder.script("head -c 8388608 /dev/zero & head -c 8388608 /dev/zero >&2; wait; exit 0"));
        flood.launch();
        ASSERT_TRUE(recorder.waitForExit());
        EXPECT_EQ(*recorder.exit, (ChildExitStatus{0, false}));
        std::lock_guard guard(recorder.mutex);
        EXPECT_EQ(recorder.out.size(), 8u * 1024 * 1024);
        EXPECT_EQ(recorder.err.size(), 8u * 1024 * 1024);
    }

    // Dropped while running: killed and reaped, no zombie left behind.
    pid_t pid;
    {
        Recorder unused;
        ChildProcess running(unused.script("exec sleep 30"));
        running.launch();
        pid = running.pid();
    }
    EXPECT_TRUE(reaped(pid));

    // The last reference dropped by the exit handler and by an output
    // handler, on the very threads the handle owns.
    for (const char* script : {"exit 0", "echo line; exec sleep 30"}) {
        std::mutex mutex;
        std::condition_variable released;
        std::shared_ptr<ChildProcess> child;
        pid_t pid = -1;
        auto release = [&] {
            std::shared_ptr<ChildProcess> last;
            std::lock_guard guard(mutex);
            if (!child) return;
            pid = child->pid();
            last.swap(child);
            last.reset();
            released.notify_all();
        };
        ChildProcess::Options own;
        own.executable = "/bin/sh";
        own.arguments = {"-c", script};
        own.onStandardOutput = [&](std::string_view chunk) {
            if (!chunk.empty()) release();
        };
        own.onExit = [&](ChildExitStatus) { release(); };
        std::unique_lock lock(mutex);
        child = std::make_shared<ChildProcess>(std::move(own));
        child->launch();
        ASSERT_TRUE(released.wait_for(lock, 20s, [&] { return !child; })) << script;
        // The threads that were let go still reap the child.
        auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!reaped(pid) && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
        EXPECT_TRUE(reaped(pid)) << script;
    }
}

}  // namespace
}  // namespace palisor
