// `palisor-bridge doctor` end to end: the real program against the
// development authority, one machine condition at a time, each with its own
// settings folder and credential file.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <sstream>

#include "bridge/common/json.h"
#include "bridge/common/jwt.h"
#include "bridge/credentials/credential_file_vault.h"
#include "bridge/credentials/native_token_store.h"
#include "tests/support/bridge_process.h"
#include "tests/support/http_client.h"
#include "tests/support/temp_dir.h"
#include "tools/dev-authority/dev_authority.h"

namespace palisor {
namespace {

using test::CommandResult;
namespace fs = std::filesystem;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}
bool startsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// The report line of the check called `name` ("✗ Cổng: ..."), followed by its
// fix line when it has one; empty when there is no such check.
std::string checkLine(const std::string& report, const std::string& name) {
    std::vector<std::string> all = lines(report);
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (startsWith(all[i], " ") || !contains(all[i], " " + name + ": ")) continue;
        std::string line = all[i];
        if (i + 1 < all.size() && startsWith(all[i + 1], "    → ")) line += "\n" + all[i + 1];
        return line;
    }
    return {};
}

// A listener that accepts connections into its backlog and never answers.
class SilentListener {
public:
    explicit SilentListener(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        int yes = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        listening_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd_, 8) == 0;
    }
    ~SilentListener() { ::close(fd_); }
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    bool listening() const { return listening_; }

private:
    int fd_;
    bool listening_ = false;
};

class Doctor : public ::testing::Test {
protected:
    void SetUp() override { startAuthority({}); }

    void startAuthority(const dev::DevAuthorityOptions& options) {
        authority = std::make_unique<dev::DevAuthority>(options);
        authority->addUser("dev@palisor.test", "right-password", {"DOC", "OTHER"});
        authority->start();
    }

    // Entries of `extra` replace those of the same name.
    std::vector<std::string> environment(const std::vector<std::string>& extra = {}) const {
        std::vector<std::string> chosen = {"PALISOR_BRIDGE_AUTHORITY=" + authority->origin(),
                                           "PALISOR_BRIDGE_PORT=" + std::to_string(port),
                                           "PALISOR_BRIDGE_CREDENTIAL_FILE=" + credentials()};
        for (const std::string& entry : extra) {
            std::string name = entry.substr(0, entry.find('=') + 1);
            std::erase_if(chosen, [&](const std::string& old) { return startsWith(old, name); });
            chosen.push_back(entry);
        }
        return test::bridgeEnvironment(configHome(), chosen);
    }

    CommandResult run(const std::vector<std::string>& arguments, const std::vector<std::string>& extra = {},
                      const std::string& input = {}) const {
        return test::runProgram(test::kBridgeExecutable, arguments, environment(extra), input);
    }
    CommandResult doctor(const std::vector<std::string>& extra = {}) const { return run({"doctor"}, extra); }

    void login() const {
        CommandResult login = run({"login", "--email", "dev@palisor.test", "--password-stdin"}, {}, "right-password\n");
        ASSERT_EQ(login.exitCode, 0) << login.err;
    }
    std::string addWorkspace(const std::string& name, const std::string& projectKey) const {
        std::string root = test::makeWorkspace(home.path(), name, projectKey, authority->origin());
        CommandResult add = run({"workspace", "add", root});
        EXPECT_EQ(add.exitCode, 0) << add.err;
        return root;
    }

    // The session record the login stored.
    JsonValue storedSession() const {
        auto read = CredentialFileVault(credentials())
                        .read(NativeTokenStore::kDefaultService, NativeTokenStore::kDefaultAccount);
        return read.data ? parseJsonObject(std::string_view(*read.data)) : JsonValue::object();
    }

    std::string configHome() const { return home.path() + "/config"; }
    std::string credentials() const { return home.path() + "/credentials.json"; }

    test::TempDir home;
    std::unique_ptr<dev::DevAuthority> authority;
    std::uint16_t port = test::freePort();
};

