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

using State = DoctorRow::State;

DoctorRow row(State state, std::string id, std::string name, std::string detail, std::string fix = {}) {
    return {std::move(id), std::move(name), std::nullopt, state, std::move(detail), std::move(fix)};
}
DoctorRow pass(std::string id, std::string name, std::string detail) {
    return row(State::pass, std::move(id), std::move(name), std::move(detail));
}
DoctorRow warning(std::string id, std::string name, std::string detail, std::string fix) {
    return row(State::warning, std::move(id), std::move(name), std::move(detail), std::move(fix));
}
DoctorRow failure(std::string id, std::string name, std::string detail, std::string fix) {
    return row(State::failure, std::move(id), std::move(name), std::move(detail), std::move(fix));
}

std::string seconds(std::chrono::milliseconds limit) {
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limit).count()) + " s";
}

std::string octalMode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// ---- the credential store ----------------------------------------------------

constexpr const char* kStoreId = "credentialStore";
constexpr const char* kStoreCheck = "Kho phiên đăng nhập";

// The nearest folder on the way to `path` that exists: where a missing folder
// would be created.
std::string nearestExistingFolder(std::string path) {
    while (!path.empty() && path != "/" && !isDirectory(path)) path = parentPath(path);
    return path.empty() ? "/" : path;
}

StoreCheck checkCredentialFile(const UserFolders& folders, const std::string& configured, bool remembered) {
    std::string path = standardizePath(configured);
    std::string folder = parentPath(path);
    std::string name =
        std::string(kStoreCheck) + (remembered ? " (file, đã nhớ từ palisor-bridge login)" : " (file)");
    auto fail = [&](std::string detail, std::string fix, bool readable = false) {
        return StoreCheck{failure(kStoreId, name, std::move(detail), std::move(fix)), readable};
    };
    // What the vault itself refuses, in its words: a link, another user's
    // file, one others can read, a folder others can write.
    CredentialFileVault vault(path);
    if (auto refusal = vault.refusal()) return fail(refusal->finding, refusal->fix);
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        if (errno != ENOENT) {
            return fail(path + " không truy cập được: " + std::strerror(errno) + ".",
                        "Cho tài khoản này quyền vào thư mục " + folder +
                            ", hoặc đặt PALISOR_BRIDGE_CREDENTIAL_FILE sang một đường dẫn khác.");
        }
        // The vault makes the file (and its folders) at the first login.
        std::string existing = nearestExistingFolder(folder);
        if (::access(existing.c_str(), W_OK | X_OK) != 0)
            return fail(path + " chưa có, và thư mục " + existing + " không ghi được.",
                        "Cho phép ghi vào " + existing +
                            " (chmod u+w), hoặc đặt PALISOR_BRIDGE_CREDENTIAL_FILE sang một thư mục ghi được.",
                        true);  // nothing stored: the session check says so
        return {pass(kStoreId, name, path + " chưa có; lần đăng nhập đầu sẽ tạo nó (mode 0600)."), true};
    }
    if (!S_ISREG(info.st_mode))
        return fail(path + " không phải một file thường.",
                    "Đặt PALISOR_BRIDGE_CREDENTIAL_FILE sang đường dẫn của một file, ví dụ " +
                        standardCredentialFilePath(folders) + ".");
    // Whether the bridge can read a session from the file, whatever else is wrong with it.
    KeychainReadResult read = vault.read(NativeTokenStore::kDefaultService, NativeTokenStore::kDefaultAccount);
    bool readable = read.status == vault_status::kSuccess || read.status == vault_status::kItemNotFound;
    std::string mode = octalMode(info.st_mode);
    // The first problem, in the order a user would fix them.
    if (::access(path.c_str(), R_OK | W_OK) != 0)
        return fail(path + " không đọc/ghi được (mode " + mode + ").", "Chạy chmod 600 " + path + ".", readable);
    // Every change replaces the file through a new one in the same folder.
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        return fail("thư mục " + folder + " không ghi được, nên phiên mới không lưu được.",
                    "Cho phép ghi vào " + folder + " (chmod u+w " + folder + ").", readable);
    if (read.status == vault_status::kFileCorrupt)
        return fail(path + " không phải file phiên của bridge (nội dung không đọc được).",
                    "Chuyển file đó đi chỗ khác rồi chạy palisor-bridge login; bridge sẽ ghi một file mới.");
    if (!readable)
        return fail(path + " không đọc được (mã " + std::to_string(read.status) + ").",
                    "Chạy chmod 600 " + path + " và kiểm tra rằng file thuộc tài khoản này.");
    return {pass(kStoreId, name, path + " (mode " + mode + ")."), true};
}

