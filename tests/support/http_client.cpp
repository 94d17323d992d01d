#include "tests/support/http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

namespace palisor::test {

int connectTo(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string httpExchange(std::uint16_t port, const RawExchange& request) {
    int fd = connectTo(port);
    if (fd < 0) throw std::runtime_error("cannot connect to port " + std::to_string(port));
    for (std::size_t i = 0; i < request.pieces.size(); ++i) {
        if (i > 0) std::this_thread::sleep_for(request.pauseBetween);
        const std::string& piece = request.pieces[i];
        std::size_t sent = 0;
        while (sent < piece.size()) {
            ssize_t n = ::send(fd, piece.data() + sent, piece.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
    }
    std::string answer;
    char buffer[65536];
    auto deadline = std::chrono::steady_clock::now() + request.readTimeout;
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return answer;
}

std::string httpExchange(std::uint16_t port, const std::string& request) {
    return httpExchange(port, RawExchange{{request}});
}

std::string post(std::uint16_t port, const std::string& path, const std::string& body) {
    return httpExchange(port, "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n" +
                              "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
}

std::string get(std::uint16_t port, const std::string& path) {
    return httpExchange(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
}

ParsedResponse parseResponse(const std::string& raw) {
    ParsedResponse parsed;
    std::size_t headEnd = raw.find("\r\n\r\n");
    parsed.head = raw.substr(0, headEnd);
    parsed.statusLine = raw.substr(0, raw.find("\r\n"));
    if (parsed.statusLine.size() >= 12) parsed.status = std::stoi(parsed.statusLine.substr(9, 3));
    if (headEnd != std::string::npos) parsed.body = raw.substr(headEnd + 4);
    parsed.json = JsonValue::parse(parsed.body, nullptr, false);
    return parsed;
}

std::uint16_t freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

}  // namespace palisor::test
