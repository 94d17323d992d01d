// The HTTP side of the development authority: cpp-httplib serves, our own
// connection loop replaces the library's so that we can count accepted
// connections, cut a connection in the middle of an answer, and stop at once
// even while clients hold keep-alive connections open.
#include "tools/dev-authority/dev_authority.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>

#include <atomic>
#include <cstring>
#include <condition_variable>
#include <deque>
#include <stdexcept>
#include <thread>

#include "bridge/common/sha256.h"
#include "bridge/common/text.h"
#include "bridge/common/uuid.h"
#include "tools/dev-authority/authority_state.h"

namespace palisor::dev {

namespace {

using namespace std::chrono_literals;

// How often a waiting worker looks whether the server is stopping.
constexpr auto kStopCheckInterval = 50ms;

// One accepted connection, read through a small buffer (the library reads
// request lines a byte at a time).
class ConnectionStream final : public httplib::Stream {
public:
    ConnectionStream(int fd, const std::atomic<bool>& stopping, std::chrono::seconds ioTimeout)
        : fd_(fd), stopping_(stopping), ioTimeout_(ioTimeout) {}

    // Waits until a byte (or the peer's close) can be read, the limit passes
    // or the server stops.
    bool waitReadable(std::chrono::milliseconds limit) const {
        if (offset_ < buffered_) return true;
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (!stopping_.load() && !dropped_) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{fd_, POLLIN, 0};
            int ready = ::poll(&p, 1, static_cast<int>(std::min(left, std::chrono::milliseconds(kStopCheckInterval)).count()));
            if (ready < 0 && errno != EINTR) return false;
            if (ready > 0) return true;
        }
        return false;
    }

    bool is_readable() const override { return waitReadable(ioTimeout_); }

