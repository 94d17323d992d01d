// Tool calls through the bridge against the same upstream requests sent
// straight to the development authority. Each tool call is one JSON-RPC
// request on a new loopback connection, as agents send them; the direct
// requests reuse one connection. The difference is what the bridge adds.
// Then the same calls with the activity record off and on, in alternating
// rounds so that both meet the same machine: the difference is the record's cost.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

#include "bridge/app/cli/loopback_http.h"
#include "bridge/app/tool_router_endpoint.h"
#include "bridge/authority/authority_client.h"
#include "bridge/credentials/native_token_store.h"
#include "bridge/mcp/local_mcp_server.h"
#include "bridge/mcp/routes.h"
#include "bridge/tools/tool_router.h"
#include "bridge/workspace/workspace_registry.h"
#include "tools/dev-authority/dev_authority.h"

using namespace palisor;
using Clock = std::chrono::steady_clock;

namespace {

std::string postOnce(std::uint16_t port, const std::string& body) {
    return loopbackExchange(port, "POST", "/mcp", body, std::chrono::seconds(2), std::nullopt).body;
}

struct Percentiles {
    double p50;
    double p99;
};

Percentiles measure(int count, const std::function<void()>& work) {
    for (int i = 0; i < 20; ++i) work();  // warm up connections and caches
    std::vector<double> samples;
    samples.reserve(count);
    for (int i = 0; i < count; ++i) {
        auto start = Clock::now();
        work();
        samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

}  // namespace

int main() {
    constexpr int kCalls = 1000;
    constexpr const char* kProject = "BENCH-PROJECT";
    dev::DevAuthority authority;
    authority.addProject(kProject, "Bench");
    authority.addUser("bench@palisor.local", "bench-password", {kProject});
    authority.start();

    auto root = std::filesystem::temp_directory_path() / ("palisor-toolcall-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(root);
    std::ofstream(root / "AGENTS.md") << "- projectKey: " << kProject << "\n- authorityOrigin: " << authority.origin() << "\n";

    NativeTokenStore::Options storeOptions;
    storeOptions.keychainEnabled = false;
    AuthorityClient::Options clientOptions;
    clientOptions.authorityOrigin = authority.origin();
    clientOptions.tokenStore = std::make_shared<NativeTokenStore>(storeOptions);
    auto client = std::make_shared<AuthorityClient>(clientOptions);
    client->login("bench@palisor.local", "bench-password");
    auto registry = std::make_shared<WorkspaceRegistry>(authority.origin(), std::nullopt, nullptr);
    registry->add(root.string(), true, true);
    auto router = std::make_shared<ToolRouter>(client, registry);
    auto server = LocalMcpServer::create(0, std::make_shared<ToolRouterEndpoint>(router));
    server->start();
    std::uint16_t port = server->port();

    const std::string bootstrapCall =
        R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"authority_bootstrap","arguments":{}}})";
    const std::string operationCall =
        R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"authority_call_operation",)"
        R"("arguments":{"operationId":"projects.get"}}})";
    if (postOnce(port, operationCall).find("\"result\"") == std::string::npos) {
        std::fprintf(stderr, "the operation call failed; is projects.get in the catalogue?\n");
        return 1;
    }

    std::string token = clientOptions.tokenStore->webToken(0).value_or("");
    std::string catalogPath = std::string("/api/authority?projectKey=") + kProject;
    std::string operationPath = std::string("/api/projects/") + kProject;

    Percentiles bridgeBootstrap = measure(kCalls, [&] { postOnce(port, bootstrapCall); });
    Percentiles directBootstrap = measure(kCalls, [&] { client->request(catalogPath, "GET", std::nullopt, token); });
    Percentiles bridgeOperation = measure(kCalls, [&] { postOnce(port, operationCall); });
    Percentiles directOperation = measure(kCalls, [&] {
        client->request(catalogPath, "GET", std::nullopt, token);  // the catalogue lookup
        client->request(operationPath, "GET", std::nullopt, token);
    });

    std::printf("%-26s %10s %10s\n", "(ms)", "p50", "p99");
    std::printf("%-26s %10.3f %10.3f\n", "bootstrap via bridge", bridgeBootstrap.p50, bridgeBootstrap.p99);
    std::printf("%-26s %10.3f %10.3f\n", "bootstrap direct", directBootstrap.p50, directBootstrap.p99);
    std::printf("%-26s %10.3f %10.3f\n", "operation via bridge", bridgeOperation.p50, bridgeOperation.p99);
    std::printf("%-26s %10.3f %10.3f\n", "operation direct (2 GETs)", directOperation.p50, directOperation.p99);
    std::printf("added per upstream request at p50: bootstrap %.3f ms, operation %.3f ms (goal <= 0.3 ms)\n",
                bridgeBootstrap.p50 - directBootstrap.p50, (bridgeOperation.p50 - directOperation.p50) / 2);

    // The record's cost: rounds of operation calls with it off, then on.
    auto activity = std::make_shared<ActivityLog>(ActivityLog::Options{(root / "activity.jsonl").string()});
    std::vector<double> off;
    std::vector<double> on;
    constexpr int kRounds = 10;
    for (int round = 0; round < kRounds; ++round) {
        // Either order in turn, so that neither always follows the other.
        for (bool recording : {round % 2 == 1, round % 2 == 0}) {
            server->setActivityLog(recording ? activity : nullptr);
            Percentiles sample = measure(kCalls / 5, [&] { postOnce(port, operationCall); });
            (recording ? on : off).push_back(sample.p50);
        }
    }
    server->setActivityLog(nullptr);
    activity->flush();
    std::sort(off.begin(), off.end());
    std::sort(on.begin(), on.end());
    double offP50 = off[off.size() / 2];
    double onP50 = on[on.size() / 2];
    std::printf("%-26s %10.3f\n", "operation, record off", offP50);
    std::printf("%-26s %10.3f\n", "operation, record on", onP50);
    std::printf("the record adds %.3f ms per call at p50 (median of %d rounds; goal <= 0.02 ms)\n", onP50 - offP50,
                kRounds);
    if (auto failure = activity->lastError()) std::printf("the record could not be written: %s\n", failure->c_str());

    // What the record costs the request path alone, without the network:
    // the same request handled in this thread, the record off and on.
    const std::string listRequest =
        "POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: bench-agent/1.0\r\nContent-Length: 89\r\n\r\n"
        R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"bridge_list_workspaces"}})";
    auto endpoint = std::make_shared<ToolRouterEndpoint>(router);
    auto handled = [&](const std::shared_ptr<ActivityLog>& log) {
        return measure(20000, [&] { handleHttp(listRequest, EndpointContext{port, endpoint, log}); });
    };
    Percentiles inProcessOff = handled(nullptr);
    Percentiles inProcessOn = handled(activity);
    activity->flush();
    std::printf("in-process tools/call, record off %.4f ms, on %.4f ms at p50: the record adds %.4f ms\n",
                inProcessOff.p50, inProcessOn.p50, inProcessOn.p50 - inProcessOff.p50);
    server->stop();
    authority.stop();
    std::filesystem::remove_all(root);
    return 0;
}
