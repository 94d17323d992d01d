// The command line end to end: the real program against the development
// authority, with its own settings folder and credential file.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <thread>

#include "bridge/authority/authority_client_error.h"
#include "bridge/common/json.h"
#include "tests/support/bridge_process.h"
#include "tests/support/http_client.h"
#include "tests/support/temp_dir.h"
#include "tools/dev-authority/dev_authority.h"

namespace palisor {
namespace {

using test::CommandResult;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class CommandLine : public ::testing::Test {
protected:
    void SetUp() override {
        authority.addUser("dev@palisor.test", "right-password", {"CLI", "OTHER"});
        authority.start();
        port = test::freePort();
    }

    std::vector<std::string> environment(std::vector<std::string> extra = {}) const {
        extra.push_back("PALISOR_BRIDGE_AUTHORITY=" + authority.origin());
        extra.push_back("PALISOR_BRIDGE_PORT=" + std::to_string(port));
        if (useCredentialFile) extra.push_back("PALISOR_BRIDGE_CREDENTIAL_FILE=" + credentials());
        return test::bridgeEnvironment(configHome(), extra);
    }

    CommandResult run(const std::vector<std::string>& arguments, const std::string& input = {},
                      std::vector<std::string> extra = {}) const {
        return test::runProgram(test::kBridgeExecutable, arguments, environment(std::move(extra)), input);
    }

    // No keyring to be found: no session bus, nor one to start from the runtime folder.
    std::vector<std::string> keylessEnvironment(std::vector<std::string> extra) const {
        extra.push_back("XDG_RUNTIME_DIR=" + home.path());
        std::vector<std::string> keyless;
        for (const std::string& entry : test::bridgeEnvironment(configHome(), extra))
            if (!entry.starts_with("DBUS_SESSION_BUS_ADDRESS=") && !entry.starts_with("DISPLAY=") &&
                !entry.starts_with("WAYLAND_DISPLAY="))
                keyless.push_back(entry);
        return keyless;
    }

    std::string configHome() const { return home.path() + "/config"; }
    std::string credentials() const { return home.path() + "/credentials.json"; }

    // A folder whose AGENTS.md points at this authority.
    std::string workspace(const std::string& name, const std::string& projectKey) const {
        return test::makeWorkspace(home.path(), name, projectKey, authority.origin());
    }

    dev::DevAuthority authority;
    test::TempDir home;
    std::uint16_t port = 0;
    bool useCredentialFile = true;
};

TEST_F(CommandLine, LoginStatusAndLogoutUseTheCredentialFile) {
    // Refused before anything is sent: blank e-mail, empty password, and no
    // terminal to ask on (the tests run without one).
    for (const auto& [arguments, input] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"login", "--email", "   ", "--password-stdin"}, "right-password\n"},
             {{"login", "--email", "dev@palisor.test", "--password-stdin"}, "\n"},
             {{"login"}, ""}}) {
        CommandResult refused = run(arguments, input);
        EXPECT_EQ(refused.exitCode, 1);
        EXPECT_EQ(refused.err, "Cần nhập email và mật khẩu.\n") << input;
    }
    EXPECT_EQ(authority.requestCount("POST", "/api/auth/login"), 0u);

    CommandResult wrong = run({"login", "--email", "dev@palisor.test", "--password-stdin"}, "wrong-password\n");
    EXPECT_EQ(wrong.exitCode, 1);
    EXPECT_TRUE(wrong.out.empty()) << wrong.out;
    // The prefix, then the authority's own description of the failure.
    ASSERT_EQ(wrong.err.rfind("Đăng nhập lỗi: ", 0), 0u) << wrong.err;
    EXPECT_GT(wrong.err.size(), std::string("Đăng nhập lỗi: \n").size()) << wrong.err;
    CommandResult loggedOut = run({"status"});
    EXPECT_TRUE(contains(loggedOut.out, "Chưa đăng nhập.\n"));
    EXPECT_EQ(loggedOut.exitCode, 1);

    // The password line keeps its inner spaces; a CR of a Windows-made file goes.
    authority.addUser("dev@palisor.test", "right password", {"CLI"});
    CommandResult right = run({"login", "--email", " dev@palisor.test ", "--password-stdin"}, "right password\r\n");
    ASSERT_EQ(right.exitCode, 0) << right.err;
    EXPECT_EQ(right.out, "Đã đăng nhập: dev@palisor.test\n");
    EXPECT_TRUE(std::filesystem::exists(credentials()));

    CommandResult status = run({"status"});
    EXPECT_EQ(status.exitCode, 0) << status.err;
    EXPECT_TRUE(contains(status.out, "Đã đăng nhập. dev@palisor.test\n")) << status.out;
    EXPECT_TRUE(contains(status.out, "Authority: " + authority.origin() + " (PALISOR_BRIDGE_AUTHORITY)\n")) << status.out;
    EXPECT_TRUE(contains(status.out, "Bridge chưa chạy. (http://127.0.0.1:" + std::to_string(port) + "/mcp)\n"))
        << status.out;
    EXPECT_TRUE(contains(status.out, "0 workspace đã đăng ký\n")) << status.out;
    // The answer is honest: the session was checked with the authority.
    EXPECT_GE(authority.requestCount("GET", "/api/auth/me"), 1u);
    CommandResult json = run({"status", "--json"});
    EXPECT_EQ(json.exitCode, 0) << json.err;
    auto report = parseJson(json.out);
    ASSERT_TRUE(report) << json.out;
    EXPECT_EQ((*report)["ok"], true);
    EXPECT_EQ((*report)["account"], "dev@palisor.test");
    EXPECT_EQ((*report)["authority"], authority.origin());
    EXPECT_EQ((*report)["bridge"]["running"], false);
    EXPECT_EQ((*report)["workspaces"]["workspaces"], JsonValue::array());

    // A session the authority refuses: status says so and exits 1, and leaves
    // it stored, as doctor (whose checks carry stable ids) then shows.
    authority.expireAccessTokens();
    CommandResult refused = run({"status", "--json"});
    EXPECT_EQ(refused.exitCode, 1);
    report = parseJson(refused.out);
    ASSERT_TRUE(report) << refused.out;
    EXPECT_EQ((*report)["loggedIn"], false);
    EXPECT_EQ((*report)["notes"][0], "Phiên đăng nhập không còn hợp lệ. Vui lòng đăng nhập lại.");
    auto doctor = parseJson(run({"doctor", "--json"}).out);
    ASSERT_TRUE(doctor);
    JsonValue session;
    for (const JsonValue& check : (*doctor)["checks"])
        if (check["id"] == "session") session = check;
    EXPECT_TRUE(contains(session.value("detail", ""), "dev@palisor.test: authority từ chối phiên này")) << session;

    CommandResult logout = run({"logout"});
    EXPECT_EQ(logout.exitCode, 0) << logout.err;
    EXPECT_EQ(logout.out, "Đã đăng xuất.\n");
    EXPECT_EQ(authority.requestCount("POST", "/api/auth/logout"), 1u);
    EXPECT_TRUE(contains(run({"status"}).out, "Chưa đăng nhập.\n"));
}

