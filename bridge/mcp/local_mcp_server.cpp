#include "bridge/mcp/local_mcp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "bridge/common/text.h"
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

void closeClient(int fd) {
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
}

void sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        // MSG_NOSIGNAL: a peer that has gone away must not end the process.
        ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

// Closing a socket that still has unread input makes the kernel send a reset,
// which can destroy the answer before the client reads it (an upload cut at
// the size limit). Finish our side first and drain the rest for a short while.
void closeAfterAnswer(int fd) {
    char probe;
    ssize_t pending = ::recv(fd, &probe, 1, MSG_DONTWAIT | MSG_PEEK);
    if (pending <= 0) {
        closeClient(fd);
        return;
    }
    ::shutdown(fd, SHUT_WR);
    constexpr std::size_t kDrainBudget = 8 * 1024 * 1024;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    std::size_t drained = 0;
    char sink[16384];
    while (drained < kDrainBudget) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        ssize_t n = ::recv(fd, sink, sizeof sink, 0);
        if (n <= 0) break;
        drained += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

}  // namespace

LocalMcpServerError::LocalMcpServerError(Kind kind, int systemError)
    : BridgeError(kindCode(kind)), kind_(kind), systemError_(systemError) {}

std::shared_ptr<LocalMcpServer> LocalMcpServer::create(std::uint16_t port, std::shared_ptr<McpToolRouter> toolRouter) {
    return std::shared_ptr<LocalMcpServer>(new LocalMcpServer(port, std::move(toolRouter)));
}

LocalMcpServer::LocalMcpServer(std::uint16_t port, std::shared_ptr<McpToolRouter> toolRouter)
    : port_(port),
      toolRouter_(std::move(toolRouter)),
      requestQueue_(std::make_unique<WorkQueue>("vn.palisor.bridge.native.mcp.requests", kMaxRequestWorkers)) {}

LocalMcpServer::~LocalMcpServer() { closeListener(); }

void LocalMcpServer::report(const std::string& status) const {
    if (onStatusChanged_) onStatusChanged_(status);
}

void LocalMcpServer::start() {
    if (isRunning_.load()) return;
    // A previous accept loop has seen its socket shut down; collect it.
    if (acceptThread_.joinable()) acceptThread_.join();

    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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
    address.sin_port = htons(port_.load());
    if (::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr) != 1)
        failWith(LocalMcpServerError::Kind::addressParseFailed);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        failWith(LocalMcpServerError::Kind::bindFailed);
    if (::listen(fd, 128) != 0) failWith(LocalMcpServerError::Kind::listenFailed);
    if (port_.load() == 0) {
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) == 0) port_.store(ntohs(bound.sin_port));
    }

    socketFd_.store(fd);
    isRunning_.store(true);
    report("Bridge đang chạy tại http://127.0.0.1:" + std::to_string(port_.load()) + "/mcp");
    acceptThread_ = std::thread([this, fd] { acceptLoop(fd); });
}

void LocalMcpServer::acceptLoop(int listenFd) {
    pthread_setname_np(pthread_self(), "palisor-mcp");
    std::weak_ptr<LocalMcpServer> weak = weak_from_this();
    while (isRunning_.load()) {
        int client = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            // Out of descriptors or memory: back off instead of spinning.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        requestQueue_->post([weak, client] {
            if (auto self = weak.lock()) {
                self->handle(client);
            } else {
                closeClient(client);
            }
        });
    }
}

void LocalMcpServer::closeListener() {
    isRunning_.store(false);
    int fd = socketFd_.exchange(-1);
    // shutdown wakes the thread blocked in accept; the descriptor is closed only
    // after that thread is gone, so it never accepts on a reused number.
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
    if (acceptThread_.joinable() && acceptThread_.get_id() != std::this_thread::get_id()) acceptThread_.join();
    if (fd >= 0) ::close(fd);
}

void LocalMcpServer::stop() {
    closeListener();
    report("Bridge đã dừng.");
}

HttpResponse LocalMcpServer::handleHttp(std::string_view data) const {
    return palisor::handleHttp(data, EndpointContext{port_.load(), toolRouter_.load()});
}

std::optional<std::int64_t> LocalMcpServer::expectedHttpRequestLength(std::string_view data) {
    std::size_t at = data.find(kHeaderTerminator);
    if (at == std::string_view::npos) return std::nullopt;
    return framedLength(data, at);
}

void LocalMcpServer::handle(int clientFd) {
    const std::optional<HttpResponse> refusal = refusalForPeer(clientFd);
    const auto deadline = std::chrono::steady_clock::now() + requestDeadline_.load();
    std::string request;
    char chunk[kReceiveBufferBytes];
    std::optional<std::int64_t> expected;
    std::size_t searchFrom = 0;  // the terminator search resumes where it left off
    bool timedOut = false;

    while (static_cast<std::int64_t>(request.size()) < kMaxRequestBytes) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd p{clientFd, POLLIN, 0};
        int ready = ::poll(&p, 1, static_cast<int>(std::min<std::int64_t>(left.count(), INT32_MAX)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            timedOut = true;
            break;
        }
        if (ready < 0) break;
        ssize_t n = ::recv(clientFd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        request.append(chunk, static_cast<std::size_t>(n));
        if (!expected) {
            std::size_t at = std::string_view(request).find(kHeaderTerminator, searchFrom);
            if (at != std::string_view::npos) {
                expected = framedLength(request, at);
            } else {
                searchFrom = request.size() >= 3 ? request.size() - 3 : 0;
            }
        }
        if (expected && static_cast<std::int64_t>(request.size()) >= *expected) break;
    }

    if (timedOut || request.empty()) {
        closeClient(clientFd);
        return;
    }
    HttpResponse response = refusal ? *refusal : handleHttp(request);
    sendAll(clientFd, response.data);
    closeAfterAnswer(clientFd);
}

}  // namespace palisor