TEST_F(Doctor, AHealthySetupPassesEveryCheckWithoutShowingATokenOrChangingTheSession) {
    login();
    addWorkspace("healthy", "DOC");
    std::string before = test::readFile(credentials());

    CommandResult report = doctor();
    EXPECT_EQ(report.exitCode, 0) << report.out;
    std::vector<std::string> all = lines(report.out);
    ASSERT_FALSE(all.empty());
    for (std::size_t i = 0; i + 1 < all.size(); ++i) EXPECT_TRUE(startsWith(all[i], "✓ ")) << all[i];
    EXPECT_EQ(all.back(), "8 đạt, 0 cảnh báo, 0 lỗi.");
    EXPECT_TRUE(contains(checkLine(report.out, "Phiên đăng nhập"), "dev@palisor.test, hết hạn lúc ")) << report.out;
    EXPECT_TRUE(contains(checkLine(report.out, "Authority"),
                         authority->origin() + " trả lời /api/health (healthy); catalogue dev-authority.2 (dự án DOC)"))
        << report.out;
    EXPECT_EQ(checkLine(report.out, "Cổng"), "✓ Cổng: 127.0.0.1:" + std::to_string(port) + " còn trống.");
    EXPECT_TRUE(startsWith(checkLine(report.out, "Workspace doc"), "✓ Workspace doc: DOC tại ")) << report.out;
    EXPECT_TRUE(contains(checkLine(report.out, "Runtime của validation executor"), "Node.js v")) << report.out;
    // Checked with the authority, not refreshed.
    EXPECT_GE(authority->requestCount("GET", "/api/auth/me"), 1u);
    EXPECT_EQ(authority->requestCount("POST", "/api/auth/session/refresh"), 0u);
    EXPECT_EQ(test::readFile(credentials()), before);

    const JsonValue web = storedSession()["web"];
    for (const char* token : {"accessToken", "refreshToken"}) {
        ASSERT_TRUE(web[token].is_string());
        EXPECT_FALSE(contains(report.out + report.err, web[token].get<std::string>())) << token;
    }

    CommandResult json = run({"doctor", "--json"});
    EXPECT_EQ(json.exitCode, 0);
    auto parsed = parseJson(json.out);
    ASSERT_TRUE(parsed) << json.out;
    EXPECT_EQ((*parsed)["ok"], true);
    // Stable ids for scripts, whatever the labels say.
    std::vector<std::string> ids;
    for (const JsonValue& check : (*parsed)["checks"]) {
        EXPECT_EQ(check["status"], "pass") << check.dump();
        ids.push_back(check.value("id", "") + (check.contains("workspaceId") ? ":" + check.value("workspaceId", "") : ""));
    }
    EXPECT_EQ(ids, (std::vector<std::string>{"credentialStore", "session", "port", "otherUsers", "authority", "tls",
                                             "workspace:doc", "executorRuntime"}));
}

TEST_F(Doctor, WithoutAKeyringTheStoreFailsAndPointsToTheCredentialFile) {
    // No session bus to find: none named, no runtime folder holding one, no display to start one for.
    test::TempDir runtime;
    std::vector<std::string> env;
    for (const std::string& entry :
         environment({"PALISOR_BRIDGE_CREDENTIAL_FILE=", "XDG_RUNTIME_DIR=" + runtime.path()}))
        if (!startsWith(entry, "DBUS_SESSION_BUS_ADDRESS=") && !startsWith(entry, "DISPLAY=") &&
            !startsWith(entry, "WAYLAND_DISPLAY="))
            env.push_back(entry);
    auto started = std::chrono::steady_clock::now();
    CommandResult report = test::runProgram(test::kBridgeExecutable, {"doctor"}, env);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(15));
    EXPECT_EQ(report.exitCode, 1) << report.out;
    std::string store = checkLine(report.out, "Kho phiên đăng nhập (Secret Service)");
    EXPECT_TRUE(startsWith(store, "✗ Kho phiên đăng nhập (Secret Service): không có keyring: không có phiên D-Bus"))
        << report.out;
    // The fix names the file in the settings folder this user has.
    EXPECT_TRUE(contains(store, "\n    → Trên máy không có keyring, chạy palisor-bridge login --credential-file " +
                                    configHome() + "/palisor-bridge/session.json "))
        << store;
    EXPECT_TRUE(startsWith(checkLine(report.out, "Phiên đăng nhập"), "✗ Phiên đăng nhập: không đọc được"))
        << report.out;

    // Memory only: nothing is broken, but the session ends with the bridge.
    CommandResult memory = doctor({"PALISOR_BRIDGE_DISABLE_KEYCHAIN=1"});
    std::string memoryStore = checkLine(memory.out, "Kho phiên đăng nhập (chỉ trong bộ nhớ)");
    EXPECT_TRUE(startsWith(memoryStore, "! ") && contains(memoryStore, "mất khi bridge dừng")) << memory.out;
    EXPECT_TRUE(startsWith(checkLine(memory.out, "Phiên đăng nhập"), "! ")) << memory.out;
}

