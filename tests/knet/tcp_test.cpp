// TCP and the V2G connection slot on port 51181.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>

#include "knet_rig.h"

using namespace knettest;

namespace {

constexpr std::uint32_t kPeerIsn = 0x10203040;

Bytes Mss(std::uint16_t v) { return {2, 4, static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)}; }

// A V2GTP message of `body` bytes, every byte distinct.
Bytes V2gtp(std::size_t body, std::uint8_t seed = 1) {
    Bytes m = {0x01, 0xFE, 0x80, 0x01, static_cast<std::uint8_t>(body >> 24), static_cast<std::uint8_t>(body >> 16),
               static_cast<std::uint8_t>(body >> 8), static_cast<std::uint8_t>(body)};
    for (std::size_t i = 0; i < body; ++i) m.push_back(static_cast<std::uint8_t>(seed + i));
    return m;
}

// The station listening on the V2G port; the test plays the vehicle and keeps
// both sequence numbers.
struct TcpRig : KnetRig {
    TcpRig() { EXPECT_EQ(plc::V2G_TCP_Listen(), 0); }

    // SYN, SYN-ACK, ACK.
    void Connect(Bytes synOptions = Mss(1460)) {
        Seg syn;
        syn.seq = kPeerIsn;
        syn.flags = plc::TCP_SYN;
        syn.options = synOptions;
        Receive(TcpSegment(syn));
        auto sent = Take();
        ASSERT_EQ(sent.size(), 1u);
        synAck = Parse(sent[0].frame);
        ours = synAck.seq() + 1;
        theirs = kPeerIsn + 1;
        Receive(TcpSegment(Ack()));
        ASSERT_TRUE(Take().empty());
        ASSERT_EQ(plc::V2G_TCP_WaitConnection(), 1);
    }
    Seg Ack(std::uint8_t flags = plc::TCP_ACK) const {
        Seg s;
        s.seq = theirs;
        s.ack = ours;
        s.flags = flags;
        return s;
    }
    // Sends data in order; returns what the station sent back at once.
    std::vector<Sent> SendData(const Bytes& data, std::uint8_t flags = plc::TCP_ACK | plc::TCP_PSH) {
        Seg s = Ack(flags);
        s.data = data;
        Receive(TcpSegment(s));
        theirs += static_cast<std::uint32_t>(data.size());
        return Take();
    }
    // What the V2G session does with a message: takes it out of the slot.
    Bytes TakeMessage() {
        plc::ClnConn& s = plc::mdbcln_conn[0];
        if ((s.flags & 0x43) != 0x43 || s.state != 2) return {};
        s.flags = static_cast<std::uint16_t>(s.flags & ~plc::CLN_NEWDATA);
        return Bytes(s.rxbuf, s.rxbuf + s.rxlen);
    }
    int Answer(const Bytes& answer) {
        plc::knet_copy_exidata(static_cast<std::uint16_t>(answer.size()), answer.data());
        return plc::mdbcln_send(0, plc::mdb_conn->tx, plc::mdb_conn->txlen, 500);
    }

    Out synAck{};
    std::uint32_t ours = 0;    // next sequence number the station sends
    std::uint32_t theirs = 0;  // next sequence number the vehicle sends
};

}  // namespace

TEST(TcpOpenTest, SynAckCarriesTheAnnouncedMssAndWindowAndTheSegmentSizeFollowsThePeer) {
    struct Case {
        const char* name;
        Bytes options;
        std::uint16_t mss;
    } cases[] = {
        {"MSS 1460", Mss(1460), 260},
        {"no options", {}, 260},
        {"MSS 200 after a NOP", {1, 1, 1, 1, 2, 4, 0, 200, 0, 0, 0, 0}, 200},
        {"unknown option first", {8, 10, 1, 2, 3, 4, 5, 6, 7, 8, 2, 4, 0, 100, 0, 0}, 100},
        {"option length running past the header", {1, 1, 1, 30, 2, 4, 0, 100}, 260},
        {"option length 0 ends the walk", {3, 0, 2, 4, 0, 100, 0, 0}, 260},
    };
    for (const Case& c : cases) {
        TcpRig rig;
        rig.Connect(c.options);
        EXPECT_TRUE(rig.synAck.checksumOk) << c.name;
        EXPECT_EQ(rig.synAck.flags(), plc::TCP_SYN | plc::TCP_ACK) << c.name;
        EXPECT_EQ(rig.synAck.tcpHeader(), 24u) << c.name;
        EXPECT_EQ(Bytes(rig.synAck.upper.begin() + 20, rig.synAck.upper.begin() + 24), (Bytes{2, 4, 0x05, 0xA0}))
            << c.name;
        EXPECT_EQ(rig.synAck.window(), 512) << c.name;
        EXPECT_EQ(rig.synAck.ack(), kPeerIsn + 1) << c.name;
        EXPECT_EQ(rig.synAck.dport(), 49200) << c.name;
        EXPECT_EQ(rig.synAck.dst, kEvAddr) << c.name;
        EXPECT_EQ(plc::tcp_conn_table->mss, c.mss) << c.name;
        EXPECT_EQ(plc::mdbcln_conn[0].state, 2) << c.name;
        EXPECT_EQ(plc::mdbcln_conn[0].flags, plc::CLN_OPEN | plc::CLN_CONNECTED) << c.name;
    }
}

