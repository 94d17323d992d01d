#include "bridge/common/sha256.h"

#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

namespace palisor {

std::string sha256Hex(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    // EVP_Digest fails only when OpenSSL cannot allocate its context; there is
    // no sensible digest to return then.
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1 || length != 32)
        throw std::runtime_error("SHA-256 digest failed");
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text(2 * length, '0');
    for (unsigned int i = 0; i < length; ++i) {
        text[2 * i] = kHex[digest[i] >> 4];
        text[2 * i + 1] = kHex[digest[i] & 0x0F];
    }
    return text;
}

}  // namespace palisor
