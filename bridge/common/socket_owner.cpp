#include "bridge/common/socket_owner.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace palisor {

namespace {

// Each thread keeps one netlink socket: opening and binding one per question
// would cost about as much as the question itself.
class DiagnosticsSocket {
public:
    ~DiagnosticsSocket() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() {
        if (fd_ < 0) fd_ = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
        return fd_;
    }
    void drop() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

thread_local DiagnosticsSocket diagnostics;

// One question to the kernel about the socket with exactly this address pair.
// A request without NLM_F_DUMP is answered from the connection tables'
// hashes, as an incoming packet would be matched: the cost does not grow with
// the number of sockets on the machine.
SocketOwner askKernel(const sockaddr_in& local, const sockaddr_in& remote, bool listenerOnly) {
    int fd = diagnostics.get();
    if (fd < 0) return {};

    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    static std::atomic<std::uint32_t> sequence{1};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.header.nlmsg_seq = sequence.fetch_add(1, std::memory_order_relaxed);
    message.request.sdiag_family = AF_INET;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0u;
    message.request.id.idiag_sport = local.sin_port;
    message.request.id.idiag_dport = remote.sin_port;
    message.request.id.idiag_src[0] = local.sin_addr.s_addr;
    message.request.id.idiag_dst[0] = remote.sin_addr.s_addr;
    message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    SocketOwner owner;
    // The kernel answers while handling the request, so the answer is queued
    // by the time sendto returns and the read never has to wait.
    alignas(nlmsghdr) char answer[8192];
    ssize_t sent = ::sendto(fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
    ssize_t n = sent == static_cast<ssize_t>(sizeof message) ? ::recv(fd, answer, sizeof answer, MSG_DONTWAIT) : -1;
    const auto* reply = reinterpret_cast<const nlmsghdr*>(answer);
    if (n < static_cast<ssize_t>(sizeof(nlmsghdr)) || !NLMSG_OK(reply, static_cast<unsigned>(n)) ||
        reply->nlmsg_seq != message.header.nlmsg_seq) {
        // Whatever went wrong (an overrun queue, a stray answer), the next
        // question starts on a fresh socket.
        diagnostics.drop();
        return owner;
    }
    if (reply->nlmsg_type == NLMSG_ERROR) {
        if (reply->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return owner;
        const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(reply));
        if (error->error == -ENOENT) owner.status = SocketOwner::Status::absent;
        return owner;
    }
    if (reply->nlmsg_type != SOCK_DIAG_BY_FAMILY || reply->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
        return owner;
    const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(reply));
    if (listenerOnly && found->idiag_state != TCP_LISTEN) {
        owner.status = SocketOwner::Status::absent;
    } else if (found->idiag_inode == 0) {
        // A socket its program has let go of (closing, time-wait) has no inode,
        // and the kernel reports uid 0 for it: that is no owner, not root.
        owner.status = SocketOwner::Status::closed;
    } else {
        owner.status = SocketOwner::Status::owned;
        owner.uid = static_cast<uid_t>(found->idiag_uid);
    }
    return owner;
}

}  // namespace

sockaddr_in loopbackAddress(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

SocketOwner tcpSocketOwner(const sockaddr_in& local, const sockaddr_in& remote) {
    return askKernel(local, remote, false);
}

SocketOwner tcpListenerOwner(const sockaddr_in& local) {
    sockaddr_in anyone{};
    anyone.sin_family = AF_INET;
    return askKernel(local, anyone, true);
}

SocketOwner connectedPeerOwner(int fd) {
    sockaddr_in ours{}, theirs{};
    socklen_t ourLength = sizeof ours, theirLength = sizeof theirs;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ours), &ourLength) != 0 || ours.sin_family != AF_INET) return {};
    // No peer address: the connection was reset before we looked.
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&theirs), &theirLength) != 0 || theirs.sin_family != AF_INET)
        return {SocketOwner::Status::closed, 0};
    SocketOwner peer = tcpSocketOwner(theirs, ours);
    if (peer.status != SocketOwner::Status::absent) return peer;
    // "Absent" is also how a kernel without TCP diagnostics answers; our own
    // end tells the two apart.
    if (tcpSocketOwner(ours, theirs).status == SocketOwner::Status::owned) return {SocketOwner::Status::closed, 0};
    return peer;
}

bool socketOwnersKnown() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in address = loopbackAddress(0);
    socklen_t length = sizeof address;
    bool known = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd, 1) == 0 &&
                 ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    if (known) {
        SocketOwner owner = tcpListenerOwner(address);
        known = owner.status == SocketOwner::Status::owned && owner.uid == ::geteuid();
    }
    ::close(fd);
    return known;
}

}  // namespace palisor
