#include "bridge/app/cli/session_commands.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <thread>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bridge/app/cli/within_limit.h"
#include "bridge/app/advice.h"
#include "bridge/app/bridge_components.h"
#include "bridge/app/cli/loopback_http.h"
#include "bridge/app/cli/workspace_commands.h"
#include "bridge/app/configuration.h"
#include "bridge/app/executor_state_file.h"
#include "bridge/common/bridge_error.h"
#include "bridge/common/json.h"
#include "bridge/common/paths.h"
#include "bridge/common/text.h"
#include "bridge/common/url.h"
#include "bridge/credentials/credential_file_vault.h"
#include "bridge/credentials/secret_service_vault.h"
#include "bridge/workspace/agents_pointer.h"
#include "bridge/workspace/settings_store.h"

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
        termios saved{};
        bool restore = false;
        // Echo goes off before the prompt shows, so that nothing typed once
        // the prompt is there is echoed or flushed away.
        if (secret && ::tcgetattr(fd_, &saved) == 0) {
            termios quiet = saved;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            quiet.c_lflag |= ECHONL;
            restore = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
        }
        write(prompt);
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


constexpr const char* kMemoryOnlyHint =
    "PALISOR_BRIDGE_DISABLE_KEYCHAIN=1 chỉ giữ phiên trong bộ nhớ của một tiến trình: bỏ biến này "
    "(hoặc đặt PALISOR_BRIDGE_CREDENTIAL_FILE) để lệnh login lưu được phiên.";

// A path as the user typed it, "~/" taken as the home folder, relative to
// the current folder.
std::string typedPath(const Configuration& configuration, const std::string& text) {
    std::string path = trim(text);
    if (path == "~" || path.starts_with("~/")) path = configuration.folders.home + path.substr(1);
    return standardizePath(path);
}

// The Secret Service's state, or nullopt when it did not answer within a few
// seconds (the call goes on by itself and its answer is dropped).
std::optional<std::int32_t> keyringStatus() {
    return withinLimit<std::int32_t>(std::chrono::seconds(3), [] { return SecretServiceVault::defaultCollectionStatus(); });
}

// On a machine without a keyring, asks once where to keep the session
// instead; the answer is remembered with the login. nullopt when the user
// declined.
std::optional<std::string> askForCredentialFile(const Configuration& configuration, const LoginOptions::Ask& ask) {
    std::string offered = standardCredentialFilePath(configuration.folders);
    std::string answer = ask(
        "Máy này không có keyring (Secret Service) để giữ phiên đăng nhập.\nGiữ phiên trong file " + offered +
            " (mode 0600)? Enter để đồng ý, gõ một đường dẫn khác, hoặc \"k\" để thôi: ",
        false);
    answer = trim(answer);
    if (answer.empty()) return offered;
    if (answer == "k" || answer == "K" || answer == "không") return std::nullopt;
    return typedPath(configuration, answer);
}

}  // namespace

