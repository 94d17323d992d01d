// What the conditional read cache saves, counted at the development
// authority: catalogue body bytes and upstream exchanges, with the cache and
// without it.
//
// "Without" is an authority that does not announce the authority-reads.v1
// read optimisations: the bridge then never asks for the compact view and
// its cache stays inactive, so every catalogue read is a plain 200 with a
// body, which is how the bridge behaved before the cache. The sizes of one
// compact and one plain catalogue body are printed beside the figures.
//
// 1. 100 "authority_call_operation" calls ("projects.get") through the
//    bridge's MCP endpoint, one after another. Each call reads the catalogue
//    with the same headers (the operation path sends no trace ids for it).
//    The very first catalogue read after start is plain, because the compact
//    view waits for the announcement it carries; one call is therefore made
//    before counting starts, and the count begins at the first compact read.
// 2. 32 concurrent catalogue reads through the authority client, released
//    together while the authority holds every answer for 300 ms, once with
//    one shared trace context (identical headers: they share one exchange)
//    and once with a fresh trace id each (they cannot share; at most 8 lead
//    at once and the rest are refused).
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <latch>
#include <thread>
#include <vector>

#include "bridge/app/cli/loopback_http.h"
#include "bridge/app/tool_router_endpoint.h"
#include "bridge/authority/authority_client.h"
#include "bridge/credentials/native_token_store.h"
#include "bridge/mcp/local_mcp_server.h"
#include "bridge/tools/tool_router.h"
#include "bridge/workspace/workspace_registry.h"
#include "tools/dev-authority/dev_authority.h"

using namespace palisor;

namespace {

constexpr const char* kProject = "BENCH-PROJECT";
constexpr const char* kEmail = "bench@palisor.local";
constexpr const char* kPassword = "bench-password";
constexpr const char* kCatalogRoute = "/api/authority";

struct Figures {
    std::size_t bytes = 0;
    std::size_t exchanges = 0;
    std::size_t full = 0;          // 200 answers with a body
    std::size_t notModified = 0;   // 304 answers
    std::size_t refused = 0;       // reads the bridge refused before any exchange
    std::size_t failed = 0;        // tool calls or reads that failed otherwise
};

Figures counted(const dev::DevAuthority& authority) {
    Figures figures;
    figures.bytes = authority.bodyBytesSent("GET", kCatalogRoute);
    figures.exchanges = authority.requestCount("GET", kCatalogRoute);
    figures.full = authority.answersWithStatus("GET", kCatalogRoute, 200);
    figures.notModified = authority.answersWithStatus("GET", kCatalogRoute, 304);
    return figures;
}

// One development authority, a logged-in client, and (for the tool calls) a
// registered workspace behind the bridge's MCP endpoint.
struct Rig {
    explicit Rig(bool announce) : authority(options(announce)) {
        authority.addProject(kProject, "Bench");
        authority.addUser(kEmail, kPassword, {kProject});
        authority.start();
        NativeTokenStore::Options storeOptions;
        storeOptions.keychainEnabled = false;
        AuthorityClient::Options clientOptions;
        clientOptions.authorityOrigin = authority.origin();
        clientOptions.tokenStore = std::make_shared<NativeTokenStore>(storeOptions);
        client = std::make_shared<AuthorityClient>(clientOptions);
        client->login(kEmail, kPassword);
    }
    ~Rig() { authority.stop(); }

    static dev::DevAuthorityOptions options(bool announce) {
        dev::DevAuthorityOptions options;
        options.announceReadOptimizations = announce;
        return options;
    }

