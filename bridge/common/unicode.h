#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace palisor {

// Unicode text handling through ICU. Identifiers, trace values and user
// texts are Vietnamese as often as not, so ASCII rules would mangle them.
// All functions take and return UTF-8; bytes that are not valid UTF-8 are
// read as U+FFFD.

// The Unicode scalars of a text, and back.
std::vector<char32_t> utf8Scalars(std::string_view text);
void appendUtf8(std::string& out, char32_t scalar);

// Full Unicode lower-casing, independent of the user's locale ("Dự Án"
// gives "dự án", "İ" gives "i̇").
std::string unicodeLowercase(std::string_view text);

// The number of user-perceived characters (extended grapheme clusters): "é"
// written as e plus a combining accent counts once, as does a flag emoji.
std::size_t userPerceivedLength(std::string_view text);

// The longest start of a text that holds at most `count` user-perceived
// characters. The cut falls between characters, so neither a UTF-8 sequence
// nor a character built from several scalars is split; the bytes kept are
// the text's own, invalid sequences included.
std::string_view prefixOfUserPerceivedLength(std::string_view text, std::size_t count);

// Unicode general categories L* (letters), N* (numbers) and M* (combining
// marks, such as the accents of Vietnamese text in decomposed form).
bool isUnicodeLetter(char32_t scalar);
bool isUnicodeNumber(char32_t scalar);
bool isUnicodeMark(char32_t scalar);

}  // namespace palisor
