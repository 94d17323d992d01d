#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/common/bridge_error.h"
#include "bridge/common/paths.h"

namespace palisor {

class AuthorityClient;
class ChildProcess;

class ValidationExecutorProcessError : public BridgeError {
public:
    enum class Case { resourcesMissing, runtimeMissing, authorityOriginMismatch, projectKeyMismatch, runningElsewhere };

    explicit ValidationExecutorProcessError(Case errorCase);
    // "WORKSPACE_AUTHORITY_ORIGIN_MISMATCH:AGENTS.md=<origin>,bridge=<origin>": the
    // workspace's pointer names another authority than the bridge's.
    static ValidationExecutorProcessError authorityOriginMismatch(const std::string& pointerOrigin,
                                                                  const std::string& bridgeOrigin);
    // "WORKSPACE_PROJECT_KEY_MISMATCH:<registered>:<in AGENTS.md>", as tool
    // calls are refused.
    static ValidationExecutorProcessError projectKeyMismatch(const std::string& registered,
                                                             const std::string& pointer);
    // "VALIDATION_EXECUTOR_RUNNING_ELSEWHERE": another program of this user
    // (a second window, a service) runs the workspace's executor; the detail
    // names its process.
    static ValidationExecutorProcessError runningElsewhere(const std::string& workspaceRoot,
                                                           const std::string& holder);
    Case errorCase() const noexcept { return case_; }

private:
    ValidationExecutorProcessError(Case errorCase, std::string code, std::string detail = {});
    Case case_;
};

// Supervises the validation executor of one workspace: a child program run
// on the runtime shipped in the bridge's resources, with the executor script
// as its only argument. The child reports on standard output, one JSON
// object per line; the supervisor turns that, the child's standard error and
// its exit into status messages and authentication alarms.
//
// Resources, under the resource folder:
//   runtime/node                         the runtime, launched (executable)
//   runtime/bin/npm                      part of the runtime (executable)
//   validation-node-runtimes.json        the runtime manifest
//   validation-executor/supervisor.mjs   the executor script
//   validation-executor/                 the child's working directory
//
// Each project has a state folder of its own:
// <application support>/Palisor Bridge/validation-executor/<project key>,
// where every character of the key other than a Unicode letter, mark or
// number, "-" and "_" becomes "_".
//
// Safe for concurrent use. Create it with std::make_shared: the child's
// handlers hold the supervisor weakly.
class ValidationExecutorProcess : public std::enable_shared_from_this<ValidationExecutorProcess> {
public:
    // A message for the workspace's status and whether it reports an error.
    using StatusHandler = std::function<void(const std::string& message, bool isError)>;
    using AuthenticationFailureHandler = std::function<void()>;

    struct Options {
        // Absent: defaultResourceFolder().
        std::optional<std::string> resourceFolder;
        // The user's folders: the workspace locks go in `runtime`, the
        // projects' state folders under `applicationSupport`.
        UserFolders folders;
    };

    // How long a child has after SIGTERM before it is killed, and how often
    // stop() looks.
    static constexpr std::chrono::milliseconds kStopGracePeriod{1500};
    static constexpr std::chrono::milliseconds kStopPollInterval{50};
    // A line of standard output longer than this without its newline is
    // dropped whole.
    static constexpr std::size_t kMaxLineBytes = 1024 * 1024;
    // Standard error is quoted up to this many user-perceived characters.
    static constexpr std::size_t kMaxErrorExcerpt = 240;

    explicit ValidationExecutorProcess(Options options);
    // A child that still runs is killed without grace; call stop() first.
    ~ValidationExecutorProcess();
    ValidationExecutorProcess(const ValidationExecutorProcess&) = delete;
    ValidationExecutorProcess& operator=(const ValidationExecutorProcess&) = delete;

    // The lock file held while an executor serves `workspaceRoot` (standardised).
    static std::string workspaceLockPath(const UserFolders& folders, const std::string& workspaceRoot);

    // <folder of the executable>/../share/palisor-bridge, standardised.
    static std::string defaultResourceFolder();

