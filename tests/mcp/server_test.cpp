#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "bridge/mcp/local_mcp_server.h"
#include "tests/support/bridge_process.h"
#include "tests/support/http_client.h"
#include "tests/support/other_user.h"

namespace palisor {
namespace {

using ::testing::HasSubstr;

using test::httpExchange;
using test::parseResponse;

class Server : public ::testing::Test {
protected:
    void SetUp() override {
        server = LocalMcpServer::create(0);
        server->start();
        port = server->port();
    }
    void TearDown() override { server->stop(); }

    std::shared_ptr<LocalMcpServer> server;
    std::uint16_t port = 0;
};

std::string rpcRequest(const std::string& body, const std::string& lengthHeader) {
    return "POST /mcp HTTP/1.1\r\n" + lengthHeader + "\r\n\r\n" + body;
}

TEST(Framing, ExpectedRequestLength) {
    using L = LocalMcpServer;
    EXPECT_FALSE(L::expectedHttpRequestLength("GET / HTTP/1.1\r\nHost: x\r\n"));
    EXPECT_EQ(L::expectedHttpRequestLength("GET / HTTP/1.1\r\n\r\nextra"), 18);
    EXPECT_EQ(L::expectedHttpRequestLength("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n"), 39 + 10);
    EXPECT_EQ(L::expectedHttpRequestLength("POST / HTTP/1.1\r\ncOnTeNt-LeNgTh:   7  \r\n\r\n"), 42 + 7);
    EXPECT_EQ(L::expectedHttpRequestLength("POST / HTTP/1.1\r\nContent-Length : 7\r\n\r\n"), 39);
    EXPECT_EQ(L::expectedHttpRequestLength("POST / HTTP/1.1\r\nContent-Length: -5\r\n\r\n"), 39);
    EXPECT_EQ(L::expectedHttpRequestLength("POST / HTTP/1.1\r\nContent-Length: ten\r\n\r\n"), 40);
    EXPECT_EQ(L::expectedHttpRequestLength("POST / HTTP/1.1\r\nContent-Length:\r\n\r\n"), 36);
    EXPECT_EQ(L::expectedHttpRequestLength("POST / HTTP/1.1\r\nContent-Length: +3\r\n\r\n"), 39 + 3);
    // The first Content-Length line wins.
    EXPECT_EQ(L::expectedHttpRequestLength("P / H\r\nContent-Length: 1\r\nContent-Length: 9\r\n\r\n"), 47 + 1);
    // Absurd lengths saturate rather than overflow.
    EXPECT_EQ(L::expectedHttpRequestLength("P / H\r\nContent-Length: 9223372036854775807\r\n\r\n"), INT64_MAX);
    // An undecodable head has no usable Content-Length.
    EXPECT_EQ(L::expectedHttpRequestLength("P / H\r\nX: \xFF\r\nContent-Length: 5\r\n\r\n"), 34);
}

// The body is read by Content-Length across packets; without one, the bytes
// of the same read are the body; an upload past the limit is cut and still
// answered.
TEST_F(Server, FramesEachRequestByItsLength) {
    std::string body = R"({"id":1,"method":"tools/list"})";
    std::string head = "POST /mcp HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    auto response = parseResponse(
        httpExchange(port, test::RawExchange{{head, body.substr(0, 5), body.substr(5, 9), body.substr(14)}}));
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.json["id"], 1);
    EXPECT_EQ(response.json["result"]["tools"].size(), 7u);

    auto sameRead =
        parseResponse(httpExchange(port, rpcRequest(R"({"id":"same-read","method":"tools/list"})", "X-A: b")));
    EXPECT_EQ(sameRead.json["id"], "same-read");

    std::string large = "{\"id\":1,\"method\":\"tools/list\",\"pad\":\"" + std::string(3 * 1024 * 1024, 'x') + "\"}";
    auto cut = parseResponse(httpExchange(port, rpcRequest(large, "Content-Length: " + std::to_string(large.size()))));
    EXPECT_EQ(cut.status, 200);
    EXPECT_EQ(cut.json["error"]["message"], "INVALID_JSON");  // the cut JSON does not parse
    EXPECT_TRUE(cut.json["id"].is_null());
}

