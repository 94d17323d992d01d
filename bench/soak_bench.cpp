// The load side of bench/soak: concurrent MCP clients calling a mix of tools
// on a running `palisor-bridge serve` for a while, and, at every interval,
// the bridge's resident memory, open file descriptors and threads (from
// /proc) with the tool results of that interval by kind:
//   ok           a tool result
//   authority    what the authority failed at, as the bridge reports it: an
//                error carrying the authority's 5xx status, a work event
//                queued for retry, or the authority unreachable (a transport
//                failure, while its port is closed)
//   other        anything else: a bridge error, a non-JSON-RPC answer, no
//                answer from the bridge at all
// Started by bench/soak, which sets up the authority and the bridge.
#include <httplib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bridge/common/json.h"

namespace {

using Clock = std::chrono::steady_clock;
using palisor::JsonValue;

struct Settings {
    int port = 0;
    pid_t pid = 0;
    int seconds = 600;
    int interval = 60;
    int clients = 16;
    std::string projectKey = "DEMO";
};

enum Kind { ok, authority, other };

struct Tally {
    std::size_t counts[3] = {0, 0, 0};
    std::map<std::string, std::size_t> byTool[3];
    std::map<std::string, std::size_t> otherMessages;
    std::vector<double> latencyMs;
};

std::mutex tallyLock;
Tally interval;
Tally total;

void record(const std::string& tool, Kind kind, double ms, const std::string& message) {
    std::lock_guard guard(tallyLock);
    for (Tally* tally : {&interval, &total}) {
        ++tally->counts[kind];
        ++tally->byTool[kind][tool];
        if (kind == other) ++tally->otherMessages[message.substr(0, 160)];
        tally->latencyMs.push_back(ms);
    }
}

// Failures the bridge names with our own upper-case codes are its verdicts;
// a transport failure carries curl's text instead.
bool isCode(const std::string& message) {
    return !message.empty() && std::all_of(message.begin(), message.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == ':' || c == '-' || c == '.';
    });
}

Kind classify(const httplib::Result& answer, std::string& message) {
    if (!answer) {
        message = "no answer from the bridge: " + httplib::to_string(answer.error());
        return other;
    }
    if (answer->status != 200) {
        message = "HTTP " + std::to_string(answer->status) + " " + answer->body.substr(0, 100);
        return other;
    }
    auto body = palisor::parseJson(answer->body);
    if (!body || !body->is_object()) {
        message = "not JSON: " + answer->body.substr(0, 100);
        return other;
    }
    if (const JsonValue* error = palisor::objectMember(*body, "error")) {
        message = palisor::optString(*error, "message").value_or("?");
        if (const JsonValue* data = palisor::objectMember(*error, "data"))
            if (palisor::optInt64(*data, "statusCode").value_or(0) >= 500) return authority;
        if (!isCode(message)) return authority;  // the authority unreachable
        return other;
    }
    const JsonValue* result = palisor::objectMember(*body, "result");
    const JsonValue* content = result ? palisor::arrayMember(*result, "content") : nullptr;
    if (!content || content->empty()) {
        message = "result without content";
        return other;
    }
    JsonValue value = palisor::parseJsonObject(std::string_view(content->at(0).value("text", "")));
    if (palisor::optString(value, "code") == "AI_WORK_EVENT_QUEUED_FOR_RETRY") return authority;
    return ok;
}

struct ToolCall {
    std::string tool;
    JsonValue arguments;
};

ToolCall nextCall(int client, std::size_t n, const Settings& settings) {
    JsonValue project = {{"projectKey", settings.projectKey}};
    switch ((n + static_cast<std::size_t>(client)) % 7) {
        case 0:
            return {"authority_bootstrap", project};
        case 1:
            return {"authority_list_operations", project};
        case 2: {
            JsonValue args = project;
            args["operationId"] = "tasks.list";
            args["query"] = {{"limit", 5}};
            return {"authority_call_operation", args};
        }
        case 3: {
            JsonValue args = project;
            args["operationId"] = "projects.get";
            return {"authority_call_operation", args};
        }
        case 4: {
            JsonValue args = project;
            std::string key = "soak-" + std::to_string(::getpid()) + "-" + std::to_string(client) + "-" + std::to_string(n);
            args["event"] = {{"idempotencyKey", key},
                             {"kind", "tool"},
                             {"eventType", "soak.call"},
                             {"outcome", "success"},
                             {"summary", "soak client " + std::to_string(client) + " call " + std::to_string(n)},
                             {"attributes", {{"client", client}, {"call", n}}}};
            return {"authority_log_work_event", args};
        }
        case 5:
            return {"authority_health", JsonValue::object()};
        default:
            return {"bridge_list_workspaces", JsonValue::object()};
    }
}

