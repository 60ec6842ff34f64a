#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "clock.h"
#include "crc.h"
#include "serial_loader.h"
#include "timed_line.h"

using namespace linkwire;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr double k115200 = 11.52;  // bytes per ms

Bytes Image(std::size_t len, std::uint8_t seed = 7) {
    Bytes b(len);
    for (std::size_t i = 0; i < len; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 31 + (i >> 8));
    return b;
}

// The payload of a frame written in one piece, or empty.
Bytes PayloadOf(const Bytes& frame) {
    if (frame.size() < 5 || frame.front() != 0x55 || frame.back() != 0xAA) return {};
    return Bytes(frame.begin() + 1, frame.end() - 3);
}

Bytes Frame(Bytes payload) { return SerialPackFrame(payload.data(), payload.size()); }

// A master and a slave on one line, ticked in turn every 2 ms.
class LoaderTest : public ::testing::Test {
protected:
    platform::TestClock clock;
    platform::ScopedClock scoped{clock};
    TimedLine line{clock};
    Bytes receiveArea = Bytes(64 * 1024);
    Bytes delivered;
    int handlerResult = kLoaderSuccess;
    int handlerCalls = 0;

    void TearDown() override {
        for (int ch = 0; ch < kSerialPackChannels; ++ch) closeSerialPack(ch);
    }

    LoaderParams MasterParams(Bytes& image) {
        LoaderParams p;
        p.channel = openSerialPack(0, kLoaderChannelSize);
        p.mode = kLoaderMaster;
        p.image = image.data();
        p.imageLen = static_cast<std::uint32_t>(image.size());
        return p;
    }
    LoaderParams SlaveParams() {
        LoaderParams p;
        p.channel = openSerialPack(0, kLoaderChannelSize);
        p.mode = kLoaderSlave;
        p.image = receiveArea.data();
        p.imageLen = static_cast<std::uint32_t>(receiveArea.size());
        p.endHandler = [this](std::uint8_t* image, std::uint32_t len) {
            ++handlerCalls;
            delivered.assign(image, image + len);
            return handlerResult;
        };
        return p;
    }

    // Runs both to their end; returns {master result, slave result}.
    std::pair<int, int> Run(Bytes& image, int maxTicks = 200000) {
        SerialLoader master(line.master(), MasterParams(image));
        SerialLoader slave(line.slave(), SlaveParams());
        EXPECT_EQ(master.Start(), kLoaderSuccess);
        EXPECT_EQ(slave.Start(), kLoaderSuccess);
        for (int t = 0; t < maxTicks && !(master.Finished() && slave.Finished()); ++t) {
            clock.Advance(2);
            master.Tick();
            slave.Tick();
        }
        EXPECT_TRUE(master.Finished() && slave.Finished());
        return {master.result(), slave.result()};
    }

    // Runs a master alone against `respond`, which sees each payload it sends.
    int RunMaster(Bytes& image, std::function<void(const Bytes&)> respond, int maxTicks = 200000) {
        line.tap = [respond](int side, Bytes& bytes) {
            if (side == 0) respond(PayloadOf(bytes));
        };
        SerialLoader master(line.master(), MasterParams(image));
        EXPECT_EQ(master.Start(), kLoaderSuccess);
        for (int t = 0; t < maxTicks && !master.Finished(); ++t) {
            clock.Advance(2);
            master.Tick();
        }
        EXPECT_TRUE(master.Finished());
        return master.result();
    }
    void Answer(Bytes payload) {
        const Bytes f = Frame(std::move(payload));
        line.slave().Write(f.data(), f.size());
    }
};

std::uint32_t LengthWithStartCrcHigh(std::uint8_t high) {
    for (std::uint32_t len = 1;; ++len) {
        const std::uint8_t p[6] = {0xFE, 1, static_cast<std::uint8_t>(len >> 24), static_cast<std::uint8_t>(len >> 16),
                                   static_cast<std::uint8_t>(len >> 8), static_cast<std::uint8_t>(len)};
        if (common::Crc16Modbus(p, 6) >> 8 == high) return len;
    }
}

}  // namespace

