#include "bridge/app/cli/doctor_command.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bridge/app/cli/within_limit.h"
#include "bridge/app/advice.h"
#include "bridge/app/bridge_components.h"
#include "bridge/app/cli/loopback_http.h"
#include "bridge/app/configuration.h"
#include "bridge/common/atomic_file.h"
#include "bridge/common/bridge_error.h"
#include "bridge/common/child_process.h"
#include "bridge/common/json.h"
#include "bridge/common/paths.h"
#include "bridge/common/socket_owner.h"
#include "bridge/common/text.h"
#include "bridge/common/time.h"
#include "bridge/common/url.h"
#include "bridge/credentials/credential_file_vault.h"
#include "bridge/credentials/native_token_store.h"
#include "bridge/credentials/secret_service_vault.h"
#include "bridge/mcp/local_mcp_server.h"
#include "bridge/validation/validation_executor_process.h"
#include "bridge/workspace/agents_pointer.h"

namespace palisor {

namespace {

using namespace std::chrono_literals;

// Every exchange with the keyring, the authority or a program is abandoned
// after this long, so that the doctor answers even where the thing it checks
// hangs.
constexpr auto kCheckLimit = 5s;
// The transport's own idle limit for one authority exchange, below the above.
constexpr double kAuthorityIdleSeconds = 4;
constexpr int kMinimumNodeMajor = 18;

enum class Verdict { pass, warning, failure };

// A check as the report names it: a stable id for scripts (--json), the
// label people read, and for a workspace's check the workspace's id.
struct CheckName {
    std::string id;
    std::string label;
    std::optional<std::string> workspaceId;
};

struct Check {
    Verdict verdict;
    CheckName name;
    std::string finding;
    std::string fix;  // empty for a pass
};

class Report {
public:
    void pass(CheckName name, std::string finding) { add(Verdict::pass, std::move(name), std::move(finding), {}); }
    void warn(CheckName name, std::string finding, std::string fix) {
        add(Verdict::warning, std::move(name), std::move(finding), std::move(fix));
    }
    void fail(CheckName name, std::string finding, std::string fix) {
        add(Verdict::failure, std::move(name), std::move(finding), std::move(fix));
    }

    void append(const Report& other) { checks_.insert(checks_.end(), other.checks_.begin(), other.checks_.end()); }

    bool failed() const {
        for (const Check& check : checks_)
            if (check.verdict == Verdict::failure) return true;
        return false;
    }

    void print(std::ostream& out) const {
        int counts[3] = {0, 0, 0};
        for (const Check& check : checks_) {
            ++counts[static_cast<int>(check.verdict)];
            out << shown(check.verdict).mark << " " << check.name.label << ": " << check.finding << "\n";
            if (!check.fix.empty()) out << "    → " << check.fix << "\n";
        }
        out << counts[0] << " đạt, " << counts[1] << " cảnh báo, " << counts[2] << " lỗi.\n";
    }

    JsonValue json() const {
        JsonValue checks = JsonValue::array();
        for (const Check& check : checks_) {
            JsonValue entry = {{"id", check.name.id},
                               {"name", check.name.label},
                               {"status", shown(check.verdict).status},
                               {"detail", check.finding}};
            if (check.name.workspaceId) entry["workspaceId"] = *check.name.workspaceId;
            if (!check.fix.empty()) entry["fix"] = check.fix;
            checks.push_back(std::move(entry));
        }
        return {{"ok", !failed()}, {"checks", std::move(checks)}};
    }

private:
    // How each verdict is printed: its mark, and its name in --json.
    struct Shown {
        const char* mark;
        const char* status;
    };
    static Shown shown(Verdict verdict) {
        static constexpr Shown kShown[] = {{"✓", "pass"}, {"!", "warning"}, {"✗", "failure"}};
        return kShown[static_cast<int>(verdict)];
    }
    void add(Verdict verdict, CheckName name, std::string finding, std::string fix) {
        checks_.push_back({verdict, std::move(name), std::move(finding), std::move(fix)});
    }

    std::vector<Check> checks_;
};


std::string seconds(std::chrono::milliseconds limit) {
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limit).count()) + " s";
}

std::string octalMode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// ---- the credential store ----------------------------------------------------