TEST(TcpOpenTest, InitialSequenceNumbersAreNotPredictable) {
    std::uint32_t first;
    {
        TcpRig rig;
        rig.Connect();
        first = rig.synAck.seq();
    }
    TcpRig rig;
    rig.Connect();
    EXPECT_NE(rig.synAck.seq(), first);
    EXPECT_FALSE(first <= 1000 && rig.synAck.seq() <= 1000);
}

TEST(TcpOpenTest, SegmentsThatMatchNothingAreResetToTheirSender) {
    TcpRig rig;
    Addr stranger = kEvAddr;
    stranger[15] = 0x99;
    Seg syn;
    syn.dport = 51182;
    syn.seq = 777;
    syn.flags = plc::TCP_SYN;
    Ip6 ip;
    rig.Receive(TcpSegment(syn));
    auto sent = rig.Take();
    ASSERT_EQ(sent.size(), 1u);
    Out rst = Parse(sent[0].frame);
    EXPECT_TRUE(rst.checksumOk);
    EXPECT_EQ(rst.flags(), plc::TCP_RST | plc::TCP_ACK);
    EXPECT_EQ(rst.seq(), 0u);
    EXPECT_EQ(rst.ack(), 778u);
    EXPECT_EQ(rst.sport(), 51182);
    EXPECT_EQ(rst.dport(), 49200);
    EXPECT_EQ(sent[0].frame.size(), 74u);

    // A stray segment of a stranger while the vehicle is connected: the reset
    // goes to the stranger, at the stranger's acknowledgement number.
    rig.Connect();
    Seg stray;
    stray.seq = 5000;
    stray.ack = 0xCAFEF00D;
    stray.data = {1, 2, 3};
    Bytes f = TcpSegment(stray);
    // Re-address from the stranger (checksum made for the new source).
    Bytes upper(f.begin() + 54, f.end());
    upper[16] = upper[17] = 0;
    ip.src = stranger;
    ip.nextHeader = 6;
    rig.Receive(Frame(ip, upper, 16));
    sent = rig.Take();
    ASSERT_EQ(sent.size(), 1u);
    rst = Parse(sent[0].frame);
    EXPECT_EQ(rst.dst, stranger);
    EXPECT_EQ(rst.seq(), 0xCAFEF00Du);
    EXPECT_EQ(rst.ack(), 5003u);
    EXPECT_EQ(plc::V2G_TCP_WaitConnection(), 1) << "the vehicle's connection stays";

    // A reset is never answered.
    Seg r;
    r.dport = 51182;
    r.flags = plc::TCP_RST;
    rig.Receive(TcpSegment(r));
    EXPECT_TRUE(rig.Take().empty());
}

TEST(TcpDataTest, RequestReachesTheSlotIntactAndIsAcknowledgedOnce) {
    TcpRig rig;
    rig.Connect();
    const Bytes request = V2gtp(12);
    auto sent = rig.SendData(request);
    ASSERT_EQ(sent.size(), 1u);
    Out ack = Parse(sent[0].frame);
    EXPECT_EQ(ack.flags(), plc::TCP_ACK);
    EXPECT_EQ(ack.ack(), rig.theirs);
    EXPECT_EQ(ack.seq(), rig.ours);
    EXPECT_EQ(plc::mdbcln_status_get(0), 0x43);
    EXPECT_EQ(rig.TakeMessage(), request);

    // The same segment again (its acknowledgement was lost): acknowledged,
    // not delivered twice.
    rig.theirs -= static_cast<std::uint32_t>(request.size());
    sent = rig.SendData(request);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Parse(sent[0].frame).ack(), rig.theirs);
    EXPECT_EQ(plc::mdbcln_status_get(0) & plc::CLN_NEWDATA, 0);

    // A segment beyond the expected number is not taken: the expected number
    // is acknowledged again.
    Seg ahead = rig.Ack(plc::TCP_ACK | plc::TCP_PSH);
    ahead.seq += 5;
    ahead.data = V2gtp(4);
    rig.Receive(TcpSegment(ahead));
    sent = rig.Take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Parse(sent[0].frame).ack(), rig.theirs);
    EXPECT_EQ(plc::mdbcln_status_get(0) & plc::CLN_NEWDATA, 0);

    // A retransmission that overlaps taken bytes gives only its new tail.
    const Bytes next = V2gtp(20, 0x40);
    rig.SendData(Bytes(next.begin(), next.begin() + 10));
    Seg overlap = rig.Ack(plc::TCP_ACK | plc::TCP_PSH);
    overlap.seq -= 10;
    overlap.data = next;
    rig.Receive(TcpSegment(overlap));
    rig.theirs += 18;
    EXPECT_EQ(rig.TakeMessage(), next);
    EXPECT_EQ(Parse(rig.Take().back().frame).ack(), rig.theirs);
}

