#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/activity/activity_log.h"
#include "bridge/common/bridge_error.h"
#include "bridge/mcp/http_response.h"
#include "bridge/mcp/mcp_tool_router.h"

namespace palisor {

class LocalMcpServerError : public BridgeError {
public:
    enum class Kind { socketCreateFailed, socketOptionFailed, addressParseFailed, bindFailed, listenFailed };

    LocalMcpServerError(Kind kind, int systemError);
    Kind kind() const noexcept { return kind_; }
    // errno of the failed call, for a human-readable hint next to the code.
    int systemError() const noexcept { return systemError_; }

private:
    Kind kind_;
    int systemError_;
};

// The bridge's only listening endpoint: HTTP/1.1 on 127.0.0.1, one request per
// connection, no keep-alive, no TLS. Event loops accept connections and read
// their requests; a request is answered where it was read unless it calls a
// tool, which may block on the authority for minutes and therefore runs on a
// bounded pool of workers. A slow or silent client costs a few hundred bytes
// and never a thread.
class LocalMcpServer : public std::enable_shared_from_this<LocalMcpServer> {
public:
    static constexpr std::uint16_t kDefaultPort = 47621;
    static constexpr std::int64_t kMaxRequestBytes = 2 * 1024 * 1024;
    static constexpr std::size_t kReceiveBufferBytes = 16384;
    // Enough workers for many tool calls blocked on the authority at once.
    static constexpr std::size_t kMaxRequestWorkers = 128;
    // Complete tool calls that may wait for a free worker; one more is
    // answered 503 BRIDGE_BUSY at once instead of waiting without limit.
    static constexpr std::size_t kMaxWaitingRequests = 1024;
    // Each loop accepts, reads and answers its own connections. Two keep up
    // with what the kernel does for loopback connections on a small machine.
    static constexpr std::size_t kEventLoops = 2;

    using StatusCallback = std::function<void(const std::string&)>;
    // Decides on a freshly accepted connection before anything is read from it:
    // nothing to serve it, or the answer it gets instead of its request's
    // (a 403 with a JSON error, say). Runs on an event loop, so it must be quick.
    using AdmissionCheck = std::function<std::optional<HttpResponse>(int clientFd)>;

    // Port 0 binds an ephemeral port (tests); port() then gives the bound one.
    static std::shared_ptr<LocalMcpServer> create(std::uint16_t port = kDefaultPort,
                                                  std::shared_ptr<McpToolRouter> toolRouter = nullptr);
    ~LocalMcpServer();

    LocalMcpServer(const LocalMcpServer&) = delete;
    LocalMcpServer& operator=(const LocalMcpServer&) = delete;

    // Opens the socket and starts accepting. A no-op while running.
    void start();
    // Closes the listening socket and reports "Bridge đã dừng.", running or not.
    // Connections already accepted are still read and answered.
    void stop();

    bool isRunning() const { return isRunning_.load(); }
    std::uint16_t port() const;
    int socketFd() const { return socketFd_.load(); }

    // Installed by the owner before start().
    void setOnStatusChanged(StatusCallback callback) { onStatusChanged_ = std::move(callback); }
    // Installed before start(); by default, refusalForPeer: connections of
    // other local users are refused. An empty check admits every connection.
    void setAdmissionCheck(AdmissionCheck check);
    // Workers for tool calls and how many complete tool calls may wait for
    // one; set before start().
    void setRequestLimits(std::size_t workers, std::size_t waiting);

    std::shared_ptr<McpToolRouter> toolRouter() const;
    void setToolRouter(std::shared_ptr<McpToolRouter> router);
    // Where each tool call leaves its record; null (the default) records nothing.
    void setActivityLog(std::shared_ptr<ActivityLog> log);

    // A connection whose request is not complete this long after it was
    // accepted is closed without an answer, however slowly it trickles in.
    void setRequestDeadline(std::chrono::milliseconds deadline);

    HttpResponse handleHttp(std::string_view data) const;

    // Request framing: absent until CR LF CR LF has arrived; then the header
    // length plus the Content-Length value (0 when missing, negative or not a
    // number).
    static std::optional<std::int64_t> expectedHttpRequestLength(std::string_view data);

    struct Shared;
    class EventLoop;

private:
    LocalMcpServer(std::uint16_t port, std::shared_ptr<McpToolRouter> toolRouter);

    void closeListener();
    void report(const std::string& status) const;

    std::atomic<bool> isRunning_{false};
    std::atomic<int> socketFd_{-1};
    StatusCallback onStatusChanged_;
    // What the event loops and workers use; they keep it, never the server.
    std::shared_ptr<Shared> shared_;
    std::vector<std::shared_ptr<EventLoop>> loops_;
};

}  // namespace palisor
