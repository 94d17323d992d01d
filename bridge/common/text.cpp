#include "bridge/common/text.h"

#include <charconv>
#include <cstdint>

namespace palisor {

namespace {

bool isUnicodeWhitespace(char32_t c) {
    if (c >= 0x09 && c <= 0x0D) return true;
    switch (c) {
        case 0x20: case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029:
        case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

// Decodes the scalar starting at i; returns its length in bytes, 0 when the
// bytes there are not valid UTF-8.
std::size_t decodeAt(std::string_view s, std::size_t i, char32_t& out) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char b0 = byte(i);
    if (b0 < 0x80) {
        out = b0;
        return 1;
    }
    std::size_t len;
    char32_t cp;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        cp = b0 & 0x0F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        cp = b0 & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        unsigned char b = byte(i + k);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    out = cp;
    return len;
}

// Start offset of the scalar that ends at `end` (exclusive), or npos.
std::size_t scalarStartBefore(std::string_view s, std::size_t end) {
    std::size_t i = end;
    int back = 0;
    while (i > 0 && back < 4) {
        --i;
        ++back;
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) return i;
    }
    return std::string_view::npos;
}

constexpr char kHex[] = "0123456789ABCDEF";

template <typename Keep>
std::string percentEncode(std::string_view text, Keep keep) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (keep(c)) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
        }
    }
    return out;
}

bool isAsciiAlnum(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string trim(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        char32_t c;
        std::size_t len = decodeAt(text, begin, c);
        if (len == 0 || !isUnicodeWhitespace(c)) break;
        begin += len;
    }
    std::size_t end = text.size();
    while (end > begin) {
        std::size_t start = scalarStartBefore(text, end);
        if (start == std::string_view::npos || start < begin) break;
        char32_t c;
        std::size_t len = decodeAt(text, start, c);
        if (len == 0 || start + len != end || !isUnicodeWhitespace(c)) break;
        end = start;
    }
    return std::string(text.substr(begin, end - begin));
}

bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        // Fast path over runs of ASCII.
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
            continue;
        }
        char32_t c;
        std::size_t len = decodeAt(text, i, c);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

std::string asciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string asciiUpper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool containsAsciiCaseInsensitive(std::string_view haystack, std::string_view needle) {
    return asciiLower(haystack).find(asciiLower(needle)) != std::string::npos;
}

std::vector<std::string_view> splitKeepingEmpty(std::string_view text, std::string_view separator) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (true) {
        std::size_t at = text.find(separator, start);
        if (at == std::string_view::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, at - start));
        start = at + separator.size();
    }
}

namespace {

bool keptInPath(unsigned char c) {
    if (isAsciiAlnum(c)) return true;
    switch (c) {
        case '!': case '$': case '&': case '\'': case '(': case ')': case '*': case '+': case ',':
        case '-': case '.': case '/': case ':': case '=': case '@': case '_': case '~':
            return true;
        default:
            return false;
    }
}

}  // namespace

std::string urlEncode(std::string_view text) { return percentEncode(text, keptInPath); }

std::string urlEncodePathSegment(std::string_view text) {
    return percentEncode(text, [](unsigned char c) { return c != '/' && keptInPath(c); });
}

bool isDotSegment(std::string_view text) { return text == "." || text == ".."; }

std::string urlQueryEncode(std::string_view text) {
    return percentEncode(text, [](unsigned char c) {
        return isAsciiAlnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/' || c == '?';
    });
}

std::optional<std::string> percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        int hi = hexValue(text[i + 1]);
        int lo = hexValue(text[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    return out;
}

std::optional<long long> parseDecimalInteger(std::string_view text) {
    if (text.empty()) return std::nullopt;
    bool negative = false;
    if (text.front() == '+' || text.front() == '-') {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || text.front() == '+' || text.front() == '-') return std::nullopt;
    unsigned long long magnitude = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
    constexpr unsigned long long kMax = 9223372036854775807ULL;
    if (negative) {
        if (magnitude > kMax + 1) return std::nullopt;
        return magnitude == kMax + 1 ? static_cast<long long>(-kMax - 1) : -static_cast<long long>(magnitude);
    }
    if (magnitude > kMax) return std::nullopt;
    return static_cast<long long>(magnitude);
}

}  // namespace palisor