TEST_F(Server, AStalledRequestIsClosedWithoutAnswerAtTheDeadline) {
    server->setRequestDeadline(std::chrono::milliseconds(300));
    // Trickling keeps sending, so only a deadline over the whole request helps.
    test::RawExchange trickle;
    for (int i = 0; i < 12; ++i) trickle.pieces.push_back("G");
    trickle.pauseBetween = std::chrono::milliseconds(50);
    trickle.readTimeout = std::chrono::seconds(5);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(httpExchange(port, trickle), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    // The server keeps serving afterwards.
    EXPECT_EQ(parseResponse(test::get(port, "/health")).status, 200);
}

TEST_F(Server, PeersThatSendNothingOrLeaveEarlyHurtNothing) {
    // A connection that sends nothing gets no bytes.
    int silent = test::connectTo(port);
    ASSERT_GE(silent, 0);
    ::shutdown(silent, SHUT_WR);
    char byte;
    EXPECT_EQ(::recv(silent, &byte, 1, 0), 0);
    ::close(silent);
    // Peers that leave before the answer do not hurt the process.
    for (int i = 0; i < 20; ++i) {
        int fd = test::connectTo(port);
        ASSERT_GE(fd, 0);
        std::string request = "GET /tools HTTP/1.1\r\n\r\n";
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        linger hard{1, 0};  // close with a reset
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ::close(fd);
    }
    EXPECT_EQ(parseResponse(test::get(port, "/health")).json["port"], port);
}

// The session is this user's: another local user's program is refused before
// anything it sent is looked at, while this user's own is served.
TEST_F(Server, OnlyThisUsersProgramsAreServed) {
    if (std::string why = test::whyNoOtherUser(); !why.empty()) GTEST_SKIP() << why;
    std::vector<std::string> client = {"/bin/bash", "-c",
                                       "exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(port) +
                                           " && printf 'GET /health HTTP/1.1\\r\\n\\r\\n' >&3 && cat <&3"};
    auto asNobody = test::asNobody(client);
    test::CommandResult foreign = test::runProgram(asNobody[0], {asNobody.begin() + 1, asNobody.end()}, {});
    auto refused = parseResponse(foreign.out);
    EXPECT_EQ(refused.status, 403) << foreign.out << foreign.err;
    EXPECT_EQ(refused.json, (JsonValue{{"ok", false}, {"error", "LOCAL_USER_FORBIDDEN"}}));

    test::CommandResult own = test::runProgram(client[0], {client.begin() + 1, client.end()}, {});
    EXPECT_EQ(parseResponse(own.out).json["port"], port) << own.out << own.err;
}

TEST_F(Server, StartStopAndRestart) {
    server->start();  // a no-op while running
    EXPECT_TRUE(server->isRunning());
    server->stop();
    EXPECT_FALSE(server->isRunning());
    EXPECT_EQ(test::connectTo(port), -1);

    // Restarted, with a check that refuses every connection on admission: each
    // gets the refusal for its request.
    server->setAdmissionCheck([](int fd) -> std::optional<HttpResponse> {
        if (fd < 0) return std::nullopt;
        return HttpResponse::json(403, {{"ok", false}, {"error", "REFUSED"}});
    });
    server->start();
    auto refused = parseResponse(test::get(port, "/health"));
    EXPECT_EQ(refused.status, 403);
    EXPECT_EQ(refused.json, JsonValue({{"ok", false}, {"error", "REFUSED"}}));
}

TEST_F(Server, ClientsThatNeverFinishTheirRequestHoldUpNoOne) {
    const std::string body = R"({"id":7,"method":"tools/list"})";
    const std::string head = "POST /mcp HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    std::vector<int> held;
    for (int i = 0; i < 200; ++i) {
        int fd = test::connectTo(port);
        ASSERT_GE(fd, 0);
        std::string half = head + body.substr(0, 6);
        ::send(fd, half.data(), half.size(), MSG_NOSIGNAL);
        held.push_back(fd);
    }
    auto health = parseResponse(
        httpExchange(port, test::RawExchange{{"GET /health HTTP/1.1\r\n\r\n"}, {}, std::chrono::seconds(3)}));
    EXPECT_EQ(health.status, 200);
    // A held request that is finished later is still answered.
    std::string rest = body.substr(6);
    ::send(held.back(), rest.data(), rest.size(), MSG_NOSIGNAL);
    timeval wait{5, 0};
    ::setsockopt(held.back(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    std::string answer;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(held.back(), buffer, sizeof buffer, 0)) > 0;)
        answer.append(buffer, static_cast<std::size_t>(n));
    EXPECT_EQ(parseResponse(answer).json["id"], 7);
    for (int fd : held) ::close(fd);
}

// A router whose calls wait until the test opens it.
class GateRouter : public McpToolRouter {
public:
    JsonValue call(const std::string&, const JsonValue&) override {
        std::unique_lock lock(mutex_);
        ++entered_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return open_; });
        return {{"passed", true}};
    }
    bool waitForCalls(int count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return entered_ >= count; });
    }
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int entered_ = 0;
    bool open_ = false;
};

std::future<std::string> callTool(std::uint16_t port) {
    return std::async(std::launch::async, [port] {
        return test::post(port, "/mcp", R"({"id":1,"method":"tools/call","params":{"name":"authority_health"}})");
    });
}

std::string toolText(const std::string& raw) {
    return parseResponse(raw).json["result"]["content"][0]["text"].get<std::string>();
}

// The router is installed while the server runs.
TEST_F(Server, SixtyFourToolCallsCanBlockAtTheSameTime) {
    auto router = std::make_shared<GateRouter>();
    server->setToolRouter(router);
    std::vector<std::future<std::string>> answers;
    for (int i = 0; i < 64; ++i) answers.push_back(callTool(port));
    EXPECT_TRUE(router->waitForCalls(64));
    router->open();
    for (auto& answer : answers) EXPECT_THAT(toolText(answer.get()), HasSubstr("passed"));
}

TEST_F(Server, ToolCallsPastTheWaitingBoundAreTurnedAwayAtOnce) {
    server->stop();
    server->setRequestLimits(1, 1);  // one running, one waiting
    auto router = std::make_shared<GateRouter>();
    server->setToolRouter(router);
    server->start();
    auto running = callTool(port);
    ASSERT_TRUE(router->waitForCalls(1));
    std::vector<std::future<std::string>> more;
    for (int i = 0; i < 2; ++i) more.push_back(callTool(port));
    // One of the two waits; the other is answered while the gate is still shut.
    int busy = -1;
    for (int round = 0; round < 250 && busy < 0; ++round)
        for (int i = 0; i < 2 && busy < 0; ++i)
            if (more[i].wait_for(std::chrono::milliseconds(10)) == std::future_status::ready) busy = i;
    router->open();
    ASSERT_GE(busy, 0) << "a call past the bound must not wait";
    auto refused = parseResponse(more[busy].get());
    EXPECT_EQ(refused.status, 503);
    EXPECT_EQ(refused.json, JsonValue({{"ok", false}, {"error", "BRIDGE_BUSY"}}));
    EXPECT_THAT(toolText(running.get()), HasSubstr("passed"));
    EXPECT_THAT(toolText(more[1 - busy].get()), HasSubstr("passed"));
}

}  // namespace
}  // namespace palisor