    bool is_writable() const override {
        if (dropped_ || stopping_.load()) return false;
        pollfd p{fd_, POLLOUT, 0};
        return ::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(ioTimeout_).count())) > 0;
    }

    ssize_t read(char* ptr, size_t size) override {
        if (offset_ == buffered_) {
            if (!is_readable()) return -1;
            ssize_t got = ::recv(fd_, buffer_, sizeof buffer_, 0);
            if (got <= 0) return got;
            offset_ = 0;
            buffered_ = static_cast<std::size_t>(got);
        }
        std::size_t n = std::min(size, buffered_ - offset_);
        std::memcpy(ptr, buffer_ + offset_, n);
        offset_ += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* ptr, size_t size) override {
        if (!is_writable()) return -1;
        return ::send(fd_, ptr, size, MSG_NOSIGNAL);
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override { address(::getpeername, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { address(::getsockname, ip, port); }
    ::socket_t socket() const override { return fd_; }

    // An answer that promises more body than it brings, then the end of the
    // connection. Every later write fails, so the library abandons the answer
    // it was about to send and the loop closes the socket.
    void dropMidAnswer() {
        static constexpr char kPartial[] =
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 64\r\n\r\n{\"ok\":tr";
        ::send(fd_, kPartial, sizeof kPartial - 1, MSG_NOSIGNAL);
        ::shutdown(fd_, SHUT_RDWR);
        dropped_ = true;
    }
    bool dropped() const { return dropped_; }

private:
    using AddressCall = int (*)(int, sockaddr*, socklen_t*);
    void address(AddressCall call, std::string& ip, int& port) const {
        sockaddr_in addr{};
        socklen_t length = sizeof addr;
        if (call(fd_, reinterpret_cast<sockaddr*>(&addr), &length) != 0 || addr.sin_family != AF_INET) return;
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
        ip = text;
        port = ntohs(addr.sin_port);
    }

    int fd_;
    const std::atomic<bool>& stopping_;
    std::chrono::seconds ioTimeout_;
    char buffer_[4096];
    std::size_t offset_ = 0;
    std::size_t buffered_ = 0;
    bool dropped_ = false;
};

// The connection whose request the calling worker thread is serving. A
// connection is served from start to end on one worker.
thread_local ConnectionStream* currentConnection = nullptr;

std::string asciiUpper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

using RouteKey = std::pair<std::string, std::string>;  // method, raw path

struct CannedAnswer {
    int status;
    std::string body;
    std::string contentType;
    int remaining;
    bool endless = false;  // the body is filler that never ends
};

struct Delay {
    std::chrono::milliseconds duration;
    int remaining;
};

// What the test hooks decided for one request.
struct HookDecision {
    std::optional<std::chrono::milliseconds> delay;
    std::optional<std::chrono::milliseconds> hold;
    bool drop = false;
    std::optional<CannedAnswer> answer;
};

template <class Entry>
void takeOne(std::deque<Entry>& queue) {
    if (--queue.front().remaining <= 0) queue.pop_front();
}

// Whether an "If-None-Match" value names this entity tag. Weak tags compare
// by their opaque part, as weak comparison does.
bool namesEtag(const std::string& ifNoneMatch, const std::string& etag) {
    auto opaque = [](std::string tag) { return startsWith(tag, "W/") ? tag.substr(2) : tag; };
    for (std::string_view candidate : splitKeepingEmpty(ifNoneMatch, ",")) {
        std::string tag = trim(candidate);
        if (tag == "*" || (!tag.empty() && opaque(tag) == opaque(etag))) return true;
    }
    return false;
}

}  // namespace

class DevAuthority::Impl {
public:
    explicit Impl(const DevAuthorityOptions& options) : options(options), state(options) {}

    // Our connection loop in place of the library's (the override is allowed
    // although the base member is private; we only use protected parts).
    class Server final : public httplib::Server {
    public:
        explicit Server(Impl& owner) : owner_(owner) {}

        // The library listens with a backlog of a few connections; 64 clients
        // connecting at once would see refused SYNs and second-long retries.
        void widenBacklog() { ::listen(svr_sock_, 1024); }

    private:
        bool process_and_close_socket(::socket_t sock) override {
            owner_.connections.fetch_add(1);
            bool served = false;
            {
                ConnectionStream stream(sock, owner_.stopping, std::chrono::seconds(read_timeout_sec_));
                std::size_t remaining = keep_alive_max_count_;
                auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(owner_.options.keepAliveTimeout);
                while (remaining > 0 && stream.waitReadable(idle)) {
                    bool closeConnection = remaining == 1;
                    bool connectionClosed = false;
                    currentConnection = &stream;
                    served = process_request(stream, closeConnection, connectionClosed, nullptr);
                    currentConnection = nullptr;
                    if (!served || connectionClosed || stream.dropped()) break;
                    --remaining;
                }
            }
            ::shutdown(sock, SHUT_RDWR);
            ::close(sock);
            return served;
        }

        Impl& owner_;
    };

    void serve(const httplib::Request& request, httplib::Response& response);
    HookDecision consumeHooks(const RouteKey& route);
    void answer(const RecordedRequest& request, httplib::Response& response, DevAnswer answer,
                std::chrono::steady_clock::time_point arrived);

    DevAuthorityOptions options;
    AuthorityState state;

    std::unique_ptr<Server> server;
    std::thread listener;
    std::uint16_t boundPort = 0;
    std::atomic<bool> stopping{false};
    std::atomic<std::size_t> connections{0};
    std::atomic<std::size_t> served{0};  // for failEvery

    mutable std::mutex mutex;  // hooks and records
    std::condition_variable stopSignal;
    std::map<RouteKey, std::deque<CannedAnswer>> canned;
    std::map<RouteKey, std::deque<Delay>> delays;
    std::map<RouteKey, std::deque<Delay>> holds;
    std::map<RouteKey, int> drops;
    std::map<RouteKey, std::size_t> counts;
    std::map<RouteKey, std::size_t> bodyBytes;
    std::map<RouteKey, std::map<int, std::size_t>> statuses;
    std::vector<RecordedRequest> log;
};

HookDecision DevAuthority::Impl::consumeHooks(const RouteKey& route) {
    HookDecision decision;
    std::lock_guard lock(mutex);
    if (auto it = delays.find(route); it != delays.end() && !it->second.empty()) {
        decision.delay = it->second.front().duration;
        takeOne(it->second);
    }
    if (auto it = holds.find(route); it != holds.end() && !it->second.empty()) {
        decision.hold = it->second.front().duration;
        takeOne(it->second);
    }
    if (auto it = drops.find(route); it != drops.end() && it->second > 0) {
        --it->second;
        decision.drop = true;
        return decision;  // a dropped request uses up no canned answer
    }
    if (auto it = canned.find(route); it != canned.end() && !it->second.empty()) {
        decision.answer = it->second.front();
        takeOne(it->second);
        return decision;
    }
    return decision;
}

void DevAuthority::Impl::answer(const RecordedRequest& request, httplib::Response& response, DevAnswer answer,
                                std::chrono::steady_clock::time_point arrived) {
    response.status = answer.status;
    // A failure names its request id in the body; the header says the same.
    if (auto id = optString(answer.body, "requestId")) {
        response.headers.erase("x-request-id");
        response.set_header("x-request-id", *id);
    }
    for (const auto& [name, value] : answer.headers) response.set_header(name, value);
    if (answer.text) {
        response.set_content(*answer.text, "application/json");
        return;
    }
    if (answer.revalidatable && answer.status == 200) {
        // The tag covers the content, not the per-exchange meta, so an
        // unchanged answer keeps its tag from one request to the next.
        std::string etag = "\"" + sha256Hex(dumpCompact(answer.body).value_or("{}")).substr(0, 32) + "\"";
        response.set_header("ETag", etag);
        response.set_header("Cache-Control", "private, no-cache");
        if (namesEtag(request.header("if-none-match"), etag)) {
            response.status = 304;
            return;
        }
        if (auto meta = answer.body.find("meta"); meta != answer.body.end() && meta->is_object()) {
            double handled = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - arrived).count();
            (*meta)["requestId"] = response.get_header_value("x-request-id");
            (*meta)["stageTimings"] = {{"handleMs", handled}};
        }
    }
    response.set_content(dumpCompact(answer.body).value_or("{}"), "application/json");
}

void DevAuthority::Impl::serve(const httplib::Request& request, httplib::Response& response) {
    auto arrived = std::chrono::steady_clock::now();
    RecordedRequest recorded;
    recorded.method = request.method;
    auto question = request.target.find('?');
    recorded.path = request.target.substr(0, question);
    if (question != std::string::npos) recorded.query = request.target.substr(question + 1);
    recorded.body = request.body;
    for (const auto& [name, value] : request.headers) {
        // The library adds the peer's and our own address as pseudo headers.
        if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT") continue;
        auto& slot = recorded.headers[asciiLower(name)];
        slot = slot.empty() ? value : slot + ", " + value;
    }
    RouteKey route{recorded.method, recorded.path};
    {
        std::lock_guard lock(mutex);
        ++counts[route];
        if (options.recordRequests) log.push_back(recorded);
    }
    response.set_header("x-request-id", "req-" + randomUuidLower());

    if (options.failEvery > 0) {
        std::size_t number = served.fetch_add(1) + 1;
        if (number % options.failEvery == 0) {
            bool unavailable = (number / options.failEvery) % 2 == 1;
            DevAnswer failure = unavailable ? failureAnswer(503, "SERVICE_UNAVAILABLE", "Injected failure: try again.")
                                            : failureAnswer(500, "INTERNAL_ERROR", "Injected failure.");
            answer(recorded, response, std::move(failure), arrived);
            std::lock_guard lock(mutex);
            bodyBytes[route] += response.body.size();
            ++statuses[route][response.status];
            return;
        }
    }

    HookDecision decision = consumeHooks(route);
    if (decision.delay) {
        std::unique_lock lock(mutex);
        stopSignal.wait_for(lock, *decision.delay, [&] { return stopping.load(); });
    }
    if (decision.drop && currentConnection) {
        currentConnection->dropMidAnswer();
        return;
    }
    if (decision.answer && decision.answer->endless) {
        response.status = 200;
        response.set_chunked_content_provider("application/json", [](std::size_t, httplib::DataSink& sink) {
            static const std::string filler(64 * 1024, ' ');
            return sink.write(filler.data(), filler.size());
        });
    } else if (decision.answer) {
        response.status = decision.answer->status;
        response.set_content(decision.answer->body, decision.answer->contentType.c_str());
    } else {
        answer(recorded, response, state.handle(recorded), arrived);
    }
    if (decision.hold) {
        std::unique_lock lock(mutex);
        stopSignal.wait_for(lock, *decision.hold, [&] { return stopping.load(); });
    }
    std::lock_guard lock(mutex);
    bodyBytes[route] += response.body.size();
    ++statuses[route][response.status];
}

DevAuthority::DevAuthority(DevAuthorityOptions options) : impl_(std::make_unique<Impl>(options)) {}

DevAuthority::~DevAuthority() { stop(); }

void DevAuthority::start() {
    if (impl_->server) throw std::logic_error("the development authority is already started");
    auto server = std::make_unique<Impl::Server>(*impl_);
    std::size_t threads = std::max<std::size_t>(impl_->options.threads, 1);
    server->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    server->set_keep_alive_max_count(100000);
    server->set_keep_alive_timeout(impl_->options.keepAliveTimeout.count());
    server->set_read_timeout(30, 0);
    server->set_write_timeout(30, 0);
    server->set_payload_max_length(64 * 1024 * 1024);
    server->set_tcp_nodelay(true);

    Impl* impl = impl_.get();
    auto handler = [impl](const httplib::Request& request, httplib::Response& response) {
        impl->serve(request, response);
    };
    server->Get(".*", handler);
    server->Post(".*", handler);
    server->Put(".*", handler);
    server->Patch(".*", handler);
    server->Delete(".*", handler);
    // Errors the library answers itself (a malformed request line, an
    // unsupported method) get a JSON body like ours.
    server->set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& response) {
        if (response.has_header("x-request-id")) return httplib::Server::HandlerResponse::Unhandled;
        DevAnswer failure = failureAnswer(response.status, response.status == 404 ? "NOT_FOUND" : "BAD_REQUEST",
                                          "The request could not be served.");
        response.set_content(dumpCompact(failure.body).value_or("{}"), "application/json");
        return httplib::Server::HandlerResponse::Handled;
    }));
    server->set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr error) {
        std::string what = "unknown error";
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
        }
        DevAnswer failure = failureAnswer(500, "INTERNAL_ERROR", what);
        response.status = 500;
        response.set_header("x-request-id", optString(failure.body, "requestId").value_or(""));
        response.set_content(dumpCompact(failure.body).value_or("{}"), "application/json");
    });

    // A restart keeps the port the first start was given or picked.
    int wanted = impl_->boundPort != 0 ? impl_->boundPort : impl_->options.port;
    int port = wanted == 0 ? server->bind_to_any_port("127.0.0.1")
                           : (server->bind_to_port("127.0.0.1", wanted) ? wanted : -1);
    if (port <= 0) throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(wanted));
    server->widenBacklog();
    impl_->boundPort = static_cast<std::uint16_t>(port);
    impl_->stopping = false;
    Impl::Server* raw = server.get();
    impl_->server = std::move(server);
    auto finished = std::make_shared<std::atomic<bool>>(false);
    impl_->listener = std::thread([raw, finished] {
        raw->listen_after_bind();
        *finished = true;
    });
    // stop() only takes effect once the accept loop runs.
    while (!raw->is_running() && !*finished) std::this_thread::sleep_for(1ms);
}

