#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bridge/common/bridge_error.h"

namespace palisor {

// The child could not be started: the executable is missing or not
// executable, the working directory does not exist, or the system is out of
// processes, descriptors or threads. The detail names the program and the
// system's reason.
class ChildProcessError : public BridgeError {
public:
    ChildProcessError(std::string detail, int systemError);
    int systemError() const noexcept { return systemError_; }

private:
    int systemError_;
};

// How a child ended. `status` is the exit code when the child exited, or the
// number of the signal that ended it when `bySignal` is true (a SIGKILL gives
// status 9).
struct ChildExitStatus {
    int status = 0;
    bool bySignal = false;

    bool operator==(const ChildExitStatus&) const = default;
};

// Whether a process with this id exists, ours or another user's; a pid that
// is not positive exists nowhere.
bool processExists(pid_t pid);

// The bridge's own environment as "NAME=value" entries, with `overrides`
// (also "NAME=value") replacing entries of the same name or added at the end.
std::vector<std::string> environmentWith(const std::vector<std::string>& overrides);

// One child program with its standard output and standard error read through
// pipes, standard input from /dev/null.
//
// The child inherits nothing of the bridge but its three standard streams:
// every other descriptor is closed in it, its signal dispositions are the
// defaults (the bridge ignores SIGPIPE, which a child would otherwise keep)
// and its signal mask is empty, whatever the launching thread blocks.
//
// A reader thread per pipe forwards chunks as they come, so a child that
// floods its output never blocks on a full pipe for longer than a handler
// takes. A waiter thread reaps the child. The order of delivery is fixed:
// every chunk the child wrote, then an empty chunk on each stream (no more
// output will come), then the exit. Output that processes the child left
// behind write after the child has exited is not read, so such processes
// never delay the exit report.
//
// The output handlers run on the two reader threads, concurrently with each
// other; the exit handler runs on the waiter thread. A handler may drop the
// last reference to the ChildProcess: the destructor then lets the threads
// finish on their own instead of joining the thread it runs on.
class ChildProcess {
public:
    using OutputHandler = std::function<void(std::string_view chunk)>;
    using ExitHandler = std::function<void(ChildExitStatus exit)>;

    struct Options {
        std::string executable;               // a path; the search path is not consulted
        std::vector<std::string> arguments;   // after argv[0], which is the executable
        std::optional<std::string> workingDirectory;
        // "NAME=value" entries; absent: the bridge's own environment.
        std::optional<std::vector<std::string>> environment;
        OutputHandler onStandardOutput;
        OutputHandler onStandardError;
        ExitHandler onExit;
    };

    explicit ChildProcess(Options options);
    // A child that still runs is killed (SIGKILL) and reaped; handlers are
    // not called any more once destruction has begun. Do not destroy the
    // object while holding a lock a handler takes.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts the child, once. Throws ChildProcessError; nothing runs then.
    void launch();

    // -1 before launch.
    pid_t pid() const;
    // Launched and not yet exited.
    bool isRunning() const;

    // SIGTERM and SIGKILL. Nothing happens before launch or after the exit,
    // so a process id that the system has handed on is never signalled.
    void terminate();
    void kill();

    // Blocks until the child has exited; the handlers may still be running.
    // Throws std::logic_error before launch.
    ChildExitStatus waitForExit();

    struct State;

private:
    std::shared_ptr<State> state_;
    std::vector<std::thread> threads_;
};

}  // namespace palisor
