#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "bridge/common/bridge_error.h"
#include "bridge/common/work_queue.h"
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
// connection, no keep-alive, no TLS. Accepting runs on one thread; each
// connection is served on a pool so that many tool calls can block at once.
class LocalMcpServer : public std::enable_shared_from_this<LocalMcpServer> {
public:
    static constexpr std::uint16_t kDefaultPort = 47621;
    static constexpr std::int64_t kMaxRequestBytes = 2 * 1024 * 1024;
    static constexpr std::size_t kReceiveBufferBytes = 16384;
    // Enough workers for many tool calls blocked on the authority at once.
    static constexpr std::size_t kMaxRequestWorkers = 128;

    using StatusCallback = std::function<void(const std::string&)>;

    // Port 0 binds an ephemeral port (tests); port() then gives the bound one.
    static std::shared_ptr<LocalMcpServer> create(std::uint16_t port = kDefaultPort,
                                                  std::shared_ptr<McpToolRouter> toolRouter = nullptr);
    ~LocalMcpServer();

    LocalMcpServer(const LocalMcpServer&) = delete;
    LocalMcpServer& operator=(const LocalMcpServer&) = delete;

    // Opens the socket and starts accepting. A no-op while running.
    void start();
    // Closes the listening socket and reports "Bridge đã dừng.", running or not.
    // Connections already accepted are still answered.
    void stop();

    bool isRunning() const { return isRunning_.load(); }
    std::uint16_t port() const { return port_.load(); }
    int socketFd() const { return socketFd_.load(); }
    std::int64_t maxRequestBytes() const { return kMaxRequestBytes; }

    // Installed by the owner before start().
    void setOnStatusChanged(StatusCallback callback) { onStatusChanged_ = std::move(callback); }

    std::shared_ptr<McpToolRouter> toolRouter() const { return toolRouter_.load(); }
    void setToolRouter(std::shared_ptr<McpToolRouter> router) { toolRouter_.store(std::move(router)); }

    // A connection whose request is not complete this long after it was
    // accepted is closed without an answer, however slowly it trickles in.
    void setRequestDeadline(std::chrono::milliseconds deadline) { requestDeadline_.store(deadline); }

    HttpResponse handleHttp(std::string_view data) const;

    // Request framing: absent until CR LF CR LF has arrived; then the header
    // length plus the Content-Length value (0 when missing, negative or not a
    // number).
    static std::optional<std::int64_t> expectedHttpRequestLength(std::string_view data);

private:
    LocalMcpServer(std::uint16_t port, std::shared_ptr<McpToolRouter> toolRouter);

    void acceptLoop(int listenFd);
    void handle(int clientFd);
    void closeListener();
    void report(const std::string& status) const;

    std::atomic<std::uint16_t> port_;
    std::atomic<std::shared_ptr<McpToolRouter>> toolRouter_;
    std::atomic<bool> isRunning_{false};
    std::atomic<int> socketFd_{-1};
    std::atomic<std::chrono::milliseconds> requestDeadline_{std::chrono::seconds(30)};
    StatusCallback onStatusChanged_;
    std::thread acceptThread_;  // the serial accept queue
    std::unique_ptr<WorkQueue> requestQueue_;
};

}  // namespace palisor
