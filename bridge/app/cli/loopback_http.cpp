#include "bridge/app/cli/loopback_http.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "bridge/common/json.h"
#include "bridge/common/socket_owner.h"
#include "bridge/common/text.h"
#include "bridge/mcp/mcp_tool_contract.h"

namespace palisor {

namespace {

using Clock = std::chrono::steady_clock;

class Socket {
public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

int remainingMs(std::optional<Clock::time_point> deadline) {
    if (!deadline) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// Waits for `events` on the socket; false when the deadline passed first.
bool waitFor(int fd, short events, std::optional<Clock::time_point> deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        int ready = ::poll(&p, 1, remainingMs(deadline));
        if (ready > 0) return true;
        if (ready == 0) return false;
        if (errno != EINTR) return true;  // let the following call report the error
    }
}

void connectLoopback(int fd, std::uint16_t port, std::chrono::milliseconds connectTimeout) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EINPROGRESS) throw LoopbackHttpError("BRIDGE_NOT_RUNNING");
        if (!waitFor(fd, POLLOUT, Clock::now() + connectTimeout)) throw LoopbackHttpError("BRIDGE_NOT_RUNNING");
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
            throw LoopbackHttpError("BRIDGE_NOT_RUNNING");
    }
    ::fcntl(fd, F_SETFL, flags);
}

void sendAll(int fd, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw LoopbackHttpError("BRIDGE_CONNECTION_LOST");
        sent += static_cast<std::size_t>(n);
    }
}

std::optional<std::size_t> contentLength(std::string_view head) {
    for (std::string_view line : splitKeepingEmpty(head, "\r\n")) {
        auto colon = line.find(':');
        if (colon == std::string_view::npos || asciiLower(line.substr(0, colon)) != "content-length") continue;
        auto value = parseDecimalInteger(trim(line.substr(colon + 1)));
        if (value && *value >= 0) return static_cast<std::size_t>(*value);
    }
    return std::nullopt;
}

}  // namespace

LoopbackAnswer loopbackExchange(std::uint16_t port, const std::string& method, const std::string& path,
                                const std::string& body, std::chrono::milliseconds connectTimeout,
                                std::optional<std::chrono::milliseconds> readTimeout) {
    // Whoever holds the port receives the request, and the agents' calls with
    // it: only a listener of this user's own is trusted with them.
    if (auto other = otherUserOnPort(port))
        throw LoopbackHttpError(std::string(kOtherUserCode) + ":" + std::to_string(*other));
    Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (socket.fd() < 0) throw LoopbackHttpError("BRIDGE_NOT_RUNNING");
    connectLoopback(socket.fd(), port, connectTimeout);

    std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nAccept: application/json\r\nConnection: close\r\n";
    if (method != "GET") request += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    request += "\r\n";
    if (method != "GET") request += body;
    sendAll(socket.fd(), request);

    std::optional<Clock::time_point> deadline;
    if (readTimeout) deadline = Clock::now() + *readTimeout;
    std::string received;
    std::size_t headEnd = std::string::npos;
    std::optional<std::size_t> length;
    char buffer[16384];
    for (;;) {
        if (headEnd != std::string::npos && length && received.size() >= headEnd + 4 + *length) break;
        if (!waitFor(socket.fd(), POLLIN, deadline)) throw LoopbackHttpError("BRIDGE_TIMED_OUT");
        ssize_t n = ::recv(socket.fd(), buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // Without a Content-Length the answer ends where the connection does.
            if (n == 0 && headEnd != std::string::npos && !length) break;
            throw LoopbackHttpError("BRIDGE_CONNECTION_LOST");
        }
        received.append(buffer, static_cast<std::size_t>(n));
        if (headEnd == std::string::npos) {
            headEnd = received.find("\r\n\r\n");
            if (headEnd != std::string::npos) length = contentLength(std::string_view(received).substr(0, headEnd));
        }
    }

    LoopbackAnswer answer;
    // "HTTP/1.1 200 OK"
    auto space = received.find(' ');
    if (space == std::string::npos || space > headEnd) throw LoopbackHttpError("BRIDGE_CONNECTION_LOST");
    auto status = parseDecimalInteger(std::string_view(received).substr(space + 1, 3));
    if (!status) throw LoopbackHttpError("BRIDGE_CONNECTION_LOST");
    answer.status = static_cast<int>(*status);
    answer.body = received.substr(headEnd + 4, length ? *length : std::string::npos);
    return answer;
}

std::optional<uid_t> otherUserOnPort(std::uint16_t port) {
    SocketOwner listener = tcpListenerOwner(loopbackAddress(port));
    if (listener.status == SocketOwner::Status::owned && listener.uid != ::geteuid()) return listener.uid;
    return std::nullopt;
}

std::string otherUserOnPortAdvice(std::uint16_t port, uid_t uid) {
    std::string where = "127.0.0.1:" + std::to_string(port);
    return "Cổng " + where + " do một người dùng khác (uid " + std::to_string(uid) +
           ") mở, không phải bridge của bạn; không gửi gì tới đó. Dừng chương trình đó (sudo ss -ltnpe 'sport = :" +
           std::to_string(port) + "' cho biết là chương trình nào), hoặc chạy bridge và agent trên cổng khác bằng "
           "PALISOR_BRIDGE_PORT.";
}

bool bridgeAnswers(std::uint16_t port) {
    try {
        LoopbackAnswer answer =
            loopbackExchange(port, "GET", "/health", "", std::chrono::seconds(1), std::chrono::seconds(2));
        auto health = parseJson(answer.body);
        // Another program on the port may answer /health too; ours names itself.
        return answer.status == 200 && health && optBool(*health, "ok").value_or(false) &&
               optString(*health, "service") == McpToolContract::serverName;
    } catch (const LoopbackHttpError&) {
        return false;
    }
}

}  // namespace palisor
