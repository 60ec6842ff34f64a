// An in-memory board-link line on the test clock: bytes arrive at set times,
// reads that find nothing advance the clock by their time-out, and an
// optional responder plays the other end.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "clock.h"
#include "link_port.h"

class FakeLinkPort : public linkwire::LinkPort {
public:
    explicit FakeLinkPort(platform::TestClock& clock) : clock_(clock) {}

    // `bytes` become readable `delayMs` from now, as one chunk.
    void Arrive(std::vector<std::uint8_t> bytes, std::int64_t delayMs = 0) {
        const std::int64_t at = std::max(clock_.MonotonicMs() + delayMs, lastAt_);
        lastAt_ = at;
        if (!bytes.empty()) chunks_.push_back({at, std::move(bytes)});
    }
    // The same bytes split into chunks of `size`, each `gapMs` after the other.
    void ArriveSplit(const std::vector<std::uint8_t>& bytes, std::size_t size, std::int64_t gapMs, std::int64_t delayMs = 0) {
        for (std::size_t i = 0; i < bytes.size(); i += size) {
            const std::size_t n = std::min(size, bytes.size() - i);
            std::vector<std::uint8_t> part(n);
            std::copy_n(bytes.data() + i, n, part.data());
            Arrive(std::move(part), i == 0 ? delayMs : gapMs);
        }
    }
    bool Pending() const { return !chunks_.empty(); }

    ssize_t Read(std::uint8_t* buf, std::size_t len, int timeoutMs) override {
        ++reads;
        const std::int64_t now = clock_.MonotonicMs();
        if (chunks_.empty() || chunks_.front().at > now + timeoutMs) {
            clock_.Advance(timeoutMs);
            return 0;
        }
        if (chunks_.front().at > now) clock_.Advance(chunks_.front().at - now);
        auto& c = chunks_.front();
        const std::size_t n = std::min(len, c.bytes.size());
        std::copy_n(c.bytes.begin(), n, buf);
        c.bytes.erase(c.bytes.begin(), c.bytes.begin() + static_cast<std::ptrdiff_t>(n));
        if (c.bytes.empty()) chunks_.pop_front();
        return static_cast<ssize_t>(n);
    }

    ssize_t Write(const std::uint8_t* buf, std::size_t len) override {
        if (stallWrites) {
            clock_.Advance(500);
            return 0;
        }
        const std::size_t n = std::min(len, maxWrite);
        std::vector<std::uint8_t> bytes(buf, buf + n);
        written.insert(written.end(), bytes.begin(), bytes.end());
        if (onWrite) onWrite(bytes);
        return static_cast<ssize_t>(n);
    }

    std::vector<std::uint8_t> written;
    std::function<void(const std::vector<std::uint8_t>&)> onWrite;
    std::size_t maxWrite = 1 << 30;
    bool stallWrites = false;
    int reads = 0;

private:
    struct Chunk {
        std::int64_t at;
        std::vector<std::uint8_t> bytes;
    };
    platform::TestClock& clock_;
    std::deque<Chunk> chunks_;
    std::int64_t lastAt_ = 0;
};