TEST_F(Doctor, CredentialFileProblemsAreFailuresWithTheirFix) {
    std::string store = "Kho phiên đăng nhập (file)";
    CommandResult fresh = doctor();
    EXPECT_TRUE(startsWith(checkLine(fresh.out, store), "✓ " + store + ": " + credentials() + " chưa có;"))
        << fresh.out;
    EXPECT_EQ(checkLine(fresh.out, "Phiên đăng nhập"),
              "✗ Phiên đăng nhập: chưa đăng nhập.\n    → Chạy palisor-bridge login.");
    EXPECT_EQ(fresh.exitCode, 1);

    login();
    fs::permissions(credentials(), fs::perms(0644));
    CommandResult open = doctor();
    EXPECT_EQ(open.exitCode, 1);
    EXPECT_EQ(checkLine(open.out, store),
              "✗ " + store + ": " + credentials() +
                  " có mode 0644: người khác đọc được phiên đăng nhập.\n    → Chạy chmod 600 " + credentials() + ".");
    // Refused by the bridge too: no session is read from it.
    EXPECT_TRUE(startsWith(checkLine(open.out, "Phiên đăng nhập"), "✗ Phiên đăng nhập: không đọc được")) << open.out;

    test::writeFile(credentials(), "this is not a credential file");
    fs::permissions(credentials(), fs::perms::owner_read | fs::perms::owner_write);
    CommandResult corrupt = doctor();
    EXPECT_TRUE(
        startsWith(checkLine(corrupt.out, store), "✗ " + store + ": " + credentials() + " không phải file phiên"))
        << corrupt.out;
    EXPECT_TRUE(startsWith(checkLine(corrupt.out, "Phiên đăng nhập"), "✗ Phiên đăng nhập: không đọc được"))
        << corrupt.out;
    EXPECT_EQ(test::readFile(credentials()), "this is not a credential file");
}

TEST_F(Doctor, AnExpiringSessionThatCanBeRenewedIsOnlyAWarning) {
    dev::DevAuthorityOptions options;
    options.accessTokenLifetime = std::chrono::seconds(600);
    startAuthority(options);
    login();
    // Kept as a record from before receipt times were: renewed 15 minutes
    // ahead, so this token is due.
    JsonValue record = storedSession();
    record["web"].erase("receivedAt");
    ASSERT_EQ(CredentialFileVault(credentials())
                  .write(NativeTokenStore::kDefaultService, NativeTokenStore::kDefaultAccount, record.dump()),
              0);
    addWorkspace("expiring", "DOC");

    CommandResult report = doctor();
    EXPECT_EQ(report.exitCode, 0) << report.out;
    std::string session = checkLine(report.out, "Phiên đăng nhập");
    EXPECT_TRUE(startsWith(session, "! Phiên đăng nhập: dev@palisor.test: token truy cập hết hạn lúc ")) << session;
    EXPECT_TRUE(contains(session, "token làm mới còn dùng được đến ")) << session;
    EXPECT_TRUE(contains(session, "\n    → ")) << session;
    EXPECT_TRUE(contains(report.out, "7 đạt, 1 cảnh báo, 0 lỗi.\n")) << report.out;
    // Reported, not renewed: the doctor leaves the refresh to the bridge.
    EXPECT_EQ(authority->requestCount("POST", "/api/auth/session/refresh"), 0u);
}

