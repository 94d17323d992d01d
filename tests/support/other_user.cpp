#include "tests/support/other_user.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bridge/common/socket_owner.h"

namespace palisor::test {

namespace {
constexpr const char* kSetpriv = "/usr/bin/setpriv";
}

std::string whyNoOtherUser() {
    if (::geteuid() != 0) return "acting as another user needs the tests to run as root";
    if (::access(kSetpriv, X_OK) != 0) return "setpriv is not installed";
    if (!socketOwnersKnown()) return "the kernel does not name socket owners here (netlink sock_diag)";
    return {};
}

std::vector<std::string> asNobody(const std::vector<std::string>& command) {
    std::vector<std::string> all = {kSetpriv, "--reuid=" + std::to_string(kNobody),
                                    "--regid=" + std::to_string(kNobody), "--clear-groups"};
    all.insert(all.end(), command.begin(), command.end());
    return all;
}

NobodysListener::NobodysListener(std::uint16_t port) {
    int ready[2], received[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return;
    if (::pipe2(received, O_CLOEXEC | O_NONBLOCK) != 0) {
        ::close(ready[0]), ::close(ready[1]);
        return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        // Only system calls from here on: the test process has other threads.
        if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
            ::setresuid(kNobody, kNobody, kNobody) != 0)
            ::_exit(1);
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = loopbackAddress(port);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0)
            ::_exit(1);
        (void)!::write(ready[1], "r", 1);
        static const char kAnswer[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}";
        for (;;) {
            int client = ::accept(fd, nullptr, nullptr);
            if (client < 0) continue;
            char buffer[4096];
            pollfd p{client, POLLIN, 0};
            if (::poll(&p, 1, 2000) > 0 && ::recv(client, buffer, sizeof buffer, 0) > 0) {
                (void)!::write(received[1], "b", 1);
                (void)!::send(client, kAnswer, sizeof kAnswer - 1, MSG_NOSIGNAL);
            }
            ::close(client);
        }
    }
    ::close(ready[1]);
    ::close(received[1]);
    received_ = received[0];
    char byte;
    listening_ = pid_ > 0 && ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
}

NobodysListener::~NobodysListener() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (received_ >= 0) ::close(received_);
}

bool NobodysListener::receivedBytes() const {
    char byte;
    return ::read(received_, &byte, 1) == 1;
}

}  // namespace palisor::test