constexpr const char* kStoreCheck = "Kho phiên đăng nhập";

// The nearest folder on the way to `path` that exists: where a missing folder
// would be created.
std::string nearestExistingFolder(std::string path) {
    while (!path.empty() && path != "/" && !isDirectory(path)) path = parentPath(path);
    return path.empty() ? "/" : path;
}

// Returns whether the stored session can be read from there.
bool checkCredentialFile(const Configuration& configuration, Report& report, const std::string& configured,
                         bool remembered) {
    std::string path = standardizePath(configured);
    std::string folder = parentPath(path);
    CheckName name{"credentialStore",
                   std::string(kStoreCheck) + (remembered ? " (file, đã nhớ từ palisor-bridge login)" : " (file)"),
                   std::nullopt};
    // What the vault itself refuses, in its words: a link, another user's
    // file, one others can read, a folder others can write.
    CredentialFileVault vault(path);
    if (auto refusal = vault.refusal()) {
        report.fail(name, refusal->finding, refusal->fix);
        return false;
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        if (errno != ENOENT) {
            report.fail(name, path + " không truy cập được: " + std::strerror(errno) + ".",
                        "Cho tài khoản này quyền vào thư mục " + folder +
                            ", hoặc đặt PALISOR_BRIDGE_CREDENTIAL_FILE sang một đường dẫn khác.");
            return false;
        }
        // The vault makes the file (and its folders) at the first login.
        std::string existing = nearestExistingFolder(folder);
        if (::access(existing.c_str(), W_OK | X_OK) != 0) {
            report.fail(name, path + " chưa có, và thư mục " + existing + " không ghi được.",
                        "Cho phép ghi vào " + existing +
                            " (chmod u+w), hoặc đặt PALISOR_BRIDGE_CREDENTIAL_FILE sang một thư mục ghi được.");
            return true;  // nothing stored: the session check says so
        }
        report.pass(name, path + " chưa có; lần đăng nhập đầu sẽ tạo nó (mode 0600).");
        return true;
    }
    if (!S_ISREG(info.st_mode)) {
        report.fail(name, path + " không phải một file thường.",
                    "Đặt PALISOR_BRIDGE_CREDENTIAL_FILE sang đường dẫn của một file, ví dụ " +
                        standardCredentialFilePath(configuration.folders) + ".");
        return false;
    }
    // Whether the bridge can read a session from the file, whatever else is wrong with it.
    KeychainReadResult read = vault.read(NativeTokenStore::kDefaultService, NativeTokenStore::kDefaultAccount);
    bool readable = read.status == vault_status::kSuccess || read.status == vault_status::kItemNotFound;
    std::string mode = octalMode(info.st_mode);
    // The first problem, in the order a user would fix them.
    if (::access(path.c_str(), R_OK | W_OK) != 0) {
        report.fail(name, path + " không đọc/ghi được (mode " + mode + ").", "Chạy chmod 600 " + path + ".");
    } else if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        // Every change replaces the file through a new one in the same folder.
        report.fail(name, "thư mục " + folder + " không ghi được, nên phiên mới không lưu được.",
                    "Cho phép ghi vào " + folder + " (chmod u+w " + folder + ").");
    } else if (read.status == vault_status::kFileCorrupt) {
        report.fail(name, path + " không phải file phiên của bridge (nội dung không đọc được).",
                    "Chuyển file đó đi chỗ khác rồi chạy palisor-bridge login; bridge sẽ ghi một file mới.");
    } else if (!readable) {
        report.fail(name, path + " không đọc được (mã " + std::to_string(read.status) + ").",
                    "Chạy chmod 600 " + path + " và kiểm tra rằng file thuộc tài khoản này.");
    } else {
        report.pass(name, path + " (mode " + mode + ").");
    }
    return readable;
}

