#include "bridge/validation/validation_executor_process.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <condition_variable>
#include <cstdlib>
#include <thread>

#include "bridge/authority/authority_client.h"
#include "bridge/authority/authority_trace_context.h"
#include "bridge/common/atomic_file.h"
#include "bridge/common/child_process.h"
#include "bridge/common/json.h"
#include "bridge/common/paths.h"
#include "bridge/common/sha256.h"
#include "bridge/common/text.h"
#include "bridge/common/unicode.h"
#include "bridge/spool/ai_work_event_spool.h"
#include "bridge/validation/validation_execution_mode.h"
#include "bridge/workspace/agents_pointer.h"

namespace palisor {

namespace {

constexpr const char* kExplicitRequestsMessage =
    "Foundation v2: kiểm chứng theo từng yêu cầu; không dùng hàng đợi nền.";

bool isExecutableFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// The bytes at the end of a chunk that start a UTF-8 sequence the chunk does
// not finish; the pipe may cut a character anywhere.
std::size_t incompleteUtf8Tail(std::string_view bytes) {
    std::size_t continuation = 0;
    while (continuation < 3 && continuation < bytes.size() &&
           (static_cast<unsigned char>(bytes[bytes.size() - 1 - continuation]) & 0xC0) == 0x80)
        ++continuation;
    if (continuation == bytes.size()) return 0;
    auto lead = static_cast<unsigned char>(bytes[bytes.size() - 1 - continuation]);
    std::size_t length = (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 1;
    return continuation + 1 < length ? continuation + 1 : 0;
}

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

// The workspace's executor lock, held by this process. The holder's process
// id is written into the file so that a refused start can name it.
class WorkspaceLock {
public:
    explicit WorkspaceLock(int fd) : fd_(fd) {}
    ~WorkspaceLock() { ::close(fd_); }
    WorkspaceLock(const WorkspaceLock&) = delete;
    WorkspaceLock& operator=(const WorkspaceLock&) = delete;

    // The lock, or nullptr with the holder's process id (when it wrote one)
    // in `holder`. A holder that is on its way out (a child this supervisor
    // just stopped, or one whose bridge was killed and that notices within a
    // second or two) is waited for a little.
    static std::shared_ptr<WorkspaceLock> take(const std::string& path, std::string& holder) {
        createDirectories(parentPath(path), 0700);
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            int error = errno;
            throw FileError("FILE_WRITE_FAILED", "cannot open " + path + ": " + std::strerror(error), error);
        }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno == EINTR) continue;
            if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) {
                std::string text;
                readAll(fd, text, 64);
                holder = trim(text);
                ::close(fd);
                return nullptr;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::string pid = std::to_string(::getpid()) + "\n";
        if (::ftruncate(fd, 0) == 0) (void)::pwrite(fd, pid.data(), pid.size(), 0);
        return std::make_shared<WorkspaceLock>(fd);
    }

private:
    int fd_;
};

}  // namespace

ValidationExecutorProcessError::ValidationExecutorProcessError(Case errorCase)
    : BridgeError(errorCase == Case::resourcesMissing ? "BRIDGE_VALIDATION_EXECUTOR_RESOURCES_MISSING"
                                                      : "BRIDGE_VALIDATION_EXECUTOR_RUNTIME_MISSING"),
      case_(errorCase) {}

ValidationExecutorProcessError::ValidationExecutorProcessError(Case errorCase, std::string code, std::string detail)
    : BridgeError(std::move(code), std::move(detail)), case_(errorCase) {}

ValidationExecutorProcessError ValidationExecutorProcessError::authorityOriginMismatch(const std::string& pointerOrigin,
                                                                                       const std::string& bridgeOrigin) {
    return {Case::authorityOriginMismatch,
            "WORKSPACE_AUTHORITY_ORIGIN_MISMATCH:AGENTS.md=" + pointerOrigin + ",bridge=" + bridgeOrigin};
}

ValidationExecutorProcessError ValidationExecutorProcessError::runningElsewhere(const std::string& workspaceRoot,
                                                                                const std::string& holder) {
    std::string who = holder.empty() ? "một chương trình khác" : "tiến trình " + holder;
    return {Case::runningElsewhere, "VALIDATION_EXECUTOR_RUNNING_ELSEWHERE",
            who + " đã chạy validation executor cho " + workspaceRoot +
                " trên máy này (một cửa sổ hay dịch vụ bridge khác); chỉ một executor cho mỗi workspace"};
}