TEST(TcpDataTest, MessageSplitOverSegmentsIsGatheredUpToItsV2gtpLength) {
    TcpRig rig;
    rig.Connect();
    const Bytes request = V2gtp(300);
    // Split inside the header, then in the body.
    rig.SendData(Bytes(request.begin(), request.begin() + 5));
    EXPECT_EQ(plc::mdbcln_status_get(0) & plc::CLN_NEWDATA, 0);
    rig.SendData(Bytes(request.begin() + 5, request.begin() + 200));
    EXPECT_EQ(plc::mdbcln_status_get(0) & plc::CLN_NEWDATA, 0);
    rig.SendData(Bytes(request.begin() + 200, request.end()));
    EXPECT_EQ(rig.TakeMessage(), request);

    // Bytes that are no V2GTP message are handed on as they came.
    const Bytes junk = {0x55, 0x66, 0x77};
    rig.SendData(junk);
    EXPECT_EQ(rig.TakeMessage(), junk);
}

// A vehicle's fragment that never becomes a header is dropped when a whole
// message follows it: the message is taken, not swallowed.
TEST(TcpDataTest, AMalformedFragmentDoesNotSwallowTheNextMessage) {
    const Bytes request = V2gtp(40);
    for (const Bytes& fragment : {Bytes{0x01, 0xFE, 0x80}, Bytes{0x01, 0xFE}, Bytes{0x01, 0xFE, 0x80, 0x01, 0x00}}) {
        TcpRig rig;
        rig.Connect();
        rig.SendData(fragment);
        EXPECT_EQ(plc::mdbcln_status_get(0) & plc::CLN_NEWDATA, 0);
        rig.SendData(request);
        EXPECT_EQ(rig.TakeMessage(), request) << fragment.size();
    }
}

TEST(TcpDataTest, RequestsLongerThanTheSlotSetOverflowAndAreNotStored) {
    struct Case {
        const char* name;
        Bytes segment;
    } cases[] = {
        {"V2GTP length beyond the slot", V2gtp(493)},
        {"header alone announcing more than the slot", {0x01, 0xFE, 0x80, 0x01, 0x00, 0x00, 0x01, 0xED}},
    };
    for (const Case& c : cases) {
        TcpRig rig;
        rig.Connect();
        rig.SendData(c.segment);
        EXPECT_EQ(plc::mdbcln_status_get(0) & plc::CLN_OVERFLOW, plc::CLN_OVERFLOW) << c.name;
        EXPECT_EQ(plc::mdbcln_status_get(0) & plc::CLN_NEWDATA, 0) << c.name;
    }
    // The largest message that fits, in two parts.
    TcpRig rig;
    rig.Connect();
    const Bytes request = V2gtp(492);
    rig.SendData(Bytes(request.begin(), request.begin() + 250));
    rig.SendData(Bytes(request.begin() + 250, request.end()));
    EXPECT_EQ(rig.TakeMessage(), request);
}

TEST(TcpSlotTest, SendResultsAndFlagWord) {
    TcpRig rig;
    std::uint8_t data[10] = {};
    EXPECT_EQ(plc::mdbcln_send(0, data, 10, 500), 1) << "before the connection";
    rig.Connect();
    EXPECT_EQ(plc::mdbcln_send(0, nullptr, 10, 500), 5);
    EXPECT_EQ(plc::mdbcln_send(0, data, 0, 500), 4);
    EXPECT_EQ(plc::mdbcln_send(0, data, 600, 500), 3);
    EXPECT_EQ(plc::mdbcln_send(1, data, 10, 500), 6);
    plc::mdbcln_conn[0].flags |= plc::CLN_NEWDATA | plc::CLN_OVERFLOW | plc::CLN_SENT;
    EXPECT_EQ(plc::mdbcln_send(0, data, 10, 500), 0);
    EXPECT_EQ(plc::mdbcln_status_get(0), plc::CLN_OPEN | plc::CLN_CONNECTED | plc::CLN_SENDPEND);
    // Replaced before the hand-over; refused after it until the next request.
    EXPECT_EQ(rig.Answer(V2gtp(4)), 0);
    rig.Pass();
    EXPECT_EQ(rig.Take().size(), 1u);
    EXPECT_EQ(plc::mdbcln_conn[0].state, 3);
    EXPECT_EQ(plc::mdbcln_status_get(0), plc::CLN_OPEN | plc::CLN_CONNECTED | plc::CLN_SENT);
    EXPECT_EQ(rig.Answer(V2gtp(4)), 2);

    Bytes big(620);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
    plc::knet_copy_exidata(620, big.data());
    EXPECT_EQ(plc::mdb_conn->txlen, 500);
    EXPECT_EQ(0, std::memcmp(plc::mdb_conn->tx, big.data(), 500));
}

