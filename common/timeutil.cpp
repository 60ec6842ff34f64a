#include "timeutil.h"

#include <cstdio>

#include "clock.h"

namespace common {

TimeStamp MonotonicNow() { return TimeStamp{platform::GetClock().MonotonicMs()}; }

std::tm LocalNow() {
    std::time_t t = static_cast<std::time_t>(platform::GetClock().WallSeconds());
    std::tm out{};
    localtime_r(&t, &out);
    return out;
}

std::string EpochToUTC(std::int64_t epochSeconds) {
    const std::time_t t = static_cast<std::time_t>(epochSeconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

}  // namespace common