TEST_F(CommandLine, LoginRefusesASessionThatWouldNotOutliveTheCommand) {
    useCredentialFile = false;  // memory-only sessions
    CommandResult login = run({"login", "--email", "dev@palisor.test", "--password-stdin"}, "right-password\n");
    EXPECT_EQ(login.exitCode, 1);
    EXPECT_TRUE(login.err.starts_with("Đăng nhập lỗi: KEYCHAIN_DISABLED\n")) << login.err;
    EXPECT_TRUE(contains(login.err, "bỏ biến này")) << login.err;
    EXPECT_EQ(authority.requestCount("POST", "/api/auth/login"), 0u);

    // No keyring at all and no terminal to ask on: the code, then the way out,
    // in the settings folder the user has.
    CommandResult keyless =
        test::runProgram(test::kBridgeExecutable, {"login", "--email", "dev@palisor.test", "--password-stdin"},
                         keylessEnvironment({"PALISOR_BRIDGE_AUTHORITY=" + authority.origin(),
                                             "PALISOR_BRIDGE_CREDENTIAL_FILE="}),
                         "right-password\n");
    EXPECT_EQ(keyless.exitCode, 1);
    EXPECT_TRUE(keyless.err.starts_with("Đăng nhập lỗi: KEYCHAIN_")) << keyless.err;
    EXPECT_TRUE(contains(keyless.err, "\nKhông lưu được phiên vào keyring. Trên máy không có keyring, chạy "
                                      "palisor-bridge login --credential-file " +
                                          configHome() + "/palisor-bridge/session.json "))
        << keyless.err;

    // A credential file others can read: refused before the password is sent,
    // and status says why there is no session.
    useCredentialFile = true;
    test::writeFile(credentials(), "");
    std::filesystem::permissions(credentials(), std::filesystem::perms(0644));
    std::size_t logins = authority.requestCount("POST", "/api/auth/login");
    std::string why = credentials() + " có mode 0644: người khác đọc được phiên đăng nhập.\nChạy chmod 600 " +
                      credentials() + ".\n";
    EXPECT_EQ(run({"login", "--email", "dev@palisor.test", "--password-stdin"}, "right-password\n").err,
              "Đăng nhập lỗi: KEYCHAIN_WRITE_FAILED:-72104\n" + why);
    // A session it cannot read is not called a logout.
    std::string status = run({"status"}).out;
    EXPECT_TRUE(contains(status, std::string(kCredentialStoreUnavailableAdvice) + "\n" + why)) << status;
    EXPECT_FALSE(contains(status, "Chưa đăng nhập.")) << status;
    EXPECT_EQ(authority.requestCount("POST", "/api/auth/login"), logins);
}

