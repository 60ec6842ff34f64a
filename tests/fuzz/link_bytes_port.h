// A board-link line fed from fuzzer input: the bytes come in chunks whose
// sizes the input itself chooses; an empty line advances the test clock by
// the read time-out, so every window of the link ends.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "clock.h"
#include "link_port.h"

class LinkBytesPort : public linkwire::LinkPort {
public:
    LinkBytesPort(const std::uint8_t* d, std::size_t n, platform::TestClock& c, std::size_t maxChunk)
        : d_(d), n_(n), clock_(c), maxChunk_(maxChunk) {}
    ssize_t Read(std::uint8_t* buf, std::size_t len, int timeoutMs) override {
        if (pos_ >= n_) {
            clock_.Advance(timeoutMs);
            return 0;
        }
        const std::size_t take = std::min({static_cast<std::size_t>(1 + d_[pos_] % maxChunk_), len, n_ - pos_});
        std::memcpy(buf, d_ + pos_, take);
        pos_ += take;
        clock_.Advance(1);
        return static_cast<ssize_t>(take);
    }
    ssize_t Write(const std::uint8_t*, std::size_t len) override { return static_cast<ssize_t>(len); }
    bool Done() const { return pos_ >= n_; }

private:
    const std::uint8_t* d_;
    std::size_t n_;
    std::size_t pos_ = 0;
    platform::TestClock& clock_;
    std::size_t maxChunk_;
};