int runLogin(const Configuration& configuration, const LoginOptions& options, std::istream& in, std::ostream& out, std::ostream& err) {
    auto fail = [&err](const std::string& line) {
        err << line << "\n";
        return kExitFailure;
    };
    auto usageError = [&err](const std::string& line) {
        err << "palisor-bridge login: " << line << "\n";
        return kExitUsage;
    };
    std::optional<std::string> authority;
    if (options.authority) {
        auto url = Url::parse(trim(*options.authority));
        if (!url || url->host().empty() || (url->scheme() != "https" && url->scheme() != "http"))
            return usageError("--authority cần một origin dạng https://host[:port], không phải \"" + *options.authority +
                              "\".");
        authority = normalizeOrigin(trim(*options.authority));
    }
    // Remembered settings live in the settings file; without it they would
    // be forgotten as the command ends.
    if ((options.authority || options.credentialFile) && configuration.settingsPersistenceDisabled)
        return fail("Đăng nhập lỗi: SETTINGS_PERSISTENCE_DISABLED\nPALISOR_BRIDGE_DISABLE_SETTINGS_PERSISTENCE=1: "
                    "bridge không ghi file cài đặt, nên không nhớ được --authority hay --credential-file.");
    if (options.credentialFile && configuration.keychainDisabled)
        return fail(std::string("Đăng nhập lỗi: KEYCHAIN_DISABLED\n") + kMemoryOnlyHint);

    // The file this login chooses, remembered once the login succeeded.
    std::optional<std::string> chosenFile;
    CredentialStoreChoice configured = configuredCredentialStore(credentialSettings(configuration));
    if (options.credentialFile) {
        chosenFile = typedPath(configuration, *options.credentialFile);
        if (configured.source == CredentialStoreChoice::Source::environment && configured.file != *chosenFile)
            return fail("Đăng nhập lỗi: PALISOR_BRIDGE_CREDENTIAL_FILE=" + configured.file +
                        " được dùng trước file đã chọn.\nBỏ biến đó, hoặc đăng nhập không kèm --credential-file.");
    } else if (configured.kind == CredentialStoreChoice::Kind::keyring && options.ask &&
               keyringStatus() == vault_status::kServiceUnavailable) {
        chosenFile = askForCredentialFile(configuration, options.ask);
        if (!chosenFile) return fail("Chưa đăng nhập: không có chỗ giữ phiên.\n" + noKeyringHint(configuration));
    }
    std::optional<std::string> file = chosenFile ? chosenFile : configuredCredentialFile(configuration);

    // Said before the password is asked for: the session could not be kept.
    if (std::string problem = credentialFileProblem(configuration, file); !problem.empty())
        return fail("Đăng nhập lỗi: KEYCHAIN_WRITE_FAILED:" + std::to_string(vault_status::kFileNotPrivate) + "\n" +
                    problem);
    auto ask = [&](const char* prompt, bool secret) { return options.ask ? options.ask(prompt, secret) : std::string(); };
    std::string email = options.email ? *options.email : ask("Email: ", false);
    std::string password = options.passwordFromStdin ? readPasswordLine(in) : ask("Mật khẩu: ", true);
    email = trim(email);
    if (email.empty() || password.empty()) return fail("Cần nhập email và mật khẩu.");

    NativeTokenStore::Options storeOptions;
    storeOptions.credentials = credentialSettings(configuration);
    if (chosenFile)
        storeOptions.vault =
            std::make_shared<CredentialFileVault>(*chosenFile, standardCredentialFilePath(configuration.folders));
    auto tokenStore = std::make_shared<NativeTokenStore>(storeOptions);
    // A session kept in memory would end with this process: the login would
    // look successful and leave nobody logged in.
    if (!tokenStore->keychainEnabled()) return fail(std::string("Đăng nhập lỗi: KEYCHAIN_DISABLED\n") + kMemoryOnlyHint);
    JsonValue answer;
    try {
        answer = createAuthorityClient(configuration, tokenStore, authority)->login(email, password);
    } catch (const std::exception& error) {
        std::string advice = sessionStoreAdvice(configuration, error, file);
        return fail("Đăng nhập lỗi: " + errorMessage(error) + (advice.empty() ? "" : "\n" + advice));
    }
    std::string who = email;
    if (const JsonValue* user = objectMember(answer, "user"))
        if (auto stored = nonEmptyString(*user, "email")) who = *stored;
    out << "Đã đăng nhập: " << who << "\n";
    // Remembered only after the login worked: a mistyped origin or an
    // unwritable file must not become every program's setting.
    try {
        auto settings = settingsStore(configuration);
        if (authority) rememberSetting(*settings, kRememberedAuthorityKey, *authority);
        if (chosenFile) rememberSetting(*settings, kRememberedCredentialFileKey, *chosenFile);
    } catch (const std::exception& error) {
        return fail("Không nhớ được lựa chọn cho các lần sau: " + errorMessage(error));
    }
    if (authority) {
        out << "Authority " << *authority << " được nhớ cho mọi lệnh và cửa sổ.\n";
        if (configuration.authority && *configuration.authority != *authority)
            err << "PALISOR_BRIDGE_AUTHORITY=" << *configuration.authority
                      << " vẫn được dùng trước authority đã nhớ; bỏ biến đó để dùng " << *authority << ".\n";
    }
    if (chosenFile) out << "Phiên được giữ trong " << *chosenFile << "; lựa chọn này được nhớ.\n";
    return kExitSuccess;
}

int runLogout(const Configuration& configuration, std::ostream& out, std::ostream& err) {
    try {
        auto client = createAuthorityClient(configuration, createTokenStore(configuration));
        auto elsewhere = client->foreignSessionOrigin();
        client->logout();
        out << "Đã đăng xuất.\n";
        // Nothing to end here, and the user may have meant that other session.
        if (elsewhere)
            out << "Phiên đăng nhập với " << *elsewhere
                      << " vẫn được giữ; đặt PALISOR_BRIDGE_AUTHORITY=" << *elsewhere
                      << " rồi chạy palisor-bridge logout để đăng xuất khỏi đó.\n";
        return kExitSuccess;
    } catch (const std::exception& error) {
        std::string problem = credentialFileProblem(configuration);
        err << "Đăng xuất lỗi: " << errorMessage(error) << (problem.empty() ? "" : "\n" + problem) << "\n";
        return kExitFailure;
    }
}

namespace {

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
}  // namespace

