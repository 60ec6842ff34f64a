// The AT transport against answers given byte for byte: where the answer
// line starts and ends, which results are answers and which failures, and
// the limits of time and room.
#include <gtest/gtest.h>

#include <deque>

#include "at_transport.h"
#include "modem_rig.h"

namespace {

using modem::AnswerPart;
using modem_test::RunClock;

// A line that delivers scripted chunks; silence costs the whole wait.
class ChunkIo final : public modem::ModemIo {
public:
    explicit ChunkIo(RunClock& c) : clock(c) {}
    bool Readable(const std::string&) override { return true; }
    int Open(const std::string&) override { return 3; }
    void Close(int) override {}
    ssize_t Write(int, const std::uint8_t* d, std::size_t n) override {
        std::size_t take = std::min(n, writeLimit);
        written.append(reinterpret_cast<const char*>(d), take);
        if (take == 0) clock.Advance(0);
        return static_cast<ssize_t>(take);
    }
    ssize_t Read(int, std::uint8_t* buf, std::size_t len, int timeoutMs) override {
        waits.push_back(timeoutMs);
        if (chunks.empty()) {
            clock.Advance(timeoutMs);
            return 0;
        }
        std::string c = chunks.front();
        chunks.pop_front();
        if (c.size() > len) {
            chunks.push_front(c.substr(len));
            c.resize(len);
        }
        std::copy(c.begin(), c.end(), buf);
        clock.Advance(1000);  // every chunk comes a second later
        return static_cast<ssize_t>(c.size());
    }
    RunClock& clock;
    std::deque<std::string> chunks;
    std::string written;
    std::vector<int> waits;
    std::size_t writeLimit = 1 << 20;
};

struct Fixture : ::testing::Test {
    RunClock clock;
    platform::ScopedClock scope{clock};
    ChunkIo io{clock};
};

using TransportTest = Fixture;

TEST_F(TransportTest, AnswerLineIsFoundBehindEchoAndStartUpLine) {
    struct Case {
        const char* name;
        std::string rx;
        AnswerPart part;
        std::string answer;
    };
    const Case cases[] = {
        {"model", "AT+CGMM\r\r\nTOBY-L210\r\n\r\nOK\r\n", AnswerPart::FirstLine, "TOBY-L210"},
        {"start-up line first", "\r\n^SYSSTART\r\nAT+CGMM\r\r\nPLS8-E\r\n\r\nOK\r\n", AnswerPart::FirstLine, "PLS8-E"},
        {"no info line: the result line", "AT+COPS=2\r\r\nOK\r\n", AnswerPart::FirstLine, "OK"},
        {"cme error", "AT+CPIN?\r\r\n+CME ERROR: 10\r\n", AnswerPart::FirstLine, "+CME ERROR: 10"},
        {"factory line kept", "\r\n^SYSSTART FACTORY TEST MODE\r\nAT+CFUN=5\r\r\nOK\r\n", AnswerPart::FirstLineFactory,
         "AT+CFUN=5\r"},
        {"factory variant drops a plain start-up line", "\r\n^SYSSTART\r\nAT+CFUN=5\r\r\nOK\r\n",
         AnswerPart::FirstLineFactory, "OK"},
        {"all contexts",
         "AT+CGDCONT?\r\r\n+CGDCONT: 1,\"IP\",\"a\"\r\n+CGDCONT: 2,\"IP\",\"b\"\r\n+CGDCONT: 3,\"IP\",\"c\"\r\n\r\nOK\r\n",
         AnswerPart::AllLines,
         "+CGDCONT: 1,\"IP\",\"a\"\r\n+CGDCONT: 2,\"IP\",\"b\"\r\n+CGDCONT: 3,\"IP\",\"c\"\r\n\r\nOK\r\n"},
    };
    for (const Case& c : cases) {
        io.chunks = {c.rx};
        std::string answer = "stale";
        EXPECT_TRUE(modem::RecvData(io, 3, answer, c.part, modem::kAnswerBuffer)) << c.name;
        EXPECT_EQ(answer, c.answer) << c.name;
    }
    io.chunks = {"AT+CGMM\r\r\nTOBY-L210\r\n\r\nOK\r\n"};
    std::string model;
    ASSERT_TRUE(modem::RecvData(io, 3, model));
    EXPECT_EQ(model.size(), 9u);
}

TEST_F(TransportTest, ResultSplitOverReadsIsCollected) {
    io.chunks = {"AT+CSQ\r\r\n+CSQ: 2", "0,99\r\n\r\nO", "K\r", "\n"};
    std::string a;
    ASSERT_TRUE(modem::RecvData(io, 3, a));
    EXPECT_EQ(a, "+CSQ: 20,99");
}

TEST_F(TransportTest, FailuresAndLimits) {
    std::string a;
    io.chunks = {"AT+CGMM\r\r\nERROR\r\n"};
    EXPECT_FALSE(modem::RecvData(io, 3, a)) << "a bare ERROR is a failure";

    // Silence: the exchange ends at its 4-s limit, each wait only as long as the time left.
    io.chunks.clear();
    io.waits.clear();
    const std::int64_t t0 = clock.MonotonicMs();
    EXPECT_FALSE(modem::RecvData(io, 3, a));
    EXPECT_EQ(clock.MonotonicMs() - t0, 4000);
    io.chunks = {"AT+CSQ\r", "\r\n+CSQ", ": 1", "0,9", "9\r\n"};
    io.waits.clear();
    EXPECT_FALSE(modem::RecvData(io, 3, a)) << "no result code within 4 s";
    EXPECT_EQ(io.waits, (std::vector<int>{4000, 3000, 2000, 1000}));

    // 2048 bytes without a result code: an answer with nothing handed back.
    io.chunks = {std::string(1000, 'x'), std::string(1048, 'y'), "\r\nOK\r\n"};
    a = "kept";
    EXPECT_TRUE(modem::RecvData(io, 3, a));
    EXPECT_EQ(a, "");

    // The caller's room bounds the copy.
    io.chunks = {"AT+CGMR\r\r\n" + std::string(600, 'v') + "\r\n\r\nOK\r\n"};
    EXPECT_TRUE(modem::RecvData(io, 3, a, AnswerPart::FirstLine, 255));
    EXPECT_EQ(a, std::string(255, 'v'));
}

TEST_F(TransportTest, CommandGoesOutWithOneCarriageReturn) {
    const std::string longest(127, 'A');
    EXPECT_EQ(modem::SendCmd(io, 3, longest), 128u);
    EXPECT_EQ(io.written, longest + "\r");
    io.written.clear();
    EXPECT_EQ(modem::SendCmd(io, 3, longest + "A"), 0u) << "a longer text does not fit the command buffer";
    EXPECT_EQ(io.written, "");

    // A line that takes a byte at a time still gets the whole command.
    io.writeLimit = 1;
    EXPECT_EQ(modem::SendCmd(io, 3, "AT+CSQ"), 7u);
    EXPECT_EQ(io.written, "AT+CSQ\r");
    // A line that takes nothing gives up after 10 s.
    io.writeLimit = 0;
    const std::int64_t t0 = clock.MonotonicMs();
    EXPECT_EQ(modem::SendCmd(io, 3, "AT"), 0u);
    EXPECT_GE(clock.MonotonicMs() - t0, 10000);
    EXPECT_LE(clock.MonotonicMs() - t0, 10010);
}

}  // namespace
