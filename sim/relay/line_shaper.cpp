#include "line_shaper.h"

#include <algorithm>

namespace sim {

void LineShaper::Push(const std::uint8_t* data, std::size_t n, std::int64_t nowUs) {
    if (queue_.empty()) queuedAtUs_ = nowUs;
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    std::uniform_int_distribution<int> flip(1, 255);
    bytes_ += n;
    for (std::size_t i = 0; i < n; ++i) {
        if (o_.dropRate > 0 && chance(rng_) < o_.dropRate) {
            ++dropped_;
            continue;
        }
        std::uint8_t b = data[i];
        if (o_.corruptRate > 0 && chance(rng_) < o_.corruptRate) {
            b ^= static_cast<std::uint8_t>(flip(rng_));
            ++corrupted_;
        }
        queue_.push_back(b);
    }
}

std::int64_t LineShaper::NextDueUs() const { return queue_.empty() ? -1 : freeAtUs_; }

std::vector<std::uint8_t> LineShaper::Take(std::int64_t nowUs) {
    if (queue_.empty() || nowUs < freeAtUs_) return {};
    std::size_t n = queue_.size();
    if (o_.split) n = std::min(n, std::uniform_int_distribution<std::size_t>(1, std::max<std::size_t>(1, o_.maxChunk))(rng_));
    std::vector<std::uint8_t> out(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
    const std::int64_t busyUs = o_.bytesPerSecond ? static_cast<std::int64_t>(n) * 1000000 / o_.bytesPerSecond : 0;
    freeAtUs_ = std::max(queuedAtUs_, freeAtUs_) + busyUs;
    return out;
}

}  // namespace sim