// Chosen once with login, then used by every command without variables; a
// variable still wins.
TEST_F(CommandLine, LoginRemembersTheAuthorityAndTheCredentialFile) {
    auto env = [&](std::vector<std::string> extra) {
        extra.insert(extra.end(), {"PALISOR_BRIDGE_PORT=" + std::to_string(port), "PALISOR_BRIDGE_CREDENTIAL_FILE="});
        return keylessEnvironment(extra);
    };
    auto bare = [&](const std::vector<std::string>& arguments, std::vector<std::string> extra = {}) {
        return test::runProgram(test::kBridgeExecutable, arguments, env(std::move(extra)), "right-password\n");
    };
    EXPECT_TRUE(contains(bare({"status"}).out, "Authority: https://authority.palisor.vn (mặc định)\n"));
    EXPECT_EQ(bare({"login", "--authority", "ftp://example.test", "--password-stdin"}).exitCode, 2);

    std::string file = home.path() + "/private/session.json";
    CommandResult login = bare({"login", "--authority", authority.origin() + "/", "--credential-file", file, "--email",
                                "dev@palisor.test", "--password-stdin"});
    ASSERT_EQ(login.exitCode, 0) << login.err;
    EXPECT_EQ(std::filesystem::status(file).permissions(), std::filesystem::perms(0600));
    JsonValue settings = JsonValue::parse(test::readFile(configHome() + "/palisor-bridge/settings.json"));
    EXPECT_EQ(settings["authorityOrigin"], authority.origin());
    EXPECT_EQ(settings["credentialFile"], file);

    CommandResult status = bare({"status"});
    EXPECT_TRUE(contains(status.out, "Đã đăng nhập. dev@palisor.test\n")) << status.out;
    EXPECT_TRUE(contains(status.out, "Authority: " + authority.origin() + " (đã nhớ từ palisor-bridge login)\n"))
        << status.out;
    std::string doctor = bare({"doctor"}).out;
    EXPECT_TRUE(contains(doctor, "✓ Kho phiên đăng nhập (file, đã nhớ từ palisor-bridge login): " + file)) << doctor;
    EXPECT_TRUE(contains(doctor, "; nguồn: đã nhớ từ palisor-bridge login.\n")) << doctor;

    std::string elsewhere = "http://127.0.0.1:" + std::to_string(test::freePort());
    status = bare({"status"}, {"PALISOR_BRIDGE_AUTHORITY=" + elsewhere});
    EXPECT_TRUE(contains(status.out, "Authority: " + elsewhere + " (PALISOR_BRIDGE_AUTHORITY)\n")) << status.out;
    // Another file named by the variable would leave the chosen one unused.
    CommandResult conflicting = bare({"login", "--credential-file", file, "--password-stdin"},
                                     {"PALISOR_BRIDGE_CREDENTIAL_FILE=" + credentials()});
    EXPECT_EQ(conflicting.exitCode, 1);
    EXPECT_TRUE(contains(conflicting.err, "PALISOR_BRIDGE_CREDENTIAL_FILE=" + credentials())) << conflicting.err;
}

