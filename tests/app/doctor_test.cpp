// `doctor` in this process, one machine condition at a time: each check
// through the whole report, or alone where it takes its inputs as arguments.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "bridge/app/cli/workspace_commands.h"
#include "bridge/common/json.h"
#include "bridge/credentials/credential_file_vault.h"
#include "bridge/credentials/native_token_store.h"
#include "tests/app/commands.h"

namespace palisor {
namespace {

using namespace test;
namespace fs = std::filesystem;

// The report line of the check called `name` ("✗ Cổng: ..."), followed by its
// fix line when it has one; empty when there is no such check.
std::string checkLine(const std::string& report, const std::string& name) {
    std::istringstream lines(report);
    std::string line, found;
    while (std::getline(lines, line)) {
        if (!found.empty()) return line.starts_with("    → ") ? found + "\n" + line : found;
        if (!line.starts_with(" ") && line.find(" " + name + ": ") != std::string::npos) found = line;
    }
    return found;
}

class Doctor : public Commands {
protected:
    std::string addWorkspace(const std::string& name, const std::string& projectKey) const {
        std::string root = workspace(name, projectKey);
        Ran added = run([&](auto& c, auto&, auto& out, auto& err) { return runWorkspaceAdd(c, {{root}}, out, err); });
        EXPECT_EQ(added.code, 0) << added.err;
        return root;
    }
    std::string line(const std::string& name) const { return checkLine(doctor().out, name); }

    JsonValue storedSession() const {
        auto read = CredentialFileVault(credentials()).read(NativeTokenStore::kDefaultService, NativeTokenStore::kDefaultAccount);
        return read.data ? parseJsonObject(std::string_view(*read.data)) : JsonValue::object();
    }
    void storeSession(const JsonValue& record) const {
        ASSERT_EQ(CredentialFileVault(credentials())
                      .write(NativeTokenStore::kDefaultService, NativeTokenStore::kDefaultAccount, record.dump()),
                  vault_status::kSuccess);
    }
};

TEST_F(Doctor, AHealthySetupPassesEveryCheckWithoutShowingATokenOrChangingTheSession) {
    ASSERT_EQ(login().code, 0);
    addWorkspace("healthy", "DOC");
    std::string before = readFile(credentials());

    Ran report = doctor();
    EXPECT_EQ(report.code, 0) << report.out;
    EXPECT_THAT(report.out, ::testing::EndsWith("\n8 đạt, 0 cảnh báo, 0 lỗi.\n"));
    EXPECT_THAT(checkLine(report.out, "Phiên đăng nhập"), StartsWith("✓ Phiên đăng nhập: dev@palisor.test, hết hạn lúc "));
    EXPECT_EQ(checkLine(report.out, "Authority"), "✓ Authority: " + authority.origin() +
                                                      " trả lời /api/health (healthy); catalogue dev-authority.2 (dự án "
                                                      "DOC); nguồn: PALISOR_BRIDGE_AUTHORITY.");
    EXPECT_EQ(checkLine(report.out, "Cổng"), "✓ Cổng: 127.0.0.1:" + std::to_string(port) + " còn trống.");
    EXPECT_THAT(checkLine(report.out, "Workspace doc"), StartsWith("✓ Workspace doc: DOC tại "));
    EXPECT_THAT(checkLine(report.out, "Runtime của validation executor"), HasSubstr("Node.js v"));
    // Checked with the authority, not refreshed.
    EXPECT_GE(authority.requestCount("GET", "/api/auth/me"), 1u);
    EXPECT_EQ(authority.requestCount("POST", "/api/auth/session/refresh"), 0u);
    EXPECT_EQ(readFile(credentials()), before);
    for (const char* token : {"accessToken", "refreshToken"})
        EXPECT_THAT(report.out + report.err, ::testing::Not(HasSubstr(storedSession()["web"][token].get<std::string>())));

    Ran json = doctor(true);
    EXPECT_EQ(json.code, 0);
    JsonValue parsed = JsonValue::parse(json.out);
    EXPECT_EQ(parsed["ok"], true);
    // Stable ids for scripts, whatever the labels say.
    std::vector<std::string> ids;
    for (const JsonValue& check : parsed["checks"]) {
        EXPECT_EQ(check["status"], "pass") << check.dump();
        ids.push_back(check.value("id", "") + (check.contains("workspaceId") ? ":" + check.value("workspaceId", "") : ""));
    }
    EXPECT_EQ(ids, (std::vector<std::string>{"credentialStore", "session", "port", "otherUsers", "authority", "tls",
                                             "workspace:doc", "executorRuntime"}));
}

TEST_F(Doctor, TheCredentialStoreAndItsFailuresWithTheirFix) {
    // No keyring: the fix names the file in the settings folder this user has.
    auto started = std::chrono::steady_clock::now();
    StoreCheck keyless = checkCredentialStore(configuration, {});
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));
    EXPECT_EQ(keyless.row.state, DoctorRow::State::failure);
    EXPECT_FALSE(keyless.sessionReadable);
    EXPECT_EQ(keyless.row.detail, "không có keyring: không có phiên D-Bus (DBUS_SESSION_BUS_ADDRESS chưa đặt).");
    EXPECT_THAT(keyless.row.fix, StartsWith("Trên máy không có keyring, chạy palisor-bridge login --credential-file " +
                                            configHome() + "/palisor-bridge/session.json "));
    configuration.credentialFile.reset();
    EXPECT_THAT(line("Phiên đăng nhập"), StartsWith("✗ Phiên đăng nhập: không đọc được"));