bool checkSecretService(const Configuration& configuration, Report& report) {
    CheckName name{"credentialStore", std::string(kStoreCheck) + " (Secret Service)", std::nullopt};
    std::string useFile = "Trên máy không có keyring, chạy palisor-bridge login --credential-file " +
                          standardCredentialFilePath(configuration.folders) +
                          " để giữ phiên trong một file (mode 0600).";
    auto status = withinLimit<std::int32_t>(kCheckLimit, [] { return SecretServiceVault::defaultCollectionStatus(); });
    if (!status) {
        report.fail(name, "keyring không trả lời trong " + seconds(kCheckLimit) + ".", useFile);
        return false;
    }
    switch (*status) {
        case vault_status::kSuccess:
            report.pass(name, "keyring sẵn sàng, bộ khoá mặc định đã mở khoá.");
            return true;
        case vault_status::kServiceUnavailable: {
            const auto& bus = configuration.sessionBus;
            std::string why = !bus || bus->empty() ? "không có phiên D-Bus (DBUS_SESSION_BUS_ADDRESS chưa đặt)"
                                                   : "không có dịch vụ Secret Service trên phiên D-Bus";
            report.fail(name, "không có keyring: " + why + ".", useFile);
            return false;
        }
        case vault_status::kLocked:
            report.fail(name, "bộ khoá mặc định của keyring đang khoá; bridge không hỏi mật khẩu để mở.",
                        "Mở khoá keyring (đăng nhập phiên desktop, hoặc dùng seahorse), hoặc chạy "
                        "palisor-bridge login --credential-file " +
                            standardCredentialFilePath(configuration.folders) + ".");
            return false;
        case vault_status::kNoDefaultCollection:
            report.fail(
                name, "keyring không có bộ khoá mặc định để lưu phiên.",
                "Tạo một bộ khoá mặc định (ví dụ với seahorse), hoặc chạy palisor-bridge login --credential-file " +
                    standardCredentialFilePath(configuration.folders) + ".");
            return false;
        default:
            report.fail(name, "keyring báo lỗi (mã " + std::to_string(*status) + ").", useFile);
            return false;
    }
}

// Returns whether the stored session can be read.
bool checkCredentialStore(const Configuration& configuration, Report& report) {
    if (configuration.keychainDisabled) {
        report.warn({"credentialStore", std::string(kStoreCheck) + " (chỉ trong bộ nhớ)", std::nullopt},
                    "PALISOR_BRIDGE_DISABLE_KEYCHAIN=1: phiên đăng nhập mất khi bridge dừng.",
                    "Bỏ PALISOR_BRIDGE_DISABLE_KEYCHAIN để dùng keyring, hoặc đặt PALISOR_BRIDGE_CREDENTIAL_FILE.");
        return false;
    }
    CredentialStoreChoice store = configuredCredentialStore(credentialSettings(configuration));
    if (store.kind == CredentialStoreChoice::Kind::file)
        return checkCredentialFile(configuration, report, store.file,
                                   store.source == CredentialStoreChoice::Source::remembered);
    return checkSecretService(configuration, report);
}

// ---- the authority ---------------------------------------------------------------

// One GET to the authority, without any recovery: no refresh, no session
// cleared, whatever the answer.
struct Exchange {
    bool ok = false;
    JsonValue body;
    std::optional<int> status;
    bool refused = false;  // an authentication failure
    std::string error;
};

Exchange authorityGet(const std::shared_ptr<AuthorityClient>& client, const std::string& path,
                      const std::optional<std::string>& token) {
    auto answer = withinLimit<Exchange>(kCheckLimit, [client, path, token] {
        Exchange exchange;
        try {
            exchange.body = client->request(path, "GET", std::nullopt, token, false, std::nullopt);
            exchange.ok = true;
        } catch (const AuthorityClientError& error) {
            exchange.status = error.statusCode();
            exchange.refused = isAuthFailure(error);
            exchange.error = errorDescription(error);
        } catch (const std::exception& error) {
            exchange.refused = isAuthFailure(error);
            exchange.error = errorMessage(error);
        }
        return exchange;
    });
    if (answer) return *answer;
    Exchange timedOut;
    timedOut.error = "không có trả lời trong " + seconds(kCheckLimit);
    return timedOut;
}

// What the configured origin says about the way tokens travel.
struct OriginSecurity {
    bool usable = false;  // a URL with a host
    bool encrypted = false;
    bool loopback = false;
};