// What a program wrote on its terminal, read until `text` has appeared, the
// program has closed it, or 20 s have passed.
bool readTerminalUntil(int fd, std::string& seen, const std::string& text) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!contains(seen, text) && std::chrono::steady_clock::now() < deadline) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 100) != 1) continue;
        char buffer[512];
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        seen.append(buffer, static_cast<std::size_t>(n));
    }
    return contains(seen, text);
}

TEST_F(CommandLine, WithoutAKeyringLoginAsksOnceWhereToKeepTheSession) {
    std::vector<std::string> env = keylessEnvironment({"PALISOR_BRIDGE_AUTHORITY=" + authority.origin(),
                                                       "PALISOR_BRIDGE_CREDENTIAL_FILE="});
    std::vector<std::string> args = {test::kBridgeExecutable, "login", "--email", "dev@palisor.test"};
    std::vector<char*> argv, envp;
    for (auto& arg : args) argv.push_back(arg.data());
    for (auto& entry : env) envp.push_back(entry.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    int terminal = -1;
    pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    std::string seen;
    std::string file = configHome() + "/palisor-bridge/session.json";
    EXPECT_TRUE(readTerminalUntil(terminal, seen, "Giữ phiên trong file " + file + " (mode 0600)?")) << seen;
    EXPECT_TRUE(readTerminalUntil(terminal, seen, "\"k\" để thôi: ")) << seen;
    ASSERT_EQ(::write(terminal, "\n", 1), 1);
    EXPECT_TRUE(readTerminalUntil(terminal, seen, "Mật khẩu: ")) << seen;
    ASSERT_EQ(::write(terminal, "right-password\n", 15), 15);
    readTerminalUntil(terminal, seen, "\x04");  // to the end
    ::close(terminal);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << seen;
    EXPECT_EQ(std::filesystem::status(file).permissions(), std::filesystem::perms(0600));

    // Asked once: the next commands use the file without a word.
    CommandResult again = test::runProgram(test::kBridgeExecutable, {"status"}, env);
    EXPECT_TRUE(contains(again.out, "Đã đăng nhập. dev@palisor.test\n")) << again.out << again.err;
}

// Folders under a regular file cannot be made, not even by root: the
// failure names the folder and the system's reason, and a login that has a
// credential file is not told to set one.
TEST_F(CommandLine, FileFailuresNameThePathAndTheReason) {
    std::string blocker = home.path() + "/blocker";
    test::writeFile(blocker, "");
    std::string reason = std::string(": ") + std::strerror(ENOTDIR);
    auto env = test::bridgeEnvironment(blocker + "/config", {"PALISOR_BRIDGE_AUTHORITY=" + authority.origin(),
                                                             "PALISOR_BRIDGE_CREDENTIAL_FILE=" + blocker + "/s.json"});
    CommandResult add = test::runProgram(test::kBridgeExecutable, {"workspace", "add", workspace("ws", "CLI")}, env);
    EXPECT_EQ(add.exitCode, 1);
    EXPECT_TRUE(add.err.starts_with("Có workspace không hợp lệ: ws: DIRECTORY_CREATE_FAILED: ")) << add.err;
    EXPECT_TRUE(contains(add.err, blocker + "/config" + reason)) << add.err;

    CommandResult login = test::runProgram(test::kBridgeExecutable,
                                           {"login", "--email", "dev@palisor.test", "--password-stdin"}, env,
                                           "right-password\n");
    EXPECT_EQ(login.exitCode, 1);
    EXPECT_TRUE(login.err.starts_with("Đăng nhập lỗi: KEYCHAIN_WRITE_FAILED:-72103: ")) << login.err;
    EXPECT_TRUE(contains(login.err, blocker + reason)) << login.err;
    EXPECT_FALSE(contains(login.err, "PALISOR_BRIDGE_CREDENTIAL_FILE=")) << login.err;
}

TEST_F(CommandLine, WorkspaceCommandsChangeTheRegistry) {
    std::string good = workspace("good-folder", "CLI");
    std::string bad = home.path() + "/bad-folder";
    std::filesystem::create_directories(bad);  // no AGENTS.md
    std::string dashless = workspace("dashless", "CLI");
    test::writeFile(dashless + "/AGENTS.md", "projectKey: CLI\nauthorityOrigin: " + authority.origin() + "\n");
    std::string elsewhere = test::makeWorkspace(home.path(), "elsewhere", "CLI", "https://other.example");

    // Each failure: its code, then what to do about it.
    CommandResult add = run({"workspace", "add", good, bad, dashless, elsewhere});
    EXPECT_EQ(add.exitCode, 1);
    EXPECT_EQ(add.out, "Đã thêm workspace cli (dự án CLI, " + good + ")\n");
    EXPECT_TRUE(contains(add.err, "Có workspace không hợp lệ: bad-folder: FILE_READ_FAILED:" + bad + "/AGENTS.md: "))
        << add.err;
    EXPECT_TRUE(contains(add.err, "\nKiểm tra rằng AGENTS.md có trong " + bad + ", đọc được và là UTF-8.\n")) << add.err;
    EXPECT_TRUE(contains(add.err, "dashless: AGENTS_PROJECT_KEY_REQUIRED\nThêm vào " + dashless +
                                      "/AGENTS.md các dòng \"- projectKey: <mã dự án>\" và \"- authorityOrigin: " +
                                      authority.origin() + "\" (mỗi dòng bắt đầu bằng \"- \").\n"))
        << add.err;
    EXPECT_TRUE(contains(add.err, "elsewhere: WORKSPACE_AUTHORITY_ORIGIN_MISMATCH: AGENTS.md trỏ tới authority "
                                  "https://other.example, còn bridge dùng " + authority.origin() +
                                      ".\nSửa dòng \"- authorityOrigin:\" trong " + elsewhere +
                                      "/AGENTS.md, hoặc đặt PALISOR_BRIDGE_AUTHORITY=https://other.example.\n"))
        << add.err;

    // Columns line up whatever the lengths.
    std::string other = workspace("other", "OTHER-PROJECT");
    CommandResult second = run({"workspace", "add", "--no-validation", other});
    EXPECT_EQ(second.exitCode, 0) << second.err;
    EXPECT_EQ(second.out, "Đã thêm workspace other-project (dự án OTHER-PROJECT, " + other + ")\n");
    std::string pad(good.size() - other.size(), ' ');
    EXPECT_EQ(run({"workspace", "list"}).out,
              "* cli            CLI            " + good + "  Mặc định  Validation: bật\n"
              "  other-project  OTHER-PROJECT  " + other + pad + "  -         Validation: tắt\n");

    // A workspace by its id, its project key or its folder.
    EXPECT_EQ(run({"workspace", "default", "OTHER-PROJECT"}).out, "Workspace mặc định: other-project\n");
    EXPECT_EQ(run({"workspace", "validation", good + "/", "off"}).out, "Validation tắt cho workspace: cli\n");
    CommandResult json = run({"workspace", "list", "--json"});
    auto listed = parseJson(json.out);
    ASSERT_TRUE(listed) << json.out;
    EXPECT_EQ((*listed)["defaultWorkspaceId"], "other-project");
    EXPECT_EQ((*listed)["workspaces"][0],
              JsonValue({{"workspaceId", "cli"}, {"projectKey", "CLI"}, {"workspaceRoot", good},
                         {"validationEnabled", false}, {"default", false}}));

    // Again: said so. A second folder of a project: which one calls reach.
    EXPECT_EQ(run({"workspace", "add", "--no-validation", good}).out,
              "Đã đăng ký từ trước: workspace cli (dự án CLI, " + good + ")\n");
    std::string twin = workspace("twin", "CLI");
    EXPECT_EQ(run({"workspace", "add", twin}).out,
              "Đã thêm workspace cli-2 (dự án CLI, " + twin + ")\nLưu ý: dự án CLI có 2 workspace (cli, cli-2). Lời "
              "gọi chỉ ghi projectKey CLI sẽ bị từ chối (cần workspaceId); chạy palisor-bridge workspace default <id> "
              "để chọn một workspace.\n");
    CommandResult shared = run({"workspace", "remove", "CLI"});
    EXPECT_EQ(shared.exitCode, 1);
    EXPECT_TRUE(contains(shared.err, "WORKSPACE_ID_REQUIRED_FOR_PROJECT:CLI\nDự án này có nhiều workspace")) << shared.err;
    EXPECT_EQ(run({"workspace", "remove", twin}).out, "Đã xóa workspace: cli-2\n");
    CommandResult removed = run({"workspace", "remove", "OTHER-PROJECT"});
    EXPECT_EQ(removed.exitCode, 0) << removed.err;
    // The remaining workspace becomes the default.
    EXPECT_EQ(run({"workspace", "list"}).out, "* cli  CLI  " + good + "  Mặc định  Validation: tắt\n");

    CommandResult unknown = run({"workspace", "remove", "nope"});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_EQ(unknown.err, "Không cập nhật được workspace: WORKSPACE_NOT_REGISTERED:nope\nChạy palisor-bridge "
                           "workspace list để xem id, dự án và thư mục đã đăng ký.\n");
    EXPECT_EQ(run({"workspace", "default", "nope"}).exitCode, 1);

    // Usage errors and help, in Vietnamese; option names as they are.
    EXPECT_EQ(run({"workspace", "validation", "cli", "maybe"}).err,
              "palisor-bridge: state: \"maybe\" không phải một trong {on,off}.\nChạy với --help để xem cách dùng.\n");
    EXPECT_EQ(run({"workspace"}).err, "palisor-bridge: Cần một lệnh con.\nChạy với --help để xem cách dùng.\n");
    EXPECT_EQ(run({"workspace", "add"}).exitCode, 2);
    EXPECT_EQ(run({"login", "--bogus"}).err,
              "palisor-bridge: Tham số không dùng được ở đây: --bogus.\nChạy với --help để xem cách dùng.\n");
    for (const std::vector<std::string>& help : {std::vector<std::string>{"--help"}, {"workspace", "add", "--help"}}) {
        CommandResult shown = run(help);
        EXPECT_EQ(shown.exitCode, 0);
        EXPECT_TRUE(contains(shown.out, "Cách dùng: ") && contains(shown.out, "In trợ giúp này rồi thoát")) << shown.out;
        EXPECT_FALSE(contains(shown.out, "Usage") || contains(shown.out, "Options") || contains(shown.out, "Print"))
            << shown.out;
    }
    EXPECT_EQ(run({"workspace", "list"}).out, "* cli  CLI  " + good + "  Mặc định  Validation: tắt\n");

    // Changes that would be forgotten on exit are refused, not reported as done.
    CommandResult volatileAdd = run({"workspace", "add", other}, {}, {"PALISOR_BRIDGE_DISABLE_SETTINGS_PERSISTENCE=1"});
    EXPECT_EQ(volatileAdd.exitCode, 1);
    EXPECT_TRUE(volatileAdd.err.starts_with("Không cập nhật được workspace: SETTINGS_PERSISTENCE_DISABLED\n"));
}

TEST_F(CommandLine, ConcurrentAddsFromSeveralProcessesAreAllKept) {
    constexpr int kProcesses = 6;
    std::vector<std::unique_ptr<test::ChildProcess>> adds;
    for (int i = 0; i < kProcesses; ++i)
        adds.push_back(std::make_unique<test::ChildProcess>(
            test::kBridgeExecutable,
            std::vector<std::string>{"workspace", "add", workspace("w" + std::to_string(i), "P" + std::to_string(i))},
            environment()));
    for (auto& add : adds) EXPECT_EQ(add->waitForExit(), 0) << add->output;
    std::string list = run({"workspace", "list"}).out;
    for (int i = 0; i < kProcesses; ++i)
        EXPECT_TRUE(contains(list, "p" + std::to_string(i) + "  P" + std::to_string(i) + "  ")) << list;
}

// Lists the workspaces through the running bridge's tool.
JsonValue listedWorkspaces(std::uint16_t port) {
    auto answer = test::parseResponse(test::post(
        port, "/mcp",
        R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"bridge_list_workspaces"}})"));
    auto value = parseJson(answer.json["result"]["content"][0]["text"].get<std::string>());
    return value ? (*value)["workspaces"] : JsonValue();
}