TEST_F(LoaderTest, ImagesArriveByteExactAtAnyLineSpeed) {
    const std::uint32_t crcAA = LengthWithStartCrcHigh(0xAA);
    ASSERT_LT(crcAA, receiveArea.size());
    // 3548: a short last block long enough that, without waiting for it to
    // leave, its count would follow it without a gap.
    // A relay on ptys: the drain returns at once and 512-byte bursts let a
    // block's tail and its count reach the slave as one piece.
    const struct {
        double rate;
        std::size_t burst;
        bool drainWaits;
    } lines[] = {{0.0, 0, true}, {k115200, 0, true}, {k115200, 512, false}};
    for (const auto& l : lines) {
        for (std::uint32_t len : {1u, 2048u, 4096u, 4097u, 3548u, crcAA, 6000u}) {
            SCOPED_TRACE(testing::Message() << "length " << len << " rate " << l.rate << " burst " << l.burst);
            line.bytesPerMs = l.rate;
            line.burst = l.burst;
            line.drainWaits = l.drainWaits;
            Bytes image = Image(len);
            delivered.clear();
            const auto [master, slave] = Run(image);
            EXPECT_EQ(master, kLoaderSuccess);
            EXPECT_EQ(slave, kLoaderSuccess);
            EXPECT_EQ(delivered, image);
            TearDown();
        }
    }
}

// On a line whose drain returns before the bytes are across, a count's answer
// can come after the master repeated the count, and the slave answers the
// repeat too. Here the first answer comes late, the answer to the repeat
// 100 ms after it, and the next count is lost on the line: the answer to the
// repeat must not be taken for the answer to that next count, or the master
// sends on past a block the slave never confirmed.
TEST_F(LoaderTest, AnswerToARepeatedCountIsNotTakenForTheNextOne) {
    line.drainWaits = false;
    line.bytesPerMs = k115200;
    int countAnswers = 0;
    bool nextCountLost = false;
    line.tap = [&](int side, Bytes& bytes) {
        const Bytes p = PayloadOf(bytes);
        if (side == 1 && p.size() == 3 && p[0] == kPackRBS) {
            ++countAnswers;
            if (countAnswers == 1) line.slave().Hold(270);  // after the master's repeat
            if (countAnswers == 2) line.slave().Hold(100);
        }
        if (side == 0 && p.size() == 6 && p[0] == kPackRBS && p[5] == 1 && !nextCountLost) {
            nextCountLost = true;
            bytes.clear();
        }
    };
    Bytes image = Image(3 * 2048);
    const auto [master, slave] = Run(image);
    EXPECT_TRUE(nextCountLost);
    EXPECT_EQ(master, kLoaderSuccess);
    EXPECT_EQ(slave, kLoaderSuccess);
    EXPECT_EQ(delivered, image);
}

// A block of 0xAA bytes (padding, the archive of an erased area) on a line
// that hands bytes over in bursts: every pause cuts the block right after an
// 0xAA. The block still arrives whole, and needs no resend.
TEST_F(LoaderTest, BlockOfEndBytesCutByPausesArrives) {
    line.bytesPerMs = k115200;
    line.burst = 512;
    line.drainWaits = false;
    int resendAnswers = 0;
    line.tap = [&](int side, Bytes& bytes) {
        const Bytes p = PayloadOf(bytes);
        if (side == 1 && p == Bytes{kPackRBS, 1, kAckResend}) ++resendAnswers;
    };
    Bytes image = Image(3 * 2048);
    std::fill(image.begin() + 2048, image.begin() + 4096, 0xAA);
    const auto [master, slave] = Run(image);
    EXPECT_EQ(master, kLoaderSuccess);
    EXPECT_EQ(delivered, image);
    EXPECT_EQ(resendAnswers, 0);
}

TEST_F(LoaderTest, MasterSendsBlocksAndCountsInOrder) {
    Bytes image = Image(4096);
    std::vector<Bytes> sent;
    const int r = RunMaster(image, [&](const Bytes& p) {
        sent.push_back(p);
        if (p[0] == kPackUST) Answer({kPackUST, 1, kAckGo});
        if (p[0] == kPackRBS) Answer({kPackRBS, 1, kAckGo});
        if (p[0] == kPackRBS && p[5] == 0) {
            line.slave().Hold(20);  // the verdict comes after the end handler ran
            Answer({kPackEnd, 1, kAckGo});
        }
    });
    EXPECT_EQ(r, kLoaderSuccess);
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[0], (Bytes{kPackUST, 1, 0, 0, 0x10, 0}));
    EXPECT_EQ(sent[1].size(), 2u + 2048);
    EXPECT_EQ(Bytes(sent[1].begin() + 2, sent[1].end()), Bytes(image.begin(), image.begin() + 2048));
    EXPECT_EQ(sent[2], (Bytes{kPackRBS, 1, 0, 0, 0, 1}));
    EXPECT_EQ(Bytes(sent[3].begin() + 2, sent[3].end()), Bytes(image.begin() + 2048, image.end()));
    EXPECT_EQ(sent[4], (Bytes{kPackRBS, 1, 0, 0, 0, 0}));
}