    // Memory only: nothing is broken, but the session ends with the bridge.
    configuration.keychainDisabled = true;
    std::string memory = doctor().out;
    EXPECT_THAT(checkLine(memory, "Kho phiên đăng nhập (chỉ trong bộ nhớ)"),
                AllOf(StartsWith("! "), HasSubstr("mất khi bridge dừng")));
    EXPECT_THAT(checkLine(memory, "Phiên đăng nhập"), StartsWith("! "));
    configuration.keychainDisabled = false;
    configuration.credentialFile = credentials();

    std::string store = "Kho phiên đăng nhập (file)";
    Ran fresh = doctor();
    EXPECT_EQ(fresh.code, 1);
    EXPECT_THAT(checkLine(fresh.out, store), StartsWith("✓ " + store + ": " + credentials() + " chưa có;"));
    EXPECT_EQ(checkLine(fresh.out, "Phiên đăng nhập"), "✗ Phiên đăng nhập: chưa đăng nhập.\n    → Chạy palisor-bridge login.");

    ASSERT_EQ(login().code, 0);
    fs::permissions(credentials(), fs::perms(0644));
    Ran open = doctor();
    EXPECT_EQ(open.code, 1);
    EXPECT_EQ(checkLine(open.out, store), "✗ " + store + ": " + credentials() +
                                              " có mode 0644: người khác đọc được phiên đăng nhập.\n    → Chạy chmod 600 " +
                                              credentials() + ".");
    // Refused by the bridge too: no session is read from it.
    EXPECT_THAT(checkLine(open.out, "Phiên đăng nhập"), StartsWith("✗ Phiên đăng nhập: không đọc được"));

    writeFile(credentials(), "this is not a credential file");
    fs::permissions(credentials(), fs::perms::owner_read | fs::perms::owner_write);
    Ran corrupt = doctor();
    EXPECT_THAT(checkLine(corrupt.out, store), StartsWith("✗ " + store + ": " + credentials() + " không phải file phiên"));
    EXPECT_THAT(checkLine(corrupt.out, "Phiên đăng nhập"), StartsWith("✗ Phiên đăng nhập: không đọc được"));
    EXPECT_EQ(readFile(credentials()), "this is not a credential file");
}