StoreCheck checkSecretService(const UserFolders& folders, const std::optional<std::string>& sessionBus) {
    std::string name = std::string(kStoreCheck) + " (Secret Service)";
    auto fail = [&](std::string detail, std::string fix) {
        return StoreCheck{failure(kStoreId, name, std::move(detail), std::move(fix)), false};
    };
    std::string useFile = "Trên máy không có keyring, chạy palisor-bridge login --credential-file " +
                          standardCredentialFilePath(folders) + " để giữ phiên trong một file (mode 0600).";
    auto status = withinLimit<std::int32_t>(kCheckLimit, [] { return SecretServiceVault::defaultCollectionStatus(); });
    if (!status) return fail("keyring không trả lời trong " + seconds(kCheckLimit) + ".", useFile);
    switch (*status) {
        case vault_status::kSuccess:
            return {pass(kStoreId, name, "keyring sẵn sàng, bộ khoá mặc định đã mở khoá."), true};
        case vault_status::kServiceUnavailable: {
            std::string why = !sessionBus || sessionBus->empty()
                                  ? "không có phiên D-Bus (DBUS_SESSION_BUS_ADDRESS chưa đặt)"
                                  : "không có dịch vụ Secret Service trên phiên D-Bus";
            return fail("không có keyring: " + why + ".", useFile);
        }
        case vault_status::kLocked:
            return fail("bộ khoá mặc định của keyring đang khoá; bridge không hỏi mật khẩu để mở.",
                        "Mở khoá keyring (đăng nhập phiên desktop, hoặc dùng seahorse), hoặc chạy "
                        "palisor-bridge login --credential-file " +
                            standardCredentialFilePath(folders) + ".");
        case vault_status::kNoDefaultCollection:
            return fail("keyring không có bộ khoá mặc định để lưu phiên.",
                        "Tạo một bộ khoá mặc định (ví dụ với seahorse), hoặc chạy palisor-bridge login --credential-file " +
                            standardCredentialFilePath(folders) + ".");
        default:
            return fail("keyring báo lỗi (mã " + std::to_string(*status) + ").", useFile);
    }
}

}  // namespace

StoreCheck checkCredentialStore(const Configuration& configuration, const CredentialStoreChoice& store) {
    const UserFolders& folders = configuration.folders;
    if (store.kind == CredentialStoreChoice::Kind::memory)
        return {warning(kStoreId, std::string(kStoreCheck) + " (chỉ trong bộ nhớ)",
                        "PALISOR_BRIDGE_DISABLE_KEYCHAIN=1: phiên đăng nhập mất khi bridge dừng.",
                        "Bỏ PALISOR_BRIDGE_DISABLE_KEYCHAIN để dùng keyring, hoặc đặt PALISOR_BRIDGE_CREDENTIAL_FILE."),
                false};
    if (store.kind == CredentialStoreChoice::Kind::file)
        return checkCredentialFile(folders, store.file, store.source == CredentialStoreChoice::Source::remembered);
    return checkSecretService(folders, configuration.sessionBus);
}

namespace {

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

OriginSecurity originSecurity(const std::string& origin) {
    OriginSecurity security;
    auto url = Url::parse(origin);
    if (!url || url->host().empty()) return security;
    security.usable = true;
    security.loopback = isLoopbackHost(url->host());
    security.encrypted = url->scheme() == "https";
    return security;
}

}  // namespace

