#include "bridge/app/cli/stdio_command.h"

#include <csignal>
#include <iostream>
#include <mutex>
#include <string>

#include "bridge/app/cli/loopback_http.h"
#include "bridge/app/configuration.h"
#include "bridge/common/json.h"
#include "bridge/common/text.h"
#include "bridge/common/work_queue.h"

namespace palisor {

namespace {

// Enough for many long tool calls at once; a client that sends more waits
// for one of them to finish.
constexpr std::size_t kMaxConcurrentMessages = 64;

std::string errorLine(const JsonValue& id, int code, const std::string& message,
                      const std::optional<JsonValue>& data = std::nullopt) {
    JsonValue error = {{"code", code}, {"message", message}};
    if (data) error["data"] = *data;
    JsonValue line = {{"jsonrpc", "2.0"}, {"id", id}, {"error", error}};
    return dumpCompact(line).value_or(R"({"jsonrpc":"2.0","id":null,"error":{"code":-32603,"message":"INTERNAL_ERROR"}})");
}

// The bridge's answer as one output line. A JSON-RPC answer goes out as it
// came (made compact when it spans lines); anything else (a plain route's
// refusal, an empty body) becomes a JSON-RPC error for the message's id.
std::string answerLine(const JsonValue& id, const LoopbackAnswer& answer, const std::string& endpoint) {
    auto body = parseJson(answer.body);
    bool jsonRpc = body && (body->is_array() || (body->is_object() && body->contains("jsonrpc")));
    if (jsonRpc) {
        if (answer.body.find_first_of("\r\n") == std::string::npos) return answer.body;
        if (auto compact = dumpCompact(*body)) return *compact;
    }
    std::string code = "BRIDGE_HTTP_" + std::to_string(answer.status);
    if (body && body->is_object())
        if (auto named = nonEmptyString(*body, "error")) code = *named;
    return errorLine(id, -32000, code, JsonValue{{"endpoint", endpoint}, {"status", answer.status}});
}

}  // namespace

int runStdioRelay(const Configuration& configuration, std::istream& in, std::ostream& out, std::ostream& err) {
    const std::uint16_t port = portSayingFallbackOnce(configuration, err);
    const std::string endpoint = "http://127.0.0.1:" + std::to_string(port) + "/mcp";
    // Answers are written from the relay threads under outputLock; an input
    // stream tied to the output would flush it from this thread without it.
    in.tie(nullptr);
    std::mutex outputLock;
    auto emit = [&](const std::string& line) {
        std::lock_guard guard(outputLock);
        out << line << '\n';
        out.flush();
    };

    // Messages are relayed concurrently: a tool call may block for minutes,
    // and the client may meanwhile send pings, cancellations or other calls.
    // Answers carry their id, so their order does not matter.
    std::once_flag toldOtherUser;
    WorkQueue relays("vn.palisor.bridge.stdio", kMaxConcurrentMessages);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (trim(line).empty()) continue;
        auto message = parseJson(line);
        if (!message) {
            emit(errorLine(nullptr, -32700, "INVALID_JSON"));
            continue;
        }
        // A notification (an object without "id") is relayed but not answered.
        bool answered = !message->is_object() || message->contains("id");
        JsonValue id = message->is_object() && message->contains("id") ? (*message)["id"] : JsonValue(nullptr);
        relays.post([&, body = std::move(line), answered, id] {
            try {
                LoopbackAnswer answer = loopbackExchange(port, "POST", "/mcp", body, std::chrono::seconds(2), std::nullopt);
                if (answered) emit(answerLine(id, answer, endpoint));
            } catch (const LoopbackHttpError& error) {
                // The agent only shows the code; its user learns here why and what to do.
                std::string_view code = error.code();
                if (startsWith(code, kOtherUserCode))
                    if (auto uid = parseDecimalInteger(code.substr(code.find(':') + 1)))
                        std::call_once(toldOtherUser, [&] {
                            err << otherUserOnPortAdvice(port, static_cast<uid_t>(*uid)) << std::endl;
                        });
                if (answered) emit(errorLine(id, -32000, error.code(), JsonValue{{"endpoint", endpoint}}));
            }
        });
        line.clear();
    }
    relays.waitUntilIdle();
    return kExitSuccess;
}

void addStdioCommand(CLI::App& app, CommandAction& action, const Configuration& configuration) {
    app.add_subcommand("stdio",
                       "Chuyển JSON-RPC (mỗi thông điệp một dòng) giữa đầu vào/ra chuẩn và bridge đang chạy.")
        ->callback([&action, &configuration] {
            action = [&configuration] {
                std::signal(SIGPIPE, SIG_IGN);
                std::ios::sync_with_stdio(false);
                return runStdioRelay(configuration, std::cin, std::cout, std::cerr);
            };
        });
}

}  // namespace palisor
