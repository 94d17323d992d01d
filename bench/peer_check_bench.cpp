// What the endpoint's per-connection owner check costs: the kernel's socket
// diagnostics asked about the peer of an accepted loopback connection, alone
// and with many other connections open (an exact lookup, so the count of
// sockets on the machine should not matter), against a connection's own
// accept/answer/close for scale.
#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "bridge/common/socket_owner.h"
#include "bridge/mcp/peer_admission.h"

using namespace palisor;
using Clock = std::chrono::steady_clock;

namespace {

int listener(std::uint16_t& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopbackAddress(0);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd, 4096);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

// A connected pair: the client's end and the accepted one.
std::pair<int, int> connectPair(int listenFd, std::uint16_t port) {
    int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopbackAddress(port);
    ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return {client, ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC)};
}

template <typename F>
double microsecondsEach(int rounds, F&& work) {
    auto start = Clock::now();
    for (int i = 0; i < rounds; ++i) work();
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / rounds;
}

}  // namespace

int main() {
    rlimit files{65536, 65536};
    ::setrlimit(RLIMIT_NOFILE, &files);
    if (!socketOwnersKnown()) {
        std::puts("the kernel does not name socket owners here; nothing to measure");
        return 1;
    }
    std::uint16_t port = 0;
    int listenFd = listener(port);
    auto [client, accepted] = connectPair(listenFd, port);
    constexpr int kRounds = 20000;

    double check = microsecondsEach(kRounds, [&, fd = accepted] { (void)refusalForPeer(fd); });
    double listenerCheck = microsecondsEach(kRounds, [&] { (void)tcpListenerOwner(loopbackAddress(port)); });
    double connection = microsecondsEach(2000, [&] {
        auto [c, a] = connectPair(listenFd, port);
        ::close(a);
        ::close(c);
    });

    std::vector<int> open;
    for (int i = 0; i < 5000; ++i) {
        auto [c, a] = connectPair(listenFd, port);
        open.push_back(c);
        open.push_back(a);
    }
    double crowded = microsecondsEach(kRounds, [&, fd = accepted] { (void)refusalForPeer(fd); });

    std::printf("peer check per connection:            %6.1f us\n", check);
    std::printf("  with 10,000 more sockets open:      %6.1f us\n", crowded);
    std::printf("listener check (stdio, status):       %6.1f us\n", listenerCheck);
    std::printf("loopback connect+accept+close, scale: %6.1f us\n", connection);
    return 0;
}