DoctorRow checkTransportSecurity(const std::string& origin) {
    auto fail = [](std::string detail, std::string fix) {
        return failure("tls", "TLS", std::move(detail), std::move(fix));
    };
    auto url = Url::parse(origin);
    if (!url || url->host().empty())
        return fail("\"" + origin + "\" không phải một origin.",
                    "Đặt PALISOR_BRIDGE_AUTHORITY=https://host[:port], hoặc bỏ nó để dùng " +
                        std::string(kDefaultAuthorityOrigin) + ".");
    if (url->scheme() == "https") return pass("tls", "TLS", origin + " dùng https.");
    if (url->scheme() == "http" && isLoopbackHost(url->host()))
        return pass("tls", "TLS", origin + " dùng http trên loopback; dữ liệu không rời máy này.");
    if (url->scheme() == "http")
        return fail(origin + " dùng http tới máy khác: mật khẩu và token sẽ đi qua mạng không mã hoá.",
                    "Đặt PALISOR_BRIDGE_AUTHORITY với https://, ví dụ https://" + url->host() + ".");
    return fail(origin + " dùng scheme \"" + url->scheme() + "\", bridge chỉ nói http(s).",
                "Đặt PALISOR_BRIDGE_AUTHORITY=https://host[:port].");
}

namespace {

// ---- the session ---------------------------------------------------------------


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

}  // namespace

SessionCheck checkSession(const CredentialStoreChoice& store, bool storeReadable,
                          const std::shared_ptr<AuthorityClient>& client) {
    OriginSecurity security = originSecurity(client->authorityOrigin());
    const std::string login = "Chạy palisor-bridge login.";
    auto report = [](State state, std::string detail, std::string fix = {}) {
        return SessionCheck{row(state, "session", "Phiên đăng nhập", std::move(detail), std::move(fix)), std::nullopt};
    };
    if (store.kind == CredentialStoreChoice::Kind::memory)
        return report(State::warning, "không xem được: phiên chỉ nằm trong bộ nhớ của bridge đang chạy.",
                      "Bỏ PALISOR_BRIDGE_DISABLE_KEYCHAIN (hoặc đặt PALISOR_BRIDGE_CREDENTIAL_FILE), rồi " +
                          std::string("chạy palisor-bridge login."));
    if (!storeReadable)
        return report(State::failure, "không đọc được vì kho phiên đăng nhập không dùng được.",
                      "Sửa kho phiên đăng nhập như trên, rồi chạy palisor-bridge login.");
    JsonValue record = client->tokenStore()->readSession();
    const JsonValue* web = objectMember(record, "web");
    auto accessToken = web ? nonEmptyString(*web, "accessToken") : std::nullopt;
    if (!accessToken) return report(State::failure, "chưa đăng nhập.", login);
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
    if (auto elsewhere = client->foreignSessionOrigin())
        return report(State::failure,
                      account + ": phiên này đăng nhập với " + *elsewhere + ", còn bridge dùng " +
                          client->authorityOrigin() + ".",
                      "Chạy palisor-bridge login để đăng nhập với " + client->authorityOrigin() +
                          ", hoặc đặt PALISOR_BRIDGE_AUTHORITY=" + *elsewhere + " để dùng lại phiên đó.");
    if (accessExpired && !refreshUsable)
        return report(State::failure, account + ": phiên đã hết hạn (" + expiry + ") và không gia hạn được.", login);

    // Asked only with a token that is still valid, and never over a
    // connection that would show it to the network.
    std::optional<Exchange> me;
    if (!accessExpired && security.usable && (security.encrypted || security.loopback))
        me = authorityGet(client, "/api/auth/me", accessToken);
    if (me && me->refused)
        return report(State::failure, account + ": authority từ chối phiên này (" + me->error + ").", login);
    bool confirmed = me && me->ok;
    std::string unconfirmed;
    if (!confirmed) {
        unconfirmed = me              ? " Chưa xác nhận được với authority: " + me->error + "."
                      : accessExpired ? ""
                                      : " Chưa xác nhận với authority (origin không an toàn).";
    }

    SessionCheck checked;
    if (renewSoon && refreshUsable) {
        checked = report(State::warning,
                         account + ": token truy cập " + expiry + "; token làm mới còn dùng được đến " +
                             describeTime(refreshExpiresAt) + ", bridge sẽ gia hạn khi cần." + unconfirmed,
                         "Không cần làm gì: bridge tự gia hạn; nếu việc gia hạn lỗi, chạy palisor-bridge login.");
    } else if (renewSoon) {
        checked = report(State::warning, account + ": phiên " + expiry + " và không có token làm mới." + unconfirmed,
                         "Chạy palisor-bridge login trước khi phiên hết hạn.");
    } else if (!confirmed) {
        checked = report(State::warning, account + ": phiên " + expiry + "." + unconfirmed,
                         "Sửa kết nối tới authority (xem các dòng Authority và TLS), rồi chạy lại palisor-bridge doctor.");
    } else {
        checked = report(State::pass, account + ", " + expiry + ", authority đã xác nhận.");
    }
    if (confirmed) checked.acceptedToken = accessToken;
    return checked;
}

