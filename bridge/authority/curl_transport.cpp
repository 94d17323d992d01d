// The authority exchange over libcurl. Each of the two shared sessions keeps a
// pool of easy handles: a handle carries its own connection cache, so taking
// one, running the exchange and putting it back reuses connections across
// calls and threads. DNS and TLS sessions are shared between all handles.
#include <curl/curl.h>
#include <sys/socket.h>

#include <array>
#include <cstring>
#include <mutex>
#include <vector>

#include "bridge/authority/authority_client_error.h"
#include "bridge/authority/authority_http.h"
#include "bridge/common/text.h"

namespace palisor {

namespace {

void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

void initializeAuthorityTransport() { initialiseCurlOnce(); }

namespace {

// DNS and TLS session data shared by every handle, with a lock per kind.
class SharedCurlData {
public:
    SharedCurlData() {
        share_ = curl_share_init();
        curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &SharedCurlData::lock);
        curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &SharedCurlData::unlock);
        curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
        curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }
    CURLSH* handle() const { return share_; }

private:
    static void lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
        static_cast<SharedCurlData*>(self)->mutexes_[index(data)].lock();
    }
    static void unlock(CURL*, curl_lock_data data, void* self) {
        static_cast<SharedCurlData*>(self)->mutexes_[index(data)].unlock();
    }
    static std::size_t index(curl_lock_data data) {
        return static_cast<std::size_t>(data) < kKinds ? static_cast<std::size_t>(data) : 0;
    }
    static constexpr std::size_t kKinds = CURL_LOCK_DATA_LAST;
    std::array<std::mutex, kKinds> mutexes_;
    CURLSH* share_;
};

SharedCurlData& sharedCurlData() {
    // Lives for the process, like the sessions that use it.
    static SharedCurlData* data = new SharedCurlData();
    return *data;
}

// One of the two shared sessions: a time-limit policy and a pool of handles.
class AuthoritySession {
public:
    explicit AuthoritySession(AuthorityTimeoutPolicy policy) : policy_(policy) {}

    CURL* take() {
        {
            std::lock_guard guard(mutex_);
            if (!idle_.empty()) {
                CURL* handle = idle_.back();
                idle_.pop_back();
                return handle;
            }
        }
        return curl_easy_init();
    }

    void giveBack(CURL* handle) {
        std::lock_guard guard(mutex_);
        // More idle handles than this are connections nobody will reuse soon.
        if (idle_.size() < kMaxIdleHandles) {
            idle_.push_back(handle);
            return;
        }
        curl_easy_cleanup(handle);
    }

    const AuthorityTimeoutPolicy& policy() const { return policy_; }

private:
    static constexpr std::size_t kMaxIdleHandles = 128;
    AuthorityTimeoutPolicy policy_;
    std::mutex mutex_;
    std::vector<CURL*> idle_;
};

AuthoritySession& authorityReadSession() {
    static AuthoritySession* session = new AuthoritySession(AuthorityTimeoutPolicy::forMethod("GET"));
    return *session;
}

AuthoritySession& authorityWriteSession() {
    static AuthoritySession* session = new AuthoritySession(AuthorityTimeoutPolicy::forMethod("POST"));
    return *session;
}

// This libcurl opens its sockets without close-on-exec, so a validation
// executor started while a request runs would inherit the connection.
curl_socket_t openCloseOnExecSocket(void*, curlsocktype, curl_sockaddr* address) {
    return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

// An answer's body as it arrives. Past the limit nothing more is kept: the
// short count makes curl end the exchange, so a server that never stops
// sending costs the bridge the limit and no more.
struct BoundedBody {
    std::string data;
    bool tooLarge = false;
};

std::size_t collectBody(char* data, std::size_t size, std::size_t count, void* target) {
    auto* body = static_cast<BoundedBody*>(target);
    std::size_t length = size * count;
    if (length > kMaxAuthorityAnswerBytes - body->data.size()) {
        body->tooLarge = true;
        return 0;
    }
    body->data.append(data, length);
    return length;
}

std::size_t collectHeader(char* data, std::size_t size, std::size_t count, void* target) {
    auto* headers = static_cast<std::map<std::string, std::string>*>(target);
    std::string_view line(data, size * count);
    // A new status line (after "100 Continue" or a proxy) starts a new header set.
    if (startsWith(line, "HTTP/")) {
        headers->clear();
        return size * count;
    }
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return size * count;
    // A field sent on several lines is one comma-separated list, as HTTP
    // defines it (names are case-insensitive, so that covers names that differ
    // only in case). Keeping only the last line would lose, say, the
    // "Vary: X-Palisor-Trace-Id" that stops the read cache from storing an
    // answer made for one trace.
    std::string value = trim(line.substr(colon + 1));
    auto [slot, added] = headers->try_emplace(asciiLower(trim(line.substr(0, colon))), value);
    if (!added && !value.empty()) slot->second = slot->second.empty() ? value : slot->second + ", " + value;
    return size * count;
}

}  // namespace

AuthorityTimeoutPolicy AuthorityTimeoutPolicy::forMethod(std::string_view method) {
    std::string upper = asciiUpper(method);
    if (upper == "GET" || upper == "HEAD") return {180, 300};
    return {30, 120};
}