TEST(TcpDataTest, AnswerGoesOutAtTheNextPollAndLongAnswersInSeveralSegments) {
    TcpRig rig;
    rig.Connect();
    rig.SendData(V2gtp(10));
    rig.TakeMessage();
    const Bytes answer = V2gtp(492, 0x80);  // 500 bytes: two segments of 260 and 240
    ASSERT_EQ(rig.Answer(answer), 0);
    Bytes received;
    for (std::size_t part : {260u, 240u}) {
        rig.Pass();
        auto sent = rig.Take();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].type, 6);
        Out seg = Parse(sent[0].frame);
        EXPECT_TRUE(seg.checksumOk);
        EXPECT_EQ(seg.flags(), plc::TCP_PSH | plc::TCP_ACK);
        EXPECT_EQ(seg.seq(), rig.ours);
        EXPECT_EQ(seg.tcpData().size(), part);
        const Bytes data = seg.tcpData();
        received.insert(received.end(), data.begin(), data.end());
        // Nothing more while the part is unacknowledged.
        rig.Pass();
        EXPECT_TRUE(rig.Take().empty());
        rig.ours += static_cast<std::uint32_t>(part);
        rig.Receive(TcpSegment(rig.Ack()));
    }
    EXPECT_EQ(received, answer);
    rig.Pass();
    EXPECT_TRUE(rig.Take().empty());
    EXPECT_EQ(plc::mdbcln_conn[0].state, 2);
    EXPECT_EQ(rig.Answer(V2gtp(3)), 0) << "ready again once everything was acknowledged";
}

TEST(TcpTimerTest, UnansweredDataIsRetransmittedOnTheBackOffTableThenReset) {
    TcpRig rig;
    rig.Connect();
    rig.SendData(V2gtp(10));
    rig.TakeMessage();
    const Bytes answer = V2gtp(30, 0x90);
    rig.Answer(answer);
    rig.Pass();
    ASSERT_EQ(rig.Take().size(), 1u);
    std::vector<int> at;
    std::vector<std::uint8_t> flags;
    for (int tick = 1; tick <= 2000 && plc::tcp_conn_table->state() != plc::TCP_CLOSED; ++tick) {
        rig.Tick();
        for (const Sent& s : rig.Take()) {
            Out o = Parse(s.frame);
            at.push_back(tick);
            flags.push_back(o.flags());
            if (o.flags() & plc::TCP_PSH) {
                EXPECT_EQ(o.tcpData(), answer);
                EXPECT_EQ(o.seq(), rig.ours);
            }
        }
    }
    ASSERT_EQ(at.size(), 9u);
    const int gaps[] = {7, 7, 14, 28, 56, 112, 224, 448, 448};
    int prev = 0;
    for (std::size_t i = 0; i < at.size(); ++i) {
        EXPECT_EQ(at[i] - prev, gaps[i]) << "send " << i + 1;
        prev = at[i];
        EXPECT_EQ(flags[i], i < 8 ? (plc::TCP_PSH | plc::TCP_ACK) : (plc::TCP_RST | plc::TCP_ACK));
    }
    EXPECT_EQ(prev, 1344);
    EXPECT_EQ(plc::mdbcln_conn[0].state, 0) << "the slot closed";
    EXPECT_EQ(plc::V2G_TCP_WaitConnection(), 0);
}

TEST(TcpTimerTest, UnansweredSynAckIsSentFiveTimesThenTheRecordIsClosed) {
    TcpRig rig;
    Seg syn;
    syn.seq = kPeerIsn;
    syn.flags = plc::TCP_SYN;
    rig.Receive(TcpSegment(syn));
    ASSERT_EQ(rig.Take().size(), 1u);
    std::vector<int> at;
    std::vector<std::uint8_t> flags;
    for (int tick = 1; tick <= 500 && plc::tcp_conn_table->state() != plc::TCP_CLOSED; ++tick) {
        rig.Tick();
        for (const Sent& s : rig.Take()) {
            at.push_back(tick);
            flags.push_back(Parse(s.frame).flags());
        }
    }
    const int want[] = {7, 14, 28, 56, 112};
    ASSERT_EQ(at.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(at[i], want[i]);
        EXPECT_EQ(flags[i], i < 4 ? (plc::TCP_SYN | plc::TCP_ACK) : (plc::TCP_RST | plc::TCP_ACK));
    }
}

