// The commands in this process against the development authority; the
// program itself only for what main does (parsing, the missing command).

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>

#include "bridge/app/cli/skill_commands.h"
#include "bridge/app/cli/workspace_commands.h"
#include "bridge/authority/authority_client_error.h"
#include "bridge/common/json.h"
#include "tests/app/commands.h"
#include "tests/support/bridge_process.h"

namespace palisor {
namespace {

using namespace test;
namespace fs = std::filesystem;

class CommandLine : public Commands {
protected:
    Ran add(const std::vector<std::string>& paths, bool noValidation = false) const {
        return run([&](auto& c, auto&, auto& out, auto& err) {
            return runWorkspaceAdd(c, {paths, false, noValidation}, out, err);
        });
    }
    Ran list(bool json = false) const {
        return run([&](auto& c, auto&, auto& out, auto& err) { return runWorkspaceList(c, json, out, err); });
    }
    using Change = int (*)(const Configuration&, const std::string&, std::ostream&, std::ostream&);
    Ran change(Change command, const std::string& name) const {
        return run([&](auto& c, auto&, auto& out, auto& err) { return command(c, name, out, err); });
    }
    Ran sync(SkillsSyncOptions options) const {
        return run([&](auto& c, auto&, auto& out, auto& err) { return runSkillsSync(c, options, out, err); });
    }
    // No keyring to be found and nothing configured: what `login` chooses is remembered.
    void keyless() {
        configuration.credentialFile.reset();
        configuration.authority.reset();
    }
};

TEST_F(CommandLine, LoginStatusAndLogoutUseTheCredentialFile) {
    // Refused before anything is sent: blank e-mail, empty password, nobody to ask.
    for (const auto& [options, input] : std::vector<std::pair<LoginOptions, std::string>>{
             {{.email = "   ", .passwordFromStdin = true}, "right-password\n"},
             {{.email = "dev@palisor.test", .passwordFromStdin = true}, "\n"},
             {{}, ""}}) {
        Ran refused = loginAsGiven(options, input);
        EXPECT_EQ(refused.code, 1);
        EXPECT_EQ(refused.err, "Cần nhập email và mật khẩu.\n") << input;
    }
    EXPECT_EQ(authority.requestCount("POST", "/api/auth/login"), 0u);

    Ran wrong = login({.email = "dev@palisor.test"}, "wrong-password\n");
    EXPECT_EQ(wrong.code, 1);
    EXPECT_EQ(wrong.out, "");
    EXPECT_THAT(wrong.err, StartsWith("Đăng nhập lỗi: "));
    EXPECT_GT(wrong.err.size(), std::string("Đăng nhập lỗi: \n").size());
    EXPECT_EQ(status().code, 1);
    EXPECT_THAT(status().out, HasSubstr("Chưa đăng nhập.\n"));

    // The password line keeps its inner spaces; a CR of a Windows-made file goes.
    authority.addUser("dev@palisor.test", "right password", {"CLI"});
    Ran right = login({.email = " dev@palisor.test "}, "right password\r\n");
    ASSERT_EQ(right.code, 0) << right.err;
    EXPECT_EQ(right.out, "Đã đăng nhập: dev@palisor.test\n");

    Ran shown = status();
    EXPECT_EQ(shown.code, 0) << shown.err;
    EXPECT_THAT(shown.out, HasSubstr("Đã đăng nhập. dev@palisor.test\nAuthority: " + authority.origin() +
                                     " (PALISOR_BRIDGE_AUTHORITY)\nBridge chưa chạy. (http://127.0.0.1:" +
                                     std::to_string(port) + "/mcp)\n"));
    EXPECT_THAT(shown.out, HasSubstr("\n0 workspace đã đăng ký\n"));
    // The answer is honest: the session was checked with the authority.
    EXPECT_GE(authority.requestCount("GET", "/api/auth/me"), 1u);
    Ran json = status(true);
    EXPECT_EQ(json.code, 0) << json.err;
    JsonValue report = JsonValue::parse(json.out);
    EXPECT_EQ(report["ok"], true);
    EXPECT_EQ(report["account"], "dev@palisor.test");
    EXPECT_EQ(report["authority"], authority.origin());
    EXPECT_EQ(report["bridge"]["running"], false);
    EXPECT_EQ(report["workspaces"]["workspaces"], JsonValue::array());

    // A session the authority refuses: status says so and exits 1, and leaves it stored.
    authority.expireAccessTokens();
    Ran refused = status(true);
    EXPECT_EQ(refused.code, 1);
    report = JsonValue::parse(refused.out);
    EXPECT_EQ(report["loggedIn"], false);
    EXPECT_EQ(report["notes"][0], "Phiên đăng nhập không còn hợp lệ. Vui lòng đăng nhập lại.");

    Ran out = logout();
    EXPECT_EQ(out.code, 0) << out.err;
    EXPECT_EQ(out.out, "Đã đăng xuất.\n");
    EXPECT_EQ(authority.requestCount("POST", "/api/auth/logout"), 1u);
    EXPECT_THAT(status().out, HasSubstr("Chưa đăng nhập.\n"));
}

TEST_F(CommandLine, LoginRefusesASessionThatWouldNotOutliveTheCommand) {
    configuration.credentialFile.reset();
    configuration.keychainDisabled = true;
    Ran memory = login();
    EXPECT_EQ(memory.code, 1);
    EXPECT_THAT(memory.err, StartsWith("Đăng nhập lỗi: KEYCHAIN_DISABLED\n"));
    EXPECT_THAT(memory.err, HasSubstr("bỏ biến này"));
    EXPECT_EQ(authority.requestCount("POST", "/api/auth/login"), 0u);

    // No keyring at all and nobody to ask: the code, then the way out, in
    // the settings folder the user has.
    configuration.keychainDisabled = false;
    Ran keyless = login();
    EXPECT_EQ(keyless.code, 1);
    EXPECT_THAT(keyless.err, StartsWith("Đăng nhập lỗi: KEYCHAIN_"));
    EXPECT_THAT(keyless.err, HasSubstr("\nKhông lưu được phiên vào keyring. Trên máy không có keyring, chạy "
                                       "palisor-bridge login --credential-file " +
                                       configHome() + "/palisor-bridge/session.json "));

    // A credential file others can read: refused before the password is
    // sent, and status says why there is no session.
    configuration.credentialFile = credentials();
    writeFile(credentials(), "");
    fs::permissions(credentials(), fs::perms(0644));
    std::size_t logins = authority.requestCount("POST", "/api/auth/login");
    std::string why =
        credentials() + " có mode 0644: người khác đọc được phiên đăng nhập.\nChạy chmod 600 " + credentials() + ".\n";
    EXPECT_EQ(login().err, "Đăng nhập lỗi: KEYCHAIN_WRITE_FAILED:-72104\n" + why);
    std::string shown = status().out;
    EXPECT_THAT(shown, HasSubstr(std::string(kCredentialStoreUnavailableAdvice) + "\n" + why));
    EXPECT_THAT(shown, ::testing::Not(HasSubstr("Chưa đăng nhập.")));
    EXPECT_EQ(authority.requestCount("POST", "/api/auth/login"), logins);
}

// Chosen once with login, then used by every command without variables; a
// variable still wins.
TEST_F(CommandLine, LoginRemembersTheAuthorityAndTheCredentialFile) {
    keyless();
    EXPECT_THAT(status().out, HasSubstr("Authority: https://authority.palisor.vn (mặc định)\n"));
    EXPECT_EQ(login({.authority = "ftp://example.test"}).code, 2);

    std::string file = home.file("private/session.json");
    Ran remembered =
        login({.email = "dev@palisor.test", .authority = authority.origin() + "/", .credentialFile = file});
    ASSERT_EQ(remembered.code, 0) << remembered.err;
    JsonValue settings = JsonValue::parse(readFile(configHome() + "/palisor-bridge/settings.json"));
    EXPECT_EQ(settings["authorityOrigin"], authority.origin());
    EXPECT_EQ(settings["credentialFile"], file);

    std::string shown = status().out;
    EXPECT_THAT(shown, HasSubstr("Đã đăng nhập. dev@palisor.test\nAuthority: " + authority.origin() +
                                 " (đã nhớ từ palisor-bridge login)\nKho phiên: " + file));
    std::string checked = doctor().out;
    EXPECT_THAT(checked, HasSubstr("✓ Kho phiên đăng nhập (file, đã nhớ từ palisor-bridge login): " + file));
    EXPECT_THAT(checked, HasSubstr("; nguồn: đã nhớ từ palisor-bridge login.\n"));

    std::string elsewhere = "http://127.0.0.1:" + std::to_string(freePort());
    configuration.authority = elsewhere;
    EXPECT_THAT(status().out, HasSubstr("Authority: " + elsewhere + " (PALISOR_BRIDGE_AUTHORITY)\n"));
    // Another file named by the variable would leave the chosen one unused.
    configuration.credentialFile = credentials();
    Ran conflicting = login({.credentialFile = file});
    EXPECT_EQ(conflicting.code, 1);
    EXPECT_THAT(conflicting.err, HasSubstr("PALISOR_BRIDGE_CREDENTIAL_FILE=" + credentials()));
}

TEST_F(CommandLine, WithoutAKeyringLoginAsksOnceWhereToKeepTheSession) {
    keyless();
    configuration.authority = authority.origin();
    std::vector<std::string> asked;
    std::vector<std::string> answers = {"", "right-password"};
    LoginOptions options{.email = "dev@palisor.test"};
    options.ask = [&](const std::string& prompt, bool secret) {
        asked.push_back(prompt + (secret ? " (secret)" : ""));
        return answers.at(asked.size() - 1);
    };
    Ran first = loginAsGiven(options);
    EXPECT_EQ(first.code, 0) << first.err;
    std::string file = configHome() + "/palisor-bridge/session.json";
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_THAT(asked[0], HasSubstr("Giữ phiên trong file " + file + " (mode 0600)?"));
    EXPECT_THAT(asked[0], ::testing::EndsWith("\"k\" để thôi: "));
    EXPECT_EQ(asked[1], "Mật khẩu:  (secret)");
    // Asked once: the next commands use the file without a word.
    EXPECT_THAT(status().out, HasSubstr("Đã đăng nhập. dev@palisor.test\n"));

    // Declined: nothing is kept, and the user is told why.
    fs::remove(configHome() + "/palisor-bridge/settings.json");
    answers = {"k"};
    asked.clear();
    Ran declined = loginAsGiven(options);
    EXPECT_EQ(declined.code, 1);
    EXPECT_THAT(declined.err, StartsWith("Chưa đăng nhập: không có chỗ giữ phiên.\n"));
}

// Folders under a regular file cannot be made, not even by root: the
// failure names the folder and the system's reason, and a login that has a
// credential file is not told to set one.
TEST_F(CommandLine, FileFailuresNameThePathAndTheReason) {
    std::string blocker = home.file("blocker");
    writeFile(blocker, "");
    std::string reason = std::string(": ") + std::strerror(ENOTDIR);
    configuration.folders.configuration = blocker + "/config/palisor-bridge";
    configuration.credentialFile = blocker + "/s.json";
    Ran added = add({workspace("ws", "CLI")});
    EXPECT_EQ(added.code, 1);
    EXPECT_THAT(added.err, StartsWith("Có workspace không hợp lệ: ws: DIRECTORY_CREATE_FAILED: "));
    EXPECT_THAT(added.err, HasSubstr(blocker + "/config" + reason));

    Ran login = this->login();
    EXPECT_EQ(login.code, 1);
    EXPECT_THAT(login.err, StartsWith("Đăng nhập lỗi: KEYCHAIN_WRITE_FAILED:-72103: "));
    EXPECT_THAT(login.err, HasSubstr(blocker + reason));
    EXPECT_THAT(login.err, ::testing::Not(HasSubstr("PALISOR_BRIDGE_CREDENTIAL_FILE=")));
}

TEST_F(CommandLine, WorkspaceCommandsChangeTheRegistry) {
    std::string good = workspace("good-folder", "CLI");
    std::string bad = home.file("bad-folder");
    fs::create_directories(bad);  // no AGENTS.md
    std::string dashless = workspace("dashless", "CLI");
    writeFile(dashless + "/AGENTS.md", "projectKey: CLI\nauthorityOrigin: " + authority.origin() + "\n");
    std::string elsewhere = makeWorkspace(home.path(), "elsewhere", "CLI", "https://other.example");

    // Each failure: its code, then what to do about it.
    Ran added = add({good, bad, dashless, elsewhere});
    EXPECT_EQ(added.code, 1);
    EXPECT_EQ(added.out, "Đã thêm workspace cli (dự án CLI, " + good + ")\n");
    EXPECT_THAT(added.err,
                HasSubstr("Có workspace không hợp lệ: bad-folder: FILE_READ_FAILED:" + bad + "/AGENTS.md: "));
    EXPECT_THAT(added.err, HasSubstr("\nKiểm tra rằng AGENTS.md có trong " + bad + ", đọc được và là UTF-8.\n"));
    EXPECT_THAT(added.err, HasSubstr("dashless: AGENTS_PROJECT_KEY_REQUIRED\nThêm vào " + dashless +
                                     "/AGENTS.md các dòng \"- projectKey: <mã dự án>\" và \"- authorityOrigin: " +
                                     authority.origin() + "\" (mỗi dòng bắt đầu bằng \"- \").\n"));
    EXPECT_THAT(added.err, HasSubstr("elsewhere: WORKSPACE_AUTHORITY_ORIGIN_MISMATCH: AGENTS.md trỏ tới authority "
                                     "https://other.example, còn bridge dùng " +
                                     authority.origin() + ".\nSửa dòng \"- authorityOrigin:\" trong " + elsewhere +
                                     "/AGENTS.md, hoặc đặt PALISOR_BRIDGE_AUTHORITY=https://other.example.\n"));
    // Adding a workspace prepares its skill folder.
    EXPECT_TRUE(fs::is_directory(good + "/.agents/skills"));

    // Columns line up whatever the lengths.
    std::string other = workspace("other", "OTHER-PROJECT");
    EXPECT_EQ(add({other}, true).out, "Đã thêm workspace other-project (dự án OTHER-PROJECT, " + other + ")\n");
    std::string pad(good.size() - other.size(), ' ');
    EXPECT_EQ(list().out, "* cli            CLI            " + good +
                              "  Mặc định  Validation: bật\n"
                              "  other-project  OTHER-PROJECT  " +
                              other + pad + "  -         Validation: tắt\n");

    // A workspace by its id, its project key or its folder.
    EXPECT_EQ(change(runWorkspaceDefault, "OTHER-PROJECT").out, "Workspace mặc định: other-project\n");
    Ran off = run(
        [&](auto& c, auto&, auto& out, auto& err) { return runWorkspaceValidation(c, good + "/", false, out, err); });
    EXPECT_EQ(off.out, "Validation tắt cho workspace: cli\n");
    JsonValue listed = JsonValue::parse(list(true).out);
    EXPECT_EQ(listed["defaultWorkspaceId"], "other-project");
    EXPECT_EQ(listed["workspaces"][0], JsonValue({{"workspaceId", "cli"},
                                                  {"projectKey", "CLI"},
                                                  {"workspaceRoot", good},
                                                  {"validationEnabled", false},
                                                  {"default", false}}));

    // Again: said so. A second folder of a project: which one calls reach.
    EXPECT_EQ(add({good}, true).out, "Đã đăng ký từ trước: workspace cli (dự án CLI, " + good + ")\n");
    std::string twin = workspace("twin", "CLI");
    EXPECT_EQ(
        add({twin}).out,
        "Đã thêm workspace cli-2 (dự án CLI, " + twin +
            ")\nLưu ý: dự án CLI có 2 workspace (cli, cli-2). Lời "
            "gọi chỉ ghi projectKey CLI sẽ bị từ chối (cần workspaceId); chạy palisor-bridge workspace default <id> "
            "để chọn một workspace.\n");
    Ran shared = change(runWorkspaceRemove, "CLI");
    EXPECT_EQ(shared.code, 1);
    EXPECT_THAT(shared.err, HasSubstr("WORKSPACE_ID_REQUIRED_FOR_PROJECT:CLI\nDự án này có nhiều workspace"));
    EXPECT_EQ(change(runWorkspaceRemove, twin).out, "Đã xóa workspace: cli-2\n");
    EXPECT_EQ(change(runWorkspaceRemove, "OTHER-PROJECT").code, 0);

    for (Change command : {runWorkspaceRemove, runWorkspaceDefault}) {
        Ran unknown = change(command, "nope");
        EXPECT_EQ(unknown.code, 1);
        EXPECT_EQ(unknown.err,
                  "Không cập nhật được workspace: WORKSPACE_NOT_REGISTERED:nope\nChạy palisor-bridge "
                  "workspace list để xem id, dự án và thư mục đã đăng ký.\n");
    }

    // Changes that would be forgotten on exit are refused, not reported as done.
    configuration.settingsPersistenceDisabled = true;
    Ran forgotten = add({other});
    EXPECT_EQ(forgotten.code, 1);
    EXPECT_THAT(forgotten.err, StartsWith("Không cập nhật được workspace: SETTINGS_PERSISTENCE_DISABLED\n"));
    EXPECT_EQ(login({.authority = authority.origin()}).err,
              "Đăng nhập lỗi: SETTINGS_PERSISTENCE_DISABLED\nPALISOR_BRIDGE_DISABLE_SETTINGS_PERSISTENCE=1: bridge "
              "không ghi file cài đặt, nên không nhớ được --authority hay --credential-file.\n");
}

TEST_F(CommandLine, SkillsSyncInstallsAnItemsSkillsOrTheNamedOnes) {
    authority.publishSkill("lint-rules", "1.0.0", {{"SKILL.md", "# Lint 1"}});
    authority.publishSkill("lint-rules", "2.0.0", {{"SKILL.md", "# Lint 2"}}, {.makeCurrent = false});
    authority.publishSkill("deploy", "0.1.0", {{"SKILL.md", "# Deploy"}, {"deploy.sh", "echo go"}});
    authority.addProgressItem("CLI", {{"itemId", "CLI-TASK-1"}, {"skills", {"lint-rules", "deploy"}}});
    std::string root = workspace("skills", "CLI");
    ASSERT_EQ(add({root}).code, 0);
    ASSERT_EQ(login().code, 0);

    // The project key names the one workspace.
    Ran byItem = sync({.workspaceId = "CLI", .itemId = "CLI-TASK-1"});
    ASSERT_EQ(byItem.code, 0) << byItem.err;
    EXPECT_THAT(byItem.out, HasSubstr("Đã cài deploy@0.1.0 (2 file) vào " + root + "/.agents/skills/deploy\n"));
    EXPECT_THAT(byItem.out, HasSubstr("2 skill đã cài, 0 bỏ qua. Lock: " + root + "/.agents/skills/.skill-lock.json"));

    // A pinned version that is installed already, with the whole report as JSON.
    Ran pinned = sync({.workspaceId = "CLI", .skills = {"lint-rules@1.0.0"}, .json = true});
    ASSERT_EQ(pinned.code, 0) << pinned.err;
    EXPECT_EQ(JsonValue::parse(pinned.out)["skipped"][0]["reason"], "ALREADY_CURRENT");
    // An older authority serves only its current version by id: another pin is refused, nothing changes.
    Ran other = sync({.workspaceId = "CLI", .skills = {"lint-rules@2.0.0"}});
    EXPECT_EQ(other.code, 1);
    EXPECT_EQ(other.err, "Không đồng bộ được skill: SKILL_PACKAGE_IDENTITY_MISMATCH:lint-rules:version:1.0.0:2.0.0\n");
    EXPECT_EQ(readFile(root + "/.agents/skills/lint-rules/SKILL.md"), "# Lint 1");

    EXPECT_EQ(sync({.workspaceId = "nope", .itemId = "CLI-TASK-1"}).err,
              "Không đồng bộ được skill: WORKSPACE_NOT_REGISTERED:nope\nChạy palisor-bridge workspace list để xem id, "
              "dự án và thư mục đã đăng ký.\n");
}

// What main does before a command runs: usage errors and help, in Vietnamese,
// with option names as they are; nothing half-run.
TEST(Program, UsageErrorsAndHelpAreInVietnamese) {
    TempDir config;
    auto run = [&](const std::vector<std::string>& arguments) {
        return runProgram(kBridgeExecutable, arguments, bridgeEnvironment(config.path()));
    };
    std::string again = "\nChạy với --help để xem cách dùng.\n";
    for (const auto& [arguments, error] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"workspace", "validation", "cli", "maybe"}, "state: \"maybe\" không phải một trong {on,off}."},
             {{"workspace"}, "Cần một lệnh con."},
             {{"login", "--bogus"}, "Tham số không dùng được ở đây: --bogus."},
             {{"workspace", "add"}, ""},
             {{"skills", "sync", "--workspace", "w"}, ""},
             {{"skills", "sync", "--workspace", "w", "--item", "A", "--skill", "B"}, ""},
             {{"skills", "sync", "--workspace", "w", "--skill", "B", "--repo", "web"}, ""},
             {{"activity", "--since", "2w"}, "Lệnh không hợp lệ: --since: \"2w\""},
         }) {
        CommandResult refused = run(arguments);
        EXPECT_EQ(refused.exitCode, 2) << arguments[0];
        EXPECT_THAT(refused.err, StartsWith("palisor-bridge: " + error));
        EXPECT_THAT(refused.err, ::testing::EndsWith(again));
    }
    for (const std::vector<std::string>& help : {std::vector<std::string>{"--help"}, {"workspace", "add", "--help"}}) {
        CommandResult shown = run(help);
        EXPECT_EQ(shown.exitCode, 0);
        EXPECT_THAT(shown.out, AllOf(HasSubstr("Cách dùng: "), HasSubstr("In trợ giúp này rồi thoát")));
        EXPECT_THAT(shown.out,
                    ::testing::Not(::testing::AnyOf(HasSubstr("Usage"), HasSubstr("Options"), HasSubstr("Print"))));
    }
}

