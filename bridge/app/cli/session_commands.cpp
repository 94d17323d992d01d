#include "bridge/app/cli/session_commands.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bridge/app/advice.h"
#include "bridge/app/bridge_components.h"
#include "bridge/app/cli/loopback_http.h"
#include "bridge/app/cli/workspace_commands.h"
#include "bridge/app/configuration.h"
#include "bridge/app/executor_state_file.h"
#include "bridge/common/bridge_error.h"
#include "bridge/common/json.h"
#include "bridge/common/text.h"
#include "bridge/credentials/credential_file_vault.h"

namespace palisor {

namespace {

// The controlling terminal, where prompts go even when standard input or
// output is redirected; absent without one (a service, a pipe from a script).
class Terminal {
public:
    Terminal() : fd_(::open("/dev/tty", O_RDWR | O_CLOEXEC)) {}
    ~Terminal() {
        if (fd_ >= 0) ::close(fd_);
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    bool available() const { return fd_ >= 0; }

    // Shows the prompt and reads one line; without echo when `secret`.
    std::string ask(const std::string& prompt, bool secret) {
        if (fd_ < 0) return {};
        write(prompt);
        termios saved{};
        bool restore = false;
        if (secret && ::tcgetattr(fd_, &saved) == 0) {
            termios quiet = saved;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            quiet.c_lflag |= ECHONL;
            restore = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
        }
        std::string line;
        char c = 0;
        while (::read(fd_, &c, 1) == 1 && c != '\n') line.push_back(c);
        if (restore) ::tcsetattr(fd_, TCSAFLUSH, &saved);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
    }

private:
    void write(const std::string& text) {
        std::size_t done = 0;
        while (done < text.size()) {
            ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
            if (n <= 0) return;
            done += static_cast<std::size_t>(n);
        }
    }

    int fd_;
};

std::string readPasswordLine(std::istream& in) {
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

int fail(const std::string& line) {
    std::cerr << line << "\n";
    return kExitFailure;
}

struct LoginOptions {
    std::optional<std::string> email;
    bool passwordFromStdin = false;
};

constexpr const char* kMemoryOnlyHint =
    "PALISOR_BRIDGE_DISABLE_KEYCHAIN=1 chỉ giữ phiên trong bộ nhớ của một tiến trình: bỏ biến này "
    "(hoặc đặt PALISOR_BRIDGE_CREDENTIAL_FILE) để lệnh login lưu được phiên.";

int runLogin(const LoginOptions& options) {
    // Said before the password is asked for: the session could not be kept.
    if (std::string problem = credentialFileProblem(); !problem.empty())
        return fail("Đăng nhập lỗi: KEYCHAIN_WRITE_FAILED:" + std::to_string(vault_status::kFileNotPrivate) + "\n" +
                    problem);
    Terminal terminal;
    std::string email = options.email ? *options.email : terminal.ask("Email: ", false);
    std::string password = options.passwordFromStdin ? readPasswordLine(std::cin) : terminal.ask("Mật khẩu: ", true);
    email = trim(email);
    if (email.empty() || password.empty()) return fail("Cần nhập email và mật khẩu.");

    auto tokenStore = std::make_shared<NativeTokenStore>();
    // A session kept in memory would end with this process: the login would
    // look successful and leave nobody logged in.
    if (!tokenStore->keychainEnabled()) return fail(std::string("Đăng nhập lỗi: KEYCHAIN_DISABLED\n") + kMemoryOnlyHint);
    try {
        JsonValue answer = createAuthorityClient(tokenStore)->login(email, password);
        std::string who = email;
        if (const JsonValue* user = objectMember(answer, "user"))
            if (auto stored = nonEmptyString(*user, "email")) who = *stored;
        std::cout << "Đã đăng nhập: " << who << "\n";
        return kExitSuccess;
    } catch (const std::exception& error) {
        std::string advice = sessionStoreAdvice(error);
        return fail("Đăng nhập lỗi: " + errorMessage(error) + (advice.empty() ? "" : "\n" + advice));
    }
}

int runLogout() {
    try {
        auto client = createAuthorityClient(std::make_shared<NativeTokenStore>());
        auto elsewhere = client->foreignSessionOrigin();
        client->logout();
        std::cout << "Đã đăng xuất.\n";
        // Nothing to end here, and the user may have meant that other session.
        if (elsewhere)
            std::cout << "Phiên đăng nhập với " << *elsewhere
                      << " vẫn được giữ; đặt PALISOR_BRIDGE_AUTHORITY=" << *elsewhere
                      << " rồi chạy palisor-bridge logout để đăng xuất khỏi đó.\n";
        return kExitSuccess;
    } catch (const std::exception& error) {
        std::string problem = credentialFileProblem();
        return fail("Đăng xuất lỗi: " + errorMessage(error) + (problem.empty() ? "" : "\n" + problem));
    }
}

// The signed-in user's e-mail as the login stored it, when known.
std::optional<std::string> storedUserEmail(NativeTokenStore& store) {
    JsonValue record = store.readSession();
    const JsonValue* web = objectMember(record, "web");
    const JsonValue* user = web ? objectMember(*web, "user") : nullptr;
    return user ? nonEmptyString(*user, "email") : std::nullopt;
}

// Prints what is known and returns 0 only when someone is logged in and the
// authority accepted the session just now. It changes nothing: a session the
// authority refuses stays stored (the window, or a login, deals with it).
int runStatus(bool json) {
    auto tokenStore = std::make_shared<NativeTokenStore>();
    auto client = createAuthorityClient(tokenStore);
    WebSessionValidation session = client->validateWebSession(true);
    std::uint16_t port = portFromEnvironment();
    std::string endpoint = "http://127.0.0.1:" + std::to_string(port) + "/mcp";
    std::optional<std::string> email = session.storeUnavailable ? std::nullopt : storedUserEmail(*tokenStore);
    bool ok = session.loggedIn && session.confirmed;

    std::vector<std::string> notes;
    // The same wording as the window's status line.
    if (session.warning) notes.push_back(*session.warning);
    // A refused file reads as no session; say why, or a login looks lost.
    if (std::string problem = credentialFileProblem(); !problem.empty()) notes.push_back(problem);
    bool running = bridgeAnswers(port);
    std::optional<uid_t> otherUser;
    if (!running) otherUser = otherUserOnPort(port);
    std::vector<PublishedExecutorState> executors;
    if (running) {
        // What the running bridge knows and this process cannot: a session it
        // holds only in memory, for one.
        if (auto warning = readPublishedSessionWarning(executorStatePath(port), port); warning && warning != session.warning)
            notes.push_back(*warning);
        // Executors live in the running bridge; without one there is nothing to say.
        if (auto states = readExecutorStates(executorStatePath(port), port)) executors = std::move(*states);
    }
    WorkspaceRegistrySnapshot snapshot = createWorkspaceRegistry(client->authorityOrigin())->snapshot();

    if (json) {
        JsonValue executorList = JsonValue::array();
        for (const PublishedExecutorState& state : executors)
            executorList.push_back({{"workspaceId", state.workspaceId},
                                    {"projectKey", state.projectKey},
                                    {"state", state.state},
                                    {"text", state.text}});
        JsonValue report = {
            {"ok", ok},
            {"loggedIn", session.loggedIn},
            {"sessionConfirmed", session.confirmed},
            {"credentialStoreAvailable", !session.storeUnavailable},
            {"account", email ? JsonValue(*email) : JsonValue()},
            {"authority", client->authorityOrigin()},
            {"notes", notes},
            {"bridge", {{"running", running}, {"endpoint", endpoint}, {"port", port}}},
            {"workspaces", describeWorkspacesJson(snapshot)},
            {"executors", std::move(executorList)},
        };
        if (otherUser) report["bridge"]["otherUserUid"] = static_cast<std::int64_t>(otherUser.value_or(0));
        std::cout << dumpPretty(report).value_or("{}") << "\n";
        return ok ? kExitSuccess : kExitFailure;
    }

    for (const std::string& note : notes) std::cout << note << "\n";
    if (session.storeUnavailable) {
        // Said by the warning above: neither logged in nor out as far as we know.
    } else if (session.loggedIn) {
        std::cout << "Đã đăng nhập." << (email ? " " + *email : std::string()) << "\n";
    } else {
        std::cout << "Chưa đăng nhập.\n";
    }
    std::cout << "Authority: " << client->authorityOrigin() << "\n";
    if (running)
        std::cout << "Bridge đang chạy tại " << endpoint << "\n";
    else if (otherUser)
        std::cout << otherUserOnPortAdvice(port, *otherUser) << "\n";
    else
        std::cout << "Bridge chưa chạy. (" << endpoint << ")\n";
    std::cout << snapshot.workspaces.size() << " workspace đã đăng ký\n" << describeWorkspaces(snapshot);
    if (!executors.empty()) {
        std::cout << "Validation executor:\n";
        for (const PublishedExecutorState& state : executors)
            std::cout << "  " << state.projectKey << " (" << state.workspaceId << "): " << state.text << "\n";
    }
    return ok ? kExitSuccess : kExitFailure;
}

}  // namespace

void addSessionCommands(CLI::App& app, CommandAction& action) {
    auto options = std::make_shared<LoginOptions>();
    auto* login = app.add_subcommand("login", "Đăng nhập authority và giữ phiên cho bridge.");
    login->add_option_function<std::string>(
        "--email", [options](const std::string& email) { options->email = email; },
        "Địa chỉ e-mail (hỏi trên terminal khi thiếu)");
    login->add_flag("--password-stdin", options->passwordFromStdin, "Đọc mật khẩu từ dòng đầu của đầu vào chuẩn");
    login->callback([&action, options] { action = [options] { return runLogin(*options); }; });

    app.add_subcommand("logout", "Đăng xuất và quên phiên đã lưu.")->callback([&action] { action = runLogout; });

    auto json = std::make_shared<bool>(false);
    auto* status = app.add_subcommand(
        "status", "Cho biết phiên đăng nhập, authority, endpoint và các workspace; mã thoát 0 chỉ khi đã đăng "
                  "nhập và authority chấp nhận phiên.");
    status->add_flag("--json", *json, "In kết quả dưới dạng JSON");
    status->callback([&action, json] { action = [json] { return runStatus(*json); }; });
}

}  // namespace palisor
