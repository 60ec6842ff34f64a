// The board-link line as both ends use it: a byte port with read time-outs,
// and the two windowed transfers every exchange is made of. All windows are
// measured on the monotonic clock of the platform.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace linkwire {

class LinkPort {
public:
    virtual ~LinkPort() = default;
    // Reads up to `len` bytes, waiting at most `timeoutMs` for the first one.
    // Returns the count, 0 when nothing came, -1 on error.
    virtual ssize_t Read(std::uint8_t* buf, std::size_t len, int timeoutMs) = 0;
    // One write: the count taken (possibly fewer than `len`), -1 on error.
    virtual ssize_t Write(const std::uint8_t* buf, std::size_t len) = 0;
    // Waits until everything written has left on the line.
    virtual void Drain() {}
};

// The board link's speed: 115200 baud, 8N1, so ten bits a byte.
inline constexpr double kLineBytesPerMs = 11.52;

// A serial line (or pty) descriptor.
class FdLinkPort final : public LinkPort {
public:
    explicit FdLinkPort(int fd) : fd_(fd) {}
    ssize_t Read(std::uint8_t* buf, std::size_t len, int timeoutMs) override;
    ssize_t Write(const std::uint8_t* buf, std::size_t len) override;
    // Waits for the driver's drain and, since a pty (or a driver with a deep
    // transmit FIFO) reports drained before the bytes are across, also until
    // everything written could have crossed the line at its speed.
    void Drain() override;

private:
    int fd_;
    double onLineUntilMs_ = 0;  // monotonic time the last byte written is across
};

// Gathers up to `want` bytes over as many reads as the line needs within
// `windowMs` of the call, so a frame split across reads is still whole. A read
// error counts as no bytes. Returns the count gathered (== want when complete).
std::size_t GatherFrame(LinkPort& port, std::uint8_t* buf, std::size_t want, int windowMs);

// Writes all bytes, in as many writes as needed; fails when a write returns
// more than `windowMs` after the first one without all bytes out.
bool WriteFrame(LinkPort& port, const std::uint8_t* buf, std::size_t len, int windowMs);

// Reads and throws away whatever arrives until a read of `quietMs` brings
// nothing (pausing `pauseMs` after each read that brought bytes), or at most
// `maxMs`: a line that never falls silent must not hold the caller.
void DrainLine(LinkPort& port, int quietMs, int pauseMs, int maxMs);

}  // namespace linkwire
