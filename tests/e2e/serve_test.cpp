// Starts the real program as a user would and talks to it over HTTP.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>

#include "bridge/common/socket_owner.h"
#include "tests/support/bridge_process.h"
#include "tests/support/http_client.h"
#include "tests/support/temp_dir.h"
#include "tools/dev-authority/dev_authority.h"

namespace palisor {
namespace {

using test::BridgeProcess;

// The datagram socket a service manager hands a Type=notify service in
// NOTIFY_SOCKET.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : path(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (fd_ < 0 || path.size() >= sizeof address.sun_path) throw std::runtime_error("notify socket");
        std::memcpy(address.sun_path, path.c_str(), path.size());
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot bind " + path);
    }
    ~NotifySocket() { ::close(fd_); }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    // The next message, or nothing when none came in time.
    std::optional<std::string> receive(std::chrono::milliseconds limit) {
        pollfd ready{fd_, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(limit.count())) != 1) return std::nullopt;
        char buffer[4096];
        ssize_t length = ::recv(fd_, buffer, sizeof buffer, 0);
        if (length < 0) return std::nullopt;
        return std::string(buffer, static_cast<std::size_t>(length));
    }

    const std::string path;

private:
    int fd_ = -1;
};

// As a systemd Type=notify service: READY=1 only once the endpoint answers,
// STOPPING=1 when a SIGTERM begins the stop. (The clean exit after it and the
// status lines are followed by the command line's and the delegate's tests.)
TEST(ServeCommand, ServesMcpUntilTerminatedAndTellsTheServiceManager) {
    dev::DevAuthority authority;
    authority.start();
    test::TempDir dir;
    NotifySocket manager(dir.file("notify"));
    std::uint16_t port = test::freePort();
    BridgeProcess bridge(port, {"PALISOR_BRIDGE_AUTHORITY=" + authority.origin(), "NOTIFY_SOCKET=" + manager.path,
                                "PALISOR_BRIDGE_DISABLE_SETTINGS_PERSISTENCE=1"});
    auto ready = manager.receive(std::chrono::seconds(20));
    ASSERT_TRUE(ready) << bridge.output;
    EXPECT_EQ(*ready, "READY=1");
    // Whatever the manager starts on READY=1 may call at once: no retry here.
    EXPECT_EQ(test::parseResponse(test::get(port, "/health")).status, 200);
    EXPECT_FALSE(manager.receive(std::chrono::milliseconds(300))) << "a second message while running";

    bridge.signal(SIGTERM);
    auto stopping = manager.receive(std::chrono::seconds(20));
    ASSERT_TRUE(stopping) << bridge.output;
    EXPECT_EQ(*stopping, "STOPPING=1");
}

// A taken port says who holds it: a bridge of this user that answers, or
// another program. A bridge that cannot open its port fails its start and
// never tells the service manager it is ready.
TEST(ServeCommand, ATakenPortIsReportedAndFails) {
    std::uint16_t port = test::freePort();
    BridgeProcess first(port);
    ASSERT_TRUE(first.waitForOutput("Bridge đang chạy")) << first.output;

    test::TempDir dir;
    NotifySocket manager(dir.file("notify"));
    BridgeProcess second(port, {"NOTIFY_SOCKET=" + manager.path});
    EXPECT_EQ(second.waitForExit(), 1);
    EXPECT_NE(second.output.find("Không thể mở bridge local: BIND_FAILED"), std::string::npos) << second.output;
    EXPECT_NE(second.output.find("Một Palisor bridge của bạn đã chạy tại http://127.0.0.1:" + std::to_string(port) +
                                 "/mcp; agent dùng được bridge đó"),
              std::string::npos)
        << second.output;
    std::vector<std::string> messages;
    while (auto message = manager.receive(std::chrono::milliseconds(100))) messages.push_back(*message);
    EXPECT_EQ(std::count(messages.begin(), messages.end(), "READY=1"), 0);
    first.signal(SIGINT);
    EXPECT_EQ(first.waitForExit(), 0);

    // A listener that is no bridge: it never answers /health.
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopbackAddress(0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 8), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    BridgeProcess third(ntohs(address.sin_port));
    EXPECT_EQ(third.waitForExit(), 1);
    EXPECT_NE(third.output.find(" do một chương trình khác (không phải Palisor bridge) giữ; "), std::string::npos)
        << third.output;
    ::close(listener);
}

}  // namespace
}  // namespace palisor