ValidationExecutorProcessError ValidationExecutorProcessError::projectKeyMismatch(const std::string& registered,
                                                                                  const std::string& pointer) {
    return {Case::projectKeyMismatch, "WORKSPACE_PROJECT_KEY_MISMATCH:" + registered + ":" + pointer};
}

// What the handlers of one launched child share. The output buffers are each
// touched by one reader thread only.
struct ValidationExecutorProcess::Launch {
    std::uint64_t id = 0;
    StatusHandler onStatus;
    AuthenticationFailureHandler onAuthenticationFailure;
    // The tokens in the child's environment, which no status may repeat.
    std::vector<std::string> secrets;
    // Held while the child may run: the handlers keep the launch until the
    // child has gone.
    std::shared_ptr<WorkspaceLock> workspaceLock;

    std::string pendingLine;      // standard output after the last newline
    bool discardingLine = false;  // inside a line that grew too long
    std::string pendingError;     // a character cut off at the end of the last chunk

    // The handlers wait until start() has reported that the child is
    // starting, so that a quick child's "ready" can never come before it.
    mutable std::mutex gateMutex;
    mutable std::condition_variable gateChanged;
    bool gateOpen = false;

    void waitForGate() const {
        std::unique_lock lock(gateMutex);
        gateChanged.wait(lock, [&] { return gateOpen; });
    }
    void openGate() {
        std::lock_guard guard(gateMutex);
        gateOpen = true;
        gateChanged.notify_all();
    }

    void report(const std::string& message, bool isError) const {
        if (onStatus) onStatus(message, isError);
    }

    // Child text made fit for a status: the exact tokens first, then anything
    // else that looks like a credential.
    std::string scrub(std::string_view text) const {
        std::string out(text);
        for (const std::string& secret : secrets) {
            if (secret.empty()) continue;
            for (std::size_t at = out.find(secret); at != std::string::npos; at = out.find(secret, at + 10))
                out.replace(at, secret.size(), "[REDACTED]");
        }
        JsonValue clean = AiWorkEventSpool::sanitizeDiagnosticValue(JsonValue(out));
        return clean.is_string() ? clean.get<std::string>() : out;
    }
};

ValidationExecutorProcess::ValidationExecutorProcess(Options options)
    : resourceFolder_(options.resourceFolder ? standardizePath(*options.resourceFolder) : defaultResourceFolder()),
      folders_(std::move(options.folders)) {}

ValidationExecutorProcess::~ValidationExecutorProcess() = default;

std::string ValidationExecutorProcess::workspaceLockPath(const UserFolders& folders, const std::string& workspaceRoot) {
    return joinPath(folders.runtime, "executor-" + sha256Hex(standardizePath(workspaceRoot)).substr(0, 32) + ".lock");
}

std::string ValidationExecutorProcess::defaultResourceFolder() {
    std::string folder = executableDirectory();
    if (folder.empty()) return {};
    return standardizePath(joinPath(folder, "../share/palisor-bridge"));
}

std::string ValidationExecutorProcess::Resources::searchPath() const {
    return runtimeBin + ":" + runtimeFolder + ":/usr/bin:/bin:/usr/sbin:/sbin";
}

ValidationExecutorProcess::Resources ValidationExecutorProcess::resourcesIn(const std::string& resourceFolder) {
    Resources resources;
    resources.folder = resourceFolder;
    resources.runtimeFolder = joinPath(resourceFolder, "runtime");
    resources.runtimeBin = joinPath(resources.runtimeFolder, "bin");
    resources.node = joinPath(resources.runtimeFolder, "node");
    resources.npm = joinPath(resources.runtimeBin, "npm");
    resources.manifest = joinPath(resourceFolder, "validation-node-runtimes.json");
    resources.executorFolder = joinPath(resourceFolder, "validation-executor");
    resources.script = joinPath(resources.executorFolder, "supervisor.mjs");
    return resources;
}

