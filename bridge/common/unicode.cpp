#include "bridge/common/unicode.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>

#include <algorithm>
#include <memory>
#include <mutex>

namespace palisor {

namespace {

icu::UnicodeString fromUtf8(std::string_view text) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string toUtf8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

// A character break iterator of this thread's own, for cutting UTF-8 text.
// Each thread keeps its own character break iterator (they are not thread
// safe), cloned from one made once: ICU loads the break rules on first use, and
// doing that once, in one place, keeps threads from racing through its setup.
icu::BreakIterator* characterIterator() {
    static std::mutex cloning;
    static icu::BreakIterator* prototype = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> made(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        return U_SUCCESS(status) ? made.release() : nullptr;  // kept for the life of the process
    }();
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        std::lock_guard guard(cloning);
        return std::unique_ptr<icu::BreakIterator>(prototype ? prototype->clone() : nullptr);
    }();
    return iterator.get();
}

}  // namespace

std::vector<char32_t> utf8Scalars(std::string_view text) {
    icu::UnicodeString unicode = fromUtf8(text);
    std::vector<char32_t> out;
    out.reserve(static_cast<std::size_t>(unicode.length()));
    for (int32_t i = 0; i < unicode.length();) {
        UChar32 c = unicode.char32At(i);
        out.push_back(static_cast<char32_t>(c));
        i += U16_LENGTH(c);
    }
    return out;
}

void appendUtf8(std::string& out, char32_t scalar) {
    if (scalar > 0x10FFFF || (scalar >= 0xD800 && scalar <= 0xDFFF)) scalar = 0xFFFD;
    if (scalar < 0x80) {
        out.push_back(static_cast<char>(scalar));
    } else if (scalar < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (scalar >> 6)));
        out.push_back(static_cast<char>(0x80 | (scalar & 0x3F)));
    } else if (scalar < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (scalar >> 12)));
        out.push_back(static_cast<char>(0x80 | ((scalar >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (scalar & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (scalar >> 18)));
        out.push_back(static_cast<char>(0x80 | ((scalar >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((scalar >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (scalar & 0x3F)));
    }
}

std::string unicodeLowercase(std::string_view text) {
    icu::UnicodeString unicode = fromUtf8(text);
    unicode.toLower(icu::Locale::getRoot());
    return toUtf8(unicode);
}

std::size_t userPerceivedLength(std::string_view text) {
    icu::BreakIterator* iterator = characterIterator();
    icu::UnicodeString unicode = fromUtf8(text);
    if (!iterator) return static_cast<std::size_t>(unicode.countChar32());
    iterator->setText(unicode);
    std::size_t count = 0;
    for (int32_t at = iterator->next(); at != icu::BreakIterator::DONE; at = iterator->next()) ++count;
    return count;
}

std::string_view prefixOfUserPerceivedLength(std::string_view text, std::size_t count) {
    // A character takes at least one byte, so a short text needs no iterator.
    if (text.size() <= count) return text;
    icu::BreakIterator* iterator = characterIterator();
    UErrorCode status = U_ZERO_ERROR;
    // Iterating the UTF-8 text itself makes every boundary a byte offset.
    UText* utf8 = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
    if (iterator && U_SUCCESS(status)) iterator->setText(utf8, status);
    if (!iterator || U_FAILURE(status)) {
        utext_close(utf8);
        // Without the iterator, cut between scalars: never inside a sequence.
        std::size_t at = 0;
        for (std::size_t kept = 0; at < text.size() && kept < count; ++kept) {
            ++at;
            while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) ++at;
        }
        return text.substr(0, at);
    }
    std::size_t end = 0;
    std::size_t kept = 0;
    for (int32_t at = iterator->next(); at != icu::BreakIterator::DONE && kept < count; at = iterator->next()) {
        end = static_cast<std::size_t>(at);
        ++kept;
    }
    utext_close(utf8);
    return text.substr(0, std::min(end, text.size()));
}

bool isUnicodeLetter(char32_t scalar) { return (U_GET_GC_MASK(static_cast<UChar32>(scalar)) & U_GC_L_MASK) != 0; }

bool isUnicodeNumber(char32_t scalar) { return (U_GET_GC_MASK(static_cast<UChar32>(scalar)) & U_GC_N_MASK) != 0; }

bool isUnicodeMark(char32_t scalar) { return (U_GET_GC_MASK(static_cast<UChar32>(scalar)) & U_GC_M_MASK) != 0; }

}  // namespace palisor