TEST_F(Doctor, TheSessionIsReportedAsStoredAndNeverRenewedOrCleared) {
    authority.stop();
    dev::DevAuthority expiring({.accessTokenLifetime = std::chrono::seconds(600)});
    expiring.addUser("dev@palisor.test", "right-password", {"DOC"});
    expiring.start();
    configuration.authority = expiring.origin();
    ASSERT_EQ(login().code, 0);
    // Kept as a record from before receipt times were: renewed 15 minutes
    // ahead, so this token is due. Only a warning, and not renewed.
    JsonValue record = storedSession();
    record["web"].erase("receivedAt");
    storeSession(record);
    Ran due = doctor();
    EXPECT_EQ(due.code, 0) << due.out;
    EXPECT_THAT(checkLine(due.out, "Phiên đăng nhập"),
                AllOf(StartsWith("! Phiên đăng nhập: dev@palisor.test: token truy cập hết hạn lúc "),
                      HasSubstr("token làm mới còn dùng được đến "), HasSubstr("\n    → ")));
    EXPECT_EQ(expiring.requestCount("POST", "/api/auth/session/refresh"), 0u);

    // Refused by the authority though valid here: a failure, left stored.
    ASSERT_EQ(login().code, 0);
    std::string before = readFile(credentials());
    expiring.expireAccessTokens();
    EXPECT_THAT(line("Phiên đăng nhập"), AllOf(StartsWith("✗ Phiên đăng nhập: dev@palisor.test: authority từ chối phiên này"),
                                               ::testing::EndsWith("\n    → Chạy palisor-bridge login.")));
    EXPECT_EQ(readFile(credentials()), before);
    EXPECT_EQ(expiring.requestCount("POST", "/api/auth/session/refresh"), 0u);

    // Both tokens past their expiry as stored: nothing to ask the authority.
    record = storedSession();
    record["web"]["expiresAt"] = "2020-01-01T00:00:00Z";
    record["web"]["refreshExpiresAt"] = "2020-01-02T00:00:00Z";
    storeSession(record);
    std::size_t asked = expiring.requestCount("GET", "/api/auth/me");
    EXPECT_EQ(line("Phiên đăng nhập"),
              "✗ Phiên đăng nhập: dev@palisor.test: phiên đã hết hạn (hết hạn lúc 2020-01-01T00:00:00Z (đã qua)) và "
              "không gia hạn được.\n    → Chạy palisor-bridge login.");
    EXPECT_EQ(expiring.requestCount("GET", "/api/auth/me"), asked);

    // A session from another authority than the one now configured: said so
    // by the doctor, the status and the logout, and kept for when the bridge
    // is pointed back.
    ASSERT_EQ(login().code, 0);
    before = readFile(credentials());
    std::string moved = "http://127.0.0.1:" + std::to_string(freePort());
    std::string origin = expiring.origin();
    configuration.authority = moved;
    EXPECT_EQ(line("Phiên đăng nhập"),
              "✗ Phiên đăng nhập: dev@palisor.test: phiên này đăng nhập với " + origin + ", còn bridge dùng " + moved +
                  ".\n    → Chạy palisor-bridge login để đăng nhập với " + moved +
                  ", hoặc đặt PALISOR_BRIDGE_AUTHORITY=" + origin + " để dùng lại phiên đó.");
    std::string shown = status().out;
    EXPECT_THAT(shown, HasSubstr(" để dùng lại phiên đó.\nChưa đăng nhập.\n"));
    EXPECT_EQ(run([](auto& c, auto&, auto& out, auto& err) { return runLogout(c, out, err); }).out,
              "Đã đăng xuất.\nPhiên đăng nhập với " + origin + " vẫn được giữ; đặt PALISOR_BRIDGE_AUTHORITY=" + origin +
                  " rồi chạy palisor-bridge logout để đăng xuất khỏi đó.\n");
    EXPECT_EQ(readFile(credentials()), before);
}

// A listener that accepts connections into its backlog and never answers.
struct SilentListener {
    explicit SilentListener(std::uint16_t port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        listening = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd, 8) == 0;
    }
    ~SilentListener() { ::close(fd); }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool listening = false;
};

TEST_F(Doctor, ThePortIsFreeOrABridgesAndAnythingElseThereIsAFailure) {
    {
        SilentListener listener(port);
        ASSERT_TRUE(listener.listening);
        DoctorRow taken = checkPort(port);
        EXPECT_EQ(taken.state, DoctorRow::State::failure);
        EXPECT_THAT(taken.detail, StartsWith("127.0.0.1:" + std::to_string(port) + " đã bị một chương trình khác chiếm"));
        EXPECT_THAT(taken.fix, HasSubstr("PALISOR_BRIDGE_PORT"));
        EXPECT_EQ(doctor().code, 1);
    }
    // Another HTTP server is not a bridge either, even one whose /health says ok.
    authority.answerNextRaw("GET", "/health", 200, R"({"ok": true, "service": "some-other-service"})", "application/json");
    for (int i = 0; i < 2; ++i)
        EXPECT_THAT(checkPort(authority.port()).detail, StartsWith("127.0.0.1:" + std::to_string(authority.port()) + " đã bị"));
    EXPECT_EQ(authority.requestCount("GET", "/health"), 2u);

    // A value the bridge cannot use is a warning beside a port that is fine.
    configuration.portText = "80";
    JsonValue checks = JsonValue::parse(doctor(true).out)["checks"];
    EXPECT_EQ(checks[3]["id"], "portSetting");
    EXPECT_EQ(checks[3]["status"], "warning");
    EXPECT_EQ(checkPortSetting(std::string("47621")), std::nullopt);
}