// ---- the port ----------------------------------------------------------------------

namespace {

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

}  // namespace

DoctorRow checkPort(std::uint16_t port) {
    std::string where = "127.0.0.1:" + std::to_string(port);
    std::string chooseAnother =
        "Dừng chương trình đó, hoặc chọn cổng khác cho bridge bằng PALISOR_BRIDGE_PORT (1024-65535).";
    if (auto other = otherUserOnPort(port))
        return failure("port", "Cổng",
                       where + " do một người dùng khác (uid " + std::to_string(*other) +
                           ") mở; mọi lời gọi của agent sẽ tới chương trình của người đó.",
                       "Dừng chương trình đó (sudo ss -ltnpe 'sport = :" + std::to_string(port) +
                           "' cho biết là chương trình nào), hoặc chọn cổng khác cho bridge và agent bằng "
                           "PALISOR_BRIDGE_PORT (1024-65535).");
    if (bridgeAnswers(port)) return pass("port", "Cổng", where + ": một Palisor bridge đang chạy và trả lời /health.");
    if (auto reason = portUnavailableReason(port))
        return failure("port", "Cổng", where + " đã bị một chương trình khác chiếm (" + *reason + ").", chooseAnother);
    return pass("port", "Cổng", where + " còn trống.");
}

std::optional<DoctorRow> checkPortSetting(const std::optional<std::string>& value) {
    auto fallback = portFallbackWarning(value);
    if (!fallback) return std::nullopt;
    return warning("portSetting", "Cổng", fallback->finding, fallback->fix);
}

// The endpoint serves only this user's programs, and the command line talks
// only to this user's bridge, as far as the kernel names socket owners.
DoctorRow checkOtherUsers() {
    const std::string name = "Người dùng khác";
    if (socketOwnersKnown())
        return pass("otherUsers", name,
                    "nhân Linux cho biết chủ của mỗi kết nối; chương trình của người dùng khác bị từ chối.");
    return warning("otherUsers", name,
                "nhân Linux không cho biết chủ của kết nối (netlink sock_diag không dùng được), nên bridge không "
                "phân biệt được người dùng khác trên máy này: ai cũng gọi được công cụ bằng phiên của bạn.",
                "Nạp module tcp_diag (sudo modprobe tcp_diag), hoặc cho phép netlink sock_diag trong container hay "
                "sandbox đang chạy bridge; trên máy chỉ một người dùng thì có thể bỏ qua.");
}

// ---- the authority's reachability -----------------------------------------------

