#include "tests/support/bridge_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string_view>

#include "bridge/common/paths.h"

extern char** environ;

namespace palisor::test {

std::string buildProgram(const std::string& relativePath) {
    std::string tests = executableDirectory();
    if (tests.empty()) throw std::runtime_error("cannot find the test program's own folder");
    return joinPath(parentPath(tests), relativePath);
}

std::vector<std::string> bridgeEnvironment(const std::string& configHome,
                                           const std::vector<std::string>& extraEnvironment) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::string_view(*e).rfind("PALISOR_", 0) != 0 && std::string_view(*e).rfind("XDG_CONFIG_HOME=", 0) != 0 &&
            std::string_view(*e).rfind("NOTIFY_SOCKET=", 0) != 0)
            env.emplace_back(*e);
    env.push_back("XDG_CONFIG_HOME=" + configHome);
    bool storeChosen = false;
    for (const std::string& entry : extraEnvironment) {
        env.push_back(entry);
        storeChosen = storeChosen || entry.rfind("PALISOR_BRIDGE_CREDENTIAL_FILE=", 0) == 0 ||
                      entry.rfind("PALISOR_BRIDGE_DISABLE_KEYCHAIN=", 0) == 0;
    }
    if (!storeChosen) env.push_back("PALISOR_BRIDGE_DISABLE_KEYCHAIN=1");
    return env;
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment, bool pipeInput) {
    ::signal(SIGPIPE, SIG_IGN);  // a child that closed its input must not end the test
    int out[2], err[2], in[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0 || (pipeInput && ::pipe2(in, O_CLOEXEC) != 0))
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    if (pipeInput)
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<std::string> env = environment;
    std::vector<char*> envp;
    for (auto& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = {program};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    // A new session: no controlling terminal, so nothing prompts the
    // developer's terminal in the middle of a test run.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    int spawned = posix_spawn(&pid_, program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    if (pipeInput) ::close(in[0]);
    stdout_ = out[0];
    stderr_ = err[0];
    input_ = in[1];
    if (spawned != 0) {
        pid_ = -1;
        for (int fd : {input_, stdout_, stderr_})
            if (fd >= 0) ::close(fd);
        throw std::runtime_error("cannot start " + program);
    }
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : {input_, stdout_, stderr_})
        if (fd >= 0) ::close(fd);
}

bool ChildProcess::pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || (stdout_ < 0 && stderr_ < 0)) return false;
        pollfd fds[2] = {{stdout_, POLLIN, 0}, {stderr_, POLLIN, 0}};
        if (::poll(fds, 2, static_cast<int>(left.count())) <= 0) return done();
        int* ends[2] = {&stdout_, &stderr_};
        std::string* sinks[2] = {&standardOutput, &output};
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[8192];
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else {
                ::close(*ends[i]);
                *ends[i] = -1;
            }
        }
    }
    return true;
}

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds limit) {
    return pumpUntil([&] { return output.find(text) != std::string::npos; }, limit);
}

bool ChildProcess::waitForStdout(const std::string& text, std::chrono::milliseconds limit) {
    return pumpUntil([&] { return standardOutput.find(text) != std::string::npos; }, limit);
}

void ChildProcess::writeInput(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(input_, text.data() + done, text.size() - done);
        if (n <= 0) throw std::runtime_error("the child closed its input");
        done += static_cast<std::size_t>(n);
    }
}

void ChildProcess::closeInput() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
}

void ChildProcess::signal(int number) {
    ::kill(pid_, number);
}

int ChildProcess::waitForExit() {
    pumpUntil([] { return false; }, std::chrono::seconds(60));
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

CommandResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environment, const std::string& input) {
    ChildProcess child(program, arguments, environment, true);
    try {
        if (!input.empty()) child.writeInput(input);
    } catch (const std::runtime_error&) {
        // A command may end before it reads its input (a refusal made first).
    }
    child.closeInput();
    CommandResult result;
    result.exitCode = child.waitForExit();
    result.out = child.standardOutput;
    result.err = child.output;
    return result;
}

}  // namespace palisor::test