bool lists(const JsonValue& workspaces, const std::string& id) {
    for (const JsonValue& workspace : workspaces)
        if (workspace.value("workspaceId", "") == id) return true;
    return false;
}

TEST_F(CommandLine, ARunningBridgeSeesWorkspaceChangesWithinASecond) {
    test::BridgeProcess bridge(port, {"PALISOR_BRIDGE_AUTHORITY=" + authority.origin()}, configHome());
    ASSERT_TRUE(bridge.waitForOutput("Bridge đang chạy")) << bridge.output;
    EXPECT_TRUE(listedWorkspaces(port).empty());
    EXPECT_TRUE(contains(run({"status"}).out, "Bridge đang chạy tại http://127.0.0.1:" + std::to_string(port) + "/mcp\n"));

    auto seenWithin = [&](bool wanted, const std::string& id) {
        auto start = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - start < std::chrono::seconds(1)) {
            if (lists(listedWorkspaces(port), id) == wanted) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    };
    ASSERT_EQ(run({"workspace", "add", workspace("live", "CLI")}).exitCode, 0);
    EXPECT_TRUE(seenWithin(true, "cli"));
    ASSERT_EQ(run({"workspace", "add", workspace("later", "OTHER")}).exitCode, 0);
    EXPECT_TRUE(seenWithin(true, "other"));
    ASSERT_EQ(run({"workspace", "remove", "cli"}).exitCode, 0);
    EXPECT_TRUE(seenWithin(false, "cli"));

    bridge.signal(SIGTERM);
    EXPECT_EQ(bridge.waitForExit(), 0) << bridge.output;
}

