#include "bridge/mcp/local_mcp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "bridge/common/text.h"
#include "bridge/common/work_queue.h"
#include "bridge/mcp/peer_admission.h"
#include "bridge/mcp/routes.h"

namespace palisor {

namespace {

const char* kindCode(LocalMcpServerError::Kind kind) {
    switch (kind) {
        case LocalMcpServerError::Kind::socketCreateFailed: return "SOCKET_CREATE_FAILED";
        case LocalMcpServerError::Kind::socketOptionFailed: return "SOCKET_OPTION_FAILED";
        case LocalMcpServerError::Kind::addressParseFailed: return "ADDRESS_PARSE_FAILED";
        case LocalMcpServerError::Kind::bindFailed: return "BIND_FAILED";
        case LocalMcpServerError::Kind::listenFailed: return "LISTEN_FAILED";
    }
    return "LOCAL_SERVER_FAILED";
}

constexpr std::string_view kHeaderTerminator = "\r\n\r\n";
constexpr std::string_view kContentLength = "content-length:";

// Body length announced by the head (the bytes before CR LF CR LF).
std::int64_t announcedBodyLength(std::string_view head) {
    // An undecodable head counts as having no Content-Length at all.
    if (!isValidUtf8(head)) return 0;
    for (std::string_view line : splitKeepingEmpty(head, "\r\n")) {
        if (line.size() < kContentLength.size() || asciiLower(line.substr(0, kContentLength.size())) != kContentLength)
            continue;
        std::string_view value = line.substr(kContentLength.size());
        if (value.empty()) return 0;
        auto parsed = parseDecimalInteger(trim(value));
        return parsed && *parsed > 0 ? *parsed : 0;
    }
    return 0;
}

std::int64_t framedLength(std::string_view data, std::size_t terminatorAt) {
    auto headerEnd = static_cast<std::int64_t>(terminatorAt + kHeaderTerminator.size());
    std::int64_t body = announcedBodyLength(data.substr(0, terminatorAt));
    // Saturate instead of overflowing on absurd lengths.
    if (body > INT64_MAX - headerEnd) return INT64_MAX;
    return headerEnd + body;
}

// A request larger than this is parsed and routed on a worker: a JSON body of
// megabytes would hold the loop, and every connection on it, for milliseconds.
constexpr std::size_t kLoopRouteBytes = 64 * 1024;
// After an answer to a request that was cut short (an upload past the size
// limit), the rest of the upload is read and dropped for at most this long
// and this much, so that closing does not reset the connection and destroy
// the answer before the client has read it.
constexpr auto kDrainTime = std::chrono::seconds(2);
constexpr std::size_t kDrainBudget = 8 * 1024 * 1024;
// A client that stops reading its answer is closed after this long.
constexpr auto kAnswerWriteTime = std::chrono::seconds(30);
// Out of descriptors: accepting pauses this long instead of spinning.
constexpr auto kAcceptPause = std::chrono::milliseconds(10);
constexpr int kAcceptBatch = 64;
constexpr int kEventBatch = 64;

const std::string& busyAnswer() {
    static const std::string& bytes =
        *new std::string(HttpResponse::json(503, {{"ok", false}, {"error", "BRIDGE_BUSY"}}).data);
    return bytes;
}

bool hasPendingInput(int fd) {
    char probe;
    return ::recv(fd, &probe, 1, MSG_DONTWAIT | MSG_PEEK) > 0;
}

}  // namespace

using Clock = std::chrono::steady_clock;

struct LocalMcpServer::Shared {
    std::atomic<std::uint16_t> port{0};
    std::atomic<std::shared_ptr<McpToolRouter>> toolRouter;
    std::atomic<std::shared_ptr<ActivityLog>> activity;
    std::atomic<std::chrono::milliseconds> requestDeadline{std::chrono::seconds(30)};
    // Written before start(); each event loop takes a copy when it is made.
    // Only this user's programs, unless the owner installs another check.
    AdmissionCheck admissionCheck = refusalForPeer;
    std::size_t workerLimit = kMaxRequestWorkers;
    std::size_t waitingLimit = kMaxWaitingRequests;
    std::shared_ptr<WorkQueue> workers;
    // Tool calls handed to the workers and not answered yet: running or waiting.
    std::atomic<std::size_t> toolCalls{0};
};

namespace {

// One accepted connection. The event loop that accepted it owns it, except
// while a worker runs its tool call; the worker then owns it and either
// finishes it or hands it back.
struct Connection {
    enum class Stage { reading, answering, draining };

