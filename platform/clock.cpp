#include "clock.h"

#include <cerrno>
#include <ctime>
#include <fstream>

#include "paths.h"

namespace platform {

std::int64_t SystemClock::MonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::int64_t SystemClock::WallMs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void SystemClock::SleepMs(std::int64_t ms) {
    if (ms <= 0) return;
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000)};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void SystemClock::SetWallSeconds(std::int64_t seconds) {
    if (IsSandboxRoot()) {
        std::ofstream log(SystemPath("/commands.log"), std::ios::app);
        log << "date -s @" << seconds << '\n';
        return;
    }
    const timespec ts{static_cast<time_t>(seconds), 0};
    clock_settime(CLOCK_REALTIME, &ts);
}

namespace {
SystemClock g_system_clock;
Clock* g_clock = &g_system_clock;
}  // namespace

Clock& GetClock() { return *g_clock; }

Clock* SetClock(Clock* clock) {
    Clock* prev = g_clock;
    g_clock = clock ? clock : &g_system_clock;
    return prev;
}

}  // namespace platform