OriginSecurity checkTransportSecurity(Report& report, const std::string& origin) {
    const CheckName name{"tls", "TLS", std::nullopt};
    OriginSecurity security;
    auto url = Url::parse(origin);
    if (!url || url->host().empty()) {
        report.fail(name, "\"" + origin + "\" không phải một origin.",
                    "Đặt PALISOR_BRIDGE_AUTHORITY=https://host[:port], hoặc bỏ nó để dùng " +
                        std::string(kDefaultAuthorityOrigin) + ".");
        return security;
    }
    security.usable = true;
    security.loopback = isLoopbackHost(url->host());
    if (url->scheme() == "https") {
        security.encrypted = true;
        report.pass(name, origin + " dùng https.");
    } else if (url->scheme() == "http" && security.loopback) {
        report.pass(name, origin + " dùng http trên loopback; dữ liệu không rời máy này.");
    } else if (url->scheme() == "http") {
        report.fail(name, origin + " dùng http tới máy khác: mật khẩu và token sẽ đi qua mạng không mã hoá.",
                    "Đặt PALISOR_BRIDGE_AUTHORITY với https://, ví dụ https://" + url->host() + ".");
    } else {
        report.fail(name, origin + " dùng scheme \"" + url->scheme() + "\", bridge chỉ nói http(s).",
                    "Đặt PALISOR_BRIDGE_AUTHORITY=https://host[:port].");
    }
    return security;
}

// ---- the session ---------------------------------------------------------------

CheckName sessionCheck() { return {"session", "Phiên đăng nhập", std::nullopt}; }

// "2026-12-07T03:16:00Z (còn 12 phút)" or "... (đã qua)".
std::string describeTime(const std::string& iso) {
    auto when = parseIsoTime(iso);
    if (!when) return iso;
    auto left = std::chrono::duration_cast<std::chrono::minutes>(*when - std::chrono::system_clock::now()).count();
    if (*when <= std::chrono::system_clock::now()) return iso + " (đã qua)";
    if (left < 120) return iso + " (còn " + std::to_string(left) + " phút)";
    if (left < 48 * 60) return iso + " (còn " + std::to_string(left / 60) + " giờ)";
    return iso + " (còn " + std::to_string(left / (24 * 60)) + " ngày)";
}