TEST(TcpCloseTest, StationCloseRunsThroughTimeWaitAndEndsAfterAThousandTicks) {
    TcpRig rig;
    rig.Connect();
    plc::Flag_CloseTCP = 1;
    rig.Pass();
    auto sent = rig.Take();
    ASSERT_EQ(sent.size(), 1u);
    Out fin = Parse(sent[0].frame);
    EXPECT_EQ(fin.flags(), plc::TCP_FIN | plc::TCP_ACK);
    EXPECT_EQ(fin.seq(), rig.ours);
    EXPECT_EQ(plc::mdbcln_conn[0].state, 0) << "the slot is closed at once";
    rig.ours += 1;
    rig.Receive(TcpSegment(rig.Ack()));
    EXPECT_EQ(plc::tcp_conn_table->state(), plc::TCP_FIN_WAIT_2);
    rig.Receive(TcpSegment(rig.Ack(plc::TCP_FIN | plc::TCP_ACK)));
    rig.theirs += 1;
    sent = rig.Take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Parse(sent[0].frame).flags(), plc::TCP_ACK);
    EXPECT_EQ(Parse(sent[0].frame).ack(), rig.theirs);
    EXPECT_EQ(plc::tcp_conn_table->state(), plc::TCP_TIME_WAIT);
    // A late segment is acknowledged and ends the close request.
    rig.Receive(TcpSegment(rig.Ack()));
    EXPECT_EQ(rig.Take().size(), 1u);
    EXPECT_EQ(plc::Flag_CloseTCP, 0);
    for (int i = 0; i < 999; ++i) rig.Tick();
    EXPECT_EQ(plc::tcp_conn_table->state(), plc::TCP_TIME_WAIT);
    rig.Tick();
    EXPECT_EQ(plc::tcp_conn_table->state(), plc::TCP_CLOSED);
    EXPECT_TRUE(rig.Take().empty());
}

TEST(TcpCloseTest, PeerCloseIdleCloseAndResets) {
    {
        SCOPED_TRACE("the vehicle closes");
        TcpRig rig;
        rig.Connect();
        rig.Receive(TcpSegment(rig.Ack(plc::TCP_FIN | plc::TCP_ACK)));
        rig.theirs += 1;
        auto sent = rig.Take();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(Parse(sent[0].frame).flags(), plc::TCP_FIN | plc::TCP_ACK);
        EXPECT_EQ(Parse(sent[0].frame).ack(), rig.theirs);
        EXPECT_EQ(plc::V2G_TCP_WaitConnection(), 0);
        rig.ours += 1;
        rig.Receive(TcpSegment(rig.Ack()));
        EXPECT_EQ(plc::tcp_conn_table->state(), plc::TCP_CLOSED);
    }
    {
        SCOPED_TRACE("idle for an hour of ticks");
        TcpRig rig;
        rig.Connect();
        plc::tcp_conn_table->idleTicks = plc::kTcpIdleLimit - 2;
        rig.Tick();
        EXPECT_TRUE(rig.Take().empty());
        rig.Tick();
        auto sent = rig.Take();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(Parse(sent[0].frame).flags(), plc::TCP_FIN | plc::TCP_ACK);
    }
    {
        SCOPED_TRACE("resets count only at the expected sequence number");
        TcpRig rig;
        rig.Connect();
        Seg rst = rig.Ack(plc::TCP_RST);
        rst.seq += 1;
        rig.Receive(TcpSegment(rst));
        EXPECT_EQ(plc::V2G_TCP_WaitConnection(), 1);
        rst.seq -= 2;
        rig.Receive(TcpSegment(rst));
        EXPECT_EQ(plc::V2G_TCP_WaitConnection(), 1);
        rig.Receive(TcpSegment(rig.Ack(plc::TCP_RST)));
        EXPECT_EQ(plc::V2G_TCP_WaitConnection(), 0);
        EXPECT_EQ(plc::tcp_conn_table->state(), plc::TCP_CLOSED);
        EXPECT_TRUE(rig.Take().empty());
    }
}

TEST(TcpInputTest, HeaderFieldsOutOfBoundsDropTheSegment) {
    auto build = [](auto edit) {
        Seg s;
        s.seq = kPeerIsn;
        s.flags = plc::TCP_SYN;
        s.data = {};
        Bytes f = TcpSegment(s);
        Bytes upper(f.begin() + 54, f.end());
        edit(upper);
        Ip6 ip;
        ip.nextHeader = 6;
        return Frame(ip, upper, upper.size() >= 18 ? 16 : -1);
    };
    struct Case {
        const char* name;
        Bytes frame;
    } cases[] = {
        {"data offset past the segment", build([](Bytes& u) { u[12] = 6 << 4; })},
        {"data offset below 5", build([](Bytes& u) { u[12] = 4 << 4; })},
        {"shorter than a TCP header", build([](Bytes& u) { u.resize(12); })},
    };
    for (const Case& c : cases) {
        TcpRig rig;
        rig.Receive(c.frame);
        EXPECT_TRUE(rig.Take().empty()) << c.name;
        EXPECT_EQ(plc::tcp_conn_table->state(), plc::TCP_CLOSED) << c.name;
        EXPECT_GE(plc::knet_counters.badHeader, 1u) << c.name;
    }
}

