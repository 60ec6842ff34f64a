// The board-link line on a real pty in raw mode: every byte value passes both
// ways unchanged, including the ones a cooked terminal would act on.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <vector>

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

}  // namespace