// The stored web session as the bridge would use it, checked with the
// authority without changing it. A refresh would rotate the refresh token,
// and a refused one would be cleared: a diagnosis must not be the thing that
// logs the user out, so the doctor only reads.
//
// Returns the access token when the authority accepted it, for the reads that
// follow.
std::optional<std::string> checkSession(const Configuration& configuration, Report& report, bool storeReadable,
                                        const OriginSecurity& security,
                                        const std::shared_ptr<AuthorityClient>& client) {
    const std::string login = "Chạy palisor-bridge login.";
    if (configuration.keychainDisabled) {
        report.warn(sessionCheck(), "không xem được: phiên chỉ nằm trong bộ nhớ của bridge đang chạy.",
                    "Bỏ PALISOR_BRIDGE_DISABLE_KEYCHAIN (hoặc đặt PALISOR_BRIDGE_CREDENTIAL_FILE), rồi " +
                        std::string("chạy palisor-bridge login."));
        return std::nullopt;
    }
    if (!storeReadable) {
        report.fail(sessionCheck(), "không đọc được vì kho phiên đăng nhập không dùng được.",
                    "Sửa kho phiên đăng nhập như trên, rồi chạy palisor-bridge login.");
        return std::nullopt;
    }
    JsonValue record = client->tokenStore()->readSession();
    const JsonValue* web = objectMember(record, "web");
    auto accessToken = web ? nonEmptyString(*web, "accessToken") : std::nullopt;
    if (!accessToken) {
        report.fail(sessionCheck(), "chưa đăng nhập.", login);
        return std::nullopt;
    }
    const JsonValue* user = objectMember(*web, "user");
    std::string account = (user ? nonEmptyString(*user, "email") : std::nullopt).value_or("tài khoản không rõ");
    std::string expiresAt = optString(*web, "expiresAt").value_or("");
    std::string refreshExpiresAt = optString(*web, "refreshExpiresAt").value_or("");
    bool accessExpired = isExpired(member(*web, "expiresAt"), 0);
    bool renewSoon = isExpired(member(*web, "expiresAt"), webTokenRenewBeforeSeconds(*web));
    bool refreshUsable =
        nonEmptyString(*web, "refreshToken").has_value() && !isExpired(member(*web, "refreshExpiresAt"), 0);
    std::string expiry = expiresAt.empty() ? "không ghi hạn" : "hết hạn lúc " + describeTime(expiresAt);

    // A session from another authority is not shown to this one; it stays
    // stored for when the bridge is pointed back.
    if (auto elsewhere = client->foreignSessionOrigin()) {
        report.fail(sessionCheck(),
                    account + ": phiên này đăng nhập với " + *elsewhere + ", còn bridge dùng " +
                        client->authorityOrigin() + ".",
                    "Chạy palisor-bridge login để đăng nhập với " + client->authorityOrigin() +
                        ", hoặc đặt PALISOR_BRIDGE_AUTHORITY=" + *elsewhere + " để dùng lại phiên đó.");
        return std::nullopt;
    }
    if (accessExpired && !refreshUsable) {
        report.fail(sessionCheck(), account + ": phiên đã hết hạn (" + expiry + ") và không gia hạn được.", login);
        return std::nullopt;
    }

    // Asked only with a token that is still valid, and never over a
    // connection that would show it to the network.
    std::optional<Exchange> me;
    if (!accessExpired && security.usable && (security.encrypted || security.loopback))
        me = authorityGet(client, "/api/auth/me", accessToken);
    if (me && me->refused) {
        report.fail(sessionCheck(), account + ": authority từ chối phiên này (" + me->error + ").", login);
        return std::nullopt;
    }
    bool confirmed = me && me->ok;
    std::string unconfirmed;
    if (!confirmed) {
        unconfirmed = me              ? " Chưa xác nhận được với authority: " + me->error + "."
                      : accessExpired ? ""
                                      : " Chưa xác nhận với authority (origin không an toàn).";
    }

    if (renewSoon && refreshUsable) {
        report.warn(sessionCheck(),
                    account + ": token truy cập " + expiry + "; token làm mới còn dùng được đến " +
                        describeTime(refreshExpiresAt) + ", bridge sẽ gia hạn khi cần." + unconfirmed,
                    "Không cần làm gì: bridge tự gia hạn; nếu việc gia hạn lỗi, chạy palisor-bridge login.");
    } else if (renewSoon) {
        report.warn(sessionCheck(), account + ": phiên " + expiry + " và không có token làm mới." + unconfirmed,
                    "Chạy palisor-bridge login trước khi phiên hết hạn.");
    } else if (!confirmed) {
        report.warn(sessionCheck(), account + ": phiên " + expiry + "." + unconfirmed,
                    "Sửa kết nối tới authority (xem các dòng Authority và TLS), rồi chạy lại palisor-bridge doctor.");
    } else {
        report.pass(sessionCheck(), account + ", " + expiry + ", authority đã xác nhận.");
    }
    return confirmed ? accessToken : std::nullopt;
}

// ---- the port ----------------------------------------------------------------------

// Whether a listener could bind 127.0.0.1:port now, as the endpoint does.
std::optional<std::string> portUnavailableReason(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::string(std::strerror(errno));
    int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::optional<std::string> reason;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) reason = std::strerror(errno);
    ::close(fd);
    return reason;
}

void checkPort(const Configuration& configuration, Report& report) {
    const CheckName name{"port", "Cổng", std::nullopt};
    const auto& configured = configuration.portText;
    std::uint16_t port = configuredPort(configured);
    std::string where = "127.0.0.1:" + std::to_string(port);
    std::string chooseAnother =
        "Dừng chương trình đó, hoặc chọn cổng khác cho bridge bằng PALISOR_BRIDGE_PORT (1024-65535).";
    if (auto other = otherUserOnPort(port)) {
        report.fail(name, where + " do một người dùng khác (uid " + std::to_string(*other) +
                              ") mở; mọi lời gọi của agent sẽ tới chương trình của người đó.",
                    "Dừng chương trình đó (sudo ss -ltnpe 'sport = :" + std::to_string(port) +
                        "' cho biết là chương trình nào), hoặc chọn cổng khác cho bridge và agent bằng "
                        "PALISOR_BRIDGE_PORT (1024-65535).");
        return;
    }
    if (bridgeAnswers(port)) {
        report.pass(name, where + ": một Palisor bridge đang chạy và trả lời /health.");
    } else if (auto reason = portUnavailableReason(port)) {
        report.fail(name, where + " đã bị một chương trình khác chiếm (" + *reason + ").", chooseAnother);
        return;
    } else {
        report.pass(name, where + " còn trống.");
    }
    // A value the bridge cannot use falls back to the default.
    if (auto warning = portFallbackWarning(configured)) report.warn({"portSetting", name.label, std::nullopt}, warning->finding, warning->fix);
}

