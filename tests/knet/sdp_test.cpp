// UDP and the SDP server on port 15118.
#include <gtest/gtest.h>

#include "knet_rig.h"

using namespace knettest;

namespace {

// The answer for station MAC 00:01:87:0A:0B:0C, written out by hand.
const Bytes kSdpAnswer = {0x01, 0xFE, 0x90, 0x01, 0x00, 0x00, 0x00, 0x14, 0xFE, 0x80, 0x00, 0x00, 0x00, 0x00,
                          0x00, 0x00, 0x02, 0x01, 0x87, 0xFF, 0xFE, 0x0A, 0x0B, 0x0C, 0xC7, 0xED, 0x10, 0x00};

struct SdpRig : KnetRig {
    SdpRig() {
        SdpPass();  // initialise
        SdpPass();  // listen
    }
    // Runs the server until it had its chance to answer; the frames it sent.
    std::vector<Sent> Exchange(const Bytes& frame) {
        Receive(frame);
        for (int i = 0; i < 4; ++i) SdpPass();
        return Take();
    }
};

Bytes DatagramTo(std::uint16_t port, const Bytes& data) { return UdpDatagram(kAllNodes, 49200, port, data); }

}  // namespace

TEST(SdpServerTest, RequestToAllNodesIsAnsweredWithTheTwentyEightBytesToTheSender) {
    SdpRig rig;
    EXPECT_EQ(plc::SECC_State, 3);
    auto sent = rig.Exchange(DatagramTo(15118, SdpRequest()));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].type, 17);
    EXPECT_EQ(sent[0].frame.size(), 90u);
    Out o = Parse(sent[0].frame);
    EXPECT_TRUE(o.checksumOk);
    EXPECT_EQ(o.src, kStationAddr);
    EXPECT_EQ(o.dst, kEvAddr);
    EXPECT_EQ(o.ethSrc, kStationMac);
    EXPECT_EQ(o.hopLimit, 255);
    EXPECT_EQ(o.sport(), 15118);
    EXPECT_EQ(o.dport(), 49200);
    EXPECT_EQ(Bytes(o.upper.begin() + 8, o.upper.end()), kSdpAnswer);

    // A repeated request gets the same answer.
    sent = rig.Exchange(DatagramTo(15118, SdpRequest()));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Bytes(sent[0].frame.begin() + 62, sent[0].frame.end()), kSdpAnswer);
}

TEST(SdpServerTest, OnlyWellFormedRequestsToTheSdpPortAreAnswered) {
    Bytes tls = SdpRequest();
    tls[8] = 0x00;  // asks for TLS: the station offers none all the same
    Bytes longer = SdpRequest();
    longer.push_back(0);
    Bytes otherType = SdpRequest();
    otherType[3] = 0x01;
    Bytes badInverse = SdpRequest();
    badInverse[1] = 0xFF;
    Bytes badChecksum = DatagramTo(15118, SdpRequest());
    badChecksum[60] ^= 0x40;
    struct Case {
        const char* name;
        Bytes frame;
        bool answered;
    } cases[] = {
        {"TLS asked for", DatagramTo(15118, tls), true},
        {"unicast to the station", UdpDatagram(kStationAddr, 49200, 15118, SdpRequest()), true},
        {"version 2", DatagramTo(15118, SdpRequest(0x02)), false},
        {"payload length 3", DatagramTo(15118, SdpRequest(0x01, 3)), false},
        {"a byte more than announced", DatagramTo(15118, longer), false},
        {"payload type 0x9001", DatagramTo(15118, otherType), false},
        {"inverse version wrong", DatagramTo(15118, badInverse), false},
        {"port 15119", DatagramTo(15119, SdpRequest()), false},
        {"checksum wrong", badChecksum, false},
    };
    for (const Case& c : cases) {
        SdpRig rig;
        auto sent = rig.Exchange(c.frame);
        EXPECT_EQ(sent.size(), c.answered ? 1u : 0u) << c.name;
        if (c.answered && sent.size() == 1) {
            EXPECT_EQ(Bytes(sent[0].frame.begin() + 62, sent[0].frame.end()), kSdpAnswer) << c.name;
        }
    }
}

TEST(SdpServerTest, RequestsRefreshTheActivityTimeAndAReleasedPortHearsNothing) {
    SdpRig rig;
    rig.clock.Advance(30000);
    rig.Receive(DatagramTo(15119, SdpRequest()));
    EXPECT_EQ(common::ElapsedMs(plc::UDP_MSG_StartTime), 30000) << "another port does not count";
    rig.Receive(DatagramTo(15118, SdpRequest()));
    EXPECT_EQ(common::ElapsedMs(plc::UDP_MSG_StartTime), 0);

    SdpRig released;
    plc::SDP_ReleaseUdpPort();
    EXPECT_TRUE(released.Exchange(DatagramTo(15118, SdpRequest())).empty());
}

TEST(SdpServerTest, SendResultsAreCheckedInOrder) {
    SdpRig rig;
    std::uint8_t data[4] = {};
    EXPECT_EQ(plc::sdpcln_send(0, nullptr, 4, 500), 5);
    EXPECT_EQ(plc::sdpcln_send(0, data, 0, 500), 4);
    EXPECT_EQ(plc::sdpcln_send(0, data, 501, 500), 3);
    EXPECT_EQ(plc::sdpcln_send(1, data, 4, 500), 6);
    EXPECT_EQ(plc::sdpcln_send(0, data, 4, 500), 2) << "opened, no request yet";
}
