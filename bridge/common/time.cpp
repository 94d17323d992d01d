#include "bridge/common/time.h"

#include <ctime>

namespace palisor {

std::string isoTime(std::chrono::system_clock::time_point when) {
    std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return buffer;
}

namespace {

bool digits(std::string_view text, std::size_t at, std::size_t count, int& out) {
    if (at + count > text.size()) return false;
    out = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        out = out * 10 + (text[i] - '0');
    }
    return true;
}

}  // namespace

std::optional<std::chrono::system_clock::time_point> parseIsoTime(std::string_view text) {
    int year, month, day, hour, minute, second;
    if (!digits(text, 0, 4, year) || text.size() < 20 || text[4] != '-' || !digits(text, 5, 2, month) ||
        text[7] != '-' || !digits(text, 8, 2, day) || (text[10] != 'T' && text[10] != 't') ||
        !digits(text, 11, 2, hour) || text[13] != ':' || !digits(text, 14, 2, minute) || text[16] != ':' ||
        !digits(text, 17, 2, second))
        return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return std::nullopt;
    std::size_t at = 19;
    std::chrono::nanoseconds fraction{0};
    if (at < text.size() && text[at] == '.') {
        std::size_t start = ++at;
        long long scale = 100000000;
        long long nanos = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            if (scale > 0) nanos += (text[at] - '0') * scale;
            scale /= 10;
            ++at;
        }
        if (at == start) return std::nullopt;
        fraction = std::chrono::nanoseconds(nanos);
    }
    int offsetSeconds = 0;
    if (at < text.size() && (text[at] == 'Z' || text[at] == 'z')) {
        ++at;
    } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        int offsetHours, offsetMinutes;
        if (!digits(text, at + 1, 2, offsetHours) || at + 3 >= text.size() || text[at + 3] != ':' ||
            !digits(text, at + 4, 2, offsetMinutes) || offsetHours > 23 || offsetMinutes > 59)
            return std::nullopt;
        offsetSeconds = (offsetHours * 3600 + offsetMinutes * 60) * (text[at] == '-' ? -1 : 1);
        at += 6;
    } else {
        return std::nullopt;
    }
    if (at != text.size()) return std::nullopt;
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    std::time_t seconds = timegm(&fields) - offsetSeconds;
    // The clock counts nanoseconds in 64 bits (about the years 1678 to 2261):
    // times beyond that stay on the right side of every comparison.
    using Clock = std::chrono::system_clock;
    constexpr auto limit = std::chrono::duration_cast<std::chrono::seconds>(Clock::duration::max()).count() - 1;
    if (seconds >= limit) return Clock::time_point::max();
    if (seconds <= -limit) return Clock::time_point::min();
    return Clock::from_time_t(seconds) + std::chrono::duration_cast<Clock::duration>(fraction);
}

std::string isoNow() { return isoTime(std::chrono::system_clock::now()); }

std::int64_t millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace palisor
