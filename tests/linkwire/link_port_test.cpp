// The board-link line on a real pty in raw mode: every byte value passes both
// ways unchanged, including the ones a cooked terminal would act on.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <vector>

#include "clock.h"
#include "link_port.h"
#include "serial.h"

using linkwire::FdLinkPort;
using linkwire::GatherFrame;
using linkwire::WriteFrame;

namespace {

class PtyLine : public ::testing::Test {
protected:
    void SetUp() override {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        termios t{};
        tcgetattr(master, &t);
        cfmakeraw(&t);
        tcsetattr(master, TCSANOW, &t);
        slave = platform::OpenSerial(ptsname(master));
        ASSERT_GE(slave, 0);
    }
    void TearDown() override {
        close(slave);
        close(master);
    }
    int master = -1, slave = -1;
};

TEST_F(PtyLine, ControlBytesPassBothWaysUnchanged) {
    std::vector<std::uint8_t> frame = {0x55, 0x03, 0x0A, 0x0D, 0x11, 0x13, 0x7F, 0x1A, 0x04, 0x1C, 0x00, 0xFF, 0x0D, 0x0A, 0x15, 0xAA};
    FdLinkPort a(master), b(slave);
    std::vector<std::uint8_t> got(frame.size());

    ASSERT_TRUE(WriteFrame(a, frame.data(), frame.size(), 1000));
    EXPECT_EQ(GatherFrame(b, got.data(), got.size(), 2000), frame.size());
    EXPECT_EQ(got, frame);

    std::fill(got.begin(), got.end(), 0);
    ASSERT_TRUE(WriteFrame(b, frame.data(), frame.size(), 1000));
    EXPECT_EQ(GatherFrame(a, got.data(), got.size(), 2000), frame.size());
    EXPECT_EQ(got, frame);
}

TEST_F(PtyLine, AFrameWrittenInPiecesIsGatheredWhole) {
    FdLinkPort a(master), b(slave);
    std::vector<std::uint8_t> frame(64);
    for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i);
    for (std::size_t i = 0; i < frame.size(); i += 5) {
        ASSERT_TRUE(WriteFrame(a, frame.data() + i, std::min<std::size_t>(5, frame.size() - i), 1000));
        usleep(2000);
    }
    std::vector<std::uint8_t> got(frame.size());
    EXPECT_EQ(GatherFrame(b, got.data(), got.size(), 2000), frame.size());
    EXPECT_EQ(got, frame);
}

// A pty reports its output drained at once; the port still waits until the
// bytes written could have crossed a 115200-baud line, so a reply timer
// started after the drain runs from the end of the packet.
TEST_F(PtyLine, DrainWaitsForTheBytesTimeOnTheLine) {
    platform::TestClock clock;
    platform::ScopedClock scoped(clock);
    FdLinkPort a(master);
    std::vector<std::uint8_t> block(2056, 0x5A);
    struct Step {
        const char* what;
        std::size_t bytes;
        std::int64_t idleBefore;
        std::int64_t waitMin, waitMax;
    } steps[] = {
        {"a block packet: 2056 bytes at 11.52 a ms", 2056, 0, 178, 179},
        {"a count right behind it: its own 10 bytes", 10, 0, 1, 1},
        {"after a long pause nothing is left to wait for", 0, 1000, 0, 0},
        {"a short packet after the pause", 9, 0, 1, 1},
    };
    for (const Step& s : steps) {
        clock.Advance(s.idleBefore);
        if (s.bytes > 0) {
            ASSERT_TRUE(WriteFrame(a, block.data(), s.bytes, 1000));
        }
        const std::int64_t before = clock.MonotonicMs();
        a.Drain();
        EXPECT_GE(clock.MonotonicMs() - before, s.waitMin) << s.what;
        EXPECT_LE(clock.MonotonicMs() - before, s.waitMax) << s.what;
    }
}

}  // namespace