void DevAuthority::stop() {
    if (!impl_->server) return;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
    }
    impl_->stopSignal.notify_all();
    impl_->server->stop();
    if (impl_->listener.joinable()) impl_->listener.join();  // joins the workers too
    impl_->server.reset();
}

std::uint16_t DevAuthority::port() const { return impl_->boundPort; }

std::string DevAuthority::origin() const { return "http://127.0.0.1:" + std::to_string(impl_->boundPort); }

void DevAuthority::addProject(const std::string& projectKey, const std::string& name) {
    impl_->state.addProject(projectKey, name);
}

void DevAuthority::addFoundationProject(const std::string& projectKey, const std::string& name,
                                        const FoundationProjectOptions& options) {
    impl_->state.addFoundationProject(projectKey, name, options);
}

std::string DevAuthority::addUser(const std::string& email, const std::string& password,
                                  const std::vector<std::string>& projectKeys) {
    return impl_->state.addUser(email, password, projectKeys);
}

JsonValue DevAuthority::addTask(const std::string& projectKey, OrderedJson task) {
    return impl_->state.addTask(projectKey, std::move(task));
}

void DevAuthority::addProgressItem(const std::string& projectKey, OrderedJson task,
                                   const ProgressItemOptions& options) {
    impl_->state.addProgressItem(projectKey, std::move(task), options);
}

