#include "bridge/common/socket_owner.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

namespace palisor {
namespace {

using Status = SocketOwner::Status;

// A peer that has let go of its socket leaves the kernel an entry without an
// owner (reported as uid 0): that is nobody, never root, nor this user.
TEST(SocketOwner, NamesTheOwnerOfEachEndAndNobodyForAPeerThatHasGone) {
    if (!socketOwnersKnown()) GTEST_SKIP() << "the kernel does not name socket owners here";
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopbackAddress(0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 8), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    SocketOwner listening = tcpListenerOwner(address);
    EXPECT_EQ(listening.status, Status::owned);
    EXPECT_EQ(listening.uid, ::geteuid());

    for (bool reset : {false, true}) {
        int client = ::socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        int accepted = ::accept(listener, nullptr, nullptr);
        SocketOwner peer = connectedPeerOwner(accepted);
        EXPECT_EQ(peer.status, Status::owned);
        EXPECT_EQ(peer.uid, ::geteuid());
        linger hard{1, 0};
        if (reset) ::setsockopt(client, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ::close(client);
        usleep(20000);
        EXPECT_EQ(connectedPeerOwner(accepted).status, Status::closed) << (reset ? "reset" : "closed");
        ::close(accepted);
    }
    ::close(listener);
    // Nobody listens there any more.
    EXPECT_EQ(tcpListenerOwner(address).status, Status::absent);
}

}  // namespace
}  // namespace palisor