void runClient(int client, const Settings& settings, Clock::time_point deadline) {
    httplib::Client http("127.0.0.1", settings.port);
    http.set_connection_timeout(5, 0);
    http.set_read_timeout(120, 0);
    for (std::size_t n = 0; Clock::now() < deadline; ++n) {
        ToolCall call = nextCall(client, n, settings);
        JsonValue request = {{"jsonrpc", "2.0"},
                             {"id", n},
                             {"method", "tools/call"},
                             {"params", {{"name", call.tool}, {"arguments", call.arguments}}}};
        auto started = Clock::now();
        auto answer = http.Post("/mcp", request.dump(), "application/json");
        double ms = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
        std::string message;
        record(call.tool, classify(answer, message), ms, message);
    }
}

long statusField(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field + ":", 0) == 0) return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
    return -1;
}

long openDescriptors(pid_t pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR* folder = ::opendir(path.c_str());
    if (!folder) return -1;
    long count = 0;
    while (dirent* entry = ::readdir(folder))
        if (entry->d_name[0] != '.') ++count;
    ::closedir(folder);
    return count;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::size_t at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at), values.end());
    return values[at];
}

void printRow(const std::string& label, pid_t pid, const Tally& tally) {
    std::printf("%-7s %9.1f %5ld %7ld %8zu %9zu %6zu %8.1f %8.1f\n", label.c_str(),
                static_cast<double>(statusField(pid, "VmRSS")) / 1024.0, openDescriptors(pid),
                statusField(pid, "Threads"), tally.counts[ok], tally.counts[authority], tally.counts[other],
                percentile(tally.latencyMs, 0.5), percentile(tally.latencyMs, 0.99));
    std::fflush(stdout);
}

void printTools(const Tally& tally) {
    const char* names[3] = {"ok", "authority", "other"};
    for (int kind = 0; kind < 3; ++kind) {
        std::printf("  %-10s", names[kind]);
        for (const auto& [tool, count] : tally.byTool[kind]) std::printf(" %s=%zu", tool.c_str(), count);
        std::printf("\n");
    }
    for (const auto& [message, count] : tally.otherMessages) std::printf("  other: %zu x %s\n", count, message.c_str());
}

int usage() {
    std::cerr << "usage: palisor_soak_bench --port N --pid PID [--seconds S] [--interval S] [--clients N] "
                 "[--project KEY]\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        std::string value = argv[i + 1];
        if (name == "--port") settings.port = std::atoi(value.c_str());
        else if (name == "--pid") settings.pid = std::atoi(value.c_str());
        else if (name == "--seconds") settings.seconds = std::atoi(value.c_str());
        else if (name == "--interval") settings.interval = std::atoi(value.c_str());
        else if (name == "--clients") settings.clients = std::atoi(value.c_str());
        else if (name == "--project") settings.projectKey = value;
        else return usage();
    }
    if (settings.port <= 0 || settings.pid <= 0 || settings.seconds <= 0 || settings.interval <= 0 ||
        settings.clients <= 0)
        return usage();

    std::printf("%d clients for %d s against the bridge (pid %d, port %d); a row every %d s\n", settings.clients,
                settings.seconds, static_cast<int>(settings.pid), settings.port, settings.interval);
    std::printf("%-7s %9s %5s %7s %8s %9s %6s %8s %8s\n", "time", "rss-MiB", "fds", "threads", "ok", "authority",
                "other", "p50-ms", "p99-ms");
    printRow("start", settings.pid, Tally{});

    auto start = Clock::now();
    auto deadline = start + std::chrono::seconds(settings.seconds);
    std::vector<std::thread> clients;
    for (int client = 0; client < settings.clients; ++client)
        clients.emplace_back(runClient, client, std::cref(settings), deadline);

    for (int tick = 1;; ++tick) {
        auto at = start + std::chrono::seconds(static_cast<long long>(tick) * settings.interval);
        if (at > deadline) at = deadline;
        std::this_thread::sleep_until(at);
        Tally slice;
        {
            std::lock_guard guard(tallyLock);
            slice = std::move(interval);
            interval = Tally{};
        }
        long elapsed = static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(at - start).count());
        printRow(std::to_string(elapsed) + "s", settings.pid, slice);
        if (at >= deadline) break;
    }
    for (std::thread& client : clients) client.join();

    std::printf("\nwhole run (calls finishing after the last row included):\n");
    printRow("total", settings.pid, total);
    printTools(total);
    std::printf("errors other than the authority's own: %zu\n", total.counts[other]);
    return 0;
}