TEST_F(CommandLine, ARunningBridgeTakesUpALoginAndLogoutMadeElsewhere) {
    std::vector<std::string> extra = {"PALISOR_BRIDGE_AUTHORITY=" + authority.origin(),
                                      "PALISOR_BRIDGE_CREDENTIAL_FILE=" + credentials()};
    test::BridgeProcess bridge(port, extra, configHome());
    ASSERT_TRUE(bridge.waitForOutput("Vui lòng đăng nhập để AI node đọc authority.\n")) << bridge.output;

    ASSERT_EQ(run({"login", "--email", "dev@palisor.test", "--password-stdin"}, "right-password\n").exitCode, 0);
    EXPECT_TRUE(bridge.waitForOutput("Đã đăng nhập. Bridge đang chạy tại", std::chrono::seconds(15))) << bridge.output;
    ASSERT_EQ(run({"logout"}).exitCode, 0);
    std::size_t loggedIn = bridge.output.find("Đã đăng nhập.");
    EXPECT_TRUE(bridge.pumpUntil(
        [&] { return bridge.output.find("Vui lòng đăng nhập", loggedIn) != std::string::npos; },
        std::chrono::seconds(15)))
        << bridge.output;

    bridge.signal(SIGINT);
    EXPECT_EQ(bridge.waitForExit(), 0) << bridge.output;
}