TEST_F(LoaderTest, EndVerdictBecomesTheMastersResult) {
    struct Case {
        int handler;
        int master;
    } cases[] = {{kLoaderSuccess, kLoaderSuccess},
                 {kLoaderWriteFail, kLoaderWriteFail},
                 {kLoaderChecksumFail, kLoaderChecksumFail},
                 {kLoaderFileBroken, kLoaderFileBroken}};
    for (const Case& c : cases) {
        handlerResult = c.handler;
        Bytes image = Image(3000);
        const auto [master, slave] = Run(image);
        EXPECT_EQ(master, c.master) << c.handler;
        EXPECT_EQ(slave, c.handler);
        TearDown();
    }
}

TEST_F(LoaderTest, CountThatSkipsABlockAbortsBothEnds) {
    line.tap = [](int side, Bytes& bytes) {
        Bytes p = PayloadOf(bytes);
        if (side == 0 && p.size() == 6 && p[0] == kPackRBS && p[5] == 2) {
            p[5] = 1;  // the count after block 1 of 4 claims two blocks left
            bytes = Frame(p);
        }
    };
    Bytes image = Image(4 * 2048);
    const auto [master, slave] = Run(image);
    EXPECT_EQ(slave, kLoaderDataFail);
    EXPECT_EQ(master, kLoaderDataFail);
    EXPECT_EQ(handlerCalls, 0);
}

TEST_F(LoaderTest, LostAnswersAreRecovered) {
    int dropped = 0;
    line.tap = [&](int side, Bytes& bytes) {
        const Bytes p = PayloadOf(bytes);
        // The slave's first start answer and its first block answer never arrive.
        if (side == 1 && p.size() == 3 && (p[0] == kPackUST || p[0] == kPackRBS) && dropped < 2 &&
            (p[0] == kPackUST ? dropped == 0 : dropped == 1)) {
            ++dropped;
            bytes.clear();
        }
    };
    Bytes image = Image(5000);
    const auto [master, slave] = Run(image);
    EXPECT_EQ(dropped, 2);
    EXPECT_EQ(master, kLoaderSuccess);
    EXPECT_EQ(delivered, image);
}

TEST_F(LoaderTest, BitFlipsOnTheLineAreSurvived) {
    int flips = 0;
    line.tap = [&](int, Bytes& bytes) {
        if (bytes.size() > 100 && flips < 3) bytes[bytes.size() / 2] ^= 0x10, ++flips;
        if (bytes.size() == 7 && flips == 3) bytes[0] ^= 0x01, ++flips;  // a start byte lost to noise
    };
    Bytes image = Image(7000);
    const auto [master, slave] = Run(image);
    EXPECT_EQ(master, kLoaderSuccess);
    EXPECT_EQ(delivered, image);
}

TEST_F(LoaderTest, MasterGivesUpAfterItsRetries) {
    struct Case {
        const char* what;
        bool ackStart;
        std::uint8_t blockAnswer;  // 0: none
        int result;
        int expectSent;            // packets of the type that is retried
        std::uint8_t retriedType;
    } cases[] = {
        {"silent slave: five start packets", false, 0, kLoaderStartFail, 5, kPackUST},
        {"counts unanswered: five counts", true, 0, kLoaderCommFail, 5, kPackRBS},
        {"every block asked for again: resends are bounded", true, kAckResend, kLoaderResendFail,
         1 + kLoaderMaxResends, kPackIDT},
        {"slave aborts", true, kAckAbort, kLoaderDataFail, 1, kPackIDT},
    };
    for (const Case& c : cases) {
        Bytes image = Image(4096);
        int sent = 0;
        const std::int64_t start = clock.MonotonicMs();
        const int r = RunMaster(image, [&](const Bytes& p) {
            if (p[0] == c.retriedType) ++sent;
            if (p[0] == kPackUST && c.ackStart) Answer({kPackUST, 1, kAckGo});
            if (p[0] == kPackRBS && c.blockAnswer) Answer({kPackRBS, 1, c.blockAnswer});
        });
        EXPECT_EQ(r, c.result) << c.what;
        EXPECT_EQ(sent, c.expectSent) << c.what;
        if (c.result == kLoaderStartFail) {
            EXPECT_GE(clock.MonotonicMs() - start, 5 * 6000) << c.what;
        }
        TearDown();
    }
}

TEST_F(LoaderTest, AnswerWithAnotherLoaderIdIsIgnored) {
    Bytes image = Image(10);
    const int r = RunMaster(image, [&](const Bytes& p) {
        if (p[0] == kPackUST) Answer({kPackUST, 2, kAckGo});
    });
    EXPECT_EQ(r, kLoaderStartFail);
}