TEST_F(Doctor, TheAuthorityMustAnswerInTimeAndUseTlsBeyondThisMachine) {
    EXPECT_EQ(checkTransportSecurity(authority.origin()).detail, authority.origin() + " dùng http trên loopback; dữ liệu không rời máy này.");
    EXPECT_EQ(checkTransportSecurity("https://a.example").state, DoctorRow::State::pass);
    DoctorRow plain = checkTransportSecurity("http://192.0.2.10:8080");
    EXPECT_EQ(plain.state, DoctorRow::State::failure);
    EXPECT_THAT(plain.detail, StartsWith("http://192.0.2.10:8080 dùng http tới máy khác"));
    EXPECT_THAT(plain.fix, HasSubstr("https://192.0.2.10"));
    EXPECT_EQ(checkTransportSecurity("ftp://a.example").state, DoctorRow::State::failure);
    EXPECT_EQ(checkTransportSecurity("nonsense").state, DoctorRow::State::failure);

    std::string down = "http://127.0.0.1:" + std::to_string(freePort());
    configuration.authority = down;
    Ran unreachable = doctor();
    EXPECT_EQ(unreachable.code, 1);
    EXPECT_THAT(checkLine(unreachable.out, "Authority"),
                AllOf(StartsWith("✗ Authority: " + down + " không kết nối được: "),
                      HasSubstr("\n    → Kiểm tra mạng và rằng authority đang chạy, hoặc đặt PALISOR_BRIDGE_AUTHORITY")));

    // An authority that accepts and never answers is given up on within seconds.
    configuration.authority = authority.origin();
    authority.delayNext("GET", "/api/health", std::chrono::seconds(9));
    auto started = std::chrono::steady_clock::now();
    EXPECT_THAT(line("Authority"), StartsWith("✗ Authority: " + authority.origin()));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));
}

TEST_F(Doctor, EachWorkspaceIsCheckedAgainstItsFolderAndTheBridgesOrigin) {
    EXPECT_EQ(checkWorkspaces({}, authority.origin()).at(0).id, "workspaces");
    addWorkspace("good", "DOC");
    std::string elsewhere = addWorkspace("elsewhere", "OTHER");
    std::string gone = addWorkspace("gone", "GONE");
    std::string bare = addWorkspace("bare", "BARE");
    writeFile(elsewhere + "/AGENTS.md", "- projectKey: OTHER\n- authorityOrigin: https://other.example\n");
    fs::remove_all(gone);
    writeFile(bare + "/AGENTS.md", "# Agents\n\nNo pointer here any more.\n");

    Ran report = doctor();
    EXPECT_EQ(report.code, 1);
    EXPECT_THAT(checkLine(report.out, "Workspace doc"), StartsWith("✓ "));
    EXPECT_THAT(checkLine(report.out, "Workspace other"),
                AllOf(StartsWith("✗ Workspace other: AGENTS.md trỏ tới authority https://other.example, còn bridge dùng " +
                                 authority.origin() + "."),
                      HasSubstr("\n    → "), HasSubstr("PALISOR_BRIDGE_AUTHORITY=https://other.example")));
    EXPECT_EQ(checkLine(report.out, "Workspace gone"),
              "✗ Workspace gone: thư mục " + gone +
                  " không còn.\n    → Khôi phục thư mục, hoặc chạy palisor-bridge workspace remove gone.");
    EXPECT_THAT(checkLine(report.out, "Workspace bare"), StartsWith("✗ Workspace bare: " + bare + "/AGENTS.md thiếu dòng trỏ"));
}

TEST_F(Doctor, TheExecutorRuntimeMustBeThereAndNode18OrLater) {
    // The resources as installed beside the program.
    std::string share = home.file("share/palisor-bridge");
    fs::create_directories(share + "/runtime/bin");
    fs::create_directories(share + "/validation-executor");
    writeFile(share + "/validation-executor/supervisor.mjs", "");
    writeFile(share + "/validation-node-runtimes.json",
              R"({"schemaVersion": 1, "runtimes": [{"id": "system", "npm": {"version": "9.2.0"}}]})");
    auto script = [](const std::string& path, const std::string& output) {
        writeFile(path, "#!/bin/sh\necho " + output + "\n");
        fs::permissions(path, fs::perms::owner_all);
    };
    script(share + "/runtime/node", "v16.20.2");
    script(share + "/runtime/bin/npm", "9.2.0");

    DoctorRow old = checkExecutorRuntime(false, share);
    EXPECT_EQ(old.detail, "Node.js v16.20.2 quá cũ (cần 18 trở lên).");
    EXPECT_THAT(old.fix, HasSubstr("apt install nodejs npm"));
    script(share + "/runtime/node", "v18.0.0");
    EXPECT_EQ(checkExecutorRuntime(false, share).detail, "Node.js v18.0.0 và npm 9.2.0 qua " + share + "/runtime.");
    fs::remove(share + "/runtime/bin/npm");
    EXPECT_THAT(checkExecutorRuntime(false, share).detail, StartsWith("thiếu " + share + "/runtime/bin/npm"));
    EXPECT_THAT(checkExecutorRuntime(true, share).detail, StartsWith("đã tắt"));
}

}  // namespace
}  // namespace palisor