std::string DevAuthority::publishSkill(const std::string& skillId, const std::string& version,
                                       const SkillFiles& files, const PublishOptions& options) {
    return impl_->state.publishSkill(skillId, version, files, options);
}

std::string DevAuthority::changePublishedPackage(const std::string& skillId, const std::string& version,
                                                 const SkillFiles& files) {
    return impl_->state.changePublishedPackage(skillId, version, files);
}

std::string DevAuthority::contentHash(const SkillFiles& files) { return publishedContentHash(files); }

void DevAuthority::expireAccessTokens() { impl_->state.expireAccessTokens(); }
void DevAuthority::expireRefreshTokens() { impl_->state.expireRefreshTokens(); }

namespace {

DevSession sessionFrom(const DevAnswer& answer) {
    if (answer.status != 200)
        throw std::runtime_error("development authority refused: " + optString(answer.body, "code").value_or("?"));
    return {optString(answer.body, "accessToken").value_or(""), optString(answer.body, "refreshToken").value_or(""),
            answer.body};
}

RecordedRequest directPost(const std::string& path, const JsonValue& body) {
    RecordedRequest request;
    request.method = "POST";
    request.path = path;
    request.body = dumpCompact(body).value_or("{}");
    return request;
}

}  // namespace

DevSession DevAuthority::login(const std::string& email, const std::string& password) {
    return sessionFrom(impl_->state.handle(
        directPost("/api/auth/login", {{"email", email}, {"password", password}, {"clientKind", "web"}})));
}