TEST_F(LoaderTest, SlaveRefusesWhatDoesNotFitAndRewindsBadBlocks) {
    Bytes ust;
    auto slaveWith = [&](std::uint32_t len) {
        ust = Frame({kPackUST, 1, static_cast<std::uint8_t>(len >> 24), static_cast<std::uint8_t>(len >> 16),
                                 static_cast<std::uint8_t>(len >> 8), static_cast<std::uint8_t>(len)});
        LoaderParams p = SlaveParams();
        p.pre = ust.data();
        p.preLen = ust.size();
        return p;
    };
    // Longer than the receive area: refused at the start, nothing stored.
    {
        SerialLoader slave(line.slave(), slaveWith(static_cast<std::uint32_t>(receiveArea.size()) + 1));
        ASSERT_EQ(slave.Start(), kLoaderSuccess);
        for (int t = 0; t < 100 && !slave.Finished(); ++t) slave.Tick();
        EXPECT_TRUE(slave.Finished());
        EXPECT_EQ(slave.result(), kLoaderStartFail);
        EXPECT_EQ(slave.received(), 0u);
        TearDown();
    }
    // Two blocks before their count: both asked for again, write position back at 0.
    {
        std::vector<Bytes> answers;
        line.tap = [&](int side, Bytes& bytes) {
            if (side == 1) answers.push_back(PayloadOf(bytes));
        };
        SerialLoader slave(line.slave(), slaveWith(8192));
        ASSERT_EQ(slave.Start(), kLoaderSuccess);
        auto ticks = [&](int n) {
            for (int i = 0; i < n; ++i) clock.Advance(2), slave.Tick();
        };
        ticks(3);
        Bytes block(2050, 0x11);
        block[0] = kPackIDT;
        block[1] = 1;
        for (const Bytes& p : {block, block, Bytes{kPackRBS, 1, 0, 0, 0, 3}}) {
            const Bytes f = Frame(p);
            line.master().Write(f.data(), f.size());
            ticks(6);
        }
        ASSERT_EQ(answers.size(), 2u);
        EXPECT_EQ(answers[0], (Bytes{kPackUST, 1, kAckGo}));
        EXPECT_EQ(answers[1], (Bytes{kPackRBS, 1, kAckResend}));
        EXPECT_EQ(slave.received(), 0u);
        ticks(6001 * 1);
        EXPECT_EQ(slave.result(), kLoaderCommFail) << "silence after the last packet ends the run";
    }
}

TEST(ImageTrailer, CheckedByNameAndByteSum) {
    Bytes good = Image(100 + kImageTrailerSize);
    AppendImageTrailer(good.data(), 100);
    const std::uint32_t sum = std::accumulate(good.begin(), good.begin() + 100, 0u);
    EXPECT_EQ(good[100 + 9] << 24 | good[100 + 10] << 16 | good[100 + 11] << 8 | good[100 + 12], static_cast<int>(sum));
    Bytes badName = good;
    badName[100] = 'W';
    Bytes sumHigh = good;
    sumHigh[112] = static_cast<std::uint8_t>(sumHigh[112] + 1);
    Bytes bodyFlip = good;
    bodyFlip[3] ^= 0x01;
    struct Case {
        const char* what;
        Bytes image;
        int result;
    } cases[] = {{"good", good, 1},
                 {"other format name", badName, 0},
                 {"stored sum one too high", sumHigh, 0},
                 {"a body bit flipped", bodyFlip, 0},
                 {"shorter than a trailer", Bytes(12, 0), 0},
                 {"trailer alone, empty body", Bytes{'V', 'A', 'N', 'T', 'O', 'L', 'M', 'Q', 'F', 0, 0, 0, 0}, 1}};
    for (const Case& c : cases) EXPECT_EQ(checkImgSum(c.image.data(), c.image.size()), c.result) << c.what;
}

TEST_F(LoaderTest, RunReturnsOnThePlatformClockAndPrintsItsResult) {
    Bytes image = Image(100);
    LoaderParams p = MasterParams(image);
    testing::internal::CaptureStdout();
    const std::int64_t start = clock.MonotonicMs();
    EXPECT_EQ(mobzCAloader(line.master(), p), kLoaderStartFail);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[serialLoader] Result:Update start fail"), std::string::npos);
    EXPECT_NE(out.find("[serialLoader] Loader protocol total block size:1"), std::string::npos);
    EXPECT_GE(clock.MonotonicMs() - start, 5 * 3001 * 2);
}