    Connection(int fd, Clock::time_point acceptedAt) : fd(fd), acceptedAt(acceptedAt) {}
    ~Connection() { ::close(fd); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    const int fd;
    const Clock::time_point acceptedAt;
    Stage stage = Stage::reading;
    std::uint32_t watching = 0;  // the events the loop's epoll waits for, 0 when not registered
    std::string request;
    std::optional<std::int64_t> expected;
    std::size_t searchFrom = 0;  // the terminator search resumes where it left off
    std::optional<HttpResponse> refusal;
    std::string answer;
    std::size_t written = 0;
    std::size_t drained = 0;
    // Reading connections, oldest first: their deadlines come in the same order.
    Connection* older = nullptr;
    Connection* newer = nullptr;
    std::optional<std::multimap<Clock::time_point, Connection*>::iterator> timer;
};

enum class SendResult { done, blocked, failed };

SendResult sendSome(Connection& c) {
    while (c.written < c.answer.size()) {
        // MSG_NOSIGNAL: a peer that has gone away must not end the process.
        ssize_t n = ::send(c.fd, c.answer.data() + c.written, c.answer.size() - c.written, MSG_NOSIGNAL);
        if (n >= 0) {
            c.written += static_cast<std::size_t>(n);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return SendResult::blocked;
        } else if (errno != EINTR) {
            return SendResult::failed;
        }
    }
    return SendResult::done;
}

char kWakeTag;
char kListenTag;

}  // namespace

// Accepts, reads and answers on one thread. Connections it accepted stay with
// it; a tool call goes to the workers with its connection and comes back only
// when the answer did not fit into the socket at once or the client is still
// sending.
class LocalMcpServer::EventLoop : public std::enable_shared_from_this<EventLoop> {
public:
    EventLoop(std::shared_ptr<Shared> shared, int listenFd);
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    void run();
    // Returns once the loop no longer touches the listening socket. The loop
    // then serves the connections it has and ends.
    void stopAccepting();

private:
    bool finished();
    int timeoutMs(Clock::time_point now) const;
    void wake();
    void takeMailbox(Clock::time_point now);
    void acceptAll(Clock::time_point now);
    void readFrom(Connection* c, Clock::time_point now);
    void complete(Connection* c, Clock::time_point now);
    void handOff(Connection* c, std::function<HttpResponse()> toolCall, Clock::time_point now);
    void respond(Connection* c, std::string answer, Clock::time_point now);
    void continueAnswer(Connection* c, Clock::time_point now);
    void linger(Connection* c, Clock::time_point now);
    void drain(Connection* c);
    void expire(Clock::time_point now);
    void destroy(Connection* c);
    void watch(Connection* c, std::uint32_t events);
    void setTimer(Connection* c, Clock::time_point at);
    void unlinkReading(Connection* c);

    // On a worker: writes the answer, closes, or hands the connection back.
    void finishOnWorker(Connection* c, std::string answer);

    const std::shared_ptr<Shared> shared_;
    const std::shared_ptr<WorkQueue> workers_;
    const AdmissionCheck admission_;
    const std::size_t toolCallLimit_;
    const int listenFd_;
    int epollFd_ = -1;
    int wakeFd_ = -1;

    // Loop thread only.
    bool listening_ = false;
    bool acceptPaused_ = false;
    bool stopping_ = false;
    Clock::time_point acceptResumeAt_;
    Connection* oldestReading_ = nullptr;
    Connection* newestReading_ = nullptr;
    std::multimap<Clock::time_point, Connection*> timers_;  // answering and draining connections
    char scratch_[kReceiveBufferBytes];

