#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace palisor {

// Trims Unicode white space and line breaks (tab, LF, VT, FF, CR, NEL, the
// space separators, LINE SEPARATOR and PARAGRAPH SEPARATOR) from both ends.
std::string trim(std::string_view text);

bool isValidUtf8(std::string_view text);

std::string asciiLower(std::string_view text);
std::string asciiUpper(std::string_view text);
bool startsWith(std::string_view text, std::string_view prefix);
bool containsAsciiCaseInsensitive(std::string_view haystack, std::string_view needle);

// Splits at every occurrence of a separator, keeping empty pieces.
std::vector<std::string_view> splitKeepingEmpty(std::string_view text, std::string_view separator);

// Percent-encoding with upper-case hex over UTF-8 bytes.
// urlEncode keeps ASCII letters, digits and ! $ & ' ( ) * + , - . / : = @ _ ~
// (a path: "/" stays). urlQueryEncode keeps ASCII letters, digits and - . _ ~ / ?
// (a query value: "&", "=" and "+" are encoded).
std::string urlEncode(std::string_view text);
// The same for a value that must stay one path segment: "/" is encoded too.
// "." and ".." stay what they are, so callers refuse them (isDotSegment):
// a server or proxy would take them as a step up or nowhere.
std::string urlEncodePathSegment(std::string_view text);
bool isDotSegment(std::string_view text);
std::string urlQueryEncode(std::string_view text);

// Decodes %XX escapes; nullopt when an escape is malformed. "+" stays "+".
std::optional<std::string> percentDecode(std::string_view text);

// Base-10 integer with an optional leading "+" or "-" and nothing else;
// nullopt when it does not parse or does not fit in 64 bits.
std::optional<long long> parseDecimalInteger(std::string_view text);

}  // namespace palisor