std::optional<ValidationExecutorProcess::MissingResource> ValidationExecutorProcess::missingResource(
    const Resources& resources) {
    using Case = ValidationExecutorProcessError::Case;
    if (!isDirectory(resources.folder))
        return MissingResource{ValidationExecutorProcessError(Case::resourcesMissing), resources.folder};
    ValidationExecutorProcessError runtimeMissing(Case::runtimeMissing);
    if (!isExecutableFile(resources.node)) return MissingResource{runtimeMissing, resources.node};
    if (!isExecutableFile(resources.npm)) return MissingResource{runtimeMissing, resources.npm};
    if (!exists(resources.manifest)) return MissingResource{runtimeMissing, resources.manifest};
    if (!exists(resources.script)) return MissingResource{runtimeMissing, resources.script};
    return std::nullopt;
}

std::string ValidationExecutorProcess::executorStateRoot(const std::string& projectKey) const {
    std::string name;
    for (char32_t c : utf8Scalars(projectKey)) {
        if (isUnicodeLetter(c) || isUnicodeNumber(c) || isUnicodeMark(c) || c == U'-' || c == U'_') {
            appendUtf8(name, c);
        } else {
            name.push_back('_');
        }
    }
    std::string folder =
        joinPath(joinPath(joinPath(folders_.applicationSupport, "Palisor Bridge"), "validation-executor"), name);
    // The executor keeps what it likes there, credentials included.
    createDirectories(folder, 0700);
    char resolved[PATH_MAX];
    return ::realpath(folder.c_str(), resolved) ? std::string(resolved) : folder;
}

std::shared_ptr<ChildProcess> ValidationExecutorProcess::takeChildLocked() {
    std::shared_ptr<ChildProcess> child = std::move(process_);
    process_.reset();
    activeWorkspaceRoot_.reset();
    isReady_ = false;
    launchId_ = 0;
    ++generation_;
    return child;
}