    dev::DevAuthority authority;
    std::shared_ptr<AuthorityClient> client;
};

Figures hundredOperationCalls(bool announce, std::size_t& compactBody, std::size_t& plainBody) {
    Rig rig(announce);
    auto root = std::filesystem::temp_directory_path() / ("palisor-readcache-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(root);
    std::ofstream(root / "AGENTS.md") << "- projectKey: " << kProject << "\n- authorityOrigin: " << rig.authority.origin()
                                      << "\n";
    auto registry = std::make_shared<WorkspaceRegistry>(rig.authority.origin(), std::nullopt, nullptr);
    registry->add(root.string(), true, true);
    auto router = std::make_shared<ToolRouter>(rig.client, registry);
    auto server = LocalMcpServer::create(0, std::make_shared<ToolRouterEndpoint>(router));
    server->start();
    const std::string call =
        R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"authority_call_operation",)"
        R"("arguments":{"operationId":"projects.get"}}})";
    auto callOnce = [&] {
        auto answer = loopbackExchange(server->port(), "POST", "/mcp", call, std::chrono::seconds(2), std::nullopt);
        return answer.body.find("\"result\"") != std::string::npos;
    };

    // The first read after start is plain and carries the announcement.
    bool warmed = callOnce();
    plainBody = rig.authority.bodyBytesSent("GET", kCatalogRoute);
    rig.authority.resetRecords();
    std::size_t failed = warmed ? 0 : 1;
    for (int i = 0; i < 100; ++i)
        if (!callOnce()) ++failed;
    Figures figures = counted(rig.authority);
    figures.failed = failed;
    if (announce) compactBody = figures.full ? figures.bytes / figures.full : 0;
    server->stop();
    std::filesystem::remove_all(root);
    return figures;
}

Figures concurrentReads(bool announce, bool sharedTrace) {
    constexpr int kReaders = 32;
    Rig rig(announce);
    rig.client->requestCatalogWithWebSession(kProject);  // learns the announcement, if any
    rig.authority.resetRecords();
    rig.authority.delayNext("GET", kCatalogRoute, std::chrono::milliseconds(300), kReaders);

    std::latch start(kReaders);
    std::atomic<std::size_t> refused{0}, failed{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < kReaders; ++i) {
        readers.emplace_back([&, i] {
            AuthorityTraceContext context({.traceId = sharedTrace ? "trace-shared-0001" : "trace-fresh-" + std::to_string(1000 + i)});
            start.arrive_and_wait();
            try {
                rig.client->requestCatalogWithWebSession(kProject, context);
            } catch (const std::exception& error) {
                ++(std::string(error.what()) == "BRIDGE_READ_CAPACITY" ? refused : failed);
            }
        });
    }
    for (auto& reader : readers) reader.join();
    rig.authority.clearHooks();
    Figures figures = counted(rig.authority);
    figures.refused = refused;
    figures.failed = failed;
    return figures;
}

void print(const char* label, const Figures& f) {
    std::printf("  %-44s %10zu %9zu %6zu %6zu %8zu %7zu\n", label, f.bytes, f.exchanges, f.full, f.notModified,
                f.refused, f.failed);
}

void header() {
    std::printf("  %-44s %10s %9s %6s %6s %8s %7s\n", "", "bytes", "exchanges", "200s", "304s", "refused", "failed");
}

}  // namespace

int main() {
    std::size_t compactBody = 0, plainBody = 0, unused = 0;
    Figures withCache = hundredOperationCalls(true, compactBody, unused);
    Figures withoutCache = hundredOperationCalls(false, unused, plainBody);
    std::printf("catalogue body: compact view %zu bytes, plain view %zu bytes\n\n", compactBody, plainBody);

    std::printf("100 authority_call_operation calls through the bridge, counted from the first compact read\n"
                "(the catalogue is read with identical headers on every call):\n");
    header();
    print("with the cache", withCache);
    print("without the cache", withoutCache);

    std::printf("\n32 concurrent catalogue reads through the authority client, the authority answering after 300 ms:\n");
    header();
    print("with the cache, one shared trace id", concurrentReads(true, true));
    print("with the cache, a fresh trace id each", concurrentReads(true, false));
    print("without the cache, one shared trace id", concurrentReads(false, true));
    return 0;
}