// The endpoint serves only this user's programs, and the command line talks
// only to this user's bridge, as far as the kernel names socket owners.
void checkOtherUsers(Report& report) {
    const CheckName name{"otherUsers", "Người dùng khác", std::nullopt};
    if (socketOwnersKnown()) {
        report.pass(name, "nhân Linux cho biết chủ của mỗi kết nối; chương trình của người dùng khác bị từ chối.");
        return;
    }
    report.warn(name,
                "nhân Linux không cho biết chủ của kết nối (netlink sock_diag không dùng được), nên bridge không "
                "phân biệt được người dùng khác trên máy này: ai cũng gọi được công cụ bằng phiên của bạn.",
                "Nạp module tcp_diag (sudo modprobe tcp_diag), hoặc cho phép netlink sock_diag trong container hay "
                "sandbox đang chạy bridge; trên máy chỉ một người dùng thì có thể bỏ qua.");
}

// ---- the authority's reachability -----------------------------------------------

void checkAuthority(const Configuration& configuration, Report& report, const OriginSecurity& security,
                    const std::shared_ptr<AuthorityClient>& client, const std::optional<std::string>& acceptedToken,
                    const WorkspaceRegistrySnapshot& workspaces) {
    const CheckName name{"authority", "Authority", std::nullopt};
    const std::string& origin = client->authorityOrigin();
    AuthoritySetting setting = configuredAuthority(configuration);
    std::string source = "; nguồn: " + authoritySource(setting) + ".";
    std::string chooseAnother = setting.source == AuthoritySetting::Source::environment
                                    ? "đặt PALISOR_BRIDGE_AUTHORITY đúng origin."
                                    : "chọn đúng authority bằng palisor-bridge login --authority https://host[:port].";
    if (!security.usable) {
        report.fail(name, "không kiểm tra được: origin không hợp lệ.", "Sửa PALISOR_BRIDGE_AUTHORITY (xem dòng TLS).");
        return;
    }
    Exchange health = authorityGet(client, "/api/health", std::nullopt);
    if (!health.ok) {
        std::string finding = health.status ? origin + " trả lời HTTP " + std::to_string(*health.status) +
                                                  " cho /api/health (" + health.error + ")"
                                            : origin + " không kết nối được: " + health.error;
        report.fail(name, finding + source, "Kiểm tra mạng và rằng authority đang chạy, hoặc " + chooseAnother);
        return;
    }
    std::string finding = origin + " trả lời /api/health";
    if (auto state = optString(health.body, "status")) finding += " (" + *state + ")";

    // The catalogue's version, read with the session the check above accepted
    // and for the project the bridge serves first.
    std::optional<std::string> projectKey;
    for (const WorkspaceRegistration& workspace : workspaces.workspaces)
        if (!projectKey || workspaces.defaultWorkspaceId == workspace.workspaceId) projectKey = workspace.projectKey;
    if (acceptedToken && projectKey) {
        Exchange bootstrap =
            authorityGet(client, "/api/authority?projectKey=" + urlQueryEncode(*projectKey), acceptedToken);
        const JsonValue* catalog = bootstrap.ok ? objectMember(bootstrap.body, "operationCatalog") : nullptr;
        if (auto version = catalog ? optString(*catalog, "version") : std::nullopt)
            finding += "; catalogue " + *version + " (dự án " + *projectKey + ")";
        else if (!bootstrap.ok)
            finding += "; không đọc được catalogue của " + *projectKey + ": " + bootstrap.error;
    }
    report.pass(name, finding + source);
}

// ---- the workspaces ----------------------------------------------------------------