TEST_F(Doctor, ARefusedOrExpiredSessionFailsAndIsLeftForTheUserToReplace) {
    login();
    addWorkspace("refused", "DOC");
    std::string before = test::readFile(credentials());
    authority->expireAccessTokens();  // the authority stops accepting it; locally it looks valid
    CommandResult refused = doctor();
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(startsWith(checkLine(refused.out, "Phiên đăng nhập"),
                           "✗ Phiên đăng nhập: dev@palisor.test: authority từ chối phiên này"))
        << refused.out;
    EXPECT_TRUE(contains(checkLine(refused.out, "Phiên đăng nhập"), "\n    → Chạy palisor-bridge login."));
    EXPECT_EQ(test::readFile(credentials()), before);
    EXPECT_EQ(authority->requestCount("POST", "/api/auth/session/refresh"), 0u);

    // Both tokens past their expiry as stored: nothing to ask the authority.
    JsonValue record = storedSession();
    record["web"]["expiresAt"] = "2020-01-01T00:00:00Z";
    record["web"]["refreshExpiresAt"] = "2020-01-02T00:00:00Z";
    ASSERT_EQ(CredentialFileVault(credentials())
                  .write(NativeTokenStore::kDefaultService, NativeTokenStore::kDefaultAccount, record.dump()),
              vault_status::kSuccess);
    std::size_t asked = authority->requestCount("GET", "/api/auth/me");
    CommandResult expired = doctor();
    EXPECT_EQ(expired.exitCode, 1);
    EXPECT_EQ(checkLine(expired.out, "Phiên đăng nhập"),
              "✗ Phiên đăng nhập: dev@palisor.test: phiên đã hết hạn (hết hạn lúc 2020-01-01T00:00:00Z (đã qua)) và "
              "không gia hạn được.\n    → Chạy palisor-bridge login.");
    EXPECT_EQ(authority->requestCount("GET", "/api/auth/me"), asked);

    // A session from another authority than the one now configured: said so by the doctor, the status and the
    // logout, and kept for when the bridge is pointed back.
    login();
    before = test::readFile(credentials());
    std::string moved = "http://127.0.0.1:" + std::to_string(test::freePort());
    std::string origin = authority->origin();
    CommandResult elsewhere = doctor({"PALISOR_BRIDGE_AUTHORITY=" + moved});
    EXPECT_EQ(checkLine(elsewhere.out, "Phiên đăng nhập"),
              "✗ Phiên đăng nhập: dev@palisor.test: phiên này đăng nhập với " + origin + ", còn bridge dùng " + moved +
                  ".\n    → Chạy palisor-bridge login để đăng nhập với " + moved +
                  ", hoặc đặt PALISOR_BRIDGE_AUTHORITY=" + origin + " để dùng lại phiên đó.");
    std::string status = run({"status"}, {"PALISOR_BRIDGE_AUTHORITY=" + moved}).out;
    EXPECT_TRUE(startsWith(status, "Phiên đã lưu đăng nhập với " + origin + ", còn bridge dùng " + moved + "."))
        << status;
    EXPECT_TRUE(contains(status, " để dùng lại phiên đó.\nChưa đăng nhập.\n")) << status;
    EXPECT_EQ(run({"logout"}, {"PALISOR_BRIDGE_AUTHORITY=" + moved}).out,
              "Đã đăng xuất.\nPhiên đăng nhập với " + origin + " vẫn được giữ; đặt PALISOR_BRIDGE_AUTHORITY=" + origin +
                  " rồi chạy palisor-bridge logout để đăng xuất khỏi đó.\n");
    EXPECT_EQ(test::readFile(credentials()), before);
}