// Without a command or a display the program serves; status and doctor see
// it. (That a running bridge takes up what commands change beside it is
// followed end to end with its validation executor.)
TEST_F(CommandLine, StatusAndDoctorSeeARunningBridge) {
    std::vector<std::string> env;
    for (const std::string& entry : bridgeEnvironment(configHome(), {"PALISOR_BRIDGE_AUTHORITY=" + authority.origin(),
                                                                     "PALISOR_BRIDGE_CREDENTIAL_FILE=" + credentials(),
                                                                     "PALISOR_BRIDGE_PORT=" + std::to_string(port)}))
        if (!entry.starts_with("DISPLAY=") && !entry.starts_with("WAYLAND_DISPLAY=")) env.push_back(entry);
    ChildProcess bridge(kBridgeExecutable, {}, env);
    ASSERT_TRUE(bridge.waitForOutput("Vui lòng đăng nhập để AI node đọc authority.\n")) << bridge.output;
    EXPECT_THAT(status().out, HasSubstr("Bridge đang chạy tại http://127.0.0.1:" + std::to_string(port) + "/mcp\n"));
    EXPECT_EQ(checkPort(port).detail,
              "127.0.0.1:" + std::to_string(port) + ": một Palisor bridge đang chạy và trả lời /health.");
    bridge.signal(SIGTERM);
    EXPECT_EQ(bridge.waitForExit(), 0) << bridge.output;
}

