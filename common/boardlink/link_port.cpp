#include "link_port.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "clock.h"
#include "serial.h"

namespace linkwire {

ssize_t FdLinkPort::Read(std::uint8_t* buf, std::size_t len, int timeoutMs) {
    if (fd_ < 0) {
        platform::GetClock().SleepMs(timeoutMs);
        return -1;
    }
    return platform::ReadWithTimeout(fd_, buf, len, timeoutMs);
}

ssize_t FdLinkPort::Write(const std::uint8_t* buf, std::size_t len) {
    if (fd_ < 0) return -1;
    const ssize_t n = platform::WriteSome(fd_, buf, len);
    if (n > 0) {
        const double now = static_cast<double>(platform::GetClock().MonotonicMs());
        onLineUntilMs_ = std::max(onLineUntilMs_, now) + static_cast<double>(n) / kLineBytesPerMs;
    }
    return n;
}

void FdLinkPort::Drain() {
    if (fd_ < 0) return;
    platform::DrainOutput(fd_);
    platform::Clock& clock = platform::GetClock();
    const double left = onLineUntilMs_ - static_cast<double>(clock.MonotonicMs());
    if (left > 0) clock.SleepMs(static_cast<std::int64_t>(std::ceil(left)));
}

std::size_t GatherFrame(LinkPort& port, std::uint8_t* buf, std::size_t want, int windowMs) {
    platform::Clock& clock = platform::GetClock();
    const std::int64_t deadline = clock.MonotonicMs() + windowMs;
    std::size_t got = 0;
    while (got < want) {
        const std::int64_t left = deadline - clock.MonotonicMs();
        if (left <= 0) break;
        ssize_t n = port.Read(buf + got, want - got, static_cast<int>(std::min<std::int64_t>(left, 60000)));
        if (n <= 0) {
            if (n < 0) clock.SleepMs(std::min<std::int64_t>(left, 10));  // a failing line must not spin
            continue;
        }
        got += static_cast<std::size_t>(n);
    }
    return got;
}

bool WriteFrame(LinkPort& port, const std::uint8_t* buf, std::size_t len, int windowMs) {
    platform::Clock& clock = platform::GetClock();
    const std::int64_t start = clock.MonotonicMs();
    std::size_t done = 0;
    while (done < len) {
        ssize_t n = port.Write(buf + done, len - done);
        if (n > 0) done += static_cast<std::size_t>(n);
        if (done < len && clock.MonotonicMs() - start > windowMs) return false;
        if (n < 0) clock.SleepMs(10);
    }
    return true;
}

void DrainLine(LinkPort& port, int quietMs, int pauseMs, int maxMs) {
    platform::Clock& clock = platform::GetClock();
    const std::int64_t deadline = clock.MonotonicMs() + maxMs;
    std::uint8_t junk[256];
    for (;;) {
        const std::int64_t left = deadline - clock.MonotonicMs();
        if (left <= 0) return;
        if (port.Read(junk, sizeof junk, static_cast<int>(std::min<std::int64_t>(left, quietMs))) <= 0) return;
        clock.SleepMs(pauseMs);
    }
}

}  // namespace linkwire