void checkWorkspaces(Report& report, const WorkspaceRegistrySnapshot& snapshot, const std::string& bridgeOrigin) {
    if (snapshot.workspaces.empty()) {
        report.warn({"workspaces", "Workspace", std::nullopt}, "chưa có workspace nào được đăng ký.",
                    "Chạy palisor-bridge workspace add <thư mục có AGENTS.md>.");
        return;
    }
    for (const WorkspaceRegistration& workspace : snapshot.workspaces) {
        CheckName name{"workspace", "Workspace " + workspace.workspaceId, workspace.workspaceId};
        const std::string& root = workspace.workspaceRoot;
        if (!isDirectory(root)) {
            report.fail(name, "thư mục " + root + " không còn.",
                        "Khôi phục thư mục, hoặc chạy palisor-bridge workspace remove " + workspace.workspaceId + ".");
            continue;
        }
        AgentsPointer pointer;
        try {
            pointer = readAgentsPointer(root);
        } catch (const AgentsPointerError& error) {
            report.fail(name, joinPath(root, "AGENTS.md") + " thiếu dòng trỏ (" + errorDescription(error) + ").",
                        agentsPointerFix(joinPath(root, "AGENTS.md"), workspace.projectKey, bridgeOrigin));
            continue;
        } catch (const std::exception& error) {
            report.fail(name, joinPath(root, "AGENTS.md") + " không đọc được (" + errorMessage(error) + ").",
                        agentsUnreadableFix(root));
            continue;
        }
        if (pointer.authorityOrigin != bridgeOrigin) {
            Advice mismatch = authorityMismatchAdvice(pointer, bridgeOrigin);
            report.fail(name, mismatch.finding, mismatch.fix);
            continue;
        }
        if (pointer.projectKey != workspace.projectKey) {
            report.fail(name,
                        "AGENTS.md ghi dự án " + pointer.projectKey + ", còn workspace đăng ký cho " +
                            workspace.projectKey + ".",
                        "Chạy palisor-bridge workspace add " + root + " để cập nhật đăng ký.");
            continue;
        }
        report.pass(name, workspace.projectKey + " tại " + root + ".");
    }
}

// ---- the executors' runtime --------------------------------------------------------

// What a program printed on standard output, when it exited 0 within the limit.
std::optional<std::string> programOutput(const std::string& program, const std::vector<std::string>& arguments,
                                         const std::vector<std::string>& environment) {
    struct Shared {
        std::mutex lock;
        std::condition_variable exited;
        std::string output;
        std::optional<ChildExitStatus> exit;
    };
    auto shared = std::make_shared<Shared>();
    ChildProcess::Options options;
    options.executable = program;
    options.arguments = arguments;
    options.environment = environment;
    options.onStandardOutput = [shared](std::string_view chunk) {
        std::lock_guard guard(shared->lock);
        if (shared->output.size() < 4096) shared->output.append(chunk);
    };
    options.onStandardError = [](std::string_view) {};
    options.onExit = [shared](ChildExitStatus exit) {
        std::lock_guard guard(shared->lock);
        shared->exit = exit;
        shared->exited.notify_all();
    };
    ChildProcess child(std::move(options));
    try {
        child.launch();
    } catch (const ChildProcessError&) {
        return std::nullopt;
    }
    std::unique_lock guard(shared->lock);
    // A program that does not exit in time is killed with the ChildProcess.
    if (!shared->exited.wait_for(guard, kCheckLimit, [&] { return shared->exit.has_value(); })) return std::nullopt;
    if (shared->exit->bySignal || shared->exit->status != 0) return std::nullopt;
    return trim(shared->output);
}

// 20 for "v20.11.1".
std::optional<long long> majorVersion(const std::string& version) {
    std::string_view text(version);
    if (!text.empty() && text.front() == 'v') text.remove_prefix(1);
    return parseDecimalInteger(text.substr(0, text.find('.')));
}

