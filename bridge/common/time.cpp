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

std::string isoNow() { return isoTime(std::chrono::system_clock::now()); }

}  // namespace palisor
