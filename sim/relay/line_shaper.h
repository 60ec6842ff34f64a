// One direction of the simulated serial line between the boards: bytes go
// in as a program writes them and come out paced at the line's byte rate,
// in chunks of random size, with bytes dropped or corrupted at given rates.
#pragma once

#include <cstdint>
#include <deque>
#include <random>
#include <vector>

namespace sim {

struct LineOptions {
    std::uint32_t bytesPerSecond = 0;  // 0: no throttle
    bool split = false;                // random chunks of 1..maxChunk bytes
    std::size_t maxChunk = 16;
    double dropRate = 0;               // per byte
    double corruptRate = 0;            // per byte
};

class LineShaper {
public:
    LineShaper(const LineOptions& o, std::uint32_t seed) : o_(o), rng_(seed) {}

    // Bytes written by one end at `nowUs`.
    void Push(const std::uint8_t* data, std::size_t n, std::int64_t nowUs = 0);
    // The next chunk the other end may read at `nowUs` (empty when nothing is
    // due yet); the line is then busy for the chunk's time on the wire. Bytes
    // that waited while the line was busy go out back to back, as a UART
    // sends them, however late the caller comes to take them.
    std::vector<std::uint8_t> Take(std::int64_t nowUs);
    // When the next chunk is due (-1 when nothing waits).
    std::int64_t NextDueUs() const;
    bool Empty() const { return queue_.empty(); }
    // Bytes passed in, dropped and corrupted so far.
    std::uint64_t bytes() const { return bytes_; }
    std::uint64_t dropped() const { return dropped_; }
    std::uint64_t corrupted() const { return corrupted_; }

private:
    LineOptions o_;
    std::mt19937 rng_;
    std::deque<std::uint8_t> queue_;
    std::int64_t freeAtUs_ = 0;
    std::int64_t queuedAtUs_ = 0;  // when the first byte waiting now was written
    std::uint64_t bytes_ = 0, dropped_ = 0, corrupted_ = 0;
};

}  // namespace sim
