// Time stamps for durations (monotonic) and local calendar time for log lines.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace common {

// A point on the monotonic clock, in milliseconds.
struct TimeStamp {
    std::int64_t ms = 0;
};

// Now, on the monotonic clock of the platform clock.
TimeStamp MonotonicNow();

// Milliseconds from `earlier` to `later`.
inline std::int64_t DiffTimeb(TimeStamp later, TimeStamp earlier) { return later.ms - earlier.ms; }

// Milliseconds since `since`, on the monotonic clock.
inline std::int64_t ElapsedMs(TimeStamp since) { return DiffTimeb(MonotonicNow(), since); }

// Local calendar time of the platform clock's wall time.
std::tm LocalNow();

// "YYYY-MM-DDThh:mm:ssZ" of epoch seconds: the UTC time, as the "Z" says,
// whatever zone the station is set to.
std::string EpochToUTC(std::int64_t epochSeconds);

}  // namespace common
