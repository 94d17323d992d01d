// Authenticated GETs through the authority client against the development
// authority on loopback: first one after another, then from 64 threads at
// once. Prints requests per second and how many TCP connections the
// authority accepted, which shows whether connections are reused.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "bridge/authority/authority_client.h"
#include "bridge/credentials/native_token_store.h"
#include "tools/dev-authority/dev_authority.h"

using namespace palisor;
using Clock = std::chrono::steady_clock;

int main() {
    dev::DevAuthority authority;
    authority.addProject("bench-project", "Bench");
    authority.addUser("bench@palisor.local", "bench-password", {"bench-project"});
    authority.start();

    NativeTokenStore::Options storeOptions;
    storeOptions.keychainEnabled = false;
    AuthorityClient::Options clientOptions;
    clientOptions.authorityOrigin = authority.origin();
    clientOptions.tokenStore = std::make_shared<NativeTokenStore>(storeOptions);
    AuthorityClient client(clientOptions);
    client.login("bench@palisor.local", "bench-password");

    constexpr int kSequential = 1000;
    auto connectionsBefore = authority.acceptedConnections();
    auto start = Clock::now();
    for (int i = 0; i < kSequential; ++i) client.requestWithWebSession("/api/auth/me");
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("sequential: %d GETs in %.3f s = %.0f requests/s, %zu TCP connections accepted\n", kSequential,
                seconds, kSequential / seconds, authority.acceptedConnections() - connectionsBefore);

    constexpr int kThreads = 64;
    constexpr int kPerThread = 100;
    std::atomic<int> failures{0};
    connectionsBefore = authority.acceptedConnections();
    start = Clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kPerThread; ++i) {
                try {
                    client.requestWithWebSession("/api/auth/me");
                } catch (const std::exception&) {
                    ++failures;
                }
            }
        });
    for (auto& thread : threads) thread.join();
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("concurrent: %d threads x %d GETs in %.3f s = %.0f requests/s, %zu TCP connections accepted, %d failed\n",
                kThreads, kPerThread, seconds, kThreads * kPerThread / seconds,
                authority.acceptedConnections() - connectionsBefore, failures.load());
    std::printf("goal: sequential <= 2 connections, concurrent <= 64 connections\n");
    authority.stop();
    return failures.load() == 0 ? 0 : 1;
}
