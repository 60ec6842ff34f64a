// Seconds since the epoch of a UTC calendar time (tests run with TZ=UTC, so
// this is also the local time the programs print).
#pragma once

#include <cstdint>
#include <ctime>

inline std::int64_t UtcSeconds(int y, int mo, int d, int h, int mi, int s) {
    std::tm t{};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    return static_cast<std::int64_t>(timegm(&t));
}
