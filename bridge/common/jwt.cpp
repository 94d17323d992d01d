#include "bridge/common/jwt.h"

#include <vector>

#include "bridge/common/text.h"

namespace palisor {

namespace {

int sextet(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

std::optional<std::string> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        int values[4];
        int padding = 0;
        for (int k = 0; k < 4; ++k) {
            char c = text[i + k];
            if (c == '=') {
                // Padding only at the very end, and at most two characters of it.
                if (i + 4 != text.size() || k < 2) return std::nullopt;
                ++padding;
                values[k] = 0;
                continue;
            }
            if (padding > 0) return std::nullopt;
            values[k] = sextet(c);
            if (values[k] < 0) return std::nullopt;
        }
        unsigned triple = (values[0] << 18) | (values[1] << 12) | (values[2] << 6) | values[3];
        out.push_back(static_cast<char>((triple >> 16) & 0xFF));
        if (padding < 2) out.push_back(static_cast<char>((triple >> 8) & 0xFF));
        if (padding < 1) out.push_back(static_cast<char>(triple & 0xFF));
    }
    return out;
}

std::string base64UrlEncode(std::string_view bytes) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned triple = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                          static_cast<unsigned char>(bytes[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6) out.push_back(kAlphabet[(triple >> shift) & 0x3F]);
    }
    std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned triple = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2) triple |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out.push_back(kAlphabet[(triple >> 18) & 0x3F]);
        out.push_back(kAlphabet[(triple >> 12) & 0x3F]);
        if (rest == 2) out.push_back(kAlphabet[(triple >> 6) & 0x3F]);
    }
    return out;
}

std::string base64Encode(std::string_view bytes) {
    std::string text = base64UrlEncode(bytes);
    for (char& c : text) {
        if (c == '-') c = '+';
        else if (c == '_') c = '/';
    }
    while (text.size() % 4 != 0) text.push_back('=');
    return text;
}

std::optional<JsonValue> jwtPayload(std::string_view token) {
    std::vector<std::string_view> pieces;
    for (std::string_view piece : splitKeepingEmpty(token, "."))
        if (!piece.empty()) pieces.push_back(piece);
    if (pieces.size() != 3) return std::nullopt;
    std::string middle(pieces[1]);
    for (char& c : middle) {
        if (c == '-') c = '+';
        else if (c == '_') c = '/';
    }
    while (middle.size() % 4 != 0) middle.push_back('=');
    auto decoded = base64Decode(middle);
    if (!decoded) return std::nullopt;
    auto payload = parseJson(*decoded);
    if (!payload || !payload->is_object()) return std::nullopt;
    return payload;
}

}  // namespace palisor