TEST_F(Doctor, ThePortIsFreeOrABridgesAndAnythingElseThereIsAFailure) {
    std::string where = "127.0.0.1:" + std::to_string(port);
    {
        SilentListener listener(port);
        ASSERT_TRUE(listener.listening());
        CommandResult taken = doctor();
        EXPECT_EQ(taken.exitCode, 1);
        std::string line = checkLine(taken.out, "Cổng");
        EXPECT_TRUE(startsWith(line, "✗ Cổng: " + where + " đã bị một chương trình khác chiếm")) << taken.out;
        EXPECT_TRUE(contains(line, "\n    → ") && contains(line, "PALISOR_BRIDGE_PORT")) << line;
    }
    // Another HTTP server is not a bridge either, even one whose /health says ok.
    std::string authorityPort = std::to_string(authority->port());
    std::string http = checkLine(doctor({"PALISOR_BRIDGE_PORT=" + authorityPort}).out, "Cổng");
    EXPECT_TRUE(startsWith(http, "✗ Cổng: 127.0.0.1:" + authorityPort + " đã bị")) << http;
    authority->answerNextRaw("GET", "/health", 200, R"({"ok": true, "service": "some-other-service"})",
                             "application/json");
    std::string healthy = checkLine(doctor({"PALISOR_BRIDGE_PORT=" + authorityPort}).out, "Cổng");
    EXPECT_TRUE(startsWith(healthy, "✗ Cổng: 127.0.0.1:" + authorityPort + " đã bị")) << healthy;
    EXPECT_EQ(authority->requestCount("GET", "/health"), 2u);

    test::BridgeProcess bridge(port, {"PALISOR_BRIDGE_AUTHORITY=" + authority->origin()});
    ASSERT_TRUE(bridge.waitForOutput("Bridge đang chạy")) << bridge.output;
    EXPECT_EQ(checkLine(doctor().out, "Cổng"),
              "✓ Cổng: " + where + ": một Palisor bridge đang chạy và trả lời /health.");
}

TEST_F(Doctor, TheAuthorityMustAnswerInTimeAndUseTlsBeyondThisMachine) {
    CommandResult up = doctor();
    EXPECT_TRUE(
        startsWith(checkLine(up.out, "Authority"), "✓ Authority: " + authority->origin() + " trả lời /api/health"))
        << up.out;
    EXPECT_TRUE(startsWith(checkLine(up.out, "TLS"), "✓ TLS: " + authority->origin() + " dùng http trên loopback"))
        << up.out;

    std::string down = "http://127.0.0.1:" + std::to_string(test::freePort());
    CommandResult unreachable = doctor({"PALISOR_BRIDGE_AUTHORITY=" + down});
    EXPECT_EQ(unreachable.exitCode, 1);
    std::string line = checkLine(unreachable.out, "Authority");
    EXPECT_TRUE(startsWith(line, "✗ Authority: " + down + " không kết nối được: ")) << unreachable.out;
    EXPECT_TRUE(contains(line, "\n    → ") && contains(line, "PALISOR_BRIDGE_AUTHORITY")) << line;

    // An authority that accepts and never answers is given up on within seconds.
    authority->delayNext("GET", "/api/health", std::chrono::seconds(9));
    auto started = std::chrono::steady_clock::now();
    CommandResult slow = doctor();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));
    EXPECT_TRUE(startsWith(checkLine(slow.out, "Authority"), "✗ Authority: " + authority->origin())) << slow.out;

    CommandResult plain = doctor({"PALISOR_BRIDGE_AUTHORITY=http://192.0.2.10:8080"});
    EXPECT_EQ(plain.exitCode, 1);
    std::string tls = checkLine(plain.out, "TLS");
    EXPECT_TRUE(startsWith(tls, "✗ TLS: http://192.0.2.10:8080 dùng http tới máy khác")) << plain.out;
    EXPECT_TRUE(contains(tls, "\n    → ") && contains(tls, "https://192.0.2.10")) << tls;
}

