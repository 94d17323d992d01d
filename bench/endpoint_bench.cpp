// The load-free side of bench/endpoint:
//   bare PORT      a bare two-thread accept/read/answer/close loop that answers
//                  tools/list with the bridge's own bytes: the ceiling the
//                  bridge is measured against
//   held PORT N    /health latency, alone and while N connections sit on half
//                  a request each
//   costs          what the pieces of one request cost in the bridge process:
//                  framing, routing, and handing a tool call to a worker
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bridge/common/work_queue.h"
#include "bridge/mcp/local_mcp_server.h"
#include "bridge/mcp/routes.h"

using namespace palisor;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kToolsListBody = R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})";

std::string toolsListRequest() {
    return "POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Type: application/json\r\n"
           "Content-Length: " + std::to_string(kToolsListBody.size()) + "\r\n\r\n" + kToolsListBody;
}

int connectTo(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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

int serveBare(std::uint16_t port) {
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 128) != 0) {
        std::perror("bare loop");
        return 1;
    }
    const std::string answer = handleHttp(toolsListRequest(), EndpointContext{port, nullptr}).data;
    auto loop = [&] {
        char buffer[16384];
        while (true) {
            int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            std::string request;
            while (true) {
                ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                request.append(buffer, static_cast<std::size_t>(n));
                auto expected = LocalMcpServer::expectedHttpRequestLength(request);
                if (expected && static_cast<std::int64_t>(request.size()) >= *expected) break;
            }
            ::send(client, answer.data(), answer.size(), MSG_NOSIGNAL);
            ::close(client);
        }
    };
    std::thread second(loop);
    loop();
    second.join();
    return 0;
}

// Milliseconds for one GET /health on a new connection, answer read whole.
double healthOnce(std::uint16_t port) {
    auto start = Clock::now();
    int fd = connectTo(port);
    if (fd < 0) return -1;
    const std::string request = "GET /health HTTP/1.1\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    timeval wait{35, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char buffer[4096];
    while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
    }
    ::close(fd);
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void printHealth(const char* label, std::uint16_t port) {
    std::vector<double> samples;
    for (int i = 0; i < 50; ++i) samples.push_back(healthOnce(port));
    std::sort(samples.begin(), samples.end());
    std::printf("  /health %-28s p50 %7.3f ms   max %7.3f ms\n", label, samples[samples.size() / 2], samples.back());
}

int held(std::uint16_t port, int count) {
    printHealth("alone", port);
    const std::string half = "POST /mcp HTTP/1.1\r\nContent-Length: " + std::to_string(kToolsListBody.size()) +
                             "\r\n\r\n" + kToolsListBody.substr(0, 10);
    std::vector<int> clients;
    for (int i = 0; i < count; ++i) {
        int fd = connectTo(port);
        if (fd < 0) break;
        ::send(fd, half.data(), half.size(), MSG_NOSIGNAL);
        clients.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::string label = "with " + std::to_string(clients.size()) + " held requests";
    printHealth(label.c_str(), port);
    for (int fd : clients) ::close(fd);
    return 0;
}

// Mean nanoseconds per call over enough calls to take about a second.
double nanosPerCall(const std::function<void()>& work) {
    for (int i = 0; i < 1000; ++i) work();
    int rounds = 1000;
    while (true) {
        auto start = Clock::now();
        for (int i = 0; i < rounds; ++i) work();
        double elapsed = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
        if (elapsed > 3e8) return elapsed / rounds;
        rounds *= 4;
    }
}

class NoRouter : public McpToolRouter {
public:
    JsonValue call(const std::string&, const JsonValue&) override { return JsonValue::object(); }
};

int costs() {
    const std::string request = toolsListRequest();
    const std::string health = "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const std::string callBody =
        R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"authority_bootstrap","arguments":{}}})";
    const std::string call = "POST /mcp HTTP/1.1\r\nContent-Length: " + std::to_string(callBody.size()) + "\r\n\r\n" + callBody;
    EndpointContext context{47621, std::make_shared<NoRouter>()};
    volatile std::size_t sink = 0;

    std::printf("  framing (Content-Length)        %8.0f ns\n",
                nanosPerCall([&] { sink = sink + *LocalMcpServer::expectedHttpRequestLength(request); }));
    std::printf("  route + answer tools/list       %8.0f ns\n",
                nanosPerCall([&] { sink = sink + routeHttp(request, context).answer->data.size(); }));
    std::printf("  route + answer /health          %8.0f ns\n",
                nanosPerCall([&] { sink = sink + routeHttp(health, context).answer->data.size(); }));
    std::printf("  route tools/call to its hand-off%8.0f ns\n",
                nanosPerCall([&] { sink = sink + (routeHttp(call, context).toolCall ? 1 : 0); }));

    // A task posted to an idle worker until it runs: the wake-up a tool call
    // pays on its way to a worker.
    WorkQueue workers("bench", 4);
    std::atomic<bool> ran{false};
    double total = 0;
    constexpr int kRounds = 2000;
    for (int i = 0; i < kRounds; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));  // the worker waits again
        ran.store(false);
        auto start = Clock::now();
        workers.post([&] { ran.store(true); });
        while (!ran.load()) {
        }
        total += std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    }
    std::printf("  hand-off to an idle worker      %8.0f ns\n", total / kRounds);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "bare" && argc == 3) return serveBare(static_cast<std::uint16_t>(std::atoi(argv[2])));
    if (mode == "held" && argc == 4) return held(static_cast<std::uint16_t>(std::atoi(argv[2])), std::atoi(argv[3]));
    if (mode == "costs") return costs();
    std::fprintf(stderr, "usage: palisor_endpoint_bench bare PORT | held PORT COUNT | costs\n");
    return 2;
}