void ValidationExecutorProcess::stopChild(const std::shared_ptr<ChildProcess>& child) {
    if (!child || !child->isRunning()) return;
    child->terminate();
    auto deadline = std::chrono::steady_clock::now() + kStopGracePeriod;
    while (child->isRunning() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(kStopPollInterval);
    if (!child->isRunning()) return;
    child->kill();
    child->waitForExit();
}

void ValidationExecutorProcess::stop() {
    std::shared_ptr<ChildProcess> child;
    {
        std::lock_guard guard(lock_);
        child = takeChildLocked();
    }
    stopChild(child);
}

bool ValidationExecutorProcess::isRunning() const {
    std::lock_guard guard(lock_);
    return process_ && process_->isRunning();
}

bool ValidationExecutorProcess::isReady() const {
    std::lock_guard guard(lock_);
    return process_ && isReady_;
}

std::optional<std::string> ValidationExecutorProcess::activeWorkspaceRoot() const {
    std::lock_guard guard(lock_);
    return activeWorkspaceRoot_;
}

bool ValidationExecutorProcess::isCurrent(const Launch& launch) const {
    std::lock_guard guard(lock_);
    return launchId_ == launch.id;
}

void ValidationExecutorProcess::start(AuthorityClient& authorityClient, const std::string& workspaceRoot,
                                      AuthenticationFailureHandler onAuthenticationFailure, StatusHandler onStatus,
                                      const std::optional<std::string>& registeredProjectKey) {
    std::string root = standardizePath(workspaceRoot);
    AgentsPointer pointer = readAgentsPointer(root);
    // The pointer may have changed since the workspace was added (a pulled
    // commit, an agent's edit): an executor serving it must not carry the
    // project's token to another host or act for another project.
    std::optional<ValidationExecutorProcessError> refused;
    if (pointer.authorityOrigin != normalizeOrigin(authorityClient.authorityOrigin()))
        refused = ValidationExecutorProcessError::authorityOriginMismatch(pointer.authorityOrigin,
                                                                          authorityClient.authorityOrigin());
    else if (registeredProjectKey && *registeredProjectKey != pointer.projectKey)
        refused = ValidationExecutorProcessError::projectKeyMismatch(*registeredProjectKey, pointer.projectKey);
    if (refused) {
        stop();
        throw *refused;
    }
    JsonValue bootstrap = authorityClient.requestWithWebSession(
        "/api/authority?projectKey=" + urlQueryEncode(pointer.projectKey), "GET", std::nullopt, AuthorityTraceContext());
    if (ValidationExecutionMode::resolve(bootstrap) == ValidationExecutionMode::explicitRequests) {
        stop();
        if (onStatus) onStatus(kExplicitRequestsMessage, false);
        return;
    }

    std::shared_ptr<ChildProcess> previous;
    std::uint64_t generation;
    {
        std::lock_guard guard(lock_);
        if (process_ && process_->isRunning() && activeWorkspaceRoot_ == root) return;
        previous = takeChildLocked();
        generation = generation_;
    }
    stopChild(previous);
    previous.reset();

    std::string holder;
    std::shared_ptr<WorkspaceLock> workspaceLock = WorkspaceLock::take(workspaceLockPath(folders_, root), holder);
    if (!workspaceLock) throw ValidationExecutorProcessError::runningElsewhere(root, holder);

    ProjectAgentCredentials credentials = authorityClient.validationExecutorCredentials(pointer.projectKey);

    Resources resources = resourcesIn(resourceFolder_);
    if (auto missing = missingResource(resources)) throw missing->error;
    const std::string& node = resources.node;
    const std::string& manifest = resources.manifest;
    const std::string& executorFolder = resources.executorFolder;
    const std::string& script = resources.script;

    std::string stateRoot = executorStateRoot(pointer.projectKey);

    auto launch = std::make_shared<Launch>();
    launch->id = generation;
    launch->onStatus = std::move(onStatus);
    launch->onAuthenticationFailure = std::move(onAuthenticationFailure);
    launch->secrets = {credentials.token, credentials.webToken};
    launch->workspaceLock = std::move(workspaceLock);

    ChildProcess::Options options;
    options.executable = node;
    options.arguments = {script};
    options.workingDirectory = executorFolder;
    options.environment = environmentWith({
        "PALISOR_AUTHORITY_URL=" + pointer.authorityOrigin,
        "PALISOR_PROJECT_KEY=" + pointer.projectKey,
        "PALISOR_BRIDGE_NODE_ID=" + credentials.nodeId,
        "PALISOR_BRIDGE_ACCESS_TOKEN=" + credentials.token,
        "PALISOR_BRIDGE_WEB_TOKEN=" + credentials.webToken,
        "PALISOR_BRIDGE_WORKSPACE_ROOT=" + root,
        "PALISOR_BRIDGE_STATE_ROOT=" + stateRoot,
        "PALISOR_BRIDGE_PARENT_PID=" + std::to_string(::getpid()),
        "PALISOR_VALIDATION_NODE_RUNTIME_MANIFEST=" + manifest,
        "PATH=" + resources.searchPath(),
    });
    std::weak_ptr<ValidationExecutorProcess> weak = weak_from_this();
    options.onStandardOutput = [weak, launch](std::string_view chunk) {
        launch->waitForGate();
        if (auto self = weak.lock()) self->handleOutput(*launch, chunk);
    };
    options.onStandardError = [weak, launch](std::string_view chunk) {
        launch->waitForGate();
        if (auto self = weak.lock()) self->handleError(*launch, chunk);
    };
    options.onExit = [weak, launch](ChildExitStatus exit) {
        launch->waitForGate();
        if (auto self = weak.lock()) self->handleExit(*launch, exit.status);
    };
    auto child = std::make_shared<ChildProcess>(std::move(options));

    {
        // Recording and launching under one hold of the lock: a stop() cannot
        // fall between them and miss the child.
        std::lock_guard guard(lock_);
        if (generation_ != generation) return;  // stopped or started anew meanwhile
        process_ = child;
        activeWorkspaceRoot_ = root;
        isReady_ = false;
        launchId_ = generation;
        try {
            child->launch();
        } catch (...) {
            takeChildLocked();
            throw;
        }
    }
    struct GateOpener {
        Launch& launch;
        ~GateOpener() { launch.openGate(); }
    } opener{*launch};
    launch->report("Đang khởi động validation executor...", false);
}

void ValidationExecutorProcess::handleOutput(Launch& launch, std::string_view chunk) {
    if (chunk.empty()) {
        // The end of the stream ends an unfinished last line too.
        if (!launch.discardingLine && !launch.pendingLine.empty()) handleOutputLine(launch, launch.pendingLine);
        launch.pendingLine.clear();
        launch.discardingLine = false;
        return;
    }
    // A line may come in several reads: the unfinished tail waits for the
    // rest, up to a bound, so a child that never ends its line cannot make
    // the bridge hold its whole output.
    for (std::size_t start = 0;;) {
        std::size_t newline = chunk.find('\n', start);
        if (newline == std::string_view::npos) {
            std::string_view tail = chunk.substr(start);
            if (launch.discardingLine) break;
            if (launch.pendingLine.size() + tail.size() > kMaxLineBytes) {
                launch.pendingLine.clear();
                launch.discardingLine = true;
            } else {
                launch.pendingLine += tail;
            }
            break;
        }
        std::string_view piece = chunk.substr(start, newline - start);
        if (launch.discardingLine) {
            launch.discardingLine = false;
        } else if (launch.pendingLine.empty()) {
            handleOutputLine(launch, piece);
        } else {
            launch.pendingLine += piece;
            if (launch.pendingLine.size() <= kMaxLineBytes) handleOutputLine(launch, launch.pendingLine);
            launch.pendingLine.clear();
        }
        start = newline + 1;
    }
}

void ValidationExecutorProcess::handleOutputLine(const Launch& launch, std::string_view line) {
    if (line.empty() || !isValidUtf8(line)) return;
    std::optional<JsonValue> value = parseJson(line);
    if (!value || !value->is_object()) return;
    const std::string* event = stringMember(*value, "event");
    if (!event) return;

    if (*event == "validation-executor.ready") {
        {
            std::lock_guard guard(lock_);
            if (launchId_ != launch.id) return;
            isReady_ = true;
        }
        const JsonValue* keys = arrayMember(*value, "mappedRepoKeys");
        launch.report("Validation executor đã sẵn sàng cho " + std::to_string(keys ? keys->size() : 0) + " repo.",
                      false);
    } else if (*event == "validation-worker.recovered") {
        if (!isCurrent(launch)) return;
        launch.report("Validation executor đã tự phục hồi và tiếp tục theo dõi job.", false);
    } else if (*event == "validation-worker.error") {
        if (!isCurrent(launch)) return;
        const std::string* code = stringMember(*value, "code");
        const std::string* message = stringMember(*value, "message");
        std::string reason = code ? *code : message ? *message : "không rõ nguyên nhân";
        launch.report("Validation executor lỗi: " + launch.scrub(reason), true);
        bool refused = optInt64(*value, "statusCode") == 401 ||
                       (code && (contains(*code, "SKILL_FIRST_AUTH_REQUIRED") || contains(*code, "AUTHORITY_HTTP_401"))) ||
                       (message && contains(*message, "AUTHORITY_REQUEST_FAILED:401"));
        if (refused && launch.onAuthenticationFailure) launch.onAuthenticationFailure();
    }
}

void ValidationExecutorProcess::handleError(Launch& launch, std::string_view chunk) {
    if (chunk.empty()) {
        launch.pendingError.clear();
        return;
    }
    std::string data = std::move(launch.pendingError);
    launch.pendingError.clear();
    data += chunk;
    std::size_t cut = incompleteUtf8Tail(data);
    launch.pendingError = data.substr(data.size() - cut);
    data.resize(data.size() - cut);
    if (!isValidUtf8(data)) return;
    std::string text = trim(data);
    if (text.empty()) return;

    bool warning = contains(text, "Warning:") || contains(text, "MaxListenersExceededWarning") ||
                   contains(text, "node --trace-warnings");
    bool ready;
    {
        std::lock_guard guard(lock_);
        if (launchId_ != launch.id) return;
        ready = isReady_;
    }
    std::string scrubbed = launch.scrub(text);
    std::string excerpt(prefixOfUserPerceivedLength(scrubbed, kMaxErrorExcerpt));
    if (warning) {
        launch.report("Validation executor có cảnh báo runtime: " + excerpt, false);
    } else if (ready) {
        launch.report("Validation executor báo lỗi runtime: " + excerpt, true);
    } else {
        launch.report("Validation executor không thể khởi động: " + excerpt, true);
    }
}

void ValidationExecutorProcess::handleExit(const Launch& launch, int status) {
    std::shared_ptr<ChildProcess> finished;
    {
        std::lock_guard guard(lock_);
        if (launchId_ != launch.id || !process_) return;
        finished = std::move(process_);
        process_.reset();
        activeWorkspaceRoot_.reset();
        isReady_ = false;
    }
    // Let go of the child outside the lock; this runs on its own waiter
    // thread, which its destructor leaves to end by itself.
    finished.reset();
    if (status != 0) launch.report("Validation executor đã dừng với mã " + std::to_string(status) + ".", true);
}

}  // namespace palisor