TEST(TcpCloseTest, CloseRequestWaitsForTheLastPartOfAnAnswer) {
    TcpRig rig;
    rig.Connect();
    rig.SendData(V2gtp(10));
    rig.TakeMessage();
    ASSERT_EQ(rig.Answer(V2gtp(492)), 0);
    plc::Flag_CloseTCP = 1;
    std::vector<std::uint8_t> flags;
    for (int i = 0; i < 3; ++i) {
        rig.Pass();
        auto sent = rig.Take();
        ASSERT_EQ(sent.size(), 1u);
        Out o = Parse(sent[0].frame);
        flags.push_back(o.flags());
        rig.ours += static_cast<std::uint32_t>(o.tcpData().size() + ((o.flags() & plc::TCP_FIN) ? 1 : 0));
        rig.Receive(TcpSegment(rig.Ack()));
    }
    EXPECT_EQ(flags, (std::vector<std::uint8_t>{plc::TCP_PSH | plc::TCP_ACK, plc::TCP_PSH | plc::TCP_ACK,
                                                 plc::TCP_FIN | plc::TCP_ACK}));
    EXPECT_EQ(plc::tcp_conn_table->state(), plc::TCP_FIN_WAIT_2);
}

namespace {

// A neighbour solicitation of the station from the vehicle with the given
// options behind the target.
Bytes SolicitationWithOptions(const Bytes& options) {
    Bytes m(24, 0);
    m[0] = 135;
    std::memcpy(m.data() + 8, kStationAddr.data(), 16);
    m.insert(m.end(), options.begin(), options.end());
    Ip6 ip;
    ip.dst = kStationSolicited;
    ip.ethDst = {0x33, 0x33, 0xFF, 0x0A, 0x0B, 0x0C};
    return Frame(ip, m, 2);
}

Bytes Slla() {
    Bytes o = {1, 1};
    o.insert(o.end(), kEvMac.begin(), kEvMac.end());
    return o;
}

}  // namespace