void checkExecutorRuntime(const Configuration& configuration, Report& report) {
    const CheckName name{"executorRuntime", "Runtime của validation executor", std::nullopt};
    if (configuration.validationExecutorDisabled) {
        report.pass(name, "đã tắt (PALISOR_BRIDGE_DISABLE_VALIDATION_EXECUTOR=1), không cần Node.js.");
        return;
    }
    const std::string install = "Cài Node.js " + std::to_string(kMinimumNodeMajor) +
                                "+ và npm (sudo apt install nodejs npm), rồi build hoặc cài lại bridge để "
                                "share/palisor-bridge/runtime trỏ tới chúng.";
    using Process = ValidationExecutorProcess;
    Process::Resources resources = Process::resourcesIn(Process::defaultResourceFolder());
    if (auto missing = Process::missingResource(resources)) {
        report.fail(name, "thiếu " + missing->path + " (" + errorMessage(missing->error) + ").", install);
        return;
    }
    // Run as the executor runs, on its search path.
    std::vector<std::string> environment = environmentWith({"PATH=" + resources.searchPath()});
    std::optional<std::string> version = programOutput(resources.node, {"--version"}, environment);
    std::optional<long long> major = version ? majorVersion(*version) : std::nullopt;
    if (!major) {
        report.fail(name, resources.node + " --version không chạy được.", install);
        return;
    }
    if (*major < kMinimumNodeMajor) {
        report.fail(name, "Node.js " + *version + " quá cũ (cần " + std::to_string(kMinimumNodeMajor) + " trở lên).",
                    install);
        return;
    }
    // The executor finds its runtime through the manifest the build wrote.
    std::optional<JsonValue> manifest;
    try {
        if (auto bytes = readFileIfExists(resources.manifest)) manifest = parseJson(*bytes);
    } catch (const FileError&) {
    }
    const JsonValue* runtimes = manifest ? arrayMember(*manifest, "runtimes") : nullptr;
    if (!runtimes || runtimes->empty() || !(*runtimes)[0].is_object()) {
        report.fail(name, resources.manifest + " không đọc được.", install);
        return;
    }
    const JsonValue* npm = objectMember((*runtimes)[0], "npm");
    std::string npmVersion = (npm ? optString(*npm, "version") : std::nullopt).value_or("?");
    report.pass(name, "Node.js " + *version + " và npm " + npmVersion + " qua " + resources.runtimeFolder + ".");
}

// ---- the command ---------------------------------------------------------------------

struct DoctorOptions {
    bool json = false;
};

int runDoctor(const Configuration& configuration, const DoctorOptions& options) {
    Report report;
    bool storeReadable = checkCredentialStore(configuration, report);

    auto tokenStore = createTokenStore(configuration);
    AuthorityClient::Options clientOptions;
    clientOptions.authorityOrigin = configuredAuthorityOrigin(configuration);
    clientOptions.tokenStore = tokenStore;
    // The bridge waits long for a slow authority; the doctor only asks whether it answers.
    clientOptions.headerTask = [](const AuthorityRequest& request) {
        AuthorityRequest bounded = request;
        bounded.timeoutSeconds = kAuthorityIdleSeconds;
        return syncHeaderDataTask(bounded);
    };
    auto client = std::make_shared<AuthorityClient>(clientOptions);
    WorkspaceRegistrySnapshot workspaces =
        createWorkspaceRegistry(configuration, client->authorityOrigin())->snapshot();

    // The transport's security decides whether the session may be shown to the
    // authority, so it is looked at first and reported after the session.
    Report securityReport;
    OriginSecurity security = checkTransportSecurity(securityReport, client->authorityOrigin());
    std::optional<std::string> acceptedToken = checkSession(configuration, report, storeReadable, security, client);
    checkPort(configuration, report);
    checkOtherUsers(report);
    checkAuthority(configuration, report, security, client, acceptedToken, workspaces);
    report.append(securityReport);
    checkWorkspaces(report, workspaces, client->authorityOrigin());
    checkExecutorRuntime(configuration, report);

    if (options.json)
        std::cout << dumpPretty(report.json()).value_or("{}") << "\n";
    else
        report.print(std::cout);
    return report.failed() ? kExitFailure : kExitSuccess;
}

}  // namespace

void addDoctorCommand(CLI::App& app, CommandAction& action, const Configuration& configuration) {
    auto options = std::make_shared<DoctorOptions>();
    auto* doctor = app.add_subcommand(
        "doctor", "Kiểm tra kho phiên đăng nhập, phiên, cổng, authority, các workspace và runtime.");
    doctor->add_flag("--json", options->json,
                     "In các mục kiểm tra dưới dạng JSON; mỗi mục có id cố định (session, port, authority, ...)");
    doctor->callback([&action, options, configuration] {
        action = [options, configuration] { return runDoctor(configuration, *options); };
    });
}

}  // namespace palisor