TEST_F(CommandLine, SkillsSyncInstallsAnItemsSkillsOrTheNamedOnes) {
    authority.publishSkill("lint-rules", "1.0.0", {{"SKILL.md", "# Lint 1"}});
    authority.publishSkill("lint-rules", "2.0.0", {{"SKILL.md", "# Lint 2"}}, {.makeCurrent = false});
    authority.publishSkill("deploy", "0.1.0", {{"SKILL.md", "# Deploy"}, {"deploy.sh", "echo go"}});
    authority.addProgressItem("CLI", {{"itemId", "CLI-TASK-1"}, {"skills", {"lint-rules", "deploy"}}});
    std::string root = workspace("skills", "CLI");
    ASSERT_EQ(run({"workspace", "add", root}).exitCode, 0);
    // Adding a workspace prepares its skill folder.
    EXPECT_TRUE(std::filesystem::is_directory(root + "/.agents/skills"));
    ASSERT_EQ(run({"login", "--email", "dev@palisor.test", "--password-stdin"}, "right-password\n").exitCode, 0);
    std::string id = "CLI";  // the project key names the one workspace

    CommandResult byItem = run({"skills", "sync", "--workspace", id, "--item", "CLI-TASK-1"});
    ASSERT_EQ(byItem.exitCode, 0) << byItem.err;
    EXPECT_TRUE(contains(byItem.out, "Đã cài deploy@0.1.0 (2 file) vào " + root + "/.agents/skills/deploy\n"))
        << byItem.out;
    EXPECT_TRUE(contains(byItem.out, "2 skill đã cài, 0 bỏ qua. Lock: " + root + "/.agents/skills/.skill-lock.json"));
    EXPECT_EQ(test::readFile(root + "/.agents/skills/lint-rules/SKILL.md"), "# Lint 1");

    // A pinned version that is installed already, with the whole report as JSON.
    CommandResult pinned = run({"skills", "sync", "--workspace", id, "--skill", "lint-rules@1.0.0", "--json"});
    ASSERT_EQ(pinned.exitCode, 0) << pinned.err;
    auto report = parseJson(pinned.out);
    ASSERT_TRUE(report) << pinned.out;
    EXPECT_EQ((*report)["skipped"][0]["reason"], "ALREADY_CURRENT");
    // An older authority serves only its current version by id: another pin is refused, nothing changes.
    CommandResult other = run({"skills", "sync", "--workspace", id, "--skill", "lint-rules@2.0.0"});
    EXPECT_EQ(other.exitCode, 1);
    EXPECT_EQ(other.err, "Không đồng bộ được skill: SKILL_PACKAGE_IDENTITY_MISMATCH:lint-rules:version:1.0.0:2.0.0\n");
    EXPECT_EQ(test::readFile(root + "/.agents/skills/lint-rules/SKILL.md"), "# Lint 1");

    CommandResult missing = run({"skills", "sync", "--workspace", id, "--skill", "no-such-skill"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.err.rfind("Không đồng bộ được skill: ", 0), 0u) << missing.err;
    CommandResult unknown = run({"skills", "sync", "--workspace", "nope", "--item", "CLI-TASK-1"});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_EQ(unknown.err, "Không đồng bộ được skill: WORKSPACE_NOT_REGISTERED:nope\nChạy palisor-bridge workspace "
                           "list để xem id, dự án và thư mục đã đăng ký.\n");
    // Either an item or skills, never both or neither.
    EXPECT_EQ(run({"skills", "sync", "--workspace", id}).exitCode, 2);
    EXPECT_EQ(run({"skills", "sync", "--workspace", id, "--item", "A", "--skill", "B"}).exitCode, 2);
    EXPECT_EQ(run({"skills", "sync", "--workspace", id, "--skill", "B", "--repo", "web"}).exitCode, 2);
}

TEST_F(CommandLine, WithoutACommandOrADisplayTheBridgeServes) {
    std::vector<std::string> env;
    for (const std::string& entry : environment())
        if (entry.rfind("DISPLAY=", 0) != 0 && entry.rfind("WAYLAND_DISPLAY=", 0) != 0) env.push_back(entry);
    test::ChildProcess bridge(test::kBridgeExecutable, {}, env);
    EXPECT_TRUE(bridge.waitForOutput("Bridge đang chạy tại http://127.0.0.1:" + std::to_string(port) + "/mcp\n"))
        << bridge.output;
    bridge.signal(SIGTERM);
    EXPECT_EQ(bridge.waitForExit(), 0) << bridge.output;
}

}  // namespace
}  // namespace palisor