// On a terminal the password is asked with echo off: what the user types never
// shows, and the login goes through.
TEST_F(CommandLine, ThePasswordPromptOnATerminalDoesNotEcho) {
    std::vector<std::string> env = bridgeEnvironment(configHome(), {"PALISOR_BRIDGE_AUTHORITY=" + authority.origin(),
                                                                    "PALISOR_BRIDGE_CREDENTIAL_FILE=" + credentials()});
    std::vector<std::string> args = {kBridgeExecutable, "login", "--email", "dev@palisor.test"};
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
    // What the program wrote on its terminal, until `text` or the end.
    std::string seen;
    auto readUntil = [&](const std::string& text) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (seen.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd ready{terminal, POLLIN, 0};
            if (::poll(&ready, 1, 100) != 1) continue;
            char buffer[512];
            ssize_t n = ::read(terminal, buffer, sizeof buffer);
            if (n <= 0) break;
            seen.append(buffer, static_cast<std::size_t>(n));
        }
        return seen.find(text) != std::string::npos;
    };
    ASSERT_TRUE(readUntil("Mật khẩu: ")) << seen;
    ASSERT_EQ(::write(terminal, "right-password\n", 15), 15);
    EXPECT_TRUE(readUntil("Đã đăng nhập: dev@palisor.test")) << seen;
    readUntil("\x04");  // to the end
    ::close(terminal);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << seen;
    EXPECT_THAT(seen, ::testing::Not(HasSubstr("right-password")));
}

}  // namespace
}  // namespace palisor
