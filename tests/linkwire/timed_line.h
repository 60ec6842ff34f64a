// Both ends of a serial line on the test clock. A byte written becomes
// readable at the other end once the line has carried it (at `bytesPerMs`;
// 0 carries at once), or in bursts like a relay that forwards what it has
// gathered; Drain waits until everything written is across.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "clock.h"
#include "link_port.h"

class TimedLine {
public:
    class End final : public linkwire::LinkPort {
    public:
        End(TimedLine& line, int side) : line_(line), side_(side) {}
        ssize_t Read(std::uint8_t* buf, std::size_t len, int timeoutMs) override {
            auto& q = line_.q_[side_];
            const std::int64_t until = line_.clock_.MonotonicMs() + timeoutMs;
            if (q.empty() || q.front().at > until) {
                line_.clock_.Advance(timeoutMs);
                return 0;
            }
            if (q.front().at > line_.clock_.MonotonicMs()) line_.clock_.Advance(q.front().at - line_.clock_.MonotonicMs());
            std::size_t n = 0;
            while (n < len && !q.empty() && q.front().at <= line_.clock_.MonotonicMs()) {
                buf[n++] = q.front().byte;
                q.pop_front();
            }
            return static_cast<ssize_t>(n);
        }
        ssize_t Write(const std::uint8_t* buf, std::size_t len) override {
            std::vector<std::uint8_t> bytes(buf, buf + len);
            if (line_.tap) line_.tap(side_, bytes);
            auto& q = line_.q_[1 - side_];
            std::int64_t& free = line_.freeAt_[side_];
            const std::int64_t now = line_.clock_.MonotonicMs();
            double t = static_cast<double>(std::max(free, now));
            // A line that delivers in bursts hands every byte over at the end
            // of its burst's time on the wire.
            const double quantum = line_.burst > 0 && line_.bytesPerMs > 0 ? line_.burst / line_.bytesPerMs : 0;
            for (std::uint8_t b : bytes) {
                if (line_.bytesPerMs > 0) t += 1.0 / line_.bytesPerMs;
                const double at = quantum > 0 ? std::ceil(t / quantum) * quantum : t;
                q.push_back({static_cast<std::int64_t>(at + 0.999), b});
            }
            free = static_cast<std::int64_t>(t + 0.999);
            return static_cast<ssize_t>(len);
        }
        // Keeps the line idle for `ms` before the next byte written.
        void Hold(std::int64_t ms) {
            std::int64_t& free = line_.freeAt_[side_];
            free = std::max(free, line_.clock_.MonotonicMs()) + ms;
        }
        void Drain() override {
            if (!line_.drainWaits) return;
            const std::int64_t free = line_.freeAt_[side_];
            if (free > line_.clock_.MonotonicMs()) line_.clock_.Advance(free - line_.clock_.MonotonicMs());
        }

    private:
        TimedLine& line_;
        int side_;
    };

    explicit TimedLine(platform::TestClock& clock, double rate = 0) : bytesPerMs(rate), clock_(clock) {}
    End& master() { return ends_[0]; }
    End& slave() { return ends_[1]; }

    double bytesPerMs;
    std::size_t burst = 0;  // bytes handed over together (0: each as it arrives)
    bool drainWaits = true;  // false: a pty, whose drain returns before the bytes are across
    // Sees every write (side 0 master, 1 slave) and may change its bytes.
    std::function<void(int side, std::vector<std::uint8_t>& bytes)> tap;

private:
    struct Timed {
        std::int64_t at;
        std::uint8_t byte;
    };
    platform::TestClock& clock_;
    std::deque<Timed> q_[2];
    std::int64_t freeAt_[2] = {0, 0};
    End ends_[2] = {End(*this, 0), End(*this, 1)};
};
