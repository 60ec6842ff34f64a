#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "line_shaper.h"

using sim::LineOptions;
using sim::LineShaper;

namespace {

// Drains a shaper the way the relay does, at each due time; returns the
// chunks and the time the last one went out.
struct Drained {
    std::vector<std::vector<std::uint8_t>> chunks;
    std::int64_t endUs = 0;
};
Drained Drain(LineShaper& s) {
    Drained d;
    while (!s.Empty()) {
        const std::int64_t t = std::max<std::int64_t>(d.endUs, s.NextDueUs());
        auto c = s.Take(t);
        if (c.empty()) continue;
        d.endUs = t;
        d.chunks.push_back(std::move(c));
    }
    return d;
}

std::vector<std::uint8_t> Ramp(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    std::iota(v.begin(), v.end(), 0);
    return v;
}

TEST(LineShaper, ThrottleAtTheLineRateAndSplitIntoChunks) {
    LineOptions o;
    o.bytesPerSecond = 11520;
    o.split = true;
    LineShaper s(o, 7);
    const auto data = Ramp(11520);
    s.Push(data.data(), data.size());
    const Drained d = Drain(s);
    std::vector<std::uint8_t> joined;
    std::size_t largest = 0;
    for (const auto& c : d.chunks) {
        joined.insert(joined.end(), c.begin(), c.end());
        largest = std::max(largest, c.size());
    }
    EXPECT_EQ(joined, data) << "order and content kept";
    EXPECT_LE(largest, 16u);
    EXPECT_GT(d.chunks.size(), 11520u / 16);
    EXPECT_GE(d.endUs, 990000) << "one second of bytes takes about a second";
    EXPECT_LE(d.endUs, 1000000);
}

// The relay wakes up late (a poll rounded up to the millisecond, a busy
// machine): bytes that waited meanwhile go out back to back, so the line keeps
// its rate, and a line that fell idle starts again when new bytes come.
TEST(LineShaper, LateTakesDoNotSlowTheLine) {
    LineOptions o;
    o.bytesPerSecond = 11520;
    o.split = true;
    const struct {
        const char* what;
        std::int64_t lateUs;
    } cases[] = {{"on time", 0}, {"700 us late", 700}, {"3 ms late", 3000}};
    for (const auto& c : cases) {
        LineShaper s(o, 5);
        const auto data = Ramp(11520);
        s.Push(data.data(), data.size(), 0);
        std::int64_t t = 0;
        std::size_t got = 0;
        while (!s.Empty()) {
            // Overdue bytes are taken at once; waiting for due ones oversleeps.
            if (s.NextDueUs() > t) t = s.NextDueUs() + c.lateUs;
            got += s.Take(t).size();
        }
        EXPECT_EQ(got, data.size()) << c.what;
        EXPECT_LE(t, 1000000 + 2 * c.lateUs) << c.what;
        // After a pause the line has no time in hand: a tenth of a second of
        // bytes written then still takes a tenth of a second.
        const std::int64_t later = t + 5000000;
        s.Push(data.data(), 1152, later);
        std::int64_t end = later;
        while (!s.Empty()) {
            end = std::max(end, s.NextDueUs());
            s.Take(end);
        }
        EXPECT_GE(end, later + 99000) << c.what;
        EXPECT_LE(end, later + 101000) << c.what;
    }
}

TEST(LineShaper, PassThroughHandsEverythingAtOnce) {
    LineShaper s(LineOptions{}, 1);
    const auto data = Ramp(300);
    s.Push(data.data(), data.size());
    EXPECT_EQ(s.Take(0), data);
    EXPECT_TRUE(s.Empty());
}

TEST(LineShaper, DropAndCorruptAtTheirRates) {
    const auto data = Ramp(256);
    const struct {
        double drop, corrupt;
        std::size_t minOut, maxOut, minChanged, maxChanged;
    } cases[] = {
        {1.0, 0.0, 0, 0, 0, 0},
        {0.0, 1.0, 256, 256, 256, 256},
        {0.5, 0.0, 80, 176, 0, 0},
        {0.0, 0.0, 256, 256, 0, 0},
    };
    for (const auto& c : cases) {
        LineOptions o;
        o.dropRate = c.drop;
        o.corruptRate = c.corrupt;
        LineShaper s(o, 3);
        s.Push(data.data(), data.size());
        const auto out = s.Take(0);
        EXPECT_GE(out.size(), c.minOut);
        EXPECT_LE(out.size(), c.maxOut);
        EXPECT_EQ(s.bytes(), data.size());
        EXPECT_EQ(s.dropped(), data.size() - out.size()) << "the count is what went missing";
        if (out.size() == data.size()) {
            std::size_t changed = 0;
            for (std::size_t i = 0; i < out.size(); ++i) changed += out[i] != data[i];
            EXPECT_GE(changed, c.minChanged);
            EXPECT_LE(changed, c.maxChanged);
            EXPECT_EQ(s.corrupted(), changed) << "the count is what changed";
        }
    }
}

TEST(LineShaper, SameSeedSameLine) {
    LineOptions o;
    o.split = true;
    o.dropRate = 0.1;
    o.corruptRate = 0.1;
    LineShaper a(o, 42), b(o, 42);
    const auto data = Ramp(200);
    a.Push(data.data(), data.size());
    b.Push(data.data(), data.size());
    EXPECT_EQ(Drain(a).chunks, Drain(b).chunks);
}

}  // namespace