// Segments a hostile or sloppy peer sends into the established connection,
// each crafted from the connection's own sequence numbers, and one
// solicitation whose option runs past the packet. After every case the
// connection still carries a request and its answer byte for byte.
TEST(TcpPeerTest, ForgedAndSloppySegmentsNeitherCutTheConnectionNorLoseStreamBytes) {
    struct Answer {
        std::uint8_t flags;
        std::int32_t seq;  // relative to the station's next sequence number
        std::int32_t ack;  // relative to the vehicle's next sequence number
        std::uint16_t window;
    };
    const Bytes twenty = V2gtp(12, 0x20);
    const Bytes full = V2gtp(492, 0x30);  // fills the slot exactly
    Bytes fullAndMore = full;
    fullAndMore.insert(fullAndMore.end(), twenty.begin(), twenty.end());
    struct Case {
        const char* name;
        std::function<void(TcpRig&)> before;
        std::function<Bytes(const TcpRig&)> frame;
        std::optional<Answer> answer;  // none: nothing is sent
        Bytes delivered;               // the message the slot then holds, if any
    } cases[] = {
        {"SYN far outside the window",
         nullptr,
         [](const TcpRig& r) {
             Seg s = r.Ack(plc::TCP_SYN);
             s.seq = 555;
             s.ack = 0;
             return TcpSegment(s);
         },
         Answer{plc::TCP_ACK, 0, 0, 500},
         {}},
        {"SYN at the expected sequence number",
         nullptr,
         [](const TcpRig& r) { return TcpSegment(r.Ack(plc::TCP_SYN)); },
         Answer{plc::TCP_ACK, 0, 0, 500},
         {}},
        {"SYN while an answer is unacknowledged",
         [](TcpRig& r) {
             r.SendData(V2gtp(4));
             r.TakeMessage();
             r.Answer(V2gtp(6, 0x70));
             r.Pass();
             r.Take();
         },
         [](const TcpRig& r) { return TcpSegment(r.Ack(plc::TCP_SYN | plc::TCP_ACK)); },
         Answer{plc::TCP_ACK, 14, 0, 500},
         {}},
        {"the vehicle's window is 0: a 20-byte answer waits",
         [](TcpRig& r) {
             r.SendData(V2gtp(4));
             r.TakeMessage();
             Seg closed = r.Ack();
             closed.window = 0;
             r.Receive(TcpSegment(closed));
             r.Answer(V2gtp(12, 0x50));
         },
         [](const TcpRig&) { return Bytes{}; },
         std::nullopt,
         {}},
        {"520 bytes against the window: 500 taken, the rest not acknowledged",
         nullptr,
         [&](const TcpRig& r) {
             Seg s = r.Ack(plc::TCP_ACK | plc::TCP_PSH);
             s.data = fullAndMore;
             return TcpSegment(s);
         },
         Answer{plc::TCP_ACK, 0, 500, 0},
         full},
        {"501 bytes of no V2GTP message: 500 taken",
         nullptr,
         [](const TcpRig& r) {
             Seg s = r.Ack(plc::TCP_ACK | plc::TCP_PSH);
             s.data = Bytes(501, 0x33);
             return TcpSegment(s);
         },
         Answer{plc::TCP_ACK, 0, 500, 0},
         Bytes(500, 0x33)},
        {"a message waits in the slot: the next is not taken",
         [](TcpRig& r) { r.SendData(V2gtp(4, 0x90)); },
         [&](const TcpRig& r) {
             Seg s = r.Ack(plc::TCP_ACK | plc::TCP_PSH);
             s.data = twenty;
             return TcpSegment(s);
         },
         Answer{plc::TCP_ACK, 0, 0, 0},
         V2gtp(4, 0x90)},
        {"part of a message gathered: the window is what is left, and no more is taken",
         [&](TcpRig& r) {
             auto sent = r.SendData(Bytes(full.begin(), full.begin() + 300));
             ASSERT_EQ(sent.size(), 1u);
             EXPECT_EQ(Parse(sent[0].frame).window(), 200);
         },
         [&](const TcpRig& r) {
             Seg s = r.Ack(plc::TCP_ACK | plc::TCP_PSH);
             s.data = Bytes(fullAndMore.begin() + 300, fullAndMore.end());
             return TcpSegment(s);
         },
         Answer{plc::TCP_ACK, 0, 200, 0},
         full},
        {"urgent pointer 4 on a 20-byte message",
         nullptr,
         [&](const TcpRig& r) {
             Seg s = r.Ack(plc::TCP_ACK | plc::TCP_PSH | plc::TCP_URG);
             s.urgent = 4;
             s.data = twenty;
             return TcpSegment(s);
         },
         Answer{plc::TCP_ACK, 0, 20, 0},
         twenty},
        {"urgent pointer 200 on a 20-byte message",
         nullptr,
         [&](const TcpRig& r) {
             Seg s = r.Ack(plc::TCP_ACK | plc::TCP_PSH | plc::TCP_URG);
             s.urgent = 200;
             s.data = twenty;
             return TcpSegment(s);
         },
         Answer{plc::TCP_ACK, 0, 20, 0},
         twenty},
        {"data without ACK",
         nullptr,
         [&](const TcpRig& r) {
             Seg s = r.Ack(plc::TCP_PSH);
             s.data = twenty;
             return TcpSegment(s);
         },
         std::nullopt,
         {}},
        {"data acknowledging 100000 bytes never sent",
         nullptr,
         [&](const TcpRig& r) {
             Seg s = r.Ack(plc::TCP_ACK | plc::TCP_PSH);
             s.ack += 100000;
             s.data = twenty;
             return TcpSegment(s);
         },
         Answer{plc::TCP_ACK, 0, 0, 500},
         {}},
        {"data acknowledging further back than any window",
         nullptr,
         [&](const TcpRig& r) {
             Seg s = r.Ack(plc::TCP_ACK | plc::TCP_PSH);
             s.ack -= 70000;
             s.data = twenty;
             return TcpSegment(s);
         },
         Answer{plc::TCP_ACK, 0, 0, 500},
         {}},
        {"an empty segment below the window (keep-alive, probe)",
         nullptr,
         [](const TcpRig& r) {
             Seg s = r.Ack();
             s.seq -= 1;
             return TcpSegment(s);
         },
         Answer{plc::TCP_ACK, 0, 0, 500},
         {}},
        {"solicitation whose option claims 255 x 8 bytes",
         nullptr,
         [](const TcpRig&) { return SolicitationWithOptions({1, 255, 0, 0x11, 0x22, 0x33, 0x44, 0x55}); },
         std::nullopt,
         {}},
        {"solicitation whose second option runs past the packet",
         nullptr,
         [](const TcpRig&) {
             Bytes o = Slla();
             o.insert(o.end(), {14, 2, 0, 0, 0, 0, 0, 0});
             return SolicitationWithOptions(o);
         },
         std::nullopt,
         {}},
        {"solicitation with an option of length 0",
         nullptr,
         [](const TcpRig&) {
             Bytes o = Slla();
             o.insert(o.end(), {14, 0, 0, 0, 0, 0, 0, 0});
             return SolicitationWithOptions(o);
         },
         std::nullopt,
         {}},
    };
    // One case at a time: a failed assertion ends its case, not the table.
    auto run = [&](const Case& c) {
        TcpRig rig;
        rig.Receive(SolicitationWithOptions(Slla()));  // the first goes unanswered
        rig.Connect();
        rig.Pass();
        rig.Take();
        if (c.before) c.before(rig);
        rig.Take();
        const std::uint32_t ours = rig.ours, theirs = rig.theirs;
        const Bytes frame = c.frame(rig);
        if (!frame.empty()) rig.Receive(frame);
        rig.Pass();
        auto sent = rig.Take();
        if (c.answer) {
            ASSERT_EQ(sent.size(), 1u);
            Out o = Parse(sent[0].frame);
            EXPECT_TRUE(o.checksumOk);
            EXPECT_EQ(o.flags(), c.answer->flags);
            EXPECT_EQ(o.seq(), ours + static_cast<std::uint32_t>(c.answer->seq));
            EXPECT_EQ(o.ack(), theirs + static_cast<std::uint32_t>(c.answer->ack));
            EXPECT_EQ(o.window(), c.answer->window);
            EXPECT_TRUE(o.tcpData().empty());
            rig.theirs += static_cast<std::uint32_t>(c.answer->ack);
        } else {
            EXPECT_TRUE(sent.empty()) << sent.size() << " frames, the first " << int(Parse(sent[0].frame).upper[0]);
        }
        EXPECT_EQ(plc::tcp_conn_table->state(), plc::TCP_ESTABLISHED);
        EXPECT_EQ(plc::mdbcln_status_get(0) & plc::CLN_CONNECTED, plc::CLN_CONNECTED);
        EXPECT_EQ(rig.TakeMessage(), c.delivered);

        // Everything sent is acknowledged and the vehicle's window open:
        // whatever is still pending goes out, then a request and its answer
        // cross byte for byte.
        rig.ours = plc::tcp_conn_table->snd_nxt + plc::tcp_conn_table->len;
        Seg open = rig.Ack();
        open.window = 64240;
        rig.Receive(TcpSegment(open));
        for (int i = 0; i < 3; ++i) {
            rig.Pass();
            for (const Sent& s : rig.Take()) {
                Out o = Parse(s.frame);
                if (o.tcpData().empty()) continue;
                EXPECT_EQ(o.seq(), rig.ours);
                rig.ours += static_cast<std::uint32_t>(o.tcpData().size());
                rig.Receive(TcpSegment(rig.Ack()));
            }
        }
        rig.Take();
        const Bytes request = V2gtp(30, 0xA0);
        sent = rig.SendData(request);
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(Parse(sent[0].frame).ack(), rig.theirs);
        EXPECT_EQ(rig.TakeMessage(), request);
        const Bytes answer = V2gtp(40, 0xC0);
        ASSERT_EQ(rig.Answer(answer), 0);
        rig.Pass();
        sent = rig.Take();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(Parse(sent[0].frame).seq(), rig.ours);
        EXPECT_EQ(Parse(sent[0].frame).tcpData(), answer);
        // The station answers the vehicle's solicitations as before.
        rig.Receive(SolicitationWithOptions(Slla()));
        sent = rig.Take();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(Parse(sent[0].frame).upper[0], 136);
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        run(c);
    }
}

