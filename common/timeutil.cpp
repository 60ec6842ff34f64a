#include "timeutil.h"

#include "clock.h"

namespace common {

TimeStamp MonotonicNow() { return TimeStamp{platform::GetClock().MonotonicMs()}; }

std::tm LocalNow() {
    std::time_t t = static_cast<std::time_t>(platform::GetClock().WallSeconds());
    std::tm out{};
    localtime_r(&t, &out);
    return out;
}

}  // namespace common
