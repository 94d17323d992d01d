#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace palisor::test {

// The environment a test gives the bridge program: the test's own environment
// without any PALISOR_ variable or NOTIFY_SOCKET, the given settings folder
// as XDG_CONFIG_HOME, the extra entries, and no keychain (memory sessions)
// unless the extras choose a credential file, so that a test never touches
// the developer's own settings or keyring, nor the service manager that may
// run the tests.
std::vector<std::string> bridgeEnvironment(const std::string& configHome,
                                           const std::vector<std::string>& extraEnvironment = {});

// A program of this build by its path below the build folder ("bin/palisor-bridge").
// Test binaries live in the build folder's tests/, so the folder is found from
// their own path, and no build path is compiled into a test: a checkout in
// another folder reuses the compiler cache.
std::string buildProgram(const std::string& relativePath);

// A child program with standard output and error captured and, on request,
// standard input as a pipe. Killed at the end unless it has exited.
class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment, bool pipeInput = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Reads both outputs until `done` holds, both have ended or the time is
    // up; returns whether `done` held.
    bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);
    // Reads standard error (output) or standard output until `text` appears.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(20));
    bool waitForStdout(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(20));

    void writeInput(const std::string& text);
    void closeInput();
    void signal(int number);
    pid_t pid() const { return pid_; }
    // Collects the rest of both outputs and the exit code (128 + signal when
    // killed by one).
    int waitForExit();

    std::string output;          // standard error
    std::string standardOutput;  // standard output

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int stdout_ = -1;
    int stderr_ = -1;
};

// One run of a command to completion.
struct CommandResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};
CommandResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environment, const std::string& input = {});

#ifdef PALISOR_BRIDGE_EXECUTABLE
inline const std::string kBridgeExecutable = buildProgram(PALISOR_BRIDGE_EXECUTABLE);

struct OwnConfigFolder {
    TempDir configFolder;
};

// `palisor-bridge serve` on `port`, with a settings folder of its own unless
// the test shares one with the commands it runs.
class BridgeProcess : private OwnConfigFolder, public ChildProcess {
public:
    explicit BridgeProcess(std::uint16_t port, const std::vector<std::string>& extraEnvironment = {},
                           const std::optional<std::string>& configHome = std::nullopt)
        : ChildProcess(kBridgeExecutable, {"serve"}, serveEnvironment(port, extraEnvironment, configHome)) {}

private:
    std::vector<std::string> serveEnvironment(std::uint16_t port, const std::vector<std::string>& extra,
                                              const std::optional<std::string>& configHome) {
        auto env = bridgeEnvironment(configHome.value_or(configFolder.path()), extra);
        env.push_back("PALISOR_BRIDGE_PORT=" + std::to_string(port));
        return env;
    }
};
#endif

}  // namespace palisor::test
