#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>

namespace palisor {

// Who owns a TCP socket on this machine, as the kernel's socket diagnostics
// tell it (netlink sock_diag, what `ss -e` shows as "uid:").
struct SocketOwner {
    enum class Status {
        owned,        // `uid` created the socket and still holds it
        closed,       // the socket is there, but its program has closed it: no owner left
        absent,       // no such socket (or, on some kernels, no TCP diagnostics at all)
        unavailable,  // the kernel's socket diagnostics cannot be asked here
    };
    Status status = Status::unavailable;
    uid_t uid = 0;  // for `owned` only
};

// The IPv4 TCP socket whose own address is exactly `local` and whose peer is
// exactly `remote`.
SocketOwner tcpSocketOwner(const sockaddr_in& local, const sockaddr_in& remote);

// The socket listening on `local` that a connection to it would reach (a
// listener on the wildcard address included). Anything but a listener counts
// as absent.
SocketOwner tcpListenerOwner(const sockaddr_in& local);

// The owner of the other end of a connected loopback TCP socket. A peer that
// has gone (closed, reset, or not on this machine) is `closed` when the kernel
// can vouch for our own end, so that `absent` and `unavailable` keep meaning
// that the kernel cannot tell.
SocketOwner connectedPeerOwner(int fd);

// Whether the kernel names socket owners here: a throwaway listener on
// 127.0.0.1 is looked up. False where netlink sock_diag is refused or missing.
bool socketOwnersKnown();

sockaddr_in loopbackAddress(std::uint16_t port);

}  // namespace palisor