// The vehicle's window bounds the answer: a small window cuts it, a closed
// one holds it while probes on the back-off table ask for the window, for as
// long as the vehicle answers; the answer goes out whole once it opens.
TEST(TcpPeerTest, ClosedWindowHoldsTheAnswerAndIsProbedUntilItOpens) {
    TcpRig rig;
    rig.Connect();
    rig.SendData(V2gtp(4));
    rig.TakeMessage();
    auto windowAck = [&](std::uint16_t wnd) {
        Seg s = rig.Ack();
        s.window = wnd;
        rig.Receive(TcpSegment(s));
    };
    windowAck(10);
    const Bytes answer = V2gtp(12, 0x50);
    ASSERT_EQ(rig.Answer(answer), 0);
    rig.Pass();
    auto sent = rig.Take();
    ASSERT_EQ(sent.size(), 1u);
    Bytes received = Parse(sent[0].frame).tcpData();
    EXPECT_EQ(received.size(), 10u) << "no more than the vehicle's window";
    rig.ours += 10;
    windowAck(0);
    rig.Pass();
    EXPECT_TRUE(rig.Take().empty()) << "nothing while the window is closed";

    std::vector<int> probeAt;
    for (int tick = 1; tick <= 3000; ++tick) {
        rig.Tick();
        for (const Sent& s : rig.Take()) {
            Out o = Parse(s.frame);
            EXPECT_EQ(o.flags(), plc::TCP_ACK);
            EXPECT_TRUE(o.tcpData().empty());
            EXPECT_EQ(o.seq(), rig.ours - 1);
            EXPECT_EQ(o.ack(), rig.theirs);
            probeAt.push_back(tick);
            windowAck(0);  // the vehicle answers each probe, still closed
        }
    }
    // 7, 7, 14 ... 448 ticks apart, then every 448.
    const std::vector<int> want = {7, 14, 28, 56, 112, 224, 448, 896, 1344, 1792, 2240, 2688};
    EXPECT_EQ(probeAt, want);
    EXPECT_EQ(plc::tcp_conn_table->state(), plc::TCP_ESTABLISHED) << "probes answered never end the connection";

    windowAck(512);
    rig.Pass();
    sent = rig.Take();
    ASSERT_EQ(sent.size(), 1u);
    Out rest = Parse(sent[0].frame);
    EXPECT_EQ(rest.seq(), rig.ours);
    const Bytes tail = rest.tcpData();
    received.insert(received.end(), tail.begin(), tail.end());
    EXPECT_EQ(received, answer);
}