    // Where a launch finds its pieces under a resource folder.
    struct Resources {
        std::string folder;
        std::string runtimeFolder;   // runtime
        std::string runtimeBin;      // runtime/bin
        std::string node;            // runtime/node
        std::string npm;             // runtime/bin/npm
        std::string manifest;        // validation-node-runtimes.json
        std::string executorFolder;  // validation-executor
        std::string script;          // validation-executor/supervisor.mjs

        // The executor's PATH: the runtime's folders first, so that npm's
        // script runs on the linked node, then the system's.
        std::string searchPath() const;
    };
    static Resources resourcesIn(const std::string& resourceFolder);
    // The first piece a launch cannot do without, as the error start() raises
    // and the path that is missing; none when everything is in place.
    struct MissingResource {
        ValidationExecutorProcessError error;
        std::string path;
    };
    static std::optional<MissingResource> missingResource(const Resources& resources);

    // Starts the executor for a workspace, unless one already runs for the
    // same (standardised) root: then it returns at once and reports nothing.
    // Two executors of one workspace would take the same jobs, so while a
    // child runs the supervisor holds a lock of the workspace's in the user's
    // runtime folder (executor-<hash of the root>.lock), and a start that
    // finds it held by another program throws runningElsewhere.
    // Blocks on the authority. Throws, before anything is launched, for a
    // broken pointer, a failed bootstrap or credential request, an unusable
    // bootstrap (ValidationExecutionModeError), missing resources
    // (ValidationExecutorProcessError), a state folder that cannot be made
    // (FileError), a pointer that names another authority or project
    // (ValidationExecutorProcessError) and a failed launch
    // (ChildProcessError); a child serving another root has been stopped by
    // then.
    //
    // A project whose validation comes as explicit requests gets no child:
    // "Foundation v2: kiểm chứng theo từng yêu cầu; không dùng hàng đợi nền."
    // is reported instead. A stop() that comes while a start is under way
    // wins: that start launches nothing.
    //
    // Both handlers are called later from the child's output and exit, on
    // threads of their own and without any lock of the supervisor held; they
    // must not block for long. Status texts never contain the tokens handed to
    // the child.
    //
    // The child is handed the project's tokens and told where to send them,
    // so the pointer as it reads now must still name the bridge's own
    // authority and, when given, the project the workspace was registered
    // with; otherwise nothing is asked for or launched (and a child serving
    // the root is stopped).
    void start(AuthorityClient& authorityClient, const std::string& workspaceRoot,
               AuthenticationFailureHandler onAuthenticationFailure, StatusHandler onStatus,
               const std::optional<std::string>& registeredProjectKey = std::nullopt);

    // Stops the child, if any: SIGTERM, a look every kStopPollInterval for up
    // to kStopGracePeriod, then SIGKILL. Returns once the child has exited.
    // Reports nothing, and nothing the stopped child still prints is reported.
    void stop();

    // A child has been launched for a root and has not exited.
    bool isRunning() const;
    // The running child has announced that it is ready.
    bool isReady() const;
    // The standardised root the running child serves.
    std::optional<std::string> activeWorkspaceRoot() const;

private:
    struct Launch;

    std::string executorStateRoot(const std::string& projectKey) const;
    std::shared_ptr<ChildProcess> takeChildLocked();
    static void stopChild(const std::shared_ptr<ChildProcess>& child);

    void handleOutput(Launch& launch, std::string_view chunk);
    void handleOutputLine(const Launch& launch, std::string_view line);
    void handleError(Launch& launch, std::string_view chunk);
    void handleExit(const Launch& launch, int status);
    bool isCurrent(const Launch& launch) const;

    const std::string resourceFolder_;
    const UserFolders folders_;

    mutable std::mutex lock_;
    std::shared_ptr<ChildProcess> process_;
    std::optional<std::string> activeWorkspaceRoot_;
    bool isReady_ = false;
    // Which launch the members describe; handlers of an older one are ignored.
    std::uint64_t launchId_ = 0;
    // Counts starts and stops, so that a start can tell it has been overtaken.
    std::uint64_t generation_ = 0;
};

}  // namespace palisor