TransportError::TransportError(int curlCode, std::string description)
    : BridgeError(std::move(description)), curlCode_(curlCode) {}

std::string TransportError::message() const {
    const char* cause = "Lỗi mạng khi gọi authority";
    switch (curlCode_) {
        case CURLE_COULDNT_RESOLVE_HOST:
            cause = "Không tìm thấy máy chủ authority (kiểm tra địa chỉ authority và kết nối mạng)";
            break;
        case CURLE_COULDNT_CONNECT:
            cause = "Authority không nhận kết nối (kiểm tra rằng authority đang chạy và địa chỉ đúng)";
            break;
        case CURLE_OPERATION_TIMEDOUT:
            cause = "Authority không trả lời kịp";
            break;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
            cause = "Kết nối TLS tới authority không thành công (chứng chỉ hoặc cấu hình TLS)";
            break;
        case CURLE_GOT_NOTHING:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
            cause = "Kết nối tới authority bị ngắt giữa chừng";
            break;
        default:
            break;
    }
    return std::string(cause) + ": " + code();
}

namespace {

template <typename Headers>
std::optional<std::string> findHeader(const Headers& headers, std::string_view name) {
    std::string wanted = asciiLower(name);
    for (const auto& [key, value] : headers)
        if (asciiLower(key) == wanted) return value;
    return std::nullopt;
}

}  // namespace

std::optional<std::string> AuthorityRequest::header(std::string_view name) const { return findHeader(headers, name); }

void AuthorityRequest::setHeader(const std::string& name, const std::string& value) {
    std::string lower = asciiLower(name);
    for (auto& [existing, existingValue] : headers) {
        if (asciiLower(existing) == lower) {
            existingValue = value;
            return;
        }
    }
    headers.emplace_back(name, value);
}

std::optional<std::string> AuthorityHTTPResponse::header(std::string_view name) const {
    return findHeader(headers, name);
}

AuthorityHTTPResponse syncHeaderDataTask(const AuthorityRequest& request) {
    initialiseCurlOnce();
    std::string method = asciiUpper(request.method.empty() ? "GET" : request.method);
    bool read = method == "GET" || method == "HEAD";
    AuthoritySession& session = read ? authorityReadSession() : authorityWriteSession();

    AuthorityHTTPResponse response;
    CURL* handle = session.take();
    if (!handle) {
        response.error = TransportError(CURLE_FAILED_INIT, curl_easy_strerror(CURLE_FAILED_INIT));
        return response;
    }
    // Reset keeps the handle's live connections; every option is set anew.
    curl_easy_reset(handle);

    const auto idleSeconds = static_cast<long>(request.timeoutSeconds > 0 ? request.timeoutSeconds : session.policy().idle);
    BoundedBody body;
    std::map<std::string, std::string> headers;
    char errorText[CURL_ERROR_SIZE] = {0};
    curl_slist* headerList = nullptr;
    for (const auto& [name, value] : request.headers) headerList = curl_slist_append(headerList, (name + ": " + value).c_str());
    // No "Expect: 100-continue" round trip for larger bodies.
    headerList = curl_slist_append(headerList, "Expect:");

    curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_OPENSOCKETFUNCTION, openCloseOnExecSocket);
    curl_easy_setopt(handle, CURLOPT_SHARE, sharedCurlData().handle());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);  // credentials never follow a redirect
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, idleSeconds);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, idleSeconds);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(session.policy().resource * 1000));
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headerList);
    // An announced length past the limit is refused before any body is read
    // (a HEAD answer's length describes a body that never comes).
    if (method != "HEAD")
        curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxAuthorityAnswerBytes));
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, collectBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, collectHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &headers);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText);
    if (method == "GET") {
        curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
    } else if (method == "HEAD") {
        curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
    } else {
        if (method != "POST") curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, method.c_str());
        if (request.body || method == "POST") {
            const std::string& payload = request.body ? *request.body : std::string();
            curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(payload.size()));
            curl_easy_setopt(handle, CURLOPT_COPYPOSTFIELDS, payload.c_str());
        }
    }

    CURLcode code = curl_easy_perform(handle);
    bool tooLarge = body.tooLarge || code == CURLE_FILESIZE_EXCEEDED;
    if (code == CURLE_OK) {
        long status = 0;
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
        response.statusCode = static_cast<int>(status);
        response.headers = std::move(headers);
        response.data = std::move(body.data);
    } else if (!tooLarge) {
        response.error = TransportError(code, errorText[0] ? errorText : curl_easy_strerror(code));
    }
    // Unhook our locals before the handle goes back to the pool. An exchange
    // cut short leaves no half-read connection behind: curl closes it, and
    // the handle itself is as reusable as after any other failure.
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, nullptr);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, nullptr);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, nullptr);
    curl_slist_free_all(headerList);
    session.giveBack(handle);
    // Not a transport failure: the authority answered, and asking again
    // would bring the same answer, so nothing may retry it as transient.
    if (tooLarge) throw AuthorityClientError::answerTooLarge();
    return response;
}

}  // namespace palisor