    // Shared with the server's thread and the workers.
    std::mutex mailbox_;
    std::condition_variable acknowledged_;
    bool stopRequested_ = false;
    bool listenerDropped_ = false;
    std::size_t withWorkers_ = 0;
    std::vector<Connection*> handedBack_;
};

LocalMcpServer::EventLoop::EventLoop(std::shared_ptr<Shared> shared, int listenFd)
    : shared_(std::move(shared)),
      workers_(shared_->workers),
      admission_(shared_->admissionCheck),
      toolCallLimit_(shared_->workerLimit + shared_->waitingLimit),
      listenFd_(listenFd) {
    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epollFd_ < 0 || wakeFd_ < 0) throw LocalMcpServerError(LocalMcpServerError::Kind::socketCreateFailed, errno);
    epoll_event wakeEvent{EPOLLIN, {.ptr = &kWakeTag}};
    // Every loop waits on the one listening socket; EPOLLEXCLUSIVE wakes one
    // of them per connection instead of all.
    epoll_event listenEvent{EPOLLIN | EPOLLEXCLUSIVE, {.ptr = &kListenTag}};
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &wakeEvent) != 0 ||
        ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, listenFd_, &listenEvent) != 0)
        throw LocalMcpServerError(LocalMcpServerError::Kind::socketCreateFailed, errno);
    listening_ = true;
}

LocalMcpServer::EventLoop::~EventLoop() {
    while (oldestReading_) destroy(oldestReading_);
    while (!timers_.empty()) destroy(timers_.begin()->second);
    for (Connection* c : handedBack_) delete c;
    if (epollFd_ >= 0) ::close(epollFd_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void LocalMcpServer::EventLoop::wake() {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = ::write(wakeFd_, &one, sizeof one);
}

void LocalMcpServer::EventLoop::stopAccepting() {
    std::unique_lock lock(mailbox_);
    stopRequested_ = true;
    wake();
    acknowledged_.wait(lock, [&] { return listenerDropped_; });
}

bool LocalMcpServer::EventLoop::finished() {
    if (!stopping_ || oldestReading_ || !timers_.empty()) return false;
    std::lock_guard lock(mailbox_);
    return withWorkers_ == 0 && handedBack_.empty();
}

void LocalMcpServer::EventLoop::run() {
    pthread_setname_np(pthread_self(), "palisor-mcp");
    epoll_event events[kEventBatch];
    while (!finished()) {
        int count = ::epoll_wait(epollFd_, events, kEventBatch, timeoutMs(Clock::now()));
        if (count < 0 && errno != EINTR) break;
        auto now = Clock::now();
        for (int i = 0; i < count; ++i) {
            void* tag = events[i].data.ptr;
            if (tag == &kWakeTag) {
                takeMailbox(now);
            } else if (tag == &kListenTag) {
                acceptAll(now);
            } else {
                auto* c = static_cast<Connection*>(tag);
                switch (c->stage) {
                    case Connection::Stage::reading: readFrom(c, now); break;
                    case Connection::Stage::answering: continueAnswer(c, now); break;
                    case Connection::Stage::draining: drain(c); break;
                }
            }
        }
        expire(Clock::now());
    }
    // Only a broken epoll ends the loop early; whoever waits must not hang.
    std::lock_guard lock(mailbox_);
    listenerDropped_ = true;
    acknowledged_.notify_all();
}

int LocalMcpServer::EventLoop::timeoutMs(Clock::time_point now) const {
    auto next = Clock::time_point::max();
    if (oldestReading_) next = oldestReading_->acceptedAt + shared_->requestDeadline.load();
    if (!timers_.empty()) next = std::min(next, timers_.begin()->first);
    if (acceptPaused_) next = std::min(next, acceptResumeAt_);
    if (next == Clock::time_point::max()) return -1;
    if (next <= now) return 0;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
    return static_cast<int>(std::min<std::int64_t>(ms, INT32_MAX));
}

void LocalMcpServer::EventLoop::takeMailbox(Clock::time_point now) {
    std::uint64_t count;
    [[maybe_unused]] ssize_t ignored = ::read(wakeFd_, &count, sizeof count);
    std::vector<Connection*> back;
    bool stop;
    {
        std::lock_guard lock(mailbox_);
        back.swap(handedBack_);
        stop = stopRequested_;
    }
    if (stop && !stopping_) {
        stopping_ = true;
        if (listening_ && !acceptPaused_) ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, listenFd_, nullptr);
        listening_ = false;
        acceptPaused_ = false;
        std::lock_guard lock(mailbox_);
        listenerDropped_ = true;
        acknowledged_.notify_all();
    }
    for (Connection* c : back) continueAnswer(c, now);
}

void LocalMcpServer::EventLoop::acceptAll(Clock::time_point now) {
    for (int i = 0; i < kAcceptBatch && listening_ && !acceptPaused_; ++i) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, listenFd_, nullptr);
                acceptPaused_ = true;
                acceptResumeAt_ = now + kAcceptPause;
            }
            return;
        }
        auto* c = new Connection(fd, now);
        if (admission_) {
            try {
                c->refusal = admission_(fd);
            } catch (...) {
                // A check that cannot decide does not let the connection in.
                delete c;
                continue;
            }
        }
        c->older = newestReading_;
        if (newestReading_) newestReading_->newer = c;
        else oldestReading_ = c;
        newestReading_ = c;
        // The request has often arrived with the connection.
        readFrom(c, now);
    }
}