void DevAuthority::failNext(const std::string& method, const std::string& path, int status, const JsonValue& body,
                            int times) {
    answerNextRaw(method, path, status, dumpCompact(body).value_or("{}"), "application/json", times);
}

void DevAuthority::answerNextRaw(const std::string& method, const std::string& path, int status,
                                 const std::string& body, const std::string& contentType, int times) {
    if (times <= 0) return;
    std::lock_guard lock(impl_->mutex);
    impl_->canned[{asciiUpper(method), path}].push_back({status, body, contentType, times});
}

void DevAuthority::answerNextEndless(const std::string& method, const std::string& path, int times) {
    if (times <= 0) return;
    std::lock_guard lock(impl_->mutex);
    impl_->canned[{asciiUpper(method), path}].push_back({200, "", "application/json", times, true});
}

void DevAuthority::delayNext(const std::string& method, const std::string& path, std::chrono::milliseconds delay,
                             int times) {
    if (times <= 0) return;
    std::lock_guard lock(impl_->mutex);
    impl_->delays[{asciiUpper(method), path}].push_back({delay, times});
}

void DevAuthority::holdAnswerNext(const std::string& method, const std::string& path, std::chrono::milliseconds delay,
                                  int times) {
    if (times <= 0) return;
    std::lock_guard lock(impl_->mutex);
    impl_->holds[{asciiUpper(method), path}].push_back({delay, times});
}

void DevAuthority::dropNext(const std::string& method, const std::string& path, int times) {
    if (times <= 0) return;
    std::lock_guard lock(impl_->mutex);
    impl_->drops[{asciiUpper(method), path}] += times;
}

void DevAuthority::clearHooks() {
    std::lock_guard lock(impl_->mutex);
    impl_->canned.clear();
    impl_->delays.clear();
    impl_->holds.clear();
    impl_->drops.clear();
}

std::size_t DevAuthority::requestCount(const std::string& method, const std::string& path) const {
    std::lock_guard lock(impl_->mutex);
    auto found = impl_->counts.find({asciiUpper(method), path});
    return found == impl_->counts.end() ? 0 : found->second;
}

std::size_t DevAuthority::totalRequests() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->log.size();
}

std::size_t DevAuthority::acceptedConnections() const { return impl_->connections.load(); }

std::vector<RecordedRequest> DevAuthority::requests() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->log;
}

std::vector<RecordedRequest> DevAuthority::requests(const std::string& method, const std::string& path) const {
    std::lock_guard lock(impl_->mutex);
    std::vector<RecordedRequest> matching;
    for (const auto& request : impl_->log)
        if (request.method == asciiUpper(method) && request.path == path) matching.push_back(request);
    return matching;
}

std::size_t DevAuthority::bodyBytesSent(const std::string& method, const std::string& path) const {
    std::lock_guard lock(impl_->mutex);
    auto found = impl_->bodyBytes.find({asciiUpper(method), path});
    return found == impl_->bodyBytes.end() ? 0 : found->second;
}

std::size_t DevAuthority::answersWithStatus(const std::string& method, const std::string& path, int status) const {
    std::lock_guard lock(impl_->mutex);
    auto route = impl_->statuses.find({asciiUpper(method), path});
    if (route == impl_->statuses.end()) return 0;
    auto found = route->second.find(status);
    return found == route->second.end() ? 0 : found->second;
}

void DevAuthority::resetRecords() {
    std::lock_guard lock(impl_->mutex);
    impl_->counts.clear();
    impl_->bodyBytes.clear();
    impl_->statuses.clear();
    impl_->log.clear();
    impl_->connections = 0;
}

std::vector<JsonValue> DevAuthority::workEvents(const std::string& projectKey) const {
    return impl_->state.workEvents(projectKey);
}

void DevAuthority::clearWorkEvents() { impl_->state.clearWorkEvents(); }

JsonValue DevAuthority::operationCatalog() { return AuthorityState::operationCatalog(); }

JsonValue DevAuthority::foundationOperationCatalog(const FoundationProjectOptions& options) {
    return AuthorityState::operationCatalog(true, options);
}

}  // namespace palisor::dev