int runStatus(const Configuration& configuration, bool json, std::ostream& out, std::ostream& err) {
    auto tokenStore = createTokenStore(configuration);
    auto client = createAuthorityClient(configuration, tokenStore);
    WebSessionValidation session = client->validateWebSession(true);
    std::uint16_t port = portSayingFallbackOnce(configuration, err);
    std::string endpoint = "http://127.0.0.1:" + std::to_string(port) + "/mcp";
    std::optional<std::string> email = session.storeUnavailable ? std::nullopt : storedUserEmail(*tokenStore);
    bool ok = session.loggedIn && session.confirmed;

    std::vector<std::string> notes;
    // The same wording as the window's status line.
    if (session.warning) notes.push_back(*session.warning);
    // A refused file reads as no session; say why, or a login looks lost.
    if (std::string problem = credentialFileProblem(configuration); !problem.empty()) notes.push_back(problem);
    bool running = bridgeAnswers(port);
    std::optional<uid_t> otherUser;
    if (!running) otherUser = otherUserOnPort(port);
    std::vector<PublishedExecutorState> executors;
    if (running) {
        // What the running bridge knows and this process cannot: its
        // executors, and a session it holds only in memory.
        if (auto published = readPublishedState(executorStatePath(configuration.folders, port), port)) {
            if (published->sessionWarning && published->sessionWarning != session.warning)
                notes.push_back(*published->sessionWarning);
            executors = std::move(published->executors);
        }
    }
    WorkspaceRegistrySnapshot snapshot = createWorkspaceRegistry(configuration, client->authorityOrigin())->snapshot();
    ActivitySetting activity = configuredActivity(configuration);

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
            {"activity", {{"recorded", activity.enabled}, {"path", activity.path}}},
        };
        if (otherUser) report["bridge"]["otherUserUid"] = static_cast<std::int64_t>(otherUser.value_or(0));
        out << dumpPretty(report).value_or("{}") << "\n";
        return ok ? kExitSuccess : kExitFailure;
    }

    for (const std::string& note : notes) out << note << "\n";
    if (session.storeUnavailable) {
        // Said by the warning above: neither logged in nor out as far as we know.
    } else if (session.loggedIn) {
        out << "Đã đăng nhập." << (email ? " " + *email : std::string()) << "\n";
    } else {
        out << "Chưa đăng nhập.\n";
    }
    AuthoritySetting authority = configuredAuthority(configuration);
    out << "Authority: " << describeAuthority(authority) << "\n";
    CredentialStoreChoice store = configuredCredentialStore(credentialSettings(configuration));
    if (store.source == CredentialStoreChoice::Source::remembered)
        out << "Kho phiên: " << store.file << " (đã nhớ từ palisor-bridge login)\n";
    if (running)
        out << "Bridge đang chạy tại " << endpoint << "\n";
    else if (otherUser)
        out << otherUserOnPortAdvice(port, *otherUser) << "\n";
    else
        out << "Bridge chưa chạy. (" << endpoint << ")\n";
    if (activity.enabled)
        out << "Hoạt động của agent: ghi vào " << activity.path << " (xem bằng palisor-bridge activity)\n";
    else
        out << "Hoạt động của agent: không ghi (PALISOR_BRIDGE_ACTIVITY=off)\n";
    out << snapshot.workspaces.size() << " workspace đã đăng ký\n" << describeWorkspaces(snapshot);
    if (!executors.empty()) {
        out << "Validation executor:\n";
        for (const PublishedExecutorState& state : executors)
            out << "  " << state.projectKey << " (" << state.workspaceId << "): " << state.text << "\n";
    }
    return ok ? kExitSuccess : kExitFailure;
}

void addSessionCommands(CLI::App& app, CommandAction& action, const Configuration& configuration) {
    auto options = std::make_shared<LoginOptions>();
    auto* login = app.add_subcommand("login", "Đăng nhập authority và giữ phiên cho bridge.");
    login->add_option_function<std::string>(
        "--email", [options](const std::string& email) { options->email = email; },
        "Địa chỉ e-mail (hỏi trên terminal khi thiếu)");
    login->add_flag("--password-stdin", options->passwordFromStdin, "Đọc mật khẩu từ dòng đầu của đầu vào chuẩn");
    login->add_option_function<std::string>(
        "--authority", [options](const std::string& origin) { options->authority = origin; },
        "Đăng nhập với authority này (https://host[:port]) và nhớ nó cho mọi lệnh và cửa sổ của bridge");
    login->add_option_function<std::string>(
        "--credential-file", [options](const std::string& path) { options->credentialFile = path; },
        "Giữ phiên trong file này (mode 0600) thay cho keyring, và nhớ lựa chọn này");
    login->callback([&action, &configuration, options] {
        action = [&configuration, options] {
            // Prompts go to the controlling terminal even when standard input
            // or output is redirected.
            auto terminal = std::make_shared<Terminal>();
            LoginOptions asked = *options;
            if (terminal->available())
                asked.ask = [terminal](const std::string& prompt, bool secret) { return terminal->ask(prompt, secret); };
            return runLogin(configuration, asked, std::cin, std::cout, std::cerr);
        };
    });

    app.add_subcommand("logout", "Đăng xuất và quên phiên đã lưu.")->callback([&action, &configuration] {
        action = [&configuration] { return runLogout(configuration, std::cout, std::cerr); };
    });

    auto json = std::make_shared<bool>(false);
    auto* status = app.add_subcommand(
        "status", "Cho biết phiên đăng nhập, authority, endpoint và các workspace; mã thoát 0 chỉ khi đã đăng "
                  "nhập và authority chấp nhận phiên.");
    status->add_flag("--json", *json, "In kết quả dưới dạng JSON");
    status->callback([&action, &configuration, json] {
        action = [&configuration, json] { return runStatus(configuration, *json, std::cout, std::cerr); };
    });
}

}  // namespace palisor