void LocalMcpServer::EventLoop::readFrom(Connection* c, Clock::time_point now) {
    while (true) {
        ssize_t n = ::recv(c->fd, scratch_, sizeof scratch_, 0);
        if (n > 0) {
            c->request.append(scratch_, static_cast<std::size_t>(n));
            if (!c->expected) {
                std::size_t at = std::string_view(c->request).find(kHeaderTerminator, c->searchFrom);
                if (at != std::string_view::npos) c->expected = framedLength(c->request, at);
                else c->searchFrom = c->request.size() >= 3 ? c->request.size() - 3 : 0;
            }
            auto size = static_cast<std::int64_t>(c->request.size());
            // A request cut at the size limit is answered as it is.
            if ((c->expected && size >= *c->expected) || size >= kMaxRequestBytes) return complete(c, now);
            if (static_cast<std::size_t>(n) < sizeof scratch_) break;  // nothing more for now
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        // The client closed or failed before the request was complete: what
        // did arrive is answered, a connection that sent nothing gets nothing.
        if (c->request.empty()) return destroy(c);
        return complete(c, now);
    }
    if (!c->watching) watch(c, EPOLLIN);
}

void LocalMcpServer::EventLoop::unlinkReading(Connection* c) {
    (c->older ? c->older->newer : oldestReading_) = c->newer;
    (c->newer ? c->newer->older : newestReading_) = c->older;
    c->older = c->newer = nullptr;
}

void LocalMcpServer::EventLoop::complete(Connection* c, Clock::time_point now) {
    unlinkReading(c);
    c->stage = Connection::Stage::answering;
    if (c->refusal) return respond(c, std::move(c->refusal->data), now);
    EndpointContext context{shared_->port.load(), shared_->toolRouter.load(), shared_->activity.load()};
    if (c->request.size() > kLoopRouteBytes) {
        return handOff(c, [request = std::move(c->request), context] { return palisor::handleHttp(request, context); },
                       now);
    }
    RoutedRequest routed = routeHttp(c->request, context);
    std::string().swap(c->request);
    if (routed.answer) return respond(c, std::move(routed.answer->data), now);
    handOff(c, std::move(routed.toolCall), now);
}

void LocalMcpServer::EventLoop::handOff(Connection* c, std::function<HttpResponse()> toolCall, Clock::time_point now) {
    if (shared_->toolCalls.fetch_add(1) >= toolCallLimit_) {
        shared_->toolCalls.fetch_sub(1);
        return respond(c, busyAnswer(), now);
    }
    // The worker owns the connection until it is done with it.
    if (c->watching) {
        ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, c->fd, nullptr);
        c->watching = 0;
    }
    {
        std::lock_guard lock(mailbox_);
        ++withWorkers_;
    }
    workers_->post([loop = shared_from_this(), c, toolCall = std::move(toolCall)] {
        std::string answer;
        try {
            answer = toolCall().data;
        } catch (...) {
            answer = HttpResponse::json(500, {{"ok", false}, {"error", currentExceptionDescription()}}).data;
        }
        loop->shared_->toolCalls.fetch_sub(1);
        loop->finishOnWorker(c, std::move(answer));
    });
}

