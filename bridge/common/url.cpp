#include "bridge/common/url.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>

#include <memory>

#include "bridge/common/bridge_error.h"
#include "bridge/common/text.h"

namespace palisor {

namespace {

struct HandleDeleter {
    void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
using Handle = std::unique_ptr<CURLU, HandleDeleter>;

std::optional<std::string> part(CURLU* handle, CURLUPart which) {
    char* value = nullptr;
    if (curl_url_get(handle, which, &value, 0) != CURLUE_OK || value == nullptr) return std::nullopt;
    std::string out(value);
    curl_free(value);
    return out;
}

// curl keeps reading a C string, so text with an embedded NUL would be cut
// short silently and parsed as something else.
bool settable(std::string_view text) { return text.find('\0') == std::string_view::npos; }

}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
    if (!settable(text)) return std::nullopt;
    Handle handle(curl_url());
    if (!handle) return std::nullopt;
    std::string input(text);
    if (curl_url_set(handle.get(), CURLUPART_URL, input.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return std::nullopt;
    Url url;
    auto full = part(handle.get(), CURLUPART_URL);
    auto scheme = part(handle.get(), CURLUPART_SCHEME);
    if (!full || !scheme) return std::nullopt;
    url.text_ = std::move(*full);
    url.scheme_ = std::move(*scheme);
    url.host_ = part(handle.get(), CURLUPART_HOST).value_or("");
    url.port_ = part(handle.get(), CURLUPART_PORT);
    url.path_ = part(handle.get(), CURLUPART_PATH).value_or("/");
    url.query_ = part(handle.get(), CURLUPART_QUERY);
    return url;
}

std::optional<Url> Url::resolve(std::string_view reference) const {
    if (!settable(reference)) return std::nullopt;
    Handle handle(curl_url());
    if (!handle) return std::nullopt;
    if (curl_url_set(handle.get(), CURLUPART_URL, text_.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return std::nullopt;
    std::string input(reference);
    if (curl_url_set(handle.get(), CURLUPART_URL, input.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return std::nullopt;
    auto full = part(handle.get(), CURLUPART_URL);
    if (!full) return std::nullopt;
    return parse(*full);
}

std::optional<std::string> Url::origin() const {
    if (scheme_.empty() || host_.empty()) return std::nullopt;
    std::string out = scheme_ + "://" + host_;
    if (port_) out += ":" + *port_;
    return out;
}

bool isLoopbackHost(std::string_view host) {
    std::string lower = asciiLower(host);
    if (lower == "localhost" || lower == "[::1]" || lower == "::1") return true;
    in_addr address{};
    return ::inet_pton(AF_INET, lower.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

std::string requestPathSegment(std::string_view name, std::string_view value) {
    if (isDotSegment(value)) throw BridgeError("PATH_PARAM_INVALID:" + std::string(name), ErrorKind::badRequest);
    return urlEncodePathSegment(value);
}

}  // namespace palisor