TEST_F(Doctor, EachWorkspaceIsCheckedAgainstItsFolderAndTheBridgesOrigin) {
    addWorkspace("good", "DOC");
    std::string elsewhere = addWorkspace("elsewhere", "OTHER");
    std::string gone = addWorkspace("gone", "GONE");
    std::string bare = addWorkspace("bare", "BARE");
    test::writeFile(elsewhere + "/AGENTS.md", "- projectKey: OTHER\n- authorityOrigin: https://other.example\n");
    fs::remove_all(gone);
    test::writeFile(bare + "/AGENTS.md", "# Agents\n\nNo pointer here any more.\n");

    CommandResult report = doctor();
    EXPECT_EQ(report.exitCode, 1);
    EXPECT_TRUE(startsWith(checkLine(report.out, "Workspace doc"), "✓ ")) << report.out;
    std::string mismatch = checkLine(report.out, "Workspace other");
    EXPECT_TRUE(
        startsWith(mismatch, "✗ Workspace other: AGENTS.md trỏ tới authority https://other.example, còn bridge dùng " +
                                 authority->origin() + "."))
        << report.out;
    EXPECT_TRUE(contains(mismatch, "\n    → ") && contains(mismatch, "PALISOR_BRIDGE_AUTHORITY=https://other.example"))
        << mismatch;
    EXPECT_EQ(checkLine(report.out, "Workspace gone"),
              "✗ Workspace gone: thư mục " + gone +
                  " không còn.\n    → Khôi phục thư mục, hoặc chạy palisor-bridge workspace remove gone.");
    EXPECT_TRUE(
        startsWith(checkLine(report.out, "Workspace bare"), "✗ Workspace bare: " + bare + "/AGENTS.md thiếu dòng trỏ"))
        << report.out;
}

TEST_F(Doctor, TheExecutorRuntimeMustBeThereAndNode18OrLater) {
    // The program as installed elsewhere: its resources sit beside it.
    test::TempDir install;
    fs::create_directories(install.path() + "/bin");
    std::string program = install.path() + "/bin/palisor-bridge";
    std::error_code linked;
    fs::create_hard_link(test::kBridgeExecutable, program, linked);
    if (linked) fs::copy_file(test::kBridgeExecutable, program);
    std::string share = install.path() + "/share/palisor-bridge";
    fs::create_directories(share + "/runtime/bin");
    fs::create_directories(share + "/validation-executor");
    test::writeFile(share + "/validation-executor/supervisor.mjs", "");
    test::writeFile(share + "/validation-node-runtimes.json",
                    R"({"schemaVersion": 1, "runtimes": [{"id": "system", "npm": {"version": "9.2.0"}}]})");
    auto script = [](const std::string& path, const std::string& output) {
        test::writeFile(path, "#!/bin/sh\necho " + output + "\n");
        fs::permissions(path, fs::perms::owner_all);
    };
    script(share + "/runtime/node", "v16.20.2");
    script(share + "/runtime/bin/npm", "9.2.0");
    std::string name = "Runtime của validation executor";
    auto runtimeLine = [&](const std::vector<std::string>& extra = {}) {
        return checkLine(test::runProgram(program, {"doctor"}, environment(extra)).out, name);
    };

    std::string old = runtimeLine();
    EXPECT_TRUE(startsWith(old, "✗ " + name + ": Node.js v16.20.2 quá cũ (cần 18 trở lên).")) << old;
    EXPECT_TRUE(contains(old, "\n    → ") && contains(old, "apt install nodejs npm")) << old;

    script(share + "/runtime/node", "v18.0.0");
    EXPECT_EQ(runtimeLine(), "✓ " + name + ": Node.js v18.0.0 và npm 9.2.0 qua " + share + "/runtime.");

    fs::remove(share + "/runtime/bin/npm");
    std::string missing = runtimeLine();
    EXPECT_TRUE(startsWith(missing, "✗ " + name + ": thiếu " + share + "/runtime/bin/npm")) << missing;

    std::string off = runtimeLine({"PALISOR_BRIDGE_DISABLE_VALIDATION_EXECUTOR=1"});
    EXPECT_TRUE(startsWith(off, "✓ " + name + ": đã tắt")) << off;
}

}  // namespace
}  // namespace palisor