void LocalMcpServer::EventLoop::finishOnWorker(Connection* c, std::string answer) {
    c->answer = std::move(answer);
    SendResult sent = sendSome(*c);
    bool finishedHere = sent == SendResult::failed || (sent == SendResult::done && !hasPendingInput(c->fd));
    if (finishedHere) delete c;
    std::lock_guard lock(mailbox_);
    --withWorkers_;
    if (!finishedHere) {
        handedBack_.push_back(c);
        wake();
    } else if (stopRequested_) {
        wake();  // the loop may be waiting for its last connection
    }
}

void LocalMcpServer::EventLoop::respond(Connection* c, std::string answer, Clock::time_point now) {
    c->answer = std::move(answer);
    c->written = 0;
    continueAnswer(c, now);
}

void LocalMcpServer::EventLoop::continueAnswer(Connection* c, Clock::time_point now) {
    switch (sendSome(*c)) {
        case SendResult::failed: return destroy(c);
        case SendResult::done: return linger(c, now);
        case SendResult::blocked:
            if (!c->timer) setTimer(c, now + kAnswerWriteTime);
            if (c->watching != EPOLLOUT) watch(c, EPOLLOUT);
            return;
    }
}

void LocalMcpServer::EventLoop::linger(Connection* c, Clock::time_point now) {
    if (!hasPendingInput(c->fd)) return destroy(c);
    ::shutdown(c->fd, SHUT_WR);
    c->stage = Connection::Stage::draining;
    std::string().swap(c->answer);
    setTimer(c, now + kDrainTime);
    if (c->watching != EPOLLIN) watch(c, EPOLLIN);
}

void LocalMcpServer::EventLoop::drain(Connection* c) {
    while (true) {
        ssize_t n = ::recv(c->fd, scratch_, sizeof scratch_, 0);
        if (n > 0) {
            c->drained += static_cast<std::size_t>(n);
            if (c->drained >= kDrainBudget) return destroy(c);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        return destroy(c);
    }
}

void LocalMcpServer::EventLoop::expire(Clock::time_point now) {
    auto deadline = shared_->requestDeadline.load();
    // Not complete in time: closed without an answer.
    while (oldestReading_ && oldestReading_->acceptedAt + deadline <= now) destroy(oldestReading_);
    while (!timers_.empty() && timers_.begin()->first <= now) destroy(timers_.begin()->second);
    if (acceptPaused_ && now >= acceptResumeAt_) {
        acceptPaused_ = false;
        epoll_event listenEvent{EPOLLIN | EPOLLEXCLUSIVE, {.ptr = &kListenTag}};
        ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, listenFd_, &listenEvent);
    }
}

void LocalMcpServer::EventLoop::destroy(Connection* c) {
    if (c->stage == Connection::Stage::reading) unlinkReading(c);
    if (c->timer) timers_.erase(*c->timer);
    delete c;  // closing the descriptor also takes it out of the epoll set
}

void LocalMcpServer::EventLoop::watch(Connection* c, std::uint32_t events) {
    epoll_event event{events, {.ptr = c}};
    ::epoll_ctl(epollFd_, c->watching ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, c->fd, &event);
    c->watching = events;
}

void LocalMcpServer::EventLoop::setTimer(Connection* c, Clock::time_point at) {
    if (c->timer) timers_.erase(*c->timer);
    c->timer = timers_.emplace(at, c);
}

LocalMcpServerError::LocalMcpServerError(Kind kind, int systemError)
    : BridgeError(kindCode(kind)), kind_(kind), systemError_(systemError) {}

std::shared_ptr<LocalMcpServer> LocalMcpServer::create(std::uint16_t port, std::shared_ptr<McpToolRouter> toolRouter) {
    return std::shared_ptr<LocalMcpServer>(new LocalMcpServer(port, std::move(toolRouter)));
}

LocalMcpServer::LocalMcpServer(std::uint16_t port, std::shared_ptr<McpToolRouter> toolRouter)
    : shared_(std::make_shared<Shared>()) {
    shared_->port.store(port);
    shared_->toolRouter.store(std::move(toolRouter));
    setRequestLimits(kMaxRequestWorkers, kMaxWaitingRequests);
}

LocalMcpServer::~LocalMcpServer() { closeListener(); }

