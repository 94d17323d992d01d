#include "bridge/common/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>

extern char** environ;

namespace palisor {

ChildProcessError::ChildProcessError(std::string detail, int systemError)
    : BridgeError("CHILD_PROCESS_LAUNCH_FAILED", std::move(detail)), systemError_(systemError) {}

bool processExists(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno != ESRCH); }

std::vector<std::string> environmentWith(const std::vector<std::string>& overrides) {
    auto nameOf = [](std::string_view entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> out;
    for (char** entry = environ; entry && *entry; ++entry) {
        std::string_view current(*entry);
        bool replaced = std::any_of(overrides.begin(), overrides.end(), [&](const std::string& override) {
            return nameOf(override) == nameOf(current);
        });
        if (!replaced) out.emplace_back(current);
    }
    out.insert(out.end(), overrides.begin(), overrides.end());
    return out;
}

struct ChildProcess::State {
    explicit State(Options options) : options(std::move(options)) {}
    ~State() {
        for (int fd : {outputFd, errorFd, controlFd})
            if (fd >= 0) ::close(fd);
    }

    const Options options;
    mutable std::mutex mutex;
    std::condition_variable changed;
    bool launched = false;
    pid_t pid = -1;
    std::optional<ChildExitStatus> exit;
    // Set when destruction begins: no handler is called after that.
    bool closing = false;
    int readersRunning = 0;
    int outputFd = -1;
    int errorFd = -1;
    // Written once the child has exited or destruction begins; it stays
    // readable, so every reader blocked in poll wakes to look at the state.
    int controlFd = -1;

    bool isClosing() const {
        std::lock_guard guard(mutex);
        return closing;
    }

    void wakeReaders() const {
        if (controlFd >= 0) (void)::eventfd_write(controlFd, 1);
    }
};

namespace {

constexpr std::size_t kChunkSize = 64 * 1024;

// Handlers belong to the caller; an exception escaping one would end the
// whole bridge from a thread nobody watches.
template <typename Handler, typename... Arguments>
void callQuietly(const Handler& handler, Arguments&&... arguments) {
    if (!handler) return;
    try {
        handler(std::forward<Arguments>(arguments)...);
    } catch (...) {
    }
}

void readPipe(const std::shared_ptr<ChildProcess::State>& state, int fd,
              const ChildProcess::OutputHandler& handler) {
    std::string buffer(kChunkSize, '\0');
    bool ended = false;
    auto deliver = [&](std::size_t length) {
        if (state->isClosing()) {
            ended = true;
            return;
        }
        callQuietly(handler, std::string_view(buffer.data(), length));
    };
    while (!ended) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {state->controlFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents != 0) {
            bool exited;
            {
                std::lock_guard guard(state->mutex);
                if (state->closing) break;
                exited = state->exit.has_value();
            }
            if (exited) {
                // Everything the child wrote is in the pipe by now; read that
                // much and no more, so that a process it left behind holding
                // the pipe cannot keep the exit report waiting.
                int pending = 0;
                if (::ioctl(fd, FIONREAD, &pending) < 0) pending = 0;
                std::size_t remaining = static_cast<std::size_t>(std::max(pending, 0));
                while (remaining > 0 && !ended) {
                    ssize_t count = ::read(fd, buffer.data(), std::min(remaining, buffer.size()));
                    if (count < 0 && errno == EINTR) continue;
                    if (count <= 0) break;
                    remaining -= static_cast<std::size_t>(count);
                    deliver(static_cast<std::size_t>(count));
                }
                break;
            }
        }
        if (fds[0].revents != 0) {
            ssize_t count = ::read(fd, buffer.data(), buffer.size());
            if (count > 0) {
                deliver(static_cast<std::size_t>(count));
            } else if (count == 0 || (errno != EINTR && errno != EAGAIN)) {
                break;
            }
        }
    }
    if (!state->isClosing()) callQuietly(handler, std::string_view());
    std::lock_guard guard(state->mutex);
    --state->readersRunning;
    state->changed.notify_all();
}

ChildExitStatus exitStatusOf(int status) {
    if (WIFSIGNALED(status)) return {WTERMSIG(status), true};
    return {WEXITSTATUS(status), false};
}

void waitForChild(const std::shared_ptr<ChildProcess::State>& state) {
    pid_t pid;
    {
        std::lock_guard guard(state->mutex);
        pid = state->pid;
    }
    // Wait without reaping: until the exit is recorded under the lock, the
    // process id stays ours, so terminate() and kill() cannot hit a stranger
    // that was handed the same number.
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    ChildExitStatus exit;
    {
        std::lock_guard guard(state->mutex);
        int status = 0;
        pid_t reaped;
        do {
            reaped = ::waitpid(pid, &status, 0);
        } while (reaped < 0 && errno == EINTR);
        if (reaped == pid) {
            exit = exitStatusOf(status);
        } else {
            exit = {info.si_status, info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED};
        }
        state->exit = exit;
        state->changed.notify_all();
    }
    state->wakeReaders();
    {
        std::unique_lock lock(state->mutex);
        state->changed.wait(lock, [&] { return state->readersRunning == 0 || state->closing; });
        if (state->closing) return;
    }
    callQuietly(state->options.onExit, exit);
}

// Frees the native spawn structures on every path out of launch().
struct SpawnSetup {
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

}  // namespace

ChildProcess::ChildProcess(Options options) : state_(std::make_shared<State>(std::move(options))) {}

ChildProcess::~ChildProcess() {
    bool onOwnThread = std::any_of(threads_.begin(), threads_.end(), [](const std::thread& thread) {
        return thread.get_id() == std::this_thread::get_id();
    });
    {
        std::lock_guard guard(state_->mutex);
        state_->closing = true;
        if (state_->launched && !state_->exit) ::kill(state_->pid, SIGKILL);
        state_->changed.notify_all();
        state_->wakeReaders();
    }
    // Joining the thread this runs on would never return; the threads hold
    // the state themselves and end once the killed child is reaped.
    for (std::thread& thread : threads_) onOwnThread ? thread.detach() : thread.join();
}

void ChildProcess::launch() {
    const Options& options = state_->options;
    {
        std::lock_guard guard(state_->mutex);
        if (state_->launched) throw std::logic_error("ChildProcess launched twice");
    }
    auto fail = [&](const std::string& what, int error) -> ChildProcessError {
        return ChildProcessError(what + " " + options.executable + ": " + std::strerror(error), error);
    };

    int output[2] = {-1, -1};
    int errors[2] = {-1, -1};
    auto closeAll = [&] {
        for (int fd : {output[0], output[1], errors[0], errors[1]})
            if (fd >= 0) ::close(fd);
    };
    if (::pipe2(output, O_CLOEXEC) != 0 || ::pipe2(errors, O_CLOEXEC) != 0) {
        int error = errno;
        closeAll();
        throw fail("cannot make pipes for", error);
    }
    int control = ::eventfd(0, EFD_CLOEXEC);
    if (control < 0) {
        int error = errno;
        closeAll();
        throw fail("cannot make an event descriptor for", error);
    }
    // Only our ends wait without blocking; the child's ends stay ordinary.
    ::fcntl(output[0], F_SETFL, ::fcntl(output[0], F_GETFL) | O_NONBLOCK);
    ::fcntl(errors[0], F_SETFL, ::fcntl(errors[0], F_GETFL) | O_NONBLOCK);

    SpawnSetup setup;
    posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&setup.actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&setup.actions, errors[1], STDERR_FILENO);
    // Our own descriptors are close-on-exec; this also catches those that
    // libraries open without the flag.
    posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1);
    if (options.workingDirectory)
        posix_spawn_file_actions_addchdir_np(&setup.actions, options.workingDirectory->c_str());
    sigset_t defaults;
    sigset_t mask;
    sigfillset(&defaults);
    sigemptyset(&mask);
    posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
    posix_spawnattr_setsigmask(&setup.attributes, &mask);
    posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(options.executable.c_str()));
    for (const std::string& argument : options.arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    if (options.environment) {
        for (const std::string& entry : *options.environment) envp.push_back(const_cast<char*>(entry.c_str()));
        envp.push_back(nullptr);
    }

    pid_t pid = -1;
    int spawned = ::posix_spawn(&pid, options.executable.c_str(), &setup.actions, &setup.attributes, argv.data(),
                                options.environment ? envp.data() : environ);
    ::close(output[1]);
    ::close(errors[1]);
    if (spawned != 0) {
        ::close(output[0]);
        ::close(errors[0]);
        ::close(control);
        throw fail("cannot start", spawned);
    }
    {
        std::lock_guard guard(state_->mutex);
        state_->launched = true;
        state_->pid = pid;
        state_->outputFd = output[0];
        state_->errorFd = errors[0];
        state_->controlFd = control;
        state_->readersRunning = 2;
    }
    try {
        threads_.emplace_back(readPipe, state_, output[0], std::cref(options.onStandardOutput));
        threads_.emplace_back(readPipe, state_, errors[0], std::cref(options.onStandardError));
        threads_.emplace_back(waitForChild, state_);
    } catch (const std::system_error& error) {
        // Without its threads nobody would read or reap the child: end it
        // here. The waiter is started last, so it is not running.
        {
            std::lock_guard guard(state_->mutex);
            state_->closing = true;
            ::kill(pid, SIGKILL);
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            state_->exit = exitStatusOf(status);
            state_->changed.notify_all();
            state_->wakeReaders();
        }
        for (std::thread& thread : threads_) thread.join();
        threads_.clear();
        throw fail("cannot start threads for", error.code().value());
    }
}

pid_t ChildProcess::pid() const {
    std::lock_guard guard(state_->mutex);
    return state_->pid;
}

bool ChildProcess::isRunning() const {
    std::lock_guard guard(state_->mutex);
    return state_->launched && !state_->exit;
}

void ChildProcess::terminate() {
    std::lock_guard guard(state_->mutex);
    if (state_->launched && !state_->exit) ::kill(state_->pid, SIGTERM);
}

void ChildProcess::kill() {
    std::lock_guard guard(state_->mutex);
    if (state_->launched && !state_->exit) ::kill(state_->pid, SIGKILL);
}

ChildExitStatus ChildProcess::waitForExit() {
    std::unique_lock lock(state_->mutex);
    if (!state_->launched) throw std::logic_error("ChildProcess not launched");
    state_->changed.wait(lock, [&] { return state_->exit.has_value(); });
    return *state_->exit;
}

}  // namespace palisor
