// The one clock of the station programs. Durations use the monotonic time;
// calendar time (log lines, the clock check) uses the wall time. Tests install
// a TestClock whose sleeps advance time instead of waiting.
#pragma once

#include <cstdint>

namespace platform {

class Clock {
public:
    virtual ~Clock() = default;
    virtual std::int64_t MonotonicMs() = 0;
    virtual std::int64_t WallMs() = 0;  // calendar time in milliseconds
    std::int64_t WallSeconds() { return WallMs() / 1000; }
    virtual void SleepMs(std::int64_t ms) = 0;
    // Sets the calendar time (from a central system). Durations are not
    // affected: they run on the monotonic time.
    virtual void SetWallSeconds(std::int64_t) {}
};

class SystemClock final : public Clock {
public:
    std::int64_t MonotonicMs() override;
    std::int64_t WallMs() override;
    void SleepMs(std::int64_t ms) override;
    // Under a sandbox root the host's clock is left alone: the setting is
    // written to the root's "commands.log" as the date command it stands for.
    void SetWallSeconds(std::int64_t seconds) override;
};

class TestClock final : public Clock {
public:
    explicit TestClock(std::int64_t wallSeconds = 1700000000) : wall_ms_(wallSeconds * 1000) {}
    std::int64_t MonotonicMs() override { return mono_ms_; }
    std::int64_t WallMs() override { return wall_ms_; }
    void SleepMs(std::int64_t ms) override { Advance(ms); }
    void Advance(std::int64_t ms) { mono_ms_ += ms; wall_ms_ += ms; }
    void SetWallSeconds(std::int64_t s) override { wall_ms_ = s * 1000; }

private:
    std::int64_t mono_ms_ = 1000000;
    std::int64_t wall_ms_;
};

// The clock in use (a SystemClock unless a test installed another).
Clock& GetClock();
// Installs a clock; nullptr restores the system clock. Returns the previous one.
Clock* SetClock(Clock* clock);

// Installs a clock for the lifetime of a scope.
class ScopedClock {
public:
    explicit ScopedClock(Clock& c) : prev_(SetClock(&c)) {}
    ~ScopedClock() { SetClock(prev_); }
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;

private:
    Clock* prev_;
};

}  // namespace platform