DoctorRow checkAuthority(const AuthoritySetting& setting, const std::shared_ptr<AuthorityClient>& client,
                         const std::optional<std::string>& acceptedToken, const WorkspaceRegistrySnapshot& workspaces) {
    const std::string name = "Authority";
    const std::string& origin = client->authorityOrigin();
    std::string source = "; nguồn: " + authoritySource(setting) + ".";
    std::string chooseAnother = setting.source == AuthoritySetting::Source::environment
                                    ? "đặt PALISOR_BRIDGE_AUTHORITY đúng origin."
                                    : "chọn đúng authority bằng palisor-bridge login --authority https://host[:port].";
    if (!originSecurity(origin).usable)
        return failure("authority", name, "không kiểm tra được: origin không hợp lệ.",
                       "Sửa PALISOR_BRIDGE_AUTHORITY (xem dòng TLS).");
    Exchange health = authorityGet(client, "/api/health", std::nullopt);
    if (!health.ok) {
        std::string finding = health.status ? origin + " trả lời HTTP " + std::to_string(*health.status) +
                                                  " cho /api/health (" + health.error + ")"
                                            : origin + " không kết nối được: " + health.error;
        return failure("authority", name, finding + source,
                       "Kiểm tra mạng và rằng authority đang chạy, hoặc " + chooseAnother);
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
    return pass("authority", name, finding + source);
}

// ---- the workspaces ----------------------------------------------------------------

std::vector<DoctorRow> checkWorkspaces(const WorkspaceRegistrySnapshot& snapshot, const std::string& bridgeOrigin) {
    if (snapshot.workspaces.empty())
        return {warning("workspaces", "Workspace", "chưa có workspace nào được đăng ký.",
                        "Chạy palisor-bridge workspace add <thư mục có AGENTS.md>.")};
    std::vector<DoctorRow> rows;
    for (const WorkspaceRegistration& workspace : snapshot.workspaces) {
        auto report = [&](State state, std::string detail, std::string fix = {}) {
            rows.push_back(row(state, "workspace", "Workspace " + workspace.workspaceId, std::move(detail),
                               std::move(fix)));
            rows.back().workspaceId = workspace.workspaceId;
        };
        const std::string& root = workspace.workspaceRoot;
        if (!isDirectory(root)) {
            report(State::failure, "thư mục " + root + " không còn.",
                        "Khôi phục thư mục, hoặc chạy palisor-bridge workspace remove " + workspace.workspaceId + ".");
            continue;
        }
        AgentsPointer pointer;
        try {
            pointer = readAgentsPointer(root);
        } catch (const AgentsPointerError& error) {
            report(State::failure, joinPath(root, "AGENTS.md") + " thiếu dòng trỏ (" + errorDescription(error) + ").",
                        agentsPointerFix(joinPath(root, "AGENTS.md"), workspace.projectKey, bridgeOrigin));
            continue;
        } catch (const std::exception& error) {
            report(State::failure, joinPath(root, "AGENTS.md") + " không đọc được (" + errorMessage(error) + ").",
                        agentsUnreadableFix(root));
            continue;
        }
        if (pointer.authorityOrigin != bridgeOrigin) {
            Advice mismatch = authorityMismatchAdvice(pointer, bridgeOrigin);
            report(State::failure, mismatch.finding, mismatch.fix);
            continue;
        }
        if (pointer.projectKey != workspace.projectKey) {
            report(State::failure,
                        "AGENTS.md ghi dự án " + pointer.projectKey + ", còn workspace đăng ký cho " +
                            workspace.projectKey + ".",
                        "Chạy palisor-bridge workspace add " + root + " để cập nhật đăng ký.");
            continue;
        }
        report(State::pass, workspace.projectKey + " tại " + root + ".");
    }
    return rows;
}

namespace {


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

}  // namespace

DoctorRow checkExecutorRuntime(bool disabled, const std::string& resourceFolder) {
    const std::string id = "executorRuntime", name = "Runtime của validation executor";
    if (disabled) return pass(id, name, "đã tắt (PALISOR_BRIDGE_DISABLE_VALIDATION_EXECUTOR=1), không cần Node.js.");
    const std::string install = "Cài Node.js " + std::to_string(kMinimumNodeMajor) +
                                "+ và npm (sudo apt install nodejs npm), rồi build hoặc cài lại bridge để "
                                "share/palisor-bridge/runtime trỏ tới chúng.";
    using Process = ValidationExecutorProcess;
    Process::Resources resources = Process::resourcesIn(resourceFolder);
    if (auto missing = Process::missingResource(resources))
        return failure(id, name, "thiếu " + missing->path + " (" + errorMessage(missing->error) + ").", install);
    // Run as the executor runs, on its search path.
    std::vector<std::string> environment = environmentWith({"PATH=" + resources.searchPath()});
    std::optional<std::string> version = programOutput(resources.node, {"--version"}, environment);
    std::optional<long long> major = version ? majorVersion(*version) : std::nullopt;
    if (!major) return failure(id, name, resources.node + " --version không chạy được.", install);
    if (*major < kMinimumNodeMajor)
        return failure(id, name,
                       "Node.js " + *version + " quá cũ (cần " + std::to_string(kMinimumNodeMajor) + " trở lên).",
                       install);
    // The executor finds its runtime through the manifest the build wrote.
    std::optional<JsonValue> manifest;
    try {
        if (auto bytes = readFileIfExists(resources.manifest)) manifest = parseJson(*bytes);
    } catch (const FileError&) {
    }
    const JsonValue* runtimes = manifest ? arrayMember(*manifest, "runtimes") : nullptr;
    if (!runtimes || runtimes->empty() || !(*runtimes)[0].is_object())
        return failure(id, name, resources.manifest + " không đọc được.", install);
    const JsonValue* npm = objectMember((*runtimes)[0], "npm");
    std::string npmVersion = (npm ? optString(*npm, "version") : std::nullopt).value_or("?");
    return pass(id, name, "Node.js " + *version + " và npm " + npmVersion + " qua " + resources.runtimeFolder + ".");
}

// ---- the command ---------------------------------------------------------------------

namespace {

// How each state is printed: its mark, and its name in --json.
const char* mark(State state) {
    static constexpr const char* kMarks[] = {"✓", "!", "✗"};
    return kMarks[static_cast<int>(state)];
}
const char* stateName(State state) {
    static constexpr const char* kNames[] = {"pass", "warning", "failure"};
    return kNames[static_cast<int>(state)];
}

bool anyFailed(const std::vector<DoctorRow>& rows) {
    return std::ranges::any_of(rows, [](const DoctorRow& row) { return row.state == State::failure; });
}

void printRows(std::ostream& out, const std::vector<DoctorRow>& rows) {
    int counts[3] = {0, 0, 0};
    for (const DoctorRow& row : rows) {
        ++counts[static_cast<int>(row.state)];
        out << mark(row.state) << " " << row.name << ": " << row.detail << "\n";
        if (!row.fix.empty()) out << "    → " << row.fix << "\n";
    }
    out << counts[0] << " đạt, " << counts[1] << " cảnh báo, " << counts[2] << " lỗi.\n";
}

JsonValue rowsJson(const std::vector<DoctorRow>& rows) {
    JsonValue checks = JsonValue::array();
    for (const DoctorRow& row : rows) {
        JsonValue entry = {{"id", row.id}, {"name", row.name}, {"status", stateName(row.state)}, {"detail", row.detail}};
        if (row.workspaceId) entry["workspaceId"] = *row.workspaceId;
        if (!row.fix.empty()) entry["fix"] = row.fix;
        checks.push_back(std::move(entry));
    }
    return {{"ok", !anyFailed(rows)}, {"checks", std::move(checks)}};
}

std::vector<DoctorRow> doctorRows(const Configuration& configuration) {
    CredentialStoreChoice store = configuredCredentialStore(credentialSettings(configuration));
    StoreCheck storeCheck = checkCredentialStore(configuration, store);

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
    WorkspaceRegistrySnapshot workspaces = createWorkspaceRegistry(configuration, client->authorityOrigin())->snapshot();

    // The session is reported before the transport's security, which decides
    // whether it may be shown to the authority at all.
    SessionCheck session = checkSession(store, storeCheck.sessionReadable, client);
    std::vector<DoctorRow> rows = {storeCheck.row, session.row};
    rows.push_back(checkPort(configuration.port()));
    // A value the bridge cannot use falls back to the default.
    if (rows.back().state == State::pass)
        if (auto setting = checkPortSetting(configuration.portText)) rows.push_back(*setting);
    rows.push_back(checkOtherUsers());
    rows.push_back(checkAuthority(configuredAuthority(configuration), client, session.acceptedToken, workspaces));
    rows.push_back(checkTransportSecurity(client->authorityOrigin()));
    for (DoctorRow& row : checkWorkspaces(workspaces, client->authorityOrigin())) rows.push_back(std::move(row));
    rows.push_back(checkExecutorRuntime(configuration.validationExecutorDisabled,
                                        ValidationExecutorProcess::defaultResourceFolder()));
    return rows;
}

}  // namespace

int runDoctorCommand(const Configuration& configuration, const DoctorOptions& options, std::ostream& out, std::ostream&) {
    std::vector<DoctorRow> rows = doctorRows(configuration);
    if (options.json)
        out << dumpPretty(rowsJson(rows)).value_or("{}") << "\n";
    else
        printRows(out, rows);
    return anyFailed(rows) ? kExitFailure : kExitSuccess;
}

void addDoctorCommand(CLI::App& app, CommandAction& action, const Configuration& configuration) {
    auto options = std::make_shared<DoctorOptions>();
    auto* doctor = app.add_subcommand(
        "doctor", "Kiểm tra kho phiên đăng nhập, phiên, cổng, authority, các workspace và runtime.");
    doctor->add_flag("--json", options->json,
                     "In các mục kiểm tra dưới dạng JSON; mỗi mục có id cố định (session, port, authority, ...)");
    doctor->callback([&action, &configuration, options] {
        action = [&configuration, options] { return runDoctorCommand(configuration, *options, std::cout, std::cerr); };
    });
}

}  // namespace palisor