std::uint16_t LocalMcpServer::port() const { return shared_->port.load(); }
std::shared_ptr<McpToolRouter> LocalMcpServer::toolRouter() const { return shared_->toolRouter.load(); }
void LocalMcpServer::setToolRouter(std::shared_ptr<McpToolRouter> router) { shared_->toolRouter.store(std::move(router)); }
void LocalMcpServer::setActivityLog(std::shared_ptr<ActivityLog> log) { shared_->activity.store(std::move(log)); }
void LocalMcpServer::setRequestDeadline(std::chrono::milliseconds deadline) { shared_->requestDeadline.store(deadline); }
void LocalMcpServer::setAdmissionCheck(AdmissionCheck check) { shared_->admissionCheck = std::move(check); }

void LocalMcpServer::setRequestLimits(std::size_t workers, std::size_t waiting) {
    shared_->workerLimit = workers;
    shared_->waitingLimit = waiting;
    shared_->workers = std::make_shared<WorkQueue>("vn.palisor.bridge.native.mcp.requests", workers);
}

void LocalMcpServer::report(const std::string& status) const {
    if (onStatusChanged_) onStatusChanged_(status);
}

void LocalMcpServer::start() {
    if (isRunning_.load()) return;

    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) throw LocalMcpServerError(LocalMcpServerError::Kind::socketCreateFailed, errno);
    auto failWith = [fd](LocalMcpServerError::Kind kind) {
        int error = errno;
        ::close(fd);
        throw LocalMcpServerError(kind, error);
    };
    int yes = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0)
        failWith(LocalMcpServerError::Kind::socketOptionFailed);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(shared_->port.load());
    if (::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr) != 1)
        failWith(LocalMcpServerError::Kind::addressParseFailed);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        failWith(LocalMcpServerError::Kind::bindFailed);
    if (::listen(fd, 128) != 0) failWith(LocalMcpServerError::Kind::listenFailed);
    // Connections are handed out once their first bytes (or their end) have
    // arrived, so the loop reads the request at once instead of waiting for
    // it in another round. A client that sends nothing is held by the kernel
    // meanwhile, at no cost to us; best effort.
    int deferSeconds = 10;
    ::setsockopt(fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &deferSeconds, sizeof deferSeconds);
    if (shared_->port.load() == 0) {
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) == 0)
            shared_->port.store(ntohs(bound.sin_port));
    }

    std::vector<std::shared_ptr<EventLoop>> loops;
    try {
        for (std::size_t i = 0; i < kEventLoops; ++i) loops.push_back(std::make_shared<EventLoop>(shared_, fd));
    } catch (const LocalMcpServerError&) {
        loops.clear();
        ::close(fd);
        throw;
    }
    // Each loop thread keeps its loop until the last connection it accepted
    // is done, which may be after stop().
    for (auto& loop : loops) {
        try {
            std::thread([loop] { loop->run(); }).detach();
        } catch (const std::system_error& error) {
            for (auto& running : loops_) running->stopAccepting();
            loops_.clear();
            ::close(fd);
            throw LocalMcpServerError(LocalMcpServerError::Kind::socketCreateFailed, error.code().value());
        }
        loops_.push_back(loop);
    }
    socketFd_.store(fd);
    isRunning_.store(true);
    report("Bridge đang chạy tại http://127.0.0.1:" + std::to_string(shared_->port.load()) + "/mcp");
}

void LocalMcpServer::closeListener() {
    isRunning_.store(false);
    int fd = socketFd_.exchange(-1);
    // The descriptor is closed only after no loop waits on it any more, so none
    // ever accepts on a reused number.
    for (auto& loop : loops_) loop->stopAccepting();
    loops_.clear();
    if (fd >= 0) ::close(fd);
}

void LocalMcpServer::stop() {
    closeListener();
    report("Bridge đã dừng.");
}

HttpResponse LocalMcpServer::handleHttp(std::string_view data) const {
    return palisor::handleHttp(data, EndpointContext{shared_->port.load(), shared_->toolRouter.load(), shared_->activity.load()});
}

std::optional<std::int64_t> LocalMcpServer::expectedHttpRequestLength(std::string_view data) {
    std::size_t at = data.find(kHeaderTerminator);
    if (at == std::string_view::npos) return std::nullopt;
    return framedLength(data, at);
}

}  // namespace palisor
